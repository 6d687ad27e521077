#pragma once

#include <opencv2/core.hpp>

#include "calibration/hand_eye_result.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// Per-axis mean of all the target's 3D points.
cv::Point3f targetCentre(const TargetVariant& target);

// Consistency of world_T_target = robot_T_tcp * tcp_T_camera * camera_T_target over
// the result's aligned frames, with distances and projected target centres.
// Without an intrinsic matrix the projected centres are NaN.
TargetConsistencyStats computeTargetConsistency(const HandEyeResult& result, const TargetVariant& target);

}  // namespace velk::calibration
