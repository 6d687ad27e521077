#pragma once

#include "calibration/hand_eye_result.hpp"
#include "calibration/multi_camera_result.hpp"
#include "io/result_records.hpp"

namespace velk::calibration {

// What a result record stores of a refinement that was asked for.
io::RefinementRecord handEyeRefinementRecord(const HandEyeResult& result);
io::RefinementRecord rigRefinementRecord(const MultiCameraResult& result);

}  // namespace velk::calibration
