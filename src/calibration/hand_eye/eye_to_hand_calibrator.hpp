#pragma once

#include "calibration/hand_eye/hand_eye_calibrator.hpp"

namespace velk::calibration {

// Eye-to-hand calibration: solves robot_T_camera for a stationary camera and tcp_T_target for the target the
// robot carries on its flange.
class EyeToHandCalibrator : public HandEyeCalibrator<EyeToHandResult> {
public:
    using HandEyeCalibrator::HandEyeCalibrator;
};

}  // namespace velk::calibration
