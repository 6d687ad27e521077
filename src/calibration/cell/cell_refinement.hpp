#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/refinement_options.hpp"
#include "calibration/refinement/refinement_statistics.hpp"
#include "core/camera_projection.hpp"

namespace velk::calibration {

// One camera of a cell: its mount pose and lens to start from, and its views, each taken with the robot at one
// of the cell's poses.
struct CellCameraViews {
    // Eye-to-hand robot_T_camera (a camera standing still), eye-in-hand tcp_T_camera (on the flange).
    cv::Mat camera_mount_T_camera;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    bool refine_intrinsics = false;  // free the camera matrix and distortion (intrinsics from these pictures)
    int calibration_flags = 0;       // flags whose CALIB_FIX_* parameters stay fixed when refined
    CameraModel camera_model = CameraModel::Pinhole;
    // Per view: the robot pose it was taken at (an index into the cell's robot_T_tcp_list), its corners, and
    // its own camera_T_target (empty where it has none), from which the robot pose corrections start.
    std::vector<int> poses;
    std::vector<cv::Mat> object_points;  // N x 3
    std::vector<cv::Mat> image_points;   // N x 2
    std::vector<cv::Mat> camera_T_target_list;
};

// Several cameras and one board around one robot, pictured at shared robot poses. All cameras are mounted alike:
// with the board on the flange they stand still (eye-to-hand); with the board standing still they ride on the
// flange (eye-in-hand). The views follow
//   camera_T_target = inv(camera_mount_T_camera) * E_k * M_k * target_mount_T_target   (eye-in-hand, M_k =
//   inv(robot_T_tcp_k)) camera_T_target = inv(camera_mount_T_camera) * M_k * E_k * target_mount_T_target (eye-to-hand,
//   M_k = robot_T_tcp_k)
// with one correction E_k of the reported flange pose per robot pose, shared by every camera that pictured it.
struct CellRefinementProblem {
    bool eye_to_hand = false;
    std::vector<cv::Mat> robot_T_tcp_list;  // as reported, one per pose
    // Eye-to-hand tcp_T_target, eye-in-hand world_T_target: the start.
    cv::Mat target_mount_T_target;
    std::vector<CellCameraViews> cameras;
};

// The pose of one camera in another's frame, with its 1-sigma from the joint covariance of both.
struct CameraPairTransform {
    int first = 0;
    int second = 0;
    cv::Mat first_T_second;          // 4 x 4 CV_64F: camera_first_T_camera_second
    PoseSigma sigma;                 // about first_T_second's own axes
    std::vector<double> covariance;  // 6 x 6 row-major over its [w, t] (rad, m)
};

struct CellRefinement {
    bool refined = false;
    std::string reason;  // why the starting values were kept, when refined is false
    // Per camera, refined (the starting ones when refined is false).
    std::vector<cv::Mat> camera_mount_T_camera_list;
    std::vector<PoseSigma> camera_sigmas;  // present when refined
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<cv::Mat> distortion_coefficients_list;
    std::vector<std::vector<double>> intrinsic_sigmas;  // [fx, fy, cx, cy] px; empty for fixed intrinsics
    std::vector<double> camera_rms_px;                  // RMS corner residual of each camera's views
    std::vector<std::vector<double>> view_rms_px;       // per camera, per view (in its order; NaN when left out)
    std::vector<int> camera_view_counts;
    cv::Mat target_mount_T_target;
    PoseSigma target_sigma;
    // Every pair of cameras, first < second.
    std::vector<CameraPairTransform> camera_pairs;
    // The noise levels the solution is weighted with (estimated unless the options gave them), 1-sigma per axis.
    double robot_translation_noise_mm = 0.0;
    double robot_rotation_noise_deg = 0.0;
    double pixel_noise_px = 0.0;
    bool noise_settled = false;
    // Per robot pose, the correction of the reported flange pose, [x, y, z] mm then [rx, ry, rz] deg in the
    // flange frame (robot_T_tcp corrected = reported * correction); empty for a pose no camera pictured.
    std::vector<std::vector<double>> robot_pose_corrections;
    // Per robot pose, how many cameras pictured it.
    std::vector<int> pose_camera_counts;
    double rms_px = 0.0;
    int corner_count = 0;
    RefinementSummary summary;
    // Covariance (row-major) of every camera's mount pose [w, t] in camera order, then the target's [w, t].
    std::vector<double> joint_covariance;
    // Per camera, 16 x 16 row-major: its mount pose [w, t], the target's [w, t] and its [fx, fy, cx, cy] (what a
    // prediction of its pictures needs).
    std::vector<std::vector<double>> camera_joint_covariances;
};

// One errors-in-variables solve of the whole cell: every camera's mount pose (and intrinsics when refined), the
// target's pose and one correction per robot pose, with the corner and robot noise levels estimated as
// the options say. Never throws for data that cannot be refined: the result then keeps the starting values with
// the reason. Throws std::invalid_argument for mismatched lists, a pose index out of range or no camera.
CellRefinement refineCell(const CellRefinementProblem& problem, const RefinementOptions& options, bool log = true);

// The same problem's solution starting from a refined result's values with its noise levels held, without the
// views at one robot pose (left_out_pose; -1 keeps every view): what held-out validation re-solves.
CellRefinement refineCellWithout(const CellRefinementProblem& problem, const CellRefinement& solution,
                                 const RefinementOptions& options, int left_out_pose);

}  // namespace velk::calibration
