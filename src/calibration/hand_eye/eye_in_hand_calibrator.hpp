#pragma once

#include <utility>

#include "calibration/hand_eye/hand_eye_calibrator.hpp"

namespace velk::calibration {

// Eye-in-hand calibration: solves tcp_T_camera for a camera mounted on a robot flange (and world_T_target,
// the target standing still in the robot base frame).
class EyeInHandCalibrator : public HandEyeCalibrator<HandEyeResult> {
public:
    explicit EyeInHandCalibrator(TargetVariant target, IntrinsicOptions options = IntrinsicOptions())
        : HandEyeCalibrator(HandEyeSetup::EyeInHand, std::move(target), std::move(options)) {}
};

}  // namespace velk::calibration
