#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::quality {

// What one hand-eye solver made of a data set.
struct HandEyeMethodResult {
    std::string method_name;
    cv::Mat tcp_T_camera;          // 4 x 4 CV_64F, eye-in-hand; empty for eye-to-hand
    std::vector<double> pose_deg;  // [x, y, z, rx, ry, rz] of the camera transform, metres and degrees
    cv::Mat robot_T_camera;        // 4 x 4 CV_64F, eye-to-hand; empty for eye-in-hand
    cv::Mat tcp_T_target;          // 4 x 4 CV_64F, eye-to-hand; empty for eye-in-hand
};

// One entry per solver name, ordered by name; a solver that failed has no result.
using HandEyeMethodResults = std::map<std::string, std::optional<HandEyeMethodResult>>;

}  // namespace velk::quality
