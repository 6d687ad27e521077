#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::io {

// What hand_eye.json holds: one tcp_T_camera per camera and how it was obtained.
struct HandEyeResultRecord {
    int reference_index = 0;
    int num_cameras = 0;
    std::string method;
    int num_frames_used = -1;   // -1: unknown
    int num_frames_total = -1;  // -1: unknown
    std::vector<cv::Mat> tcp_T_camera_list;
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
};

}  // namespace velk::io
