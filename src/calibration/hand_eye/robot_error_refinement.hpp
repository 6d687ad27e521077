#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "calibration/refinement/refinement_options.hpp"

namespace velk::calibration {

// Every reported robot pose is an observation with an error of its own: each view gets a small
// correction of its flange pose, weighted by the robot noise, beside the corners weighted by the
// pixel noise; both levels come from the data unless the options give them. view_poses: each
// view's own camera_T_target (empty where it has none), from which the corrections start.
// fit_target_scale: the target's size is one more unknown, starting at problem.target_scale; the
// result then carries it (target_scale_measured).
HandEyeRefinement refineWithRobotError(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                                       const cv::Mat& target_start, const std::vector<cv::Mat>& view_poses,
                                       HandEyeRefinement result, bool log = true, bool fit_target_scale = false);

}  // namespace velk::calibration
