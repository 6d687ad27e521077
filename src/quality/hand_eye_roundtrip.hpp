#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_setup.hpp"
#include "targets/target_variant.hpp"

namespace velk::quality {

// The frames that fix where the board sits in the robot base frame: robot poses and
// camera_T_target poses, aligned entry by entry.
struct BoardPoseFrames {
    const std::vector<cv::Mat>& robot_T_tcp_list;
    const std::vector<cv::Mat>& camera_T_target_list;
};

// The board's fixed pose Y (base_T_board for eye-in-hand, tcp_T_board for eye-to-hand),
// the mean over the board frames, predicted into image j through robot_poses[j] and the
// camera transform X (tcp_T_camera or robot_T_camera), against the target detected in
// image j; mean per-point reprojection error over the images with a detection,
// +infinity (after a warning) when there is none. boardFrames must not be empty.
// Throws std::invalid_argument for a pose that is not a rigid transform.
double handEyeRoundtripError(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robot_poses,
                             const cv::Mat& cameraTransform, const cv::Mat& intrinsic_matrix,
                             const cv::Mat& distortion_coefficients, const TargetVariant& target,
                             const BoardPoseFrames& boardFrames,
                             calibration::HandEyeSetup setup = calibration::HandEyeSetup::EyeInHand);

}  // namespace velk::quality
