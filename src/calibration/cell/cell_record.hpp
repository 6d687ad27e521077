#pragma once

#include "calibration/cell/cell_calibrator.hpp"
#include "io/cell_record.hpp"

namespace velk::calibration {

// The record cell.json stores of a calibrated cell (result.ok). Throws std::invalid_argument for a result that
// is not ok or whose cameras were calibrated with different lens models (a rig record holds one).
io::CellCalibrationRecord cellCalibrationRecord(const CellResult& result);

}  // namespace velk::calibration
