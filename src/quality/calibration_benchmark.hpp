#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/detection/intrinsic_options.hpp"
#include "quality/benchmark_result.hpp"
#include "targets/target_variant.hpp"

namespace velk::quality {

// Rates one calibration setup ("backend") on images of one target: intrinsic
// calibration on all images, k-fold cross-validation of the intrinsics and, with
// robot poses, an eye-in-hand round trip. Holds no state.
class CalibrationBenchmark {
public:
    BenchmarkResult run(const std::vector<cv::Mat>& images, const TargetVariant& target,
                        const calibration::IntrinsicOptions& options, const std::vector<cv::Mat>& robot_poses = {},
                        const std::optional<calibration::IntrinsicOptions>& eye_in_hand_options = std::nullopt,
                        const std::string& backend_name = "OpenCV", int n_splits = 5, int seed = 0,
                        const std::string& setup = "eye-in-hand") const;

    // Mean per-point reprojection error of held-out images; +infinity when none was computed.
    double cross_validate(const std::vector<cv::Mat>& images, const TargetVariant& target,
                          const calibration::IntrinsicOptions& options, int n_splits = 5, int seed = 0) const;

    // Carries the mean board pose in the robot base frame back into every image through the
    // robot poses and tcp_T_camera; mean per-point reprojection error, +infinity without a frame.
    // With setup "eye-to-hand" the transform is robot_T_camera and the board pose the one in
    // the flange frame.
    double hand_eye_roundtrip(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robot_poses,
                              const cv::Mat& tcp_T_camera, const cv::Mat& intrinsic_matrix,
                              const cv::Mat& distortion_coefficients, const TargetVariant& target,
                              const std::vector<cv::Mat>& camera_T_target_list,
                              const std::string& setup = "eye-in-hand") const;

    static std::string format_results(const std::vector<BenchmarkResult>& results);
    // Replaces the file only when the whole text could be written.
    static void save_json(const std::vector<BenchmarkResult>& results, const std::string& path);
    // The results of a file written by save_json, with the rounded values it holds.
    static std::vector<BenchmarkResult> load_json(const std::string& path);
};

}  // namespace velk::quality
