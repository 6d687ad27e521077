#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// Frames that could be posed, with their images and robot poses kept aligned.
struct AlignedTargetPoses {
    std::vector<cv::Mat> camera_T_target_list;
    std::vector<cv::Mat> valid_image_list;
    std::vector<cv::Mat> valid_robot_T_tcp_list;
};

}  // namespace velk::calibration
