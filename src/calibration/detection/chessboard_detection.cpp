#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/detection/image_detection.hpp"
#include "calibration/detection/target_detection.hpp"
#include "targets/annotation.hpp"

namespace velk::calibration {
namespace {

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

ImageDetection detectChessboardImage(const cv::Mat& image, int index, const ChessboardSearch& search) {
    const cv::Mat grey = toGrey(image);
    const int flags = search.options.chessboard_flags;
    cv::Mat corners;
    const bool found = search.finder == CornerFinder::Default
                           ? cv::findChessboardCorners(grey, search.target.size, corners, flags)
                           : cv::findChessboardCornersSB(grey, search.target.size, corners, flags);
    if (!found) {
        return skippedImage("[IntrinsicCalibrator] Chessboard not found in image " + std::to_string(index));
    }
    corners = corners.reshape(2, static_cast<int>(corners.total()));
    corners.convertTo(corners, CV_32FC2);
    if (search.finder == CornerFinder::Default) {
        const int window = search.options.sub_pixel_detection_window_size;
        const int zeroZone = search.options.sub_pixel_detection_zero_zone_size;
        cv::cornerSubPix(grey, corners, cv::Size(window, window), cv::Size(zeroZone, zeroZone),
                         search.options.criteria);
    }
    ImageDetection detection;
    detection.found = true;
    if (search.annotation == Annotation::Draw) {
        detection.annotated_image = annotatedCopy(image, [&](cv::Mat& canvas) {
            cv::drawChessboardCorners(canvas, search.target.size, corners, true);
        });
    }
    detection.image_points = corners;
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
