#pragma once

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_outcome.hpp"

namespace velk::calibration {

// Outcome of an eye-in-hand calibration: a camera on the flange and a target standing still.
struct HandEyeResult : HandEyeOutcome {
    cv::Mat tcp_T_camera;  // 4 x 4 CV_64F, the camera in the flange frame
    // The target in the robot base frame: found by the robot-world/hand-eye solvers
    // themselves, the mean of the per-frame estimates for the others.
    cv::Mat world_T_target;
    // The solver's tcp_T_camera when the refinement replaced it; empty when refinement was not asked for.
    cv::Mat closed_form_tcp_T_camera;
    // Eye-in-hand: the refinement's camera mount is the tcp, its target mount the world.
};

}  // namespace velk::calibration
