#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/objdetect/aruco_detector.hpp>

#include "calibration/detection/full_resolution_patches.hpp"
#include "calibration/detection/image_detection.hpp"
#include "calibration/detection/later_searches.hpp"
#include "calibration/detection/reduced_scale.hpp"
#include "calibration/detection/target_detection.hpp"
#include "targets/annotation.hpp"
#include "targets/marker_detection_parameters.hpp"

namespace velk::calibration {
namespace {

// Half side of the marker corner refinement window on the reduced copy, before it is scaled up
// (OpenCV's default window for marker corners).
constexpr int kReducedHalfWindow = 5;
// A refinement window reaches at most this share of a marker's module (the side of one bit),
// so that it stays on the marker's black border and the white margin around it.
constexpr double kModuleFraction = 0.4;

int countBoardMarkers(const std::vector<int>& ids, const ArucoTarget& target) {
    int count = 0;
    for (int id : ids) {
        count += target.boardIndexOf(id) >= 0 ? 1 : 0;
    }
    return count;
}

int minimumMarkers(const ArucoTarget& target) {
    return target.markersNeededPerPicture();
}

struct FoundMarkers {
    std::vector<std::vector<cv::Point2f>> corners;
    std::vector<int> ids;
    std::vector<std::vector<cv::Point2f>> rejected;
};

// Side of the smallest marker's module in pixels: its shortest edge over the bits across it
// and the border on both sides.
double smallestModule(const std::vector<std::vector<cv::Point2f>>& markers, int markerBits) {
    double shortest = std::numeric_limits<double>::infinity();
    for (const std::vector<cv::Point2f>& m : markers) {
        for (int c = 0; c < 4; ++c) {
            shortest = std::min(shortest, static_cast<double>(cv::norm(m[c] - m[(c + 1) % 4])));
        }
    }
    return shortest / (markerBits + 2);
}

// Markers found and completed on a halved grey copy of the caller's picture; their corners
// mapped up and refined on grey patches of the full-resolution picture, so that no full-size
// grey copy is made.
FoundMarkers findOnReducedCopy(const cv::aruco::ArucoDetector& detector, const cv::aruco::GridBoard& board,
                               const ArucoTarget& target, const cv::Mat& image, int maxSide,
                               const cv::TermCriteria& criteria) {
    const ReducedPicture reduced = reduceToGrey(image, maxSide);
    FoundMarkers found;
    detector.detectMarkers(reduced.grey, found.corners, found.ids, found.rejected);
    if (countBoardMarkers(found.ids, target) < minimumMarkers(target)) {
        return found;
    }
    detector.refineDetectedMarkers(reduced.grey, board, found.corners, found.ids, found.rejected);
    for (std::vector<cv::Point2f>& marker : found.corners) {
        marker = mapToFullResolution(marker, reduced.factor);
    }
    const double module = smallestModule(found.corners, board.getDictionary().markerSize);
    const int halfWindow = fullResolutionHalfWindow(kReducedHalfWindow, reduced.factor, {module}, kModuleFraction);
    for (std::vector<cv::Point2f>& marker : found.corners) {
        refineCornersOnPatches(image, marker, halfWindow, -1, criteria);
    }
    return found;
}

FoundMarkers findAtFullResolution(const cv::aruco::ArucoDetector& detector, const cv::aruco::GridBoard& board,
                                  const ArucoTarget& target, const cv::Mat& grey) {
    FoundMarkers found;
    detector.detectMarkers(grey, found.corners, found.ids, found.rejected);
    if (countBoardMarkers(found.ids, target) >= minimumMarkers(target)) {
        detector.refineDetectedMarkers(grey, board, found.corners, found.ids, found.rejected);
    }
    return found;
}

struct MarkerPoints {
    cv::Mat image_points;   // 4M x 1 CV_32FC2
    cv::Mat object_points;  // 4M x 3 CV_32F
};

// Pairs each detected marker's corners with the board's corners of the same id.
// A marker of the dictionary that is not on this board has no board corners and is left out.
MarkerPoints pairMarkerCorners(const ArucoTarget& target, const std::vector<std::vector<cv::Point3f>>& boardMarkers,
                               const std::vector<std::vector<cv::Point2f>>& corners, const std::vector<int>& ids) {
    std::vector<cv::Point2f> imagePoints;
    std::vector<cv::Point3f> objectPoints;
    for (size_t k = 0; k < ids.size(); ++k) {
        const int index = target.boardIndexOf(ids[k]);
        if (index < 0) {
            continue;
        }
        for (int c = 0; c < 4; ++c) {
            imagePoints.push_back(corners[k][c]);
            objectPoints.push_back(boardMarkers[static_cast<size_t>(index)][c]);
        }
    }
    const int rows = static_cast<int>(imagePoints.size());
    return {cv::Mat(imagePoints, true).reshape(2, rows), cv::Mat(objectPoints, true).reshape(1, rows)};
}

FoundMarkers findWith(const cv::aruco::DetectorParameters& parameters, const cv::aruco::GridBoard& board,
                      const ArucoTarget& target, const cv::Mat& image, const IntrinsicOptions& options) {
    const cv::aruco::ArucoDetector detector(target.createDictionary(), parameters, markerRefineParameters());
    return searchesReduced(image.size(), options.detection_max_side)
               ? findOnReducedCopy(detector, board, target, image, options.detection_max_side, options.criteria)
               : findAtFullResolution(detector, board, target, toGrey(image));
}

// Each image gets its own board and detector, as detection runs on several threads at once. A
// picture the default parameters find too few markers in is searched again with wider ones, when
// the options allow.
ImageDetection detectArucoGridImage(const cv::Mat& image, int index, const ArucoTarget& target, Annotation annotation,
                                    const IntrinsicOptions& options) {
    const cv::aruco::GridBoard board = target.createBoard();
    const std::vector<std::vector<cv::Point3f>>& boardMarkers = board.getObjPoints();
    FoundMarkers found = findWith(cv::aruco::DetectorParameters(), board, target, image, options);
    std::string foundBy = kFirstSearchName;
    if (countBoardMarkers(found.ids, target) < minimumMarkers(target) && options.fallback_searches) {
        found = findWith(widerMarkerSearchParameters(), board, target, image, options);
        foundBy = kWiderMarkerSearchName;
    }
    const std::vector<std::vector<cv::Point2f>>& corners = found.corners;
    const std::vector<int>& ids = found.ids;
    if (countBoardMarkers(ids, target) < minimumMarkers(target)) {
        return skippedImage("ArucoIntrinsicCalibrator", "Not enough ArUco markers");
    }
    if (foundBy != kFirstSearchName) {
        logFoundByLaterSearch("ArucoIntrinsicCalibrator", "ArUco board", foundBy, options, index);
    }
    MarkerPoints points = pairMarkerCorners(target, boardMarkers, corners, ids);

    ImageDetection detection;
    detection.found = true;
    detection.found_by = foundBy;
    if (annotation == Annotation::Draw) {
        detection.annotated_image = annotatedCopy(
            image, [&](cv::Mat& canvas) { cv::aruco::drawDetectedMarkers(canvas, corners, ids, kMarkerColour); });
    }
    detection.image_points = points.image_points;
    detection.object_points = points.object_points;
    return detection;
}

}  // namespace

void refineMarkerCorners(const cv::Mat& grey, cv::Mat& imagePoints, int markerBits, const cv::TermCriteria& criteria) {
    std::vector<cv::Point2f> corners(imagePoints.begin<cv::Point2f>(), imagePoints.end<cv::Point2f>());
    std::vector<std::vector<cv::Point2f>> markers;
    for (size_t m = 0; m + 4 <= corners.size(); m += 4) {
        markers.emplace_back(corners.begin() + static_cast<long>(m), corners.begin() + static_cast<long>(m + 4));
    }
    if (markers.empty()) {
        return;
    }
    const double module = smallestModule(markers, markerBits);
    const int halfWindow = fullResolutionHalfWindow(kReducedHalfWindow, 1, {module}, kModuleFraction);
    refineCorners(grey, corners, halfWindow, -1, criteria);
    cv::Mat(corners, true).reshape(2, static_cast<int>(corners.size())).copyTo(imagePoints);
}

TargetDetections detectArucoGrid(const std::vector<cv::Mat>& images, const ArucoTarget& target,
                                 const IntrinsicOptions& options, Annotation annotation) {
    return detectBatch(
        images,
        [&](const cv::Mat& image, int i) { return detectArucoGridImage(image, i, target, annotation, options); },
        options);
}

}  // namespace velk::calibration
