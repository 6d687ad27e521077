#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// Detections of one batch of images; entry k of every list belongs to the same
// successful image. point_ids is filled for ChArUco targets only.
struct TargetDetections {
    std::vector<int> successful_indices;  // positions in the input list, ascending
    std::vector<cv::Mat> image_points;    // N x 1 CV_32FC2
    std::vector<cv::Mat> object_points;   // N x 3 CV_32F
    std::vector<cv::Mat> point_ids;       // N x 1 CV_32S
    std::vector<cv::Mat> annotated_images;
};

}  // namespace velk::calibration
