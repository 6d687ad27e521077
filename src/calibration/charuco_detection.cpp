#include <string>
#include <vector>

#include <opencv2/objdetect/aruco_detector.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

#include "calibration/target_detection.hpp"
#include "core/log.hpp"
#include "targets/annotation.hpp"
#include "targets/marker_detection_parameters.hpp"

namespace velk::calibration {
namespace {

constexpr int kMinimumCharucoCorners = 4;

}  // namespace

TargetDetections detectCharuco(const std::vector<cv::Mat>& images, const CharucoTarget& target) {
    TargetDetections detections;
    const cv::aruco::CharucoDetector detector = target.createDetector();
    const std::vector<cv::Point3f> boardCorners = detector.getBoard().getChessboardCorners();

    for (int i = 0; i < static_cast<int>(images.size()); ++i) {
        const cv::Mat grey = toGrey(images[i]);
        std::vector<cv::Point2f> corners;
        std::vector<int> ids;
        std::vector<std::vector<cv::Point2f>> markerCorners;
        std::vector<int> markerIds;
        detector.detectBoard(grey, corners, ids, markerCorners, markerIds);
        if (static_cast<int>(corners.size()) < kMinimumCharucoCorners) {
            logMessage(LogLevel::Warning,
                       "[CharucoIntrinsicCalibrator] Not enough ChArUco corners in image " + std::to_string(i));
            continue;
        }
        const cv::Mat annotated = annotatedCopy(images[i], [&](cv::Mat& canvas) {
            if (!markerCorners.empty()) {
                cv::aruco::drawDetectedMarkers(canvas, markerCorners, markerIds, kMarkerColour);
            }
            cv::aruco::drawDetectedCornersCharuco(canvas, corners, ids, kCharucoCornerColour);
        });

        detections.successful_indices.push_back(i);
        detections.image_points.push_back(cv::Mat(corners, true).reshape(2, static_cast<int>(corners.size())));
        const std::vector<cv::Point3f> objectPoints = charucoObjectPoints(boardCorners, ids);
        detections.object_points.push_back(
            cv::Mat(objectPoints, true).reshape(1, static_cast<int>(objectPoints.size())));
        detections.point_ids.push_back(cv::Mat(ids, true).reshape(1, static_cast<int>(ids.size())));
        detections.annotated_images.push_back(annotated);
    }
    return detections;
}

}  // namespace velk::calibration
