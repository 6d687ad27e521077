#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "core/camera_projection.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// camera_T_target from matching 3D target points and 2D image points (iterative solvePnP through
// the camera's model); nothing when the solver fails.
std::optional<cv::Mat> estimateCameraTTarget(const cv::Mat& objectPoints, const cv::Mat& imagePoints,
                                             const cv::Mat& intrinsicMatrix, const cv::Mat& distortion,
                                             CameraModel model = CameraModel::Pinhole);

// 4 x 4 CV_64F [R t; 0 0 0 1] from a rotation vector and a translation vector.
cv::Mat poseFromRotationTranslation(const cv::Mat& rotationVector, const cv::Mat& translation);

// The ChArUco board in one picture: detected is false when fewer than four corners were found,
// pose is empty when they were found but solvePnP failed. Builds its own detector, so that it
// may run on any thread.
struct CharucoPose {
    bool detected = false;
    std::optional<cv::Mat> pose;
};
CharucoPose findCharucoPose(const CharucoTarget& target, const cv::Mat& image, const cv::Mat& intrinsicMatrix,
                            const cv::Mat& distortion, CameraModel model = CameraModel::Pinhole);

struct FramePoses {
    std::vector<cv::Mat> camera_T_target_list;
    std::vector<int> positions;  // position in the input view list of each pose, ascending
};

// One camera_T_target per view that can be posed, for any target kind. Chessboard
// views reuse their detected image points; marker targets are detected again. Warnings
// name the calibrator that asked (component).
FramePoses estimateFramePoses(const TargetVariant& target, const std::vector<cv::Mat>& images,
                              const std::vector<cv::Mat>& imagePoints, const cv::Mat& intrinsicMatrix,
                              const cv::Mat& distortion, const std::string& component = "EyeInHandCalibrator",
                              CameraModel model = CameraModel::Pinhole);

}  // namespace velk::calibration
