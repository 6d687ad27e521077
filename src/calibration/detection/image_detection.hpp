#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/detection/intrinsic_options.hpp"
#include "calibration/detection/parallel_detection.hpp"
#include "calibration/detection/target_detections.hpp"

namespace velk::calibration {

// What detection found in one image of a batch. An image that shows too little of the target
// carries, instead of points, the component that looked and what it missed ("Chessboard not found").
struct ImageDetection {
    bool found = false;
    std::string component;
    std::string reason;
    cv::Mat image_points;   // N x 1 CV_32FC2
    cv::Mat object_points;  // N x 3 CV_32F
    cv::Mat point_ids;      // N x 1 CV_32S, ChArUco only
    std::string found_by;   // chessboard only: the search that found it (chessboardSearchName)
    cv::Mat annotated_image;
};

ImageDetection skippedImage(std::string component, std::string reason);

// Adds one image's detection to the batch, or, when it was skipped, notes it with its reason and logs
// "[component] reason in image <picture>", the picture named through `names` (see pictureLabel).
void appendDetection(TargetDetections& detections, int index, ImageDetection& detection,
                     const std::vector<std::string>& names);

// Detects every image with detectOne (in parallel) and gathers the found ones into a batch in
// image order, logging the warning of each skipped image where a sequential loop would.
template <typename DetectOne>
TargetDetections detectBatch(const std::vector<cv::Mat>& images, const DetectOne& detectOne,
                             const IntrinsicOptions& options) {
    TargetDetections detections;
    detectEachImage<ImageDetection>(
        static_cast<int>(images.size()), [&](int i) { return detectOne(images[static_cast<size_t>(i)], i); },
        [&](int i, ImageDetection& found) { appendDetection(detections, i, found, options.image_names); },
        options.progress_callback);
    return detections;
}

}  // namespace velk::calibration
