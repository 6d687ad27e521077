#pragma once

#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_outcome.hpp"
#include "core/rotation_variety.hpp"

namespace velk::calibration {

// Outcome of an eye-to-hand calibration: a camera standing still and a target carried by the flange.
// The refinement's camera mount is the robot base, its target mount the tcp.
struct EyeToHandResult : HandEyeOutcome {
    std::string method;
    cv::Mat robot_T_camera;  // 4 x 4 CV_64F, the camera in the robot base frame
    cv::Mat tcp_T_target;    // 4 x 4 CV_64F, the target in the flange frame
    // How the rotations between consecutive captured poses spread over the axes (0.5 degree minimum).
    std::optional<quality::RotationVarietyStats> rotation_variety;
    // The solver's robot_T_camera when the refinement replaced it; empty when refinement was not asked for.
    cv::Mat closed_form_robot_T_camera;
};

}  // namespace velk::calibration
