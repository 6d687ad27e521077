#pragma once

#include "calibration/rig/multi_camera_result.hpp"
#include "io/result_records.hpp"

namespace velk::calibration {

// The record multi_camera_calibration.json stores of a rig result.
io::MultiCameraCalibrationRecord multiCameraCalibrationRecord(const MultiCameraResult& result);

}  // namespace velk::calibration
