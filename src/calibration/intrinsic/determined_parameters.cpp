#include "calibration/intrinsic/determined_parameters.hpp"

#include <cmath>

namespace velk::calibration {

// An incremental Cholesky factor over the kept parameters: each new parameter's row of the factor
// is solved against the kept ones, and what is left on its diagonal is its remaining share.
std::vector<bool> determinedInOrder(const cv::Mat& information) {
    const int count = information.rows;
    std::vector<bool> determined(static_cast<size_t>(count), false);
    std::vector<int> kept;
    cv::Mat factor = cv::Mat::zeros(count, count, CV_64F);  // rows of the kept parameters, scaled
    for (int j = 0; j < count; ++j) {
        const double diagonal = information.at<double>(j, j);
        if (!(diagonal > 0.0) || !std::isfinite(diagonal)) {
            continue;
        }
        // Row j of the unit-diagonal factor over the kept columns.
        double remaining = 1.0;
        for (size_t a = 0; a < kept.size(); ++a) {
            const int k = kept[a];
            double value = information.at<double>(j, k) / std::sqrt(diagonal * information.at<double>(k, k));
            for (size_t b = 0; b < a; ++b) {
                value -= factor.at<double>(j, kept[b]) * factor.at<double>(k, kept[b]);
            }
            value /= factor.at<double>(k, k);
            factor.at<double>(j, k) = value;
            remaining -= value * value;
        }
        if (remaining >= kDeterminedInformationShare) {
            factor.at<double>(j, j) = std::sqrt(remaining);
            kept.push_back(j);
            determined[static_cast<size_t>(j)] = true;
        }
    }
    return determined;
}

}  // namespace velk::calibration
