#include "calibration/hand_eye/hand_eye_calibrator.hpp"

#include <iostream>
#include <utility>

#include "calibration/hand_eye/hand_eye_calibration.hpp"
#include "calibration/hand_eye/hand_eye_records.hpp"
#include "calibration/hand_eye/hand_eye_report.hpp"
#include "io/result_record_files.hpp"

namespace velk::calibration {
namespace {

constexpr double kVarietyMinimumRotationDeg = 0.5;

// The run under each set-up's names.
HandEyeResult resultOf(const HandEyeRun& run, const std::string&, HandEyeResult result) {
    static_cast<HandEyeOutcome&>(result) = run;
    result.tcp_T_camera = run.camera_transform;
    result.world_T_target = run.target_transform;
    result.closed_form_tcp_T_camera = run.closed_form_camera_transform;
    return result;
}

EyeToHandResult resultOf(const HandEyeRun& run, const std::string& method, EyeToHandResult result) {
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

void saveRecord(const std::filesystem::path& path, const HandEyeResult& result, const std::string& method,
                size_t totalImages) {
    io::save_hand_eye_result(path, handEyeResultRecord(result, method, totalImages));
}

void saveRecord(const std::filesystem::path& path, const EyeToHandResult& result, const std::string&,
                size_t totalImages) {
    io::save_eye_to_hand_result(path, eyeToHandResultRecord(result, totalImages));
}

std::string reportOf(const HandEyeResult& result) {
    return formatHandEyeReport(result);
}
std::string reportOf(const EyeToHandResult& result) {
    return formatEyeToHandReport(result);
}

}  // namespace

template <typename Result>
HandEyeCalibrator<Result>::HandEyeCalibrator(TargetVariant target, IntrinsicOptions options)
    : setup_(kSetupOf<Result>), target_(target), intrinsic_calibrator_(std::move(target), std::move(options)) {}

template <typename Result>
Result HandEyeCalibrator<Result>::calibrate(const std::vector<cv::Mat>& robot_T_tcp_list,
                                            const std::vector<cv::Mat>& image_list, const std::string& method,
                                            const std::vector<cv::Mat>& camera_T_target_list,
                                            const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                                            const std::filesystem::path& output_path, bool refine,
                                            const RefinementOptions& refinement_options, bool validate) {
    return calibrate(robot_T_tcp_list, image_list, camera_T_target_list, intrinsic_matrix, distortion_coefficients,
                     HandEyeOptions{method, refine, refinement_options, validate, output_path});
}

template <typename Result>
Result HandEyeCalibrator<Result>::calibrate(const std::vector<cv::Mat>& robot_T_tcp_list,
                                            const std::vector<cv::Mat>& image_list,
                                            const std::vector<cv::Mat>& camera_T_target_list,
                                            const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                                            const HandEyeOptions& options) {
    HandEyeCalibration calibration(setup_, target_, intrinsic_calibrator_);
    const HandEyeInputs inputs{robot_T_tcp_list, image_list, camera_T_target_list, intrinsic_matrix,
                               distortion_coefficients};
    const Result result = resultOf(calibration.run(inputs, options), options.method, Result());
    if (result.ok) {
        last_result_ = result;
        HandEyeCalibration::finish(options, formatResults(), [&](const std::filesystem::path& path) {
            saveRecord(path, result, options.method, image_list.size());
        });
    }
    return result;
}

template <typename Result>
AlignedTargetPoses HandEyeCalibrator<Result>::computeCameraTTargetList(const std::vector<cv::Mat>& image_list,
                                                                       const std::vector<cv::Mat>& robot_T_tcp_list,
                                                                       const cv::Mat& intrinsic_matrix,
                                                                       const cv::Mat& distortion_coefficients) const {
    return HandEyeCalibration::poseFrames(target_, intrinsic_calibrator_.options(), image_list, robot_T_tcp_list,
                                          intrinsic_matrix, distortion_coefficients)
        .aligned;
}

template <typename Result>
std::string HandEyeCalibrator<Result>::formatResults() const {
    return reportOf(last_result_);
}

template <typename Result>
void HandEyeCalibrator<Result>::printResults() const {
    std::cout << formatResults() << std::flush;
}

template class HandEyeCalibrator<HandEyeResult>;
template class HandEyeCalibrator<EyeToHandResult>;

}  // namespace velk::calibration
