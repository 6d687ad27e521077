#include <string>
#include <vector>

#include <opencv2/objdetect/aruco_detector.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

#include "calibration/detection/image_detection.hpp"
#include "calibration/detection/target_detection.hpp"
#include "targets/annotation.hpp"
#include "targets/marker_detection_parameters.hpp"

namespace velk::calibration {
namespace {

constexpr int kMinimumCharucoCorners = 4;

// Each image gets its own detector: detection runs on several threads at once, and a detector
// is cheap to build next to the search itself.
ImageDetection detectCharucoImage(const cv::Mat& image, int index, const CharucoTarget& target,
                                  Annotation annotation) {
    const cv::aruco::CharucoDetector detector = target.createDetector();
    const cv::Mat grey = toGrey(image);
    std::vector<cv::Point2f> corners;
    std::vector<int> ids;
    std::vector<std::vector<cv::Point2f>> markerCorners;
    std::vector<int> markerIds;
    detector.detectBoard(grey, corners, ids, markerCorners, markerIds);
    if (static_cast<int>(corners.size()) < kMinimumCharucoCorners) {
        return skippedImage("[CharucoIntrinsicCalibrator] Not enough ChArUco corners in image " +
                            std::to_string(index));
    }
    ImageDetection detection;
    detection.found = true;
    if (annotation == Annotation::Draw) {
        detection.annotated_image = annotatedCopy(image, [&](cv::Mat& canvas) {
            if (!markerCorners.empty()) {
                cv::aruco::drawDetectedMarkers(canvas, markerCorners, markerIds, kMarkerColour);
            }
            cv::aruco::drawDetectedCornersCharuco(canvas, corners, ids, kCharucoCornerColour);
        });
    }
    const int rows = static_cast<int>(corners.size());
    detection.image_points = cv::Mat(corners, true).reshape(2, rows);
    const std::vector<cv::Point3f> objectPoints =
        charucoObjectPoints(detector.getBoard().getChessboardCorners(), ids);
    detection.object_points = cv::Mat(objectPoints, true).reshape(1, static_cast<int>(objectPoints.size()));
    detection.point_ids = cv::Mat(ids, true).reshape(1, static_cast<int>(ids.size()));
    return detection;
}

}  // namespace

TargetDetections detectCharuco(const std::vector<cv::Mat>& images, const CharucoTarget& target,
                               Annotation annotation, const DetectionProgress& progress) {
    return detectBatch(
        images, [&](const cv::Mat& image, int i) { return detectCharucoImage(image, i, target, annotation); },
        progress);
}

}  // namespace velk::calibration
