#include "quality/hand_eye_method_comparison.hpp"

#include <exception>
#include <stdexcept>
#include <string>

#include "calibration/hand_eye/eye_in_hand_calibrator.hpp"
#include "calibration/hand_eye/eye_to_hand_calibrator.hpp"
#include "calibration/hand_eye/hand_eye_methods.hpp"
#include "calibration/hand_eye/hand_eye_setup.hpp"
#include "core/camera_projection.hpp"
#include "core/log.hpp"
#include "core/pose.hpp"

namespace velk::quality {
namespace {

using calibration::HandEyeSetup;
using calibration::IntrinsicOptions;

struct ComparisonData {
    const TargetVariant& target;
    const std::vector<cv::Mat>& robot_T_tcp_list;
    const std::vector<cv::Mat>& image_list;
    const std::vector<cv::Mat>& camera_T_target_list;
    const cv::Mat& intrinsic_matrix;
    const cv::Mat& distortion_coefficients;
    double per_view_error_threshold;
    const std::string& camera_model;
    bool print_reports;
};

// The complete calibration with a fresh calibrator of the set-up, so no solver sees
// another one's state; nothing is saved.
template <typename Calibrator>
auto calibrateOnce(const std::string& name, const ComparisonData& data) {
    IntrinsicOptions options;
    options.per_view_error_threshold = data.per_view_error_threshold;
    options.camera_model = data.camera_model;
    Calibrator calibrator(data.target, options);
    calibration::HandEyeOptions run;
    run.method = name;
    run.print_report = data.print_reports;
    return calibrator.calibrate(data.robot_T_tcp_list, data.image_list, data.camera_T_target_list,
                                data.intrinsic_matrix, data.distortion_coefficients, run);
}

std::optional<HandEyeMethodResult> runEyeInHand(const std::string& name, const ComparisonData& data) {
    const auto result = calibrateOnce<calibration::EyeInHandCalibrator>(name, data);
    if (!result.ok || result.tcp_T_camera.empty()) {
        return std::nullopt;
    }
    HandEyeMethodResult methodResult;
    methodResult.method_name = name;
    methodResult.tcp_T_camera = result.tcp_T_camera.clone();
    methodResult.pose_deg = transformationMatrixToPose(methodResult.tcp_T_camera);
    return methodResult;
}

std::optional<HandEyeMethodResult> runEyeToHand(const std::string& name, const ComparisonData& data) {
    const auto result = calibrateOnce<calibration::EyeToHandCalibrator>(name, data);
    if (!result.ok || result.robot_T_camera.empty()) {
        return std::nullopt;
    }
    HandEyeMethodResult methodResult;
    methodResult.method_name = name;
    methodResult.robot_T_camera = result.robot_T_camera.clone();
    methodResult.tcp_T_target = result.tcp_T_target.clone();
    methodResult.pose_deg = transformationMatrixToPose(methodResult.robot_T_camera);
    return methodResult;
}

}  // namespace

HandEyeMethodResults compare_hand_eye_methods(const TargetVariant& target, const std::vector<cv::Mat>& robot_T_tcp_list,
                                              const std::vector<cv::Mat>& image_list,
                                              const std::vector<cv::Mat>& camera_T_target_list,
                                              const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                                              double per_view_error_threshold, const std::string& setup,
                                              const std::string& camera_model, bool print_reports) {
    const HandEyeSetup chosen = calibration::handEyeSetupFromName(setup, "compare_hand_eye_methods");
    cameraModelFromName(camera_model, "compare_hand_eye_methods");
    const ComparisonData data{target,
                              robot_T_tcp_list,
                              image_list,
                              camera_T_target_list,
                              intrinsic_matrix,
                              distortion_coefficients,
                              per_view_error_threshold,
                              camera_model,
                              print_reports};
    validateTarget(target);
    HandEyeMethodResults results;
    for (const auto& [name, value] : calibration::handEyeMethodByNameMap()) {
        (void)value;
        try {
            results[name] = chosen == HandEyeSetup::EyeInHand ? runEyeInHand(name, data) : runEyeToHand(name, data);
        } catch (const std::exception& error) {
            logMessage(LogLevel::Warning, "[diag] method " + name + " failed: " + error.what());
            results[name] = std::nullopt;
        }
    }
    return results;
}

}  // namespace velk::quality
