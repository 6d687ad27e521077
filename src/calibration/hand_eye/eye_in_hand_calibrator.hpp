#pragma once

#include "calibration/hand_eye/hand_eye_calibrator.hpp"

namespace velk::calibration {

// Eye-in-hand calibration: solves tcp_T_camera for a camera mounted on a robot flange (and world_T_target,
// the target standing still in the robot base frame).
class EyeInHandCalibrator : public HandEyeCalibrator<HandEyeResult> {
public:
    using HandEyeCalibrator::HandEyeCalibrator;
};

}  // namespace velk::calibration
