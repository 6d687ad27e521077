#include "quality/calibration_benchmark.hpp"

#include <cstdio>
#include <limits>
#include <stdexcept>

#include "calibration/hand_eye/eye_in_hand_calibrator.hpp"
#include "calibration/hand_eye/eye_to_hand_calibrator.hpp"
#include "calibration/intrinsic/intrinsic_calibrator.hpp"
#include "core/log.hpp"
#include "quality/hand_eye_roundtrip.hpp"
#include "quality/utc_timestamp.hpp"

namespace velk::quality {
namespace {

std::string printfFixed(double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%f", value);
    return text;
}

const cv::Mat& cameraTransformOf(const calibration::HandEyeResult& result) {
    return result.tcp_T_camera;
}
const cv::Mat& cameraTransformOf(const calibration::EyeToHandResult& result) {
    return result.robot_T_camera;
}

// Hand-eye calibration of the images with TSAI, then the round trip. The board pose
// comes from the frames the calibrator kept; the prediction is checked against every
// image that has a robot pose, so frames the calibrator dropped still count.
// A successful calibration keeps its robot and camera poses aligned, at least four of them.
template <typename Calibrator>
double roundtripAfterHandEye(const std::vector<cv::Mat>& images, const TargetVariant& target,
                             const std::vector<cv::Mat>& robot_poses,
                             const calibration::IntrinsicOptions& handEyeOptions,
                             const calibration::IntrinsicResult& intrinsics, calibration::HandEyeSetup setup) {
    Calibrator calibrator(target, handEyeOptions);
    const auto handEye = calibrator.calibrate(robot_poses, images, "TSAI");
    const cv::Mat& cameraTransform = cameraTransformOf(handEye);
    if (!handEye.ok || cameraTransform.empty()) {
        return -1.0;
    }
    return handEyeRoundtripError(images, robot_poses, cameraTransform, intrinsics.intrinsic_matrix,
                                 intrinsics.distortion_coefficients, target,
                                 BoardPoseFrames{handEye.valid_robot_T_tcp_list, handEye.camera_T_target_list}, setup);
}

}  // namespace

BenchmarkResult CalibrationBenchmark::run(const std::vector<cv::Mat>& images, const TargetVariant& target,
                                          const calibration::IntrinsicOptions& options,
                                          const std::vector<cv::Mat>& robot_poses,
                                          const std::optional<calibration::IntrinsicOptions>& eye_in_hand_options,
                                          const std::string& backend_name, int n_splits, int seed,
                                          const std::string& setup) const {
    const calibration::HandEyeSetup chosen = calibration::handEyeSetupFromName(setup, "CalibrationBenchmark.run");
    logMessage(LogLevel::Info, "[Benchmark] Running backend: " + backend_name);
    calibration::IntrinsicCalibrator calibrator(target, options);
    const calibration::IntrinsicResult intrinsics = calibrator.calibrate(images);
    if (!intrinsics.ok) {
        throw std::runtime_error("[Benchmark] " + backend_name + " calibration failed.");
    }
    const double heldOut = cross_validate(images, target, options, n_splits, seed);
    double roundtrip = -1.0;
    if (!robot_poses.empty() && eye_in_hand_options) {
        roundtrip = chosen == calibration::HandEyeSetup::EyeInHand
                        ? roundtripAfterHandEye<calibration::EyeInHandCalibrator>(
                              images, target, robot_poses, *eye_in_hand_options, intrinsics, chosen)
                        : roundtripAfterHandEye<calibration::EyeToHandCalibrator>(
                              images, target, robot_poses, *eye_in_hand_options, intrinsics, chosen);
    }

    BenchmarkResult result;
    result.backend_name = backend_name;
    result.reprojection_error = intrinsics.reprojection_error;
    result.held_out_reprojection_error = heldOut;
    result.hand_eye_roundtrip_error = roundtrip;
    result.camera_matrix = intrinsics.intrinsic_matrix.clone();
    result.dist_coeffs = intrinsics.distortion_coefficients.clone();
    result.timestamp = utcTimestampNow();
    result.image_count = static_cast<int>(images.size());

    logMessage(LogLevel::Info, "[Benchmark] " + backend_name + ": rpe=" + printfFixed(result.reprojection_error) +
                                   "px  held-out=" + printfFixed(heldOut) +
                                   "px  roundtrip=" + (roundtrip < 0.0 ? std::string("n/a") : printfFixed(roundtrip)));
    return result;
}

double CalibrationBenchmark::hand_eye_roundtrip(const std::vector<cv::Mat>& images,
                                                const std::vector<cv::Mat>& robot_poses, const cv::Mat& tcp_T_camera,
                                                const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                                                const TargetVariant& target,
                                                const std::vector<cv::Mat>& camera_T_target_list,
                                                const std::string& setup) const {
    validateTarget(target);
    const calibration::HandEyeSetup chosen = calibration::handEyeSetupFromName(setup, "hand_eye_roundtrip");
    if (camera_T_target_list.empty() || camera_T_target_list.size() != robot_poses.size()) {
        logMessage(LogLevel::Warning,
                   "[Benchmark] hand_eye_roundtrip: camera_T_target_list missing  -  cannot recover base_T_board; "
                   "skipping.");
        return std::numeric_limits<double>::infinity();
    }
    return handEyeRoundtripError(images, robot_poses, tcp_T_camera, intrinsic_matrix, distortion_coefficients, target,
                                 BoardPoseFrames{robot_poses, camera_T_target_list}, chosen);
}

}  // namespace velk::quality
