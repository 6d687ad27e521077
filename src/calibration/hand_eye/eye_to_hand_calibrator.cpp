#include "calibration/hand_eye/eye_to_hand_calibrator.hpp"

#include <iostream>
#include <utility>

#include "calibration/hand_eye/hand_eye_calibration.hpp"
#include "calibration/hand_eye/hand_eye_report.hpp"
#include "calibration/hand_eye/hand_eye_refinement_record.hpp"
#include "calibration/hand_eye/hand_eye_validation_record.hpp"
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
    HandEyeCalibration calibration(HandEyeSetup::EyeToHand, target_, intrinsic_calibrator_);
    const HandEyeRun run = calibration.run(
        HandEyeInputs{robot_T_tcp_list, image_list, camera_T_target_list, intrinsic_matrix, distortion_coefficients},
        method, refine, refinement_options, validate);
    const EyeToHandResult result = resultOf(run, method);
    if (!result.ok) {
        return result;
    }
    last_result_ = result;

    logMessage(LogLevel::Info, "Extrinsic calibration complete.");
    printResults();
    if (!output_path.empty()) {
        save(output_path, result, image_list.size());
    }
    return result;
}

EyeToHandResult EyeToHandCalibrator::resultOf(const HandEyeRun& run, const std::string& method) {
    EyeToHandResult result;
    result.ok = run.ok;
    result.method = method;
    result.robot_T_camera = run.camera_transform;
    result.tcp_T_target = run.target_transform;
    result.intrinsic_matrix = run.intrinsic_matrix;
    result.distortion_coefficients = run.distortion_coefficients;
    result.camera_model = cameraModelName(run.camera_model);
    result.reprojection_error = run.reprojection_error;
    result.valid_robot_T_tcp_list = run.valid_robot_T_tcp_list;
    result.valid_image_list = run.valid_image_list;
    result.camera_T_target_list = run.camera_T_target_list;
    result.image_indices = run.image_indices;
    result.has_consistency = run.has_consistency;
    result.consistency = run.consistency;
    result.refined = run.refined;
    result.refinement_reason = run.refinement_reason;
    result.closed_form_robot_T_camera = run.closed_form_camera_transform;
    result.refinement = run.refinement;
    result.validation = run.validation;
    result.target_points_per_picture = run.target_points_per_picture;
    if (run.ok) {
        result.rotation_variety =
            quality::analyze_rotation_variety(run.camera_T_target_list, kVarietyMinimumRotationDeg);
    }
    return result;
}

void EyeToHandCalibrator::save(const std::filesystem::path& output_path, const EyeToHandResult& result,
                               size_t totalImages) const {
    io::EyeToHandResultRecord record;
    record.reference_index = 0;
    record.num_cameras = 1;
    record.method = result.method;
    record.num_frames_used = static_cast<int>(result.valid_image_list.size());
    record.num_frames_total = static_cast<int>(totalImages);
    record.robot_T_camera_list = {result.robot_T_camera};
    record.camera_model = result.camera_model;
    record.tcp_T_target = result.tcp_T_target;
    if (!result.closed_form_robot_T_camera.empty()) {
        record.refinement = handEyeRefinementRecord(result.refined, result.refinement_reason,
                                                    result.closed_form_robot_T_camera, result.refinement);
    }
    if (result.validation) {
        record.validation = handEyeValidationRecord(*result.validation);
    }
    io::save_eye_to_hand_result(output_path, record);
}

std::string EyeToHandCalibrator::formatResults() const { return formatEyeToHandReport(last_result_); }

void EyeToHandCalibrator::printResults() const { std::cout << formatResults() << std::flush; }

}  // namespace velk::calibration
