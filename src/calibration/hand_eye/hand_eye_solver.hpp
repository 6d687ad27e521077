#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_methods.hpp"

namespace velk::calibration {

// X and Y of Y = motion_i * X * camera_T_target_i (see hand_eye_setup.hpp), 4 x 4 CV_64F.
struct HandEyeSolution {
    cv::Mat camera_transform;  // X
    cv::Mat target_transform;  // Y
};

// Solves for X and Y over aligned frames (at least two). The hand-eye solvers find X alone;
// Y is then the mean of the per-frame estimates motion_i * X * camera_T_target_i. The
// robot-world/hand-eye solvers find both at once. Nothing when a transform is not finite
// (motions that do not determine it).
std::optional<HandEyeSolution> solveHandEye(const HandEyeSolver& solver, const std::vector<cv::Mat>& motions,
                                            const std::vector<cv::Mat>& camera_T_target_list);

// Rotation blocks and translation columns as deep CV_64F copies.
cv::Mat rotationBlock(const cv::Mat& pose);
cv::Mat translationColumn(const cv::Mat& pose);

}  // namespace velk::calibration
