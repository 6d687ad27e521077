#pragma once

#include "calibration/rig/multi_camera_result.hpp"
#include "io/result_records.hpp"

namespace velk::calibration {

// What a result record stores of a rig refinement that was asked for.
io::RefinementRecord rigRefinementRecord(const MultiCameraResult& result);

}  // namespace velk::calibration
