#pragma once

#include <limits>
#include <string>

#include <opencv2/core.hpp>

namespace velk::quality {

// One backend's benchmark outcome. Errors are in pixels.
struct BenchmarkResult {
    std::string backend_name;
    double reprojection_error = 0.0;  // intrinsic calibration on all images
    // Mean error on held-out images; +infinity when none could be computed.
    double held_out_reprojection_error = std::numeric_limits<double>::infinity();
    // -1 when the round trip was not run; +infinity when it ran without a usable frame.
    double hand_eye_roundtrip_error = -1.0;
    cv::Mat camera_matrix;
    cv::Mat dist_coeffs;
    std::string timestamp;  // UTC, e.g. 2026-12-07T05:11:41.042000+00:00
    int image_count = 0;
};

}  // namespace velk::quality
