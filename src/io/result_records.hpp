#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::io {

// What a joint refinement adds to a result record. Sigmas are 1-sigma values: poses as
// [x, y, z] in mm then [rx, ry, rz] in deg, intrinsics as [fx, fy, cx, cy] in pixels.
struct RefinementRecord {
    bool refined = false;
    std::string reason;                        // why not, when refined is false
    std::vector<cv::Mat> unrefined_poses;      // the closed-form or pairwise transforms, one per refined pose
    std::vector<std::vector<double>> pose_sigmas;       // one per refined pose
    std::vector<cv::Mat> target_poses;                  // board pose in its fixed frame (hand-eye)
    std::vector<std::vector<double>> target_pose_sigmas;
    std::vector<std::vector<double>> intrinsic_sigmas;  // one per camera; empty when held fixed
    std::vector<double> per_view_rms_px;
    std::vector<int> outlier_views;
    double rms_px = 0.0;
    int iterations = 0;
    double initial_cost = 0.0;
    double final_cost = 0.0;
    bool converged = false;
};

// What hand_eye.json holds: one tcp_T_camera per camera and how it was obtained.
struct HandEyeResultRecord {
    int reference_index = 0;
    int num_cameras = 0;
    std::string method;
    int num_frames_used = -1;   // -1: unknown
    int num_frames_total = -1;  // -1: unknown
    std::vector<cv::Mat> tcp_T_camera_list;
    std::optional<RefinementRecord> refinement;  // absent in records written without refinement
};

// What eye_to_hand.json holds: one robot_T_camera per stationary camera, the target
// in the flange frame, and how they were obtained.
struct EyeToHandResultRecord {
    int reference_index = 0;
    int num_cameras = 0;
    std::string method;
    int num_frames_used = -1;   // -1: unknown
    int num_frames_total = -1;  // -1: unknown
    std::vector<cv::Mat> robot_T_camera_list;
    cv::Mat tcp_T_target;  // empty: unknown
    std::optional<RefinementRecord> refinement;  // absent in records written without refinement
};

// What multi_camera_calibration.json holds: per-camera intrinsics and rig poses.
struct MultiCameraCalibrationRecord {
    int reference_index = 0;
    int num_cameras = 0;
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<cv::Mat> distortion_coefficients;
    std::vector<cv::Mat> reference_T_camera_list;
    std::vector<double> intrinsic_reprojection_errors;
    std::vector<double> pair_reprojection_errors;
    std::optional<RefinementRecord> refinement;  // absent in records written without refinement
};

}  // namespace velk::io
