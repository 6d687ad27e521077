#include <algorithm>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>

#include "calibration/detection/image_detection.hpp"
#include "calibration/detection/target_detection.hpp"
#include "targets/annotation.hpp"

namespace velk::calibration {
namespace {

// Smallest blob area accepted as a circle, px^2 (a circle of about 4 px across).
constexpr float kMinimumCircleArea = 12.0f;

// Blobs from kMinimumCircleArea up to the picture's area shared among the grid's circles, the
// most one circle can cover when all are in view. OpenCV's default stops at 5000 px^2 (a circle
// of 80 px), too small for close views; a bound far above the share lets the grid finder fail
// on some clean oblique views.
cv::Ptr<cv::FeatureDetector> circleFinder(const cv::Size& picture, const CircleGridTarget& target) {
    cv::SimpleBlobDetector::Params params;
    params.minArea = kMinimumCircleArea;
    const double share = static_cast<double>(picture.area()) / std::max(1, target.size.area());
    params.maxArea = static_cast<float>(std::max(share, 4.0 * kMinimumCircleArea));
    return cv::SimpleBlobDetector::create(params);
}

int gridFlags(const CircleGridTarget& target) {
    return target.asymmetric ? cv::CALIB_CB_ASYMMETRIC_GRID : cv::CALIB_CB_SYMMETRIC_GRID;
}

ImageDetection detectCircleGridImage(const cv::Mat& image, int index, const CircleGridTarget& target,
                                     const cv::Mat& objectPoints, Annotation annotation) {
    std::vector<cv::Point2f> centres;
    if (!findCircleCentres(toGrey(image), target, centres)) {
        return skippedImage("IntrinsicCalibrator", "Circle grid not found");
    }
    ImageDetection detection;
    detection.found = true;
    if (annotation == Annotation::Draw) {
        detection.annotated_image = annotatedCopy(
            image, [&](cv::Mat& canvas) { cv::drawChessboardCorners(canvas, target.size, centres, true); });
    }
    detection.image_points = cv::Mat(centres, true).reshape(2, static_cast<int>(centres.size()));
    detection.object_points = objectPoints.clone();
    return detection;
}

}  // namespace

// The grid finder is tried as a plain grid first and, for a strongly tilted view where that
// fails, again with the clustering search, which tolerates more foreshortening.
bool findCircleCentres(const cv::Mat& grey, const CircleGridTarget& target, std::vector<cv::Point2f>& centres) {
    const cv::Ptr<cv::FeatureDetector> finder = circleFinder(grey.size(), target);
    const int flags = gridFlags(target);
    if (cv::findCirclesGrid(grey, target.size, centres, flags, finder)) {
        return true;
    }
    centres.clear();
    return cv::findCirclesGrid(grey, target.size, centres, flags | cv::CALIB_CB_CLUSTERING, finder);
}

TargetDetections detectCircleGrid(const std::vector<cv::Mat>& images, const CircleGridTarget& target,
                                  const IntrinsicOptions& options, Annotation annotation) {
    target.validate();
    const cv::Mat objectPoints = target.objectPoints();
    return detectBatch(
        images,
        [&](const cv::Mat& image, int i) { return detectCircleGridImage(image, i, target, objectPoints, annotation); },
        options);
}

}  // namespace velk::calibration
