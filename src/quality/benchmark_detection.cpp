#include "quality/benchmark_detection.hpp"

#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect/aruco_detector.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

#include "calibration/detection/chessboard_searches.hpp"
#include "calibration/detection/parallel_detection.hpp"
#include "calibration/detection/target_detection.hpp"
#include "targets/marker_detection_parameters.hpp"

namespace velk::quality {
namespace {

constexpr int kMinimumCorners = 4;

TargetPoints fromVectors(const std::vector<cv::Point2f>& image, const std::vector<cv::Point3f>& object) {
    const int rows = static_cast<int>(image.size());
    return {cv::Mat(image, true).reshape(2, rows), cv::Mat(object, true).reshape(1, rows)};
}

// The board by the adaptive search, or else by the searches tried after it (chessboardSearches);
// the search that found it, or nullopt.
std::optional<calibration::ChessboardSearchKind> findChessboard(const cv::Mat& grey, cv::Size size,
                                                                std::vector<cv::Point2f>& corners) {
    constexpr int kFlags = cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE;
    for (const calibration::ChessboardSearchKind kind : calibration::chessboardSearches(kFlags, true)) {
        if (calibration::runChessboardSearch(grey, size, kFlags, kind, corners)) {
            return kind;
        }
    }
    return std::nullopt;
}

// The quad searches' corners are refined; the sector-based search places its own.
std::optional<TargetPoints> detectChessboard(const cv::Mat& grey, const ChessboardTarget& target) {
    std::vector<cv::Point2f> corners;
    const std::optional<calibration::ChessboardSearchKind> kind = findChessboard(grey, target.size, corners);
    if (!kind) {
        return std::nullopt;
    }
    if (*kind != calibration::ChessboardSearchKind::Sector) {
        cv::cornerSubPix(grey, corners, cv::Size(11, 11), cv::Size(-1, -1),
                         cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.001));
    }
    const int rows = static_cast<int>(corners.size());
    return TargetPoints{cv::Mat(corners, true).reshape(2, rows), target.objectPoints()};
}

// The board by the default detector, or else by the wider one.
std::optional<TargetPoints> detectCharuco(const cv::Mat& grey, const CharucoTarget& target) {
    const cv::aruco::CharucoDetector detector = target.createDetector();
    std::vector<cv::Point2f> corners;
    std::vector<int> ids;
    detector.detectBoard(grey, corners, ids);
    if (static_cast<int>(corners.size()) < kMinimumCorners) {
        target.createWiderDetector().detectBoard(grey, corners, ids);
    }
    if (static_cast<int>(corners.size()) < kMinimumCorners) {
        return std::nullopt;
    }
    return fromVectors(corners, calibration::charucoObjectPoints(detector.getBoard().getChessboardCorners(), ids));
}

// Markers of the dictionary that are not on this board have no board corners and are left out.
std::optional<TargetPoints> markerPoints(const ArucoTarget& target, const cv::aruco::GridBoard& board,
                                         const std::vector<std::vector<cv::Point2f>>& markerCorners,
                                         const std::vector<int>& ids) {
    const std::vector<std::vector<cv::Point3f>>& boardMarkers = board.getObjPoints();
    std::vector<cv::Point2f> imagePoints;
    std::vector<cv::Point3f> objectPoints;
    int markers = 0;
    for (size_t k = 0; k < ids.size(); ++k) {
        const int index = target.boardIndexOf(ids[k]);
        if (index < 0) {
            continue;
        }
        ++markers;
        for (int c = 0; c < 4; ++c) {
            imagePoints.push_back(markerCorners[k][c]);
            objectPoints.push_back(boardMarkers[static_cast<size_t>(index)][c]);
        }
    }
    if (markers < target.markersNeededPerPicture()) {
        return std::nullopt;
    }
    return fromVectors(imagePoints, objectPoints);
}

// The markers by the default parameters, or else by the wider ones.
std::optional<TargetPoints> detectArucoGrid(const cv::Mat& grey, const ArucoTarget& target) {
    const cv::aruco::GridBoard board = target.createBoard();
    std::optional<TargetPoints> found;
    for (const cv::aruco::DetectorParameters& parameters :
         {cv::aruco::DetectorParameters(), widerMarkerSearchParameters()}) {
        const cv::aruco::ArucoDetector detector(target.createDictionary(), parameters, markerRefineParameters());
        std::vector<std::vector<cv::Point2f>> markerCorners;
        std::vector<int> ids;
        detector.detectMarkers(grey, markerCorners, ids);
        found = markerPoints(target, board, markerCorners, ids);
        if (found) {
            break;
        }
    }
    return found;
}

std::optional<TargetPoints> detectCircleGrid(const cv::Mat& grey, const CircleGridTarget& target) {
    std::vector<cv::Point2f> centres;
    if (!calibration::findCircleCentres(grey, target, centres)) {
        return std::nullopt;
    }
    const int rows = static_cast<int>(centres.size());
    return TargetPoints{cv::Mat(centres, true).reshape(2, rows), target.objectPoints()};
}

}  // namespace

std::optional<TargetPoints> detectBenchmarkTarget(const cv::Mat& image, const TargetVariant& target) {
    const cv::Mat grey = calibration::toGrey(image);
    struct Dispatch {
        const cv::Mat& grey;
        std::optional<TargetPoints> operator()(const ChessboardTarget& t) const { return detectChessboard(grey, t); }
        std::optional<TargetPoints> operator()(const CharucoTarget& t) const { return detectCharuco(grey, t); }
        std::optional<TargetPoints> operator()(const ArucoTarget& t) const { return detectArucoGrid(grey, t); }
        std::optional<TargetPoints> operator()(const CircleGridTarget& t) const { return detectCircleGrid(grey, t); }
    };
    return std::visit(Dispatch{grey}, target);
}

std::vector<std::optional<TargetPoints>> detectBenchmarkTargets(const std::vector<cv::Mat>& images,
                                                                const TargetVariant& target) {
    std::vector<std::optional<TargetPoints>> found(images.size());
    calibration::detectEachImage<std::optional<TargetPoints>>(
        static_cast<int>(images.size()), [&](int i) { return detectBenchmarkTarget(images[i], target); },
        [&](int i, std::optional<TargetPoints>& points) { found[i] = std::move(points); });
    return found;
}

double pointReprojectionError(const TargetPoints& points, const cv::Mat& rotationVector, const cv::Mat& translation,
                              const cv::Mat& intrinsicMatrix, const cv::Mat& distortion) {
    cv::Mat projected;
    cv::projectPoints(points.object_points.reshape(3, points.object_points.rows), rotationVector, translation,
                      intrinsicMatrix, distortion, projected);
    cv::Mat measured, predicted;
    points.image_points.convertTo(measured, CV_64FC2);
    projected.reshape(2, points.image_points.rows).convertTo(predicted, CV_64FC2);
    return cv::norm(measured, predicted, cv::NORM_L2) / points.image_points.rows;
}

}  // namespace velk::quality
