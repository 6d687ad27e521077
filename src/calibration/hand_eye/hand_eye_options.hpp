#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "calibration/refinement/refinement_options.hpp"

namespace velk::calibration {

// How a hand-eye calibration runs, beyond its data; the same for both set-ups.
struct HandEyeOptions {
    std::string method = "TSAI";  // a name of hand_eye_method_by_name_map or of the robot-world solvers
    // Refine the closed-form solution over every detected corner.
    bool refine = false;
    RefinementOptions refinement_options;
    // Predict every view from a solve without it.
    bool validate = false;
    // Where a successful result is saved (a folder or a .json file); empty: not saved.
    std::filesystem::path output_path;
    // Write the report on standard output after a successful calibration.
    bool print_report = true;
    // Translations of the flange-side transform known from outside the pictures (the refinement's
    // HandEyeRefinementProblem::mount_components).
    std::vector<MountComponent> mount_components;
    // Keep every used frame's corners in the result (HandEyeOutcome::frame_object_points), for a caller that
    // solves further with them; they are detected once, as a refinement would.
    bool keep_corners = false;
};

}  // namespace velk::calibration
