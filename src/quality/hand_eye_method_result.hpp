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
    cv::Mat tcp_T_camera;          // 4 x 4 CV_64F
    std::vector<double> pose_deg;  // [x, y, z, rx, ry, rz] of tcp_T_camera, metres and degrees
};

// One entry per solver name, ordered by name; a solver that failed has no result.
using HandEyeMethodResults = std::map<std::string, std::optional<HandEyeMethodResult>>;

}  // namespace velk::quality
