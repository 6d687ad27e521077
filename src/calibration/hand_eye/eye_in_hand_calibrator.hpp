#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/aligned_target_poses.hpp"
#include "calibration/hand_eye/hand_eye_options.hpp"
#include "calibration/hand_eye/hand_eye_result.hpp"
#include "calibration/intrinsic/intrinsic_calibrator.hpp"
#include "calibration/refinement/refinement_options.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

struct HandEyeRun;

// Eye-in-hand calibration: solves tcp_T_camera for a camera mounted on a robot flange.
class EyeInHandCalibrator {
public:
    using AlignedTargetPoses = calibration::AlignedTargetPoses;

    explicit EyeInHandCalibrator(TargetVariant target, IntrinsicOptions options = IntrinsicOptions());

    // Three paths: from images alone (intrinsics solved here), from given intrinsics
    // (ChArUco poses estimated per frame), or from given camera_T_target poses.
    HandEyeResult calibrate(const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& image_list,
                            const std::string& method = "TSAI",
                            const std::vector<cv::Mat>& camera_T_target_list = {},
                            const cv::Mat& intrinsic_matrix = cv::Mat(),
                            const cv::Mat& distortion_coefficients = cv::Mat(),
                            const std::filesystem::path& output_path = std::filesystem::path(),
                            bool refine = false, const RefinementOptions& refinement_options = RefinementOptions(),
                            bool validate = false);
    // The same with the run's options in one record; the positional form above forwards here.
    HandEyeResult calibrate(const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& image_list,
                 const std::vector<cv::Mat>& camera_T_target_list, const cv::Mat& intrinsic_matrix,
                 const cv::Mat& distortion_coefficients, const HandEyeOptions& options);

    // ChArUco only: detects and poses the target in each frame with known intrinsics.
    AlignedTargetPoses computeCameraTTargetList(const std::vector<cv::Mat>& image_list,
                                                const std::vector<cv::Mat>& robot_T_tcp_list,
                                                const cv::Mat& intrinsic_matrix,
                                                const cv::Mat& distortion_coefficients) const;

    std::string formatResults() const;
    void printResults() const;

    std::vector<cv::Mat> cornerImages() const { return intrinsic_calibrator_.cornerImages(); }
    const HandEyeResult& lastResult() const { return last_result_; }
    const TargetVariant& target() const { return target_; }

private:
    static HandEyeResult resultOf(const HandEyeRun& run);
    void save(const std::filesystem::path& output_path, const std::string& method, const HandEyeResult& result,
              size_t totalImages) const;

    TargetVariant target_;
    IntrinsicCalibrator intrinsic_calibrator_;
    HandEyeResult last_result_;
};

}  // namespace velk::calibration
