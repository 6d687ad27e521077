#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "calibration/refinement/refinement_options.hpp"

namespace velk::calibration {

// A measured target size differs from its description when it is off by more than this many of its
// 1-sigma and by more than a printer's tolerance (a share of the size). The size is measured against
// the robot's own lengths, which its kinematics know to about kRobotLengthShare (1-sigma; a 1 m reach
// off by 2 mm): that uncertainty joins the measurement's own, which assumes the robot's errors are
// independent from pose to pose.
constexpr double kTargetScaleSigmaLimit = 3.0;
constexpr double kTargetScaleToleranceShare = 0.003;
constexpr double kRobotLengthShare = 0.002;

bool targetScaleDiffers(double scale, double sigma);

// "the target measures 0.9442 +- 0.0021 times its described size"
std::string targetScaleSentence(const HandEyeRefinement& result);

// The target's size measured against its description with the robot error modelled: a second solve,
// warm-started from the refined result, with the size as one more unknown. Measured keeps the
// result's values and adds the size; Fitted (a result solved at the measured size already) only
// judges it. Logs the size, and a WARNING when it differs from the description.
HandEyeRefinement withTargetScale(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                                  const std::vector<cv::Mat>& view_poses, HandEyeRefinement result, bool log);

}  // namespace velk::calibration
