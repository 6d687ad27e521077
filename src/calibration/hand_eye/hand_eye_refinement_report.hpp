#pragma once

#include <optional>
#include <string>

#include "calibration/hand_eye/hand_eye_refinement.hpp"

namespace velk::calibration {

// Names under which a hand-eye refinement reports its two transforms.
struct RefinedTransformNames {
    std::string camera_pose;  // e.g. "tcp_T_camera"
    std::string target_pose;  // e.g. "world_T_target"
};

// The refinement section of a hand-eye report: refined values with their 1-sigma, residuals,
// outlier views and the solver's outcome; or why the closed-form result was kept.
std::string formatHandEyeRefinement(const HandEyeRefinement& refinement, const RefinedTransformNames& names);

// The same section for a result: empty when refinement was not asked for (no record, no reason).
std::string formatRefinementSection(const std::optional<HandEyeRefinement>& refinement, const std::string& reason,
                                    const RefinedTransformNames& names);

}  // namespace velk::calibration
