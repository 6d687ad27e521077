#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/refinement_options.hpp"
#include "calibration/refinement/refinement_statistics.hpp"

namespace velk::calibration {

// Joint refinement of a hand-eye solution over every detected corner. The views follow
//   camera_T_target_i = inv(camera_mount_T_camera) * camera_mount_T_target_mount_i * target_mount_T_target
// with the middle transforms known (the robot poses):
//   eye-in-hand: camera_mount_T_camera = tcp_T_camera,   camera_mount_T_target_mount_i = inv(robot_T_tcp_i),
//                target_mount_T_target = world_T_target;
//   eye-to-hand: camera_mount_T_camera = robot_T_camera, camera_mount_T_target_mount_i = robot_T_tcp_i,
//                target_mount_T_target = tcp_T_target.
struct HandEyeRefinementProblem {
    cv::Mat camera_mount_T_camera;  // start, from a closed-form solve
    cv::Mat target_mount_T_target;  // start; empty: averaged from per-view solvePnP poses
    std::vector<cv::Mat> camera_mount_T_target_mount_list;
    std::vector<cv::Mat> object_points;  // per view, N x 3
    std::vector<cv::Mat> image_points;   // per view, N x 2
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    bool refine_intrinsics = false;  // free the camera matrix and distortion too
    int calibration_flags = 0;       // calibrateCamera flags whose CALIB_FIX_* parameters stay fixed
};

struct HandEyeRefinement {
    bool refined = false;
    std::string reason;  // why the starting values were kept, when refined is false
    // Refined values; the starting ones when refined is false.
    cv::Mat camera_mount_T_camera;
    cv::Mat target_mount_T_target;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    bool intrinsics_refined = false;
    // 1-sigma, scaled by the residual variance; present only when refined.
    std::optional<PoseSigma> camera_sigma;
    std::optional<PoseSigma> target_sigma;
    std::vector<double> intrinsic_sigmas;  // [fx, fy, cx, cy] in pixels; empty when the intrinsics stayed fixed
    std::vector<double> per_view_rms_px;
    std::vector<int> outlier_views;  // positions in the view list
    double rms_px = 0.0;
    int corner_count = 0;
    RefinementSummary summary;
};

// Never throws for data that cannot be refined: the result then carries the starting values,
// refined false and the reason, and a WARNING line is logged. Throws std::invalid_argument
// for lists of different lengths or missing starting values.
HandEyeRefinement refineHandEye(const HandEyeRefinementProblem& problem,
                                const RefinementOptions& options = RefinementOptions());

}  // namespace velk::calibration
