#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/aligned_target_poses.hpp"
#include "calibration/hand_eye/eye_to_hand_result.hpp"
#include "calibration/hand_eye/hand_eye_options.hpp"
#include "calibration/hand_eye/hand_eye_result.hpp"
#include "calibration/hand_eye/hand_eye_setup.hpp"
#include "calibration/intrinsic/intrinsic_calibrator.hpp"
#include "calibration/refinement/refinement_options.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// The set-up whose result a calibrator gives.
template <typename Result>
constexpr HandEyeSetup kSetupOf = HandEyeSetup::EyeInHand;
template <>
constexpr HandEyeSetup kSetupOf<EyeToHandResult> = HandEyeSetup::EyeToHand;

// The calibrator both set-ups share; EyeInHandCalibrator (Result = HandEyeResult) and EyeToHandCalibrator
// (Result = EyeToHandResult) are this class for their set-up, which names the two transforms in the result,
// the report and the record.
template <typename Result>
class HandEyeCalibrator {
public:
    using AlignedTargetPoses = calibration::AlignedTargetPoses;

    explicit HandEyeCalibrator(TargetVariant target, IntrinsicOptions options = IntrinsicOptions());

    // Three paths: from images alone (intrinsics solved here), from given intrinsics
    // (ChArUco poses estimated per frame), or from given camera_T_target poses.
    Result calibrate(const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& image_list,
                     const std::string& method = "TSAI", const std::vector<cv::Mat>& camera_T_target_list = {},
                     const cv::Mat& intrinsic_matrix = cv::Mat(), const cv::Mat& distortion_coefficients = cv::Mat(),
                     const std::filesystem::path& output_path = std::filesystem::path(), bool refine = false,
                     const RefinementOptions& refinement_options = RefinementOptions(), bool validate = false);

    // The same with the run's options in one record; the positional form above forwards here. Every call
    // builds a fresh result; a successful one becomes the last result.
    Result calibrate(const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<cv::Mat>& image_list,
                     const std::vector<cv::Mat>& camera_T_target_list, const cv::Mat& intrinsic_matrix,
                     const cv::Mat& distortion_coefficients, const HandEyeOptions& options);

    // Detects and poses the target in each frame with known intrinsics.
    AlignedTargetPoses computeCameraTTargetList(const std::vector<cv::Mat>& image_list,
                                                const std::vector<cv::Mat>& robot_T_tcp_list,
                                                const cv::Mat& intrinsic_matrix,
                                                const cv::Mat& distortion_coefficients) const;

    std::string formatResults() const;
    void printResults() const;

    std::vector<cv::Mat> cornerImages() const { return intrinsic_calibrator_.cornerImages(); }
    const Result& lastResult() const { return last_result_; }
    const TargetVariant& target() const { return target_; }

private:
    HandEyeSetup setup_;
    TargetVariant target_;
    IntrinsicCalibrator intrinsic_calibrator_;
    Result last_result_;
};

extern template class HandEyeCalibrator<HandEyeResult>;
extern template class HandEyeCalibrator<EyeToHandResult>;

}  // namespace velk::calibration
