#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "calibration/refinement/errors_in_variables_problem.hpp"

namespace velk::calibration {

// Below these 1-sigma the pictures determine a component of the hand-eye transforms.
constexpr double kUndeterminedTranslationMm = 10.0;
constexpr double kUndeterminedRotationDeg = 1.0;

// What the refinement holds or ties to a value among the two transforms' [w, t] parameters, and where
// the two start: moved along the undetermined directions so that the given values hold and the views
// fit as before.
struct MountPlan {
    std::vector<MountComponentOutcome> outcomes;
    std::vector<bool> on_target_pose;  // per outcome: a parameter of the target pose, else of the camera pose
    std::vector<int> parameters;       // per outcome: its index in [w, t]
    cv::Mat camera_start;
    cv::Mat target_start;
    // Directions beyond the limits but within limit_factor times them were left free (planMountComponents).
    bool weak_left_free = false;
};

// Judges, from the information of the views (each view's robot correction marginalised) at the
// starting values under the starting noise levels, which components the motions do not determine;
// names them in the set-up's frames, adds the given components and plans how each is held. With a
// limit_factor above one only the directions beyond that many times the limits are held (a start far from
// the solution makes the others look weaker than they are). Throws std::invalid_argument for a given
// component that is no translation or given twice.
MountPlan planMountComponents(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                              const cv::Mat& target_start, const ObservationNoise& noise,
                              const NoiseEstimation& estimation, double limit_factor = 1.0);

// Holds and ties the planned parameters in a solver whose camera and target poses were added from the plan.
void applyMountPlan(const MountPlan& plan, ErrorsInVariablesProblem& solver, int camera_pose, int target_pose);

// The planned components with their values and sigmas after a solve (sigmas empty: not solved).
std::vector<MountComponentOutcome> mountOutcomes(const MountPlan& plan, const cv::Mat& camera_mount_T_camera,
                                                 const cv::Mat& target_mount_T_target,
                                                 const std::vector<double>& joint_covariance);

// Log lines: a WARNING per component held at its start, an INFO line per given one.
void logMountComponents(const std::vector<MountComponentOutcome>& outcomes, const std::string& component);

}  // namespace velk::calibration
