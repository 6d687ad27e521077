#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/refinement_options.hpp"
#include "calibration/refinement/refinement_statistics.hpp"
#include "core/camera_projection.hpp"

namespace velk::calibration {

// Joint refinement of a hand-eye solution over every detected corner. The views follow
//   camera_T_target_i = inv(camera_mount_T_camera) * camera_mount_T_target_mount_i * target_mount_T_target
// with the middle transforms known (the robot poses):
//   eye-in-hand: camera_mount_T_camera = tcp_T_camera,   camera_mount_T_target_mount_i = inv(robot_T_tcp_i),
//                target_mount_T_target = world_T_target;
//   eye-to-hand: camera_mount_T_camera = robot_T_camera, camera_mount_T_target_mount_i = robot_T_tcp_i,
//                target_mount_T_target = tcp_T_target.
// A translation of the flange-side transform (eye-in-hand tcp_T_camera, eye-to-hand tcp_T_target) known
// from outside the pictures: "tx", "ty" or "tz" in metres, held at value (sigma 0) or tied to it with
// its 1-sigma in metres.
struct MountComponent {
    std::string component;
    double value = 0.0;
    double sigma = 0.0;
};

// A component of one of the refinement's two transforms that the robot's motions do not determine (its
// 1-sigma from the pictures alone beyond 10 mm or 1 deg), or one given from outside, and how it was set.
struct MountComponentOutcome {
    std::string transform;  // "tcp_T_camera", "world_T_target", "robot_T_camera" or "tcp_T_target"
    std::string component;  // "tx", "ty", "tz" (m) or "rx", "ry", "rz" (a turn about the frame's axis)
    // "fixed" or "prior" (given), or "held": at its start, not measured.
    std::string source;
    bool undetermined = false;  // the pictures alone do not determine it
    double value = 0.0;         // the translation in m (0 for a turn: held where it started)
    double sigma = 0.0;         // m (deg for a turn) as reported: 0 fixed, the prior's, infinite when held
    double data_sigma = 0.0;    // along it from the pictures alone, mm or deg; infinite: no information
    // The other transform's component that moves with it along the undetermined direction (eye-in-hand
    // tz of world_T_target, eye-to-hand tz of robot_T_camera); empty when none does.
    std::string coupled_transform;
    std::string coupled_component;
    std::string sentence;     // "the camera's offset along the flange's z axis (tz of tcp_T_camera) is not ..."
    std::string measurement;  // what would complete it
};

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
                                     // (cv::fisheye::CALIB_FIX_* flags for a fisheye camera)
    // The lens model every view is posed and projected with.
    CameraModel camera_model = CameraModel::Pinhole;
    // Which way the robot pose enters the known transforms: eye-in-hand inv(robot_T_tcp),
    // eye-to-hand robot_T_tcp. Robot pose errors are modelled in the flange frame either way.
    bool eye_to_hand = false;
    // How the log names each view ("8 (image_8.png)"); empty: by its number.
    std::vector<std::string> view_labels;
    // The caller's frame of each view (carried into the result); empty: the views are frames 0, 1, ...
    std::vector<int> view_frames;
    // The target's size over its description where a solve that fits it starts (a re-solve of a result
    // solved at a measured size).
    double target_scale = 1.0;
    // With a given target pose: the corrections of the views' robot poses (4 x 4 each, as a refined
    // result's robot_pose_corrections hold them; see solvedCorrections) the solve starts from instead
    // of the poses as reported. Empty: as reported.
    std::vector<cv::Mat> starting_corrections;
    // Components of the flange-side transform given from outside (robot error modelled only); those the
    // motions do not determine and that are not given are held at their start and flagged.
    std::vector<MountComponent> mount_components;
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
    // The problem's frame of each view (HandEyeRefinementProblem::view_frames).
    std::vector<int> view_frames;
    // Per view, the corners' pixels under the refined model as the solver evaluated them (N x 2
    // CV_64F, in the order of the view's points; with the robot pose corrections when the robot
    // error was modelled); present only when refined.
    std::vector<cv::Mat> projected_corners;
    RefinementSummary summary;
    // Robot pose error, when it was modelled (the robot poses were not taken as exact): the noise
    // levels the solution is weighted with (estimated from the data unless given), 1-sigma per axis.
    bool robot_error_modelled = false;
    bool noise_estimated = false;  // at least one robot level came from the data
    bool noise_settled = false;    // the estimated levels stopped moving
    double robot_translation_noise_mm = 0.0;
    double robot_rotation_noise_deg = 0.0;
    double pixel_noise_px = 0.0;
    // Per view, the correction of the reported flange pose, [x, y, z] mm then [rx, ry, rz] deg
    // (rotation vector), in the flange frame: robot_T_tcp (corrected) = robot_T_tcp (reported) * correction.
    std::vector<std::vector<double>> robot_pose_corrections;
    std::vector<int> suspect_poses;  // positions in the view list whose correction stands out; kept
    std::string noise_warning;       // why the estimated robot noise is implausible; empty when it is not
    // Covariance (row-major, 16 x 16) of camera_mount_T_camera [w, t], target_mount_T_target [w, t]
    // (rotation update on the left in rad, translation in m) and [fx, fy, cx, cy] (px); present
    // when the robot error was modelled.
    std::vector<double> joint_covariance;
    // How the log and the report name each view: the problem's view_labels.
    std::vector<std::string> view_labels;
    // The target's true size over its description, from the robot's translations with the robot error
    // modelled (RefinementOptions::target_scale), with its 1-sigma; 1 and 0 when not measured.
    bool target_scale_measured = false;
    bool target_scale_applied = false;  // the refined values are solved at the measured size
    double target_scale = 1.0;
    double target_scale_sigma = 0.0;
    // The measured size differs from the description beyond its noise and beyond a printer's tolerance.
    bool target_scale_differs = false;
    std::string target_scale_reason;  // why it was not measured, when it was asked for
    // The components the motions do not determine and those given from outside (robot error modelled).
    std::vector<MountComponentOutcome> mount_components;
};

// Never throws for data that cannot be refined: the result then carries the starting values,
// refined false and the reason, and a WARNING line is logged. Throws std::invalid_argument
// for lists of different lengths or missing starting values.
HandEyeRefinement refineHandEye(const HandEyeRefinementProblem& problem,
                                const RefinementOptions& options = RefinementOptions());

// The same without log lines, for the many re-solves of a validation.
HandEyeRefinement refineHandEyeSilently(const HandEyeRefinementProblem& problem, const RefinementOptions& options);

}  // namespace velk::calibration
