#include <string>
#include <vector>

#include <opencv2/objdetect/aruco_detector.hpp>

#include "calibration/detection/image_detection.hpp"
#include "calibration/detection/target_detection.hpp"
#include "targets/annotation.hpp"
#include "targets/marker_detection_parameters.hpp"

namespace velk::calibration {
namespace {

constexpr int kMinimumArucoMarkers = 4;

struct MarkerPoints {
    cv::Mat image_points;   // 4M x 1 CV_32FC2
    cv::Mat object_points;  // 4M x 3 CV_32F
};

// Pairs each detected marker's corners with the board's corners of the same id.
// A marker of the dictionary that is not on this board has no board corners and is left out.
MarkerPoints pairMarkerCorners(const std::vector<std::vector<cv::Point3f>>& boardMarkers,
                               const std::vector<std::vector<cv::Point2f>>& corners, const std::vector<int>& ids) {
    std::vector<cv::Point2f> imagePoints;
    std::vector<cv::Point3f> objectPoints;
    for (size_t k = 0; k < ids.size(); ++k) {
        if (ids[k] < 0 || static_cast<size_t>(ids[k]) >= boardMarkers.size()) {
            continue;
        }
        for (int c = 0; c < 4; ++c) {
            imagePoints.push_back(corners[k][c]);
            objectPoints.push_back(boardMarkers[ids[k]][c]);
        }
    }
    const int rows = static_cast<int>(imagePoints.size());
    return {cv::Mat(imagePoints, true).reshape(2, rows), cv::Mat(objectPoints, true).reshape(1, rows)};
}

int countBoardMarkers(const std::vector<int>& ids, size_t boardMarkerCount) {
    int count = 0;
    for (int id : ids) {
        count += (id >= 0 && static_cast<size_t>(id) < boardMarkerCount) ? 1 : 0;
    }
    return count;
}

// Each image gets its own board and detector, as detection runs on several threads at once.
ImageDetection detectArucoGridImage(const cv::Mat& image, int index, const ArucoTarget& target,
                                    Annotation annotation) {
    const cv::aruco::GridBoard board = target.createBoard();
    const cv::aruco::ArucoDetector detector(target.createDictionary(), cv::aruco::DetectorParameters(),
                                            markerRefineParameters());
    const std::vector<std::vector<cv::Point3f>>& boardMarkers = board.getObjPoints();
    const cv::Mat grey = toGrey(image);
    std::vector<std::vector<cv::Point2f>> corners;
    std::vector<int> ids;
    std::vector<std::vector<cv::Point2f>> rejected;
    detector.detectMarkers(grey, corners, ids, rejected);
    if (countBoardMarkers(ids, boardMarkers.size()) < kMinimumArucoMarkers) {
        return skippedImage("[ArucoIntrinsicCalibrator] Not enough ArUco markers in image " + std::to_string(index));
    }
    detector.refineDetectedMarkers(grey, board, corners, ids, rejected);
    MarkerPoints points = pairMarkerCorners(boardMarkers, corners, ids);

    ImageDetection detection;
    detection.found = true;
    if (annotation == Annotation::Draw) {
        detection.annotated_image = annotatedCopy(image, [&](cv::Mat& canvas) {
            cv::aruco::drawDetectedMarkers(canvas, corners, ids, kMarkerColour);
        });
    }
    detection.image_points = points.image_points;
    detection.object_points = points.object_points;
    return detection;
}

}  // namespace

TargetDetections detectArucoGrid(const std::vector<cv::Mat>& images, const ArucoTarget& target,
                                 Annotation annotation, const DetectionProgress& progress) {
    return detectBatch(
        images, [&](const cv::Mat& image, int i) { return detectArucoGridImage(image, i, target, annotation); },
        progress);
}

}  // namespace velk::calibration
