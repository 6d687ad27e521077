#include <string>
#include <vector>

#include <opencv2/objdetect/aruco_detector.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

#include "calibration/detection/full_resolution_patches.hpp"
#include "calibration/detection/image_detection.hpp"
#include "calibration/detection/later_searches.hpp"
#include "calibration/detection/reduced_scale.hpp"
#include "calibration/detection/target_detection.hpp"
#include "targets/annotation.hpp"
#include "targets/marker_detection_parameters.hpp"

namespace velk::calibration {
namespace {

constexpr int kMinimumCharucoCorners = 4;
// Half side of the refinement window on the reduced copy, before it is scaled up.
constexpr int kReducedHalfWindow = 6;
// A refinement window reaches at most this share of the way to the closest marker corner, so
// that it stays on the white margin around the chessboard corner.
constexpr double kMarkerCornerFraction = 0.5;

struct CharucoCorners {
    std::vector<cv::Point2f> corners;
    std::vector<int> ids;
    std::vector<std::vector<cv::Point2f>> markerCorners;
    std::vector<int> markerIds;
};

// Every marker corner of the detection, flattened.
std::vector<cv::Point2f> allMarkerCorners(const std::vector<std::vector<cv::Point2f>>& markers) {
    std::vector<cv::Point2f> points;
    for (const std::vector<cv::Point2f>& marker : markers) {
        points.insert(points.end(), marker.begin(), marker.end());
    }
    return points;
}

// The board found on a halved grey copy of the caller's picture; the ChArUco corners and marker
// corners are mapped up and the ChArUco corners refined on grey patches of the full-resolution
// picture, so that no full-size grey copy is made.
CharucoCorners detectAtReducedScale(const cv::aruco::CharucoDetector& detector, const cv::Mat& image, int maxSide,
                                    const cv::TermCriteria& criteria) {
    const ReducedPicture reduced = reduceToGrey(image, maxSide);
    CharucoCorners found;
    detector.detectBoard(reduced.grey, found.corners, found.ids, found.markerCorners, found.markerIds);
    if (static_cast<int>(found.corners.size()) < kMinimumCharucoCorners) {
        return found;
    }
    for (std::vector<cv::Point2f>& marker : found.markerCorners) {
        marker = mapToFullResolution(marker, reduced.factor);
    }
    found.corners = mapToFullResolution(found.corners, reduced.factor);
    const int halfWindow = fullResolutionHalfWindow(
        kReducedHalfWindow, reduced.factor, nearestDistances(found.corners, allMarkerCorners(found.markerCorners)),
        kMarkerCornerFraction);
    refineCornersOnPatches(image, found.corners, halfWindow, -1, criteria);
    return found;
}

CharucoCorners detectAtFullResolution(const cv::aruco::CharucoDetector& detector, const cv::Mat& grey) {
    CharucoCorners found;
    detector.detectBoard(grey, found.corners, found.ids, found.markerCorners, found.markerIds);
    return found;
}

CharucoCorners detectWith(const cv::aruco::CharucoDetector& detector, const cv::Mat& image,
                          const IntrinsicOptions& options) {
    return searchesReduced(image.size(), options.detection_max_side)
               ? detectAtReducedScale(detector, image, options.detection_max_side, options.criteria)
               : detectAtFullResolution(detector, toGrey(image));
}

bool enoughCorners(const CharucoCorners& found) {
    return static_cast<int>(found.corners.size()) >= kMinimumCharucoCorners;
}

// Each image gets its own detector: detection runs on several threads at once, and a detector
// is cheap to build next to the search itself. A picture the first detector finds too little in
// is searched again with the wider one, when the options allow.
ImageDetection detectCharucoImage(const cv::Mat& image, int index, const CharucoTarget& target, Annotation annotation,
                                  const IntrinsicOptions& options) {
    const cv::aruco::CharucoDetector detector = target.createDetector();
    CharucoCorners found = detectWith(detector, image, options);
    std::string foundBy = kFirstSearchName;
    if (!enoughCorners(found) && options.fallback_searches) {
        found = detectWith(target.createWiderDetector(), image, options);
        foundBy = kWiderMarkerSearchName;
    }
    const std::vector<cv::Point2f>& corners = found.corners;
    const std::vector<int>& ids = found.ids;
    const std::vector<std::vector<cv::Point2f>>& markerCorners = found.markerCorners;
    const std::vector<int>& markerIds = found.markerIds;
    if (!enoughCorners(found)) {
        return skippedImage("CharucoIntrinsicCalibrator", "Not enough ChArUco corners");
    }
    if (foundBy != kFirstSearchName) {
        logFoundByLaterSearch("CharucoIntrinsicCalibrator", "ChArUco board", foundBy, options, index);
    }
    ImageDetection detection;
    detection.found = true;
    detection.found_by = foundBy;
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
    const std::vector<cv::Point3f> objectPoints = charucoObjectPoints(detector.getBoard().getChessboardCorners(), ids);
    detection.object_points = cv::Mat(objectPoints, true).reshape(1, static_cast<int>(objectPoints.size()));
    detection.point_ids = cv::Mat(ids, true).reshape(1, static_cast<int>(ids.size()));
    return detection;
}

}  // namespace

TargetDetections detectCharuco(const std::vector<cv::Mat>& images, const CharucoTarget& target,
                               const IntrinsicOptions& options, Annotation annotation) {
    return detectBatch(
        images, [&](const cv::Mat& image, int i) { return detectCharucoImage(image, i, target, annotation, options); },
        options);
}

}  // namespace velk::calibration
