#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_refinement.hpp"

namespace velk::calibration {

// How the hand-eye refinement names itself in log lines.
extern const char* const kHandEyeRefinementComponent;

// camera_T_target of every view from its own corners (solvePnP); empty where a view cannot be posed.
std::vector<cv::Mat> viewCameraPoses(const HandEyeRefinementProblem& problem);

// The given target pose, or the average of target_mount_T_target_i over the posed views; empty when none is.
cv::Mat startingTargetPose(const HandEyeRefinementProblem& problem, const std::vector<cv::Mat>& view_poses);

// A result holding the starting values, not yet refined.
HandEyeRefinement startingValues(const HandEyeRefinementProblem& problem, const cv::Mat& target_pose);

// The result with the starting values, refined false and the reason; logs a WARNING line when log is true.
HandEyeRefinement keepStartingValues(HandEyeRefinement result, const std::string& reason, bool log = true);

}  // namespace velk::calibration
