#include "calibration/hand_eye/eye_in_hand_calibrator.hpp"

#include <iostream>
#include <utility>

#include "calibration/hand_eye/hand_eye_calibration.hpp"
#include "calibration/hand_eye/hand_eye_report.hpp"
#include "calibration/hand_eye/hand_eye_records.hpp"
#include "core/log.hpp"
#include "io/result_record_files.hpp"

namespace velk::calibration {

EyeInHandCalibrator::EyeInHandCalibrator(TargetVariant target, IntrinsicOptions options)
    : target_(target), intrinsic_calibrator_(std::move(target), std::move(options)) {}

EyeInHandCalibrator::AlignedTargetPoses EyeInHandCalibrator::computeCameraTTargetList(
    const std::vector<cv::Mat>& image_list, const std::vector<cv::Mat>& robot_T_tcp_list,
    const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients) const {
    return HandEyeCalibration::poseFrames(target_, intrinsic_calibrator_.options(), image_list, robot_T_tcp_list,
                                          intrinsic_matrix, distortion_coefficients)
        .aligned;
}

HandEyeResult EyeInHandCalibrator::calibrate(const std::vector<cv::Mat>& robot_T_tcp_list,
                                             const std::vector<cv::Mat>& image_list, const std::string& method,
                                             const std::vector<cv::Mat>& camera_T_target_list,
                                             const cv::Mat& intrinsic_matrix,
                                             const cv::Mat& distortion_coefficients,
                                             const std::filesystem::path& output_path, bool refine,
                                             const RefinementOptions& refinement_options, bool validate) {
    return calibrate(robot_T_tcp_list, image_list, camera_T_target_list, intrinsic_matrix, distortion_coefficients,
                     HandEyeOptions{method, refine, refinement_options, validate, output_path});
}

HandEyeResult EyeInHandCalibrator::calibrate(const std::vector<cv::Mat>& robot_T_tcp_list,
                                             const std::vector<cv::Mat>& image_list,
                                             const std::vector<cv::Mat>& camera_T_target_list,
                                             const cv::Mat& intrinsic_matrix,
                                             const cv::Mat& distortion_coefficients, const HandEyeOptions& options) {
    HandEyeCalibration calibration(HandEyeSetup::EyeInHand, target_, intrinsic_calibrator_);
    const HandEyeResult result = resultOf(calibration.run(
        HandEyeInputs{robot_T_tcp_list, image_list, camera_T_target_list, intrinsic_matrix, distortion_coefficients},
        options));
    if (result.ok) {
        last_result_ = result;
        HandEyeCalibration::finish(options, formatResults(), [&](const std::filesystem::path& path) {
            save(path, options.method, result, image_list.size());
        });
    }
    return result;
}

HandEyeResult EyeInHandCalibrator::resultOf(const HandEyeRun& run) {
    HandEyeResult result;
    static_cast<HandEyeOutcome&>(result) = run;
    result.tcp_T_camera = run.camera_transform;
    result.world_T_target = run.target_transform;
    result.closed_form_tcp_T_camera = run.closed_form_camera_transform;
    return result;
}

void EyeInHandCalibrator::save(const std::filesystem::path& output_path, const std::string& method,
                               const HandEyeResult& result, size_t totalImages) const {
    io::save_hand_eye_result(output_path, handEyeResultRecord(result, method, totalImages));
}

std::string EyeInHandCalibrator::formatResults() const { return formatHandEyeReport(last_result_); }

void EyeInHandCalibrator::printResults() const { std::cout << formatResults() << std::flush; }

}  // namespace velk::calibration
