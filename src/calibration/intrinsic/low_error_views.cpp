#include "calibration/intrinsic/low_error_views.hpp"

namespace velk::calibration {

std::vector<int> lowErrorPositions(const std::vector<double>& perViewErrors, double threshold) {
    std::vector<int> positions;
    for (int j = 0; j < static_cast<int>(perViewErrors.size()); ++j) {
        if (perViewErrors[j] <= threshold) {
            positions.push_back(j);
        }
    }
    return positions;
}

}  // namespace velk::calibration
