#include "quality/hand_eye_roundtrip.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include <opencv2/calib3d.hpp>

#include "core/log.hpp"
#include "core/pose.hpp"
#include "quality/benchmark_detection.hpp"

namespace velk::quality {
namespace {

constexpr int kMinimumPoints = 4;

cv::Mat asPose(const cv::Mat& matrix) {
    if (matrix.rows != 4 || matrix.cols != 4 || matrix.channels() != 1) {
        throw std::invalid_argument("hand_eye_roundtrip: poses must be 4x4 matrices");
    }
    cv::Mat pose;
    matrix.convertTo(pose, CV_64F);
    return pose;
}

cv::Mat baseTBoard(const BoardPoseFrames& frames, const cv::Mat& tcp_T_camera) {
    std::vector<cv::Mat> boards;
    for (size_t i = 0; i < frames.camera_T_target_list.size(); ++i) {
        boards.push_back(asPose(frames.robot_T_tcp_list.at(i)) * tcp_T_camera *
                         asPose(frames.camera_T_target_list[i]));
    }
    return averagePose(boards);
}

}  // namespace

double handEyeRoundtripError(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robot_poses,
                             const cv::Mat& tcp_T_camera, const cv::Mat& intrinsic_matrix,
                             const cv::Mat& distortion_coefficients, const TargetVariant& target,
                             const BoardPoseFrames& boardFrames) {
    const cv::Mat tcpTCamera = asPose(tcp_T_camera);
    const cv::Mat board = baseTBoard(boardFrames, tcpTCamera);
    const cv::Mat cameraTTcp = tcpTCamera.inv();

    std::vector<double> errors;
    const size_t frames = std::min(images.size(), robot_poses.size());
    const std::vector<std::optional<TargetPoints>> found =
        detectBenchmarkTargets(std::vector<cv::Mat>(images.begin(), images.begin() + frames), target);
    for (size_t j = 0; j < frames; ++j) {
        const std::optional<TargetPoints>& points = found[j];
        if (!points || points->image_points.rows < kMinimumPoints) {
            continue;
        }
        const cv::Mat cameraTBoard = cameraTTcp * asPose(robot_poses[j]).inv() * board;
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
