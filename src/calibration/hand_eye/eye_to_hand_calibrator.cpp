#include "calibration/hand_eye/eye_to_hand_calibrator.hpp"

#include <iostream>
#include <utility>

#include "calibration/hand_eye/hand_eye_calibration.hpp"
#include "calibration/hand_eye/hand_eye_report.hpp"
#include "calibration/hand_eye/hand_eye_records.hpp"
#include "core/log.hpp"
#include "io/result_record_files.hpp"

namespace velk::calibration {
namespace {

constexpr double kVarietyMinimumRotationDeg = 0.5;

}  // namespace

EyeToHandCalibrator::EyeToHandCalibrator(TargetVariant target, IntrinsicOptions options)
    : target_(target), intrinsic_calibrator_(std::move(target), std::move(options)) {}

AlignedTargetPoses EyeToHandCalibrator::computeCameraTTargetList(const std::vector<cv::Mat>& image_list,
                                                                 const std::vector<cv::Mat>& robot_T_tcp_list,
                                                                 const cv::Mat& intrinsic_matrix,
                                                                 const cv::Mat& distortion_coefficients) const {
    return HandEyeCalibration::poseFrames(target_, intrinsic_calibrator_.options(), image_list, robot_T_tcp_list,
                                          intrinsic_matrix, distortion_coefficients)
        .aligned;
}

EyeToHandResult EyeToHandCalibrator::calibrate(const std::vector<cv::Mat>& robot_T_tcp_list,
                                               const std::vector<cv::Mat>& image_list, const std::string& method,
                                               const std::vector<cv::Mat>& camera_T_target_list,
                                               const cv::Mat& intrinsic_matrix,
                                               const cv::Mat& distortion_coefficients,
                                               const std::filesystem::path& output_path, bool refine,
                                               const RefinementOptions& refinement_options, bool validate) {
    return calibrate(robot_T_tcp_list, image_list, camera_T_target_list, intrinsic_matrix, distortion_coefficients,
                     HandEyeOptions{method, refine, refinement_options, validate, output_path});
}

EyeToHandResult EyeToHandCalibrator::calibrate(const std::vector<cv::Mat>& robot_T_tcp_list,
                                               const std::vector<cv::Mat>& image_list,
                                               const std::vector<cv::Mat>& camera_T_target_list,
                                               const cv::Mat& intrinsic_matrix,
                                               const cv::Mat& distortion_coefficients,
                                               const HandEyeOptions& options) {
    HandEyeCalibration calibration(HandEyeSetup::EyeToHand, target_, intrinsic_calibrator_);
    const EyeToHandResult result = resultOf(calibration.run(
        HandEyeInputs{robot_T_tcp_list, image_list, camera_T_target_list, intrinsic_matrix, distortion_coefficients},
        options), options.method);
    if (result.ok) {
        last_result_ = result;
        HandEyeCalibration::finish(options, formatResults(), [&](const std::filesystem::path& path) {
            save(path, result, image_list.size());
        });
    }
    return result;
}

EyeToHandResult EyeToHandCalibrator::resultOf(const HandEyeRun& run, const std::string& method) {
    EyeToHandResult result;
    static_cast<HandEyeOutcome&>(result) = run;
    result.method = method;
    result.robot_T_camera = run.camera_transform;
    result.tcp_T_target = run.target_transform;
    result.closed_form_robot_T_camera = run.closed_form_camera_transform;
    if (run.ok) {
        result.rotation_variety =
            quality::analyze_rotation_variety(run.camera_T_target_list, kVarietyMinimumRotationDeg);
    }
    return result;
}

void EyeToHandCalibrator::save(const std::filesystem::path& output_path, const EyeToHandResult& result,
                               size_t totalImages) const {
    io::save_eye_to_hand_result(output_path, eyeToHandResultRecord(result, totalImages));
}

std::string EyeToHandCalibrator::formatResults() const { return formatEyeToHandReport(last_result_); }

void EyeToHandCalibrator::printResults() const { std::cout << formatResults() << std::flush; }

}  // namespace velk::calibration
