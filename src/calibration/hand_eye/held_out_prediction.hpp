#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "core/camera_projection.hpp"

namespace velk::calibration {

// What the errors-in-variables model expects of a held-out view: its corners are predicted through
// camera_T_target = inv(X) * E * M * Y (correction on the left) or inv(X) * M * E * Y, where X, Y and
// the intrinsics carry the solution's covariance and E the robot's pose noise, and the detected
// corners carry the pixel noise.
struct HeldOutPrediction {
    cv::Mat camera_mount_T_camera;  // X
    cv::Mat target_mount_T_target;  // Y
    cv::Mat mount;                  // M, from the view's reported robot pose
    bool correction_on_left = false;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    CameraModel camera_model = CameraModel::Pinhole;
    cv::Mat object_points;                 // the view's corners on the board
    std::vector<double> joint_covariance;  // 16 x 16: X [w, t], Y [w, t], fx fy cx cy
    double robot_translation_m = 0.0;      // 1-sigma per axis
    double robot_rotation_rad = 0.0;
    double pixel_px = 0.0;
};

// The RMS distance expected between predicted and detected corners, in pixels.
double predictedHeldOutRms(const HeldOutPrediction& prediction);

}  // namespace velk::calibration
