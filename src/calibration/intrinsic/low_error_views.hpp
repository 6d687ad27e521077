#pragma once

#include <vector>

namespace velk::calibration {

// Positions (among the calibrated views) whose per-view error is at or below the threshold:
// a view exactly at the threshold counts as a low-error view.
std::vector<int> lowErrorPositions(const std::vector<double>& perViewErrors, double threshold);

}  // namespace velk::calibration
