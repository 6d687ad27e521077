#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/target_detection.hpp"
#include "core/log.hpp"
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

}  // namespace

TargetDetections detectChessboard(const std::vector<cv::Mat>& images, const ChessboardTarget& target,
                                  const IntrinsicOptions& options) {
    TargetDetections detections;
    const cv::Mat objectPoints = target.objectPoints();
    const cv::Size window(options.sub_pixel_detection_window_size, options.sub_pixel_detection_window_size);
    const cv::Size zeroZone(options.sub_pixel_detection_zero_zone_size, options.sub_pixel_detection_zero_zone_size);

    for (int i = 0; i < static_cast<int>(images.size()); ++i) {
        const CornerFinder finder = cornerFinderFromName(options.chessboard_corner_detector);
        const cv::Mat grey = toGrey(images[i]);
        cv::Mat corners;
        const bool found = finder == CornerFinder::Default
                               ? cv::findChessboardCorners(grey, target.size, corners, options.chessboard_flags)
                               : cv::findChessboardCornersSB(grey, target.size, corners, options.chessboard_flags);
        if (!found) {
            logMessage(LogLevel::Warning, "[IntrinsicCalibrator] Chessboard not found in image " + std::to_string(i));
            continue;
        }
        corners = corners.reshape(2, static_cast<int>(corners.total()));
        corners.convertTo(corners, CV_32FC2);
        if (finder == CornerFinder::Default) {
            cv::cornerSubPix(grey, corners, window, zeroZone, options.criteria);
        }
        const cv::Mat annotated = annotatedCopy(
            images[i], [&](cv::Mat& canvas) { cv::drawChessboardCorners(canvas, target.size, corners, true); });

        detections.successful_indices.push_back(i);
        detections.image_points.push_back(corners);
        detections.object_points.push_back(objectPoints.clone());
        detections.annotated_images.push_back(annotated);
    }
    return detections;
}

}  // namespace velk::calibration
