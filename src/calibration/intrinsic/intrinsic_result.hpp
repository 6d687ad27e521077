#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/held_out_views.hpp"

namespace velk::calibration {

// Outcome of an intrinsic calibration.
struct IntrinsicResult {
    bool ok = false;
    cv::Mat intrinsic_matrix;              // 3 x 3 CV_64F
    cv::Mat distortion_coefficients;       // one row of doubles; k1..k4 for the fisheye model
    std::string camera_model = "pinhole";  // "pinhole" or "fisheye"
    double reprojection_error = 0.0;       // mean per-view error, pixels
    std::vector<int> successful_indices;
    std::vector<cv::Mat> image_points;
    std::vector<int> low_view_error_indices;  // positions among the successful views
    std::vector<double> per_view_errors;
    cv::Mat std_deviations_intrinsics;
    cv::Mat std_deviations_extrinsics;
    // Free parameters the pictures do not determine apart from the others ("k4", ...): their
    // 1-sigma reads +inf, the others' is that with them held at their values.
    std::vector<std::string> undetermined_parameters;
    // Leave-one-view-out validation, when asked for.
    std::optional<HeldOutViews> validation;
};

}  // namespace velk::calibration
