#pragma once

#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "io/record_annotations.hpp"
#include "io/result_records.hpp"

namespace velk::io {

// One camera's pose in another's frame, with its 1-sigma ([x, y, z] mm then [rx, ry, rz] deg, about its own
// axes) and the covariance of its [w, t] (rad, m; 6 x 6 row-major).
struct CameraPairRecord {
    int first = 0;
    int second = 0;
    cv::Mat first_T_second;
    std::vector<double> sigma;
    std::vector<double> covariance;
};

// What the cell found of one camera beyond its transforms.
struct CellCameraRecord {
    std::string name;
    std::string intrinsics_source;         // "given" or "calibrated from the pictures"
    std::vector<double> sigma;             // of its mount transform: [x, y, z] mm, [rx, ry, rz] deg
    std::vector<double> intrinsic_sigmas;  // [fx, fy, cx, cy] px; empty for given intrinsics
    double rms_px = 0.0;
    std::vector<int> poses;  // the robot poses whose pictures it used
    std::vector<std::string> image_names;
    std::optional<ValidationRecord> validation;  // frames are robot poses
};

// What cell.json holds. Its members include those of a hand-eye record of the cell's set-up (eye_to_hand.json:
// robot_T_camera_list and tcp_T_target; hand_eye.json: tcp_T_camera_list) and those of a rig record
// (multi_camera_calibration.json: the intrinsics and every camera in camera 0's frame), so that either reader
// reads it; the members only a cell has come beside them.
struct CellCalibrationRecord : RecordAnnotations {
    bool eye_to_hand = true;
    int reference_index = 0;
    int num_cameras = 0;
    std::string method;
    int num_frames_used = -1;
    int num_frames_total = -1;
    std::string camera_model = "pinhole";
    std::vector<cv::Mat> robot_T_camera_list;  // stationary cameras
    cv::Mat tcp_T_target;
    std::vector<cv::Mat> tcp_T_camera_list;  // cameras on the flange
    cv::Mat world_T_target;
    std::vector<double> target_sigma;  // [x, y, z] mm, [rx, ry, rz] deg
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<std::vector<double>> distortion_coefficients;
    std::vector<cv::Mat> reference_T_camera_list;
    std::vector<double> intrinsic_reprojection_errors;  // each camera's own intrinsic calibration; null: given
    std::vector<CellCameraRecord> cameras;
    std::vector<CameraPairRecord> camera_pairs;
    double robot_translation_noise_mm = 0.0;  // 1-sigma per axis, shared by the cameras at each pose
    double robot_rotation_noise_deg = 0.0;
    double pixel_noise_px = 0.0;
    bool noise_settled = false;
    std::vector<std::vector<double>> robot_pose_corrections;  // per robot pose; empty where none pictured it
    double rms_px = 0.0;
    int corner_count = 0;
};

// Writes cell.json (a folder gets cell.json); returns the file written.
std::filesystem::path save_cell_calibration(const std::filesystem::path& output_path,
                                            const CellCalibrationRecord& record);
CellCalibrationRecord load_cell_calibration(const std::filesystem::path& input_path);

}  // namespace velk::io
