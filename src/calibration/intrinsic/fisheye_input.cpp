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

constexpr int kMinimumViewCorners = 6;
// The board positions' smaller spread over their larger one (singular values of the centred
// points) below which a view counts as one line of corners.
constexpr double kSmallestSpreadRatio = 0.15;

bool fisheyeCanStart(const cv::Mat& objectPoints) {
    const cv::Mat points = asColumn(objectPoints, 3).reshape(1);
    if (points.rows < kMinimumViewCorners) {
        return false;
    }
    cv::Mat mean;
    cv::reduce(points, mean, 0, cv::REDUCE_AVG, CV_64F);
    cv::Mat spread;
    cv::SVD::compute(points - cv::repeat(mean, points.rows, 1), spread, cv::SVD::NO_UV);
    return spread.at<double>(1) >= kSmallestSpreadRatio * spread.at<double>(0);
}

template <typename T>
std::vector<T> kept(const std::vector<T>& values, const std::vector<bool>& keep) {
    if (values.size() != keep.size()) {
        return values;  // a list this batch does not fill (annotations when not asked for)
    }
    std::vector<T> result;
    for (size_t v = 0; v < values.size(); ++v) {
        if (keep[v]) {
            result.push_back(values[v]);
        }
    }
    return result;
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

std::vector<int> dropViewsFisheyeCannotStart(TargetDetections& detections) {
    std::vector<bool> keep;
    std::vector<int> dropped;
    for (size_t v = 0; v < detections.object_points.size(); ++v) {
        keep.push_back(fisheyeCanStart(detections.object_points[v]));
        if (!keep.back()) {
            dropped.push_back(detections.successful_indices[v]);
        }
    }
    if (dropped.empty()) {
        return dropped;
    }
    detections.successful_indices = kept(detections.successful_indices, keep);
    detections.image_points = kept(detections.image_points, keep);
    detections.object_points = kept(detections.object_points, keep);
    detections.point_ids = kept(detections.point_ids, keep);
    detections.annotated_images = kept(detections.annotated_images, keep);
    return dropped;
}

cv::TermCriteria fisheyeCriteria(const cv::TermCriteria& criteria) {
    const int iterations = std::max(criteria.maxCount, kMinimumIterations);
    return cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, iterations,
                            std::numeric_limits<double>::epsilon());
}

}  // namespace velk::calibration
