#pragma once

#include <string>

#include "calibration/hand_eye_result.hpp"

namespace velk::calibration {

// The human-readable hand-eye report of a result, with the rotation-variety verdict.
std::string formatHandEyeReport(const HandEyeResult& result);

}  // namespace velk::calibration
