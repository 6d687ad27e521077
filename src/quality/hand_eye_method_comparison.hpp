#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "quality/hand_eye_method_result.hpp"
#include "targets/target_variant.hpp"

namespace velk::quality {

// Runs the complete hand-eye calibration of the set-up ("eye-in-hand" or "eye-to-hand")
// once per hand-eye solver on the same data. A solver that throws or gives no usable
// transform has an empty entry; nothing escapes but an unknown set-up name
// (std::invalid_argument, before any work). camera_model ("pinhole" or "fisheye") is the lens
// model the calibrations pose and project with; an unknown one is refused before any work too.
HandEyeMethodResults compare_hand_eye_methods(const TargetVariant& target, const std::vector<cv::Mat>& robot_T_tcp_list,
                                              const std::vector<cv::Mat>& image_list,
                                              const std::vector<cv::Mat>& camera_T_target_list,
                                              const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                                              double per_view_error_threshold, const std::string& setup = "eye-in-hand",
                                              const std::string& camera_model = "pinhole", bool print_reports = true);

}  // namespace velk::quality
