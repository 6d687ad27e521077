#include "quality/hand_eye_roundtrip.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include <opencv2/calib3d.hpp>

#include "core/log.hpp"
#include "core/pose.hpp"
#include "core/pose_validation.hpp"
#include "quality/benchmark_detection.hpp"

namespace velk::quality {
namespace {

constexpr int kMinimumPoints = 4;
const char* const kOperation = "hand_eye_roundtrip";

cv::Mat asPose(const cv::Mat& matrix) {
    cv::Mat pose;
    matrix.convertTo(pose, CV_64F);
    return pose;
}

// Y = motion_i * X * camera_T_target_i, averaged over the board frames.
cv::Mat fixedBoardPose(const std::vector<cv::Mat>& motions, const std::vector<cv::Mat>& camera_T_target_list,
                       const cv::Mat& cameraTransform) {
    std::vector<cv::Mat> boards;
    for (size_t i = 0; i < camera_T_target_list.size(); ++i) {
        boards.push_back(motions.at(i) * cameraTransform * asPose(camera_T_target_list[i]));
    }
    return averagePose(boards);
}

void validate(const std::vector<cv::Mat>& robot_poses, const cv::Mat& cameraTransform,
              const BoardPoseFrames& boardFrames, calibration::HandEyeSetup setup) {
    validateRigidTransforms(robot_poses, kOperation, "robot_poses");
    validateRigidTransform(cameraTransform, kOperation, calibration::cameraTransformName(setup));
    validateRigidTransforms(boardFrames.robot_T_tcp_list, kOperation, "robot_T_tcp_list");
    validateRigidTransforms(boardFrames.camera_T_target_list, kOperation, "camera_T_target_list");
}

}  // namespace

double handEyeRoundtripError(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robot_poses,
                             const cv::Mat& cameraTransform, const cv::Mat& intrinsic_matrix,
                             const cv::Mat& distortion_coefficients, const TargetVariant& target,
                             const BoardPoseFrames& boardFrames, calibration::HandEyeSetup setup) {
    validate(robot_poses, cameraTransform, boardFrames, setup);
    const cv::Mat x = asPose(cameraTransform);
    const cv::Mat board = fixedBoardPose(calibration::handEyeMotions(setup, boardFrames.robot_T_tcp_list),
                                         boardFrames.camera_T_target_list, x);
    const cv::Mat xInverse = x.inv();
    const std::vector<cv::Mat> motions = calibration::handEyeMotions(setup, robot_poses);

    std::vector<double> errors;
    const size_t frames = std::min(images.size(), robot_poses.size());
    for (size_t j = 0; j < frames; ++j) {
        const auto points = detectBenchmarkTarget(images[j], target);
        if (!points || points->image_points.rows < kMinimumPoints) {
            continue;
        }
        const cv::Mat cameraTBoard = xInverse * motions[j].inv() * board;
        cv::Mat rotationVector;
        cv::Rodrigues(cameraTBoard(cv::Rect(0, 0, 3, 3)), rotationVector);
        const cv::Mat translation = cameraTBoard(cv::Rect(3, 0, 1, 3)).clone();
        errors.push_back(
            pointReprojectionError(*points, rotationVector, translation, intrinsic_matrix, distortion_coefficients));
    }
    if (errors.empty()) {
        logMessage(LogLevel::Warning, "[Benchmark] hand_eye_roundtrip: no valid frames.");
        return std::numeric_limits<double>::infinity();
    }
    double sum = 0.0;
    for (double error : errors) {
        sum += error;
    }
    return sum / static_cast<double>(errors.size());
}

}  // namespace velk::quality
