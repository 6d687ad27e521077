#pragma once

#include <vector>

namespace velk::calibration {

// Positions of the values that stand out above the rest: robust z-score
// 0.6745 * (value - median) / MAD above z_limit. The MAD is taken no smaller than
// minimum_mad, so that values agreeing more closely than their own noise allows
// do not make ordinary ones look outstanding. Nothing when the MAD is zero.
std::vector<int> robustOutliers(const std::vector<double>& values, double z_limit, double minimum_mad = 0.0);

double medianOf(const std::vector<double>& values);

// The MAD a set of per-view RMS values shows from noise alone: an RMS over n corners (2n
// residuals) has a relative standard deviation of about 1 / sqrt(4n).
double noiseMadOfRms(double median_rms, double median_corners);

}  // namespace velk::calibration
