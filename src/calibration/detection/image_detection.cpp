#include "calibration/detection/image_detection.hpp"

#include <utility>

#include "core/log.hpp"
#include "core/picture_names.hpp"

namespace velk::calibration {

ImageDetection skippedImage(std::string component, std::string reason) {
    ImageDetection detection;
    detection.component = std::move(component);
    detection.reason = std::move(reason);
    return detection;
}

void appendDetection(TargetDetections& detections, int index, ImageDetection& detection,
                     const std::vector<std::string>& names) {
    if (!detection.found) {
        logMessage(LogLevel::Warning,
                   "[" + detection.component + "] " + detection.reason + " in image " + pictureLabel(names, index));
        detections.skipped_indices.push_back(index);
        detections.skipped_reasons.push_back(detection.reason);
        return;
    }
    detections.successful_indices.push_back(index);
    detections.image_points.push_back(std::move(detection.image_points));
    detections.object_points.push_back(std::move(detection.object_points));
    if (!detection.point_ids.empty()) {
        detections.point_ids.push_back(std::move(detection.point_ids));
    }
    if (!detection.found_by.empty()) {
        detections.found_by.push_back(std::move(detection.found_by));
    }
    if (!detection.annotated_image.empty()) {
        detections.annotated_images.push_back(std::move(detection.annotated_image));
    }
}

}  // namespace velk::calibration
