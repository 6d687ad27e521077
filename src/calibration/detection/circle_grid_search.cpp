#include "calibration/detection/circle_grid_search.hpp"

#include <algorithm>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>

#include "calibration/detection/marked_origin_order.hpp"

namespace velk::calibration {
namespace {

// Smallest blob area accepted as a circle, px^2 (a circle of about 4 px across).
constexpr float kMinimumCircleArea = 12.0f;

const char* const kGridNotFound = "Circle grid not found";
const char* const kOriginNotFound = "Circle grid found but not its larger origin circle";

// How many times the picture's share per circle the largest circle may cover: its area over that of a
// square of one spacing, at least 1. Every circle without a marked origin fits the share (its diameter
// is below the spacing), so this is 1 but for an origin circle wider than about 1.13 spacings.
double largestCircleShare(const CircleGridTarget& target) {
    const double diameter = std::max(target.circle_diameter, target.origin_circle_diameter);
    return std::max(1.0, CV_PI * diameter * diameter / (4.0 * target.spacing * target.spacing));
}

// Blobs of one polarity from kMinimumCircleArea up to the picture's area shared among the grid's
// circles, the most one circle can cover when all are in view. OpenCV's default stops at 5000 px^2 (a
// circle of 80 px), too small for close views; a bound far above the share lets the grid finder fail
// on some clean oblique views, and lets blobs larger than a circle swallow a circle next to them.
cv::Ptr<cv::SimpleBlobDetector> circleFinder(const cv::Size& picture, const CircleGridTarget& target,
                                             CirclePolarity polarity) {
    cv::SimpleBlobDetector::Params params;
    params.minArea = kMinimumCircleArea;
    const double share = static_cast<double>(picture.area()) / std::max(1, target.size.area());
    params.maxArea = static_cast<float>(std::max(share * largestCircleShare(target), 4.0 * kMinimumCircleArea));
    params.blobColor = polarity == CirclePolarity::Light ? 255 : 0;
    return cv::SimpleBlobDetector::create(params);
}

int gridFlags(const CircleGridTarget& target) {
    return target.asymmetric ? cv::CALIB_CB_ASYMMETRIC_GRID : cv::CALIB_CB_SYMMETRIC_GRID;
}

// The grid finder is tried as a plain grid first and, for a strongly tilted view where that fails,
// again with the clustering search, which tolerates more foreshortening.
bool findGridAmong(const std::vector<cv::Point2f>& candidates, const CircleGridTarget& target,
                   std::vector<cv::Point2f>& centres) {
    if (static_cast<int>(candidates.size()) < target.size.area()) {
        return false;  // too few blobs for the grid (and the finder refuses an empty list)
    }
    const int flags = gridFlags(target);
    const cv::Ptr<cv::FeatureDetector> pointsGiven;
    if (cv::findCirclesGrid(candidates, target.size, centres, flags, pointsGiven)) {
        return true;
    }
    centres.clear();
    return cv::findCirclesGrid(candidates, target.size, centres, flags | cv::CALIB_CB_CLUSTERING, pointsGiven);
}

CircleGridSearch searchPolarity(const cv::Mat& grey, const CircleGridTarget& target, CirclePolarity polarity) {
    std::vector<cv::KeyPoint> blobs;
    circleFinder(grey.size(), target, polarity)->detect(grey, blobs);
    std::vector<cv::Point2f> candidates;
    candidates.reserve(blobs.size());
    for (const cv::KeyPoint& blob : blobs) {
        candidates.push_back(blob.pt);
    }
    CircleGridSearch search;
    search.polarity = polarity;
    if (!findGridAmong(candidates, target, search.centres)) {
        search.missing = kGridNotFound;
        return search;
    }
    if (target.marksOrigin() && !orderFromOriginCircle(search.centres, blobs, target)) {
        search.missing = kOriginNotFound;
        return search;
    }
    search.found = true;
    return search;
}

}  // namespace

CircleGridSearch searchCircleGrid(const cv::Mat& grey, const CircleGridTarget& target) {
    if (target.polarity != CirclePolarity::Either) {
        return searchPolarity(grey, target, target.polarity);
    }
    CircleGridSearch dark = searchPolarity(grey, target, CirclePolarity::Dark);
    if (dark.found) {
        return dark;
    }
    CircleGridSearch light = searchPolarity(grey, target, CirclePolarity::Light);
    if (!light.found && dark.missing != kGridNotFound) {
        return dark;  // the dark grid was there; say what it lacked
    }
    return light;
}

}  // namespace velk::calibration
