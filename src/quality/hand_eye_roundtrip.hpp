#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "targets/target_variant.hpp"

namespace velk::quality {

// The frames that fix where the board sits in the robot base frame: robot poses and
// camera_T_target poses, aligned entry by entry.
struct BoardPoseFrames {
    const std::vector<cv::Mat>& robot_T_tcp_list;
    const std::vector<cv::Mat>& camera_T_target_list;
};

// Mean base_T_board of the board frames, predicted into image j through robot_poses[j]
// and tcp_T_camera, against the target detected in image j; mean per-point
// reprojection error over the images with a detection, +infinity (after a warning)
// when there is none. boardFrames must not be empty.
double handEyeRoundtripError(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robot_poses,
                             const cv::Mat& tcp_T_camera, const cv::Mat& intrinsic_matrix,
                             const cv::Mat& distortion_coefficients, const TargetVariant& target,
                             const BoardPoseFrames& boardFrames);

}  // namespace velk::quality
