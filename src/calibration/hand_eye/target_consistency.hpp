#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_result.hpp"
#include "core/camera_projection.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// Per-axis mean of all the target's 3D points.
cv::Point3f targetCentre(const TargetVariant& target);

// Consistency of world_T_target = robot_T_tcp * tcp_T_camera * camera_T_target over
// the result's aligned frames, with distances and projected target centres.
// Without an intrinsic matrix the projected centres are NaN.
TargetConsistencyStats computeTargetConsistency(const HandEyeResult& result, const TargetVariant& target);

// The same for either set-up: the spread of the per-frame target transforms
// motion_i * cameraTransform * camera_T_target_i around their mean (see hand_eye_setup.hpp); the
// target centres are projected through the camera's model.
TargetConsistencyStats computeTargetConsistency(const std::vector<cv::Mat>& motions, const cv::Mat& cameraTransform,
                                                const std::vector<cv::Mat>& camera_T_target_list,
                                                const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                                                const TargetVariant& target, CameraModel model = CameraModel::Pinhole);

}  // namespace velk::calibration
