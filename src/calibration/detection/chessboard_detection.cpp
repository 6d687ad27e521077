#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/detection/full_resolution_patches.hpp"
#include "calibration/detection/image_detection.hpp"
#include "calibration/detection/reduced_scale.hpp"
#include "calibration/detection/target_detection.hpp"
#include "targets/annotation.hpp"

namespace velk::calibration {
namespace {

// A refinement window reaches at most this share of the way to the closest neighbouring corner.
constexpr double kCornerSpacingFraction = 0.4;

enum class CornerFinder { Default, SectorBased };

CornerFinder cornerFinderFromName(const std::string& name) {
    if (name == "Default") {
        return CornerFinder::Default;
    }
    if (name == "Sector Based") {
        return CornerFinder::SectorBased;
    }
    throw std::invalid_argument(
        "IntrinsicCalibrator: chessboard_corner_detector must be 'Default' or 'Sector Based', got '" + name + "'");
}

struct ChessboardSearch {
    const ChessboardTarget& target;
    const IntrinsicOptions& options;
    CornerFinder finder;
    cv::Mat objectPoints;
    Annotation annotation;
};

bool findCorners(const cv::Mat& grey, const ChessboardSearch& search, std::vector<cv::Point2f>& corners) {
    const int flags = search.options.chessboard_flags;
    return search.finder == CornerFinder::Default
               ? cv::findChessboardCorners(grey, search.target.size, corners, flags)
               : cv::findChessboardCornersSB(grey, search.target.size, corners, flags);
}

// Corners of the full-resolution picture: found as they are, refined when the Default finder found them.
bool findAtFullResolution(const cv::Mat& grey, const ChessboardSearch& search, std::vector<cv::Point2f>& corners) {
    if (!findCorners(grey, search, corners)) {
        return false;
    }
    if (search.finder == CornerFinder::Default) {
        const int window = search.options.sub_pixel_detection_window_size;
        const int zeroZone = search.options.sub_pixel_detection_zero_zone_size;
        cv::cornerSubPix(grey, corners, cv::Size(window, window), cv::Size(zeroZone, zeroZone),
                         search.options.criteria);
    }
    return true;
}

// Corners found on a halved grey copy of the caller's picture, then refined on grey patches
// of the full-resolution picture with a window scaled up by the reduction but kept within 0.4
// of the closest corner spacing, so that it stays on the corner's own squares. No full-size
// grey copy is made. The quick structural check rejects a picture without the board on the
// reduced copy alone, before the costly search.
bool findAtReducedScale(const cv::Mat& image, const ChessboardSearch& search, std::vector<cv::Point2f>& corners) {
    const ReducedPicture reduced = reduceToGrey(image, search.options.detection_max_side);
    if (!cv::checkChessboard(reduced.grey, search.target.size)) {
        return false;
    }
    std::vector<cv::Point2f> found;
    if (!findCorners(reduced.grey, search, found)) {
        return false;
    }
    corners = mapToFullResolution(found, reduced.factor);
    const int halfWindow = fullResolutionHalfWindow(search.options.sub_pixel_detection_window_size, reduced.factor,
                                                    nearestDistances(corners), kCornerSpacingFraction);
    const int zeroZone = search.options.sub_pixel_detection_zero_zone_size;
    refineCornersOnPatches(image, corners, halfWindow, zeroZone < 0 ? -1 : zeroZone * reduced.factor,
                           search.options.criteria);
    return true;
}

ImageDetection detectChessboardImage(const cv::Mat& image, int index, const ChessboardSearch& search) {
    std::vector<cv::Point2f> corners;
    const bool found = searchesReduced(image.size(), search.options.detection_max_side)
                           ? findAtReducedScale(image, search, corners)
                           : findAtFullResolution(toGrey(image), search, corners);
    if (!found) {
        return skippedImage("[IntrinsicCalibrator] Chessboard not found in image " + std::to_string(index));
    }
    ImageDetection detection;
    detection.found = true;
    if (search.annotation == Annotation::Draw) {
        detection.annotated_image = annotatedCopy(image, [&](cv::Mat& canvas) {
            cv::drawChessboardCorners(canvas, search.target.size, corners, true);
        });
    }
    detection.image_points = cv::Mat(corners, true).reshape(2, static_cast<int>(corners.size()));
    detection.object_points = search.objectPoints.clone();
    return detection;
}

}  // namespace

TargetDetections detectChessboard(const std::vector<cv::Mat>& images, const ChessboardTarget& target,
                                  const IntrinsicOptions& options, Annotation annotation) {
    // The detector name is checked only when there is an image to look at.
    const CornerFinder finder =
        images.empty() ? CornerFinder::Default : cornerFinderFromName(options.chessboard_corner_detector);
    const ChessboardSearch search{target, options, finder, target.objectPoints(), annotation};
    return detectBatch(
        images, [&](const cv::Mat& image, int i) { return detectChessboardImage(image, i, search); },
        options.progress_callback);
}

}  // namespace velk::calibration
