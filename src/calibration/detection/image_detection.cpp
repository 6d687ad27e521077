#include "calibration/detection/image_detection.hpp"

#include <utility>

#include "core/log.hpp"

namespace velk::calibration {

ImageDetection skippedImage(std::string warning) {
    ImageDetection detection;
    detection.warning = std::move(warning);
    return detection;
}

void appendDetection(TargetDetections& detections, int index, ImageDetection& detection) {
    if (!detection.found) {
        logMessage(LogLevel::Warning, detection.warning);
        return;
    }
    detections.successful_indices.push_back(index);
    detections.image_points.push_back(std::move(detection.image_points));
    detections.object_points.push_back(std::move(detection.object_points));
    if (!detection.point_ids.empty()) {
        detections.point_ids.push_back(std::move(detection.point_ids));
    }
    if (!detection.annotated_image.empty()) {
        detections.annotated_images.push_back(std::move(detection.annotated_image));
    }
}

}  // namespace velk::calibration
