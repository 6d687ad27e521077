#include "calibration/intrinsic/fisheye_input.hpp"

#include <algorithm>
#include <limits>

namespace velk::calibration {
namespace {

constexpr int kMinimumIterations = 100;

cv::Mat asColumn(const cv::Mat& points, int channels) {
    cv::Mat doubles;
    points.convertTo(doubles, CV_64F);
    if (!doubles.isContinuous()) {
        doubles = doubles.clone();
    }
    return doubles.reshape(channels, static_cast<int>(doubles.total() * doubles.channels() / channels));
}

}  // namespace

FisheyeInput fisheyeInput(const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& imagePoints) {
    FisheyeInput input;
    for (size_t v = 0; v < objectPoints.size(); ++v) {
        input.object_points.push_back(asColumn(objectPoints[v], 3));
        input.image_points.push_back(asColumn(imagePoints[v], 2));
    }
    return input;
}

cv::TermCriteria fisheyeCriteria(const cv::TermCriteria& criteria) {
    const int iterations = std::max(criteria.maxCount, kMinimumIterations);
    return cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, iterations,
                            std::numeric_limits<double>::epsilon());
}

}  // namespace velk::calibration
