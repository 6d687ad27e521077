#include "calibration/refinement/robust_outliers.hpp"

#include <algorithm>
#include <cmath>

namespace velk::calibration {
namespace {

constexpr double kNormalConsistency = 0.6745;

double sortedMedian(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

}  // namespace

double medianOf(const std::vector<double>& values) {
    return sortedMedian(values);
}

double noiseMadOfRms(double median_rms, double median_corners) {
    return median_corners > 0.0 ? kNormalConsistency * median_rms / std::sqrt(4.0 * median_corners) : 0.0;
}

std::vector<int> robustOutliers(const std::vector<double>& values, double z_limit, double minimum_mad) {
    std::vector<int> outliers;
    if (values.size() < 3) {
        return outliers;
    }
    const double centre = medianOf(values);
    std::vector<double> deviations;
    for (double v : values) {
        deviations.push_back(std::abs(v - centre));
    }
    const double mad = std::max(medianOf(deviations), minimum_mad);
    if (!(mad > 0.0)) {
        return outliers;
    }
    for (int k = 0; k < static_cast<int>(values.size()); ++k) {
        if (kNormalConsistency * (values[k] - centre) / mad > z_limit) {
            outliers.push_back(k);
        }
    }
    return outliers;
}

}  // namespace velk::calibration
