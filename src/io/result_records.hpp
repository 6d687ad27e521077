#pragma once

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "io/record_annotations.hpp"

namespace velk::io {

// What a joint refinement adds to a result record. Sigmas are 1-sigma values: poses as
// [x, y, z] in mm then [rx, ry, rz] in deg, intrinsics as [fx, fy, cx, cy] in pixels.
// What a hand-eye refinement found of the robot's pose error: the noise levels it weighted the
// data with, the correction of every reported flange pose and the poses whose correction stands out.
struct RobotNoiseRecord {
    bool estimated = false;       // from the data, rather than given
    double translation_mm = 0.0;  // 1-sigma per axis
    double rotation_deg = 0.0;
    double pixel_px = 0.0;                              // corner noise, 1-sigma per coordinate
    std::vector<std::vector<double>> pose_corrections;  // per view: x, y, z mm, rx, ry, rz deg (flange frame)
    std::vector<int> suspect_poses;
    std::string warning;  // empty when the levels are plausible
};

// The target's true size over its description as a hand-eye refinement measured it from the robot's
// translations, and whether the result was solved at that size.
struct TargetScaleRecord {
    double scale = 1.0;
    double sigma = 0.0;    // 1-sigma of scale
    bool applied = false;  // the record's transforms are solved at the measured size
    bool differs = false;  // beyond its noise (the robot's length scale included) and 0.3 %
};

// How well a hand-eye result predicts the pictures it was solved without (leave one view out):
// per view and summarized; NaN where no figure exists.
struct ValidationRecord {
    bool validated = false;
    std::string reason;
    std::vector<int> frames;
    std::vector<int> cameras;  // camera of each view, for a rig; empty for one camera
    std::vector<double> held_out_rms_px;
    std::vector<double> fitted_rms_px;
    std::vector<double> translation_mm;
    std::vector<double> rotation_deg;
    std::vector<double> predicted_rms_px;
    double median_px = std::numeric_limits<double>::quiet_NaN();
    double p90_px = std::numeric_limits<double>::quiet_NaN();
    double median_mm = std::numeric_limits<double>::quiet_NaN();
    double median_deg = std::numeric_limits<double>::quiet_NaN();
    std::vector<int> worst_frames;
    double observed_over_predicted = std::numeric_limits<double>::quiet_NaN();
};

// A component of the hand-eye transforms the robot's motions do not determine, or one given from outside
// the pictures (HandEyeRefinement's mount components).
struct MountComponentRecord {
    std::string transform;  // "tcp_T_camera", "world_T_target", "robot_T_camera" or "tcp_T_target"
    std::string component;  // "tx", "ty", "tz" (m) or "rx", "ry", "rz"
    std::string source;     // "fixed", "prior" or "held" (at its start, not measured)
    bool undetermined = false;
    double value = 0.0;                                      // m; 0 for a turn
    double sigma = std::numeric_limits<double>::infinity();  // m (deg for a turn) as reported; null when held
    std::string sentence;
    std::string measurement;
};

struct RefinementRecord {
    bool refined = false;
    std::string reason;                            // why not, when refined is false
    std::vector<cv::Mat> unrefined_poses;          // the closed-form or pairwise transforms, one per refined pose
    std::vector<std::vector<double>> pose_sigmas;  // one per refined pose
    std::vector<cv::Mat> target_poses;             // board pose in its fixed frame (hand-eye)
    std::vector<std::vector<double>> target_pose_sigmas;
    std::vector<std::vector<double>> intrinsic_sigmas;  // one per camera; empty when held fixed
    std::vector<double> per_view_rms_px;
    std::vector<int> outlier_views;
    double rms_px = 0.0;
    int iterations = 0;
    double initial_cost = 0.0;
    double final_cost = 0.0;
    bool converged = false;
    std::optional<RobotNoiseRecord> robot_noise;    // hand-eye refinements that modelled the robot's error
    std::optional<TargetScaleRecord> target_scale;  // hand-eye refinements that measured the target's size
    // Hand-eye refinements whose robot motions leave components undetermined, or given ones; the sigmas of
    // pose_sigmas and target_pose_sigmas along a held one are NaN (null): not measured.
    std::vector<MountComponentRecord> mount_components;
};

// What hand_eye.json holds: one tcp_T_camera per camera and how it was obtained. The three result records
// also carry the annotations (RecordAnnotations) of how their result was obtained and judged.
struct HandEyeResultRecord : RecordAnnotations {
    int reference_index = 0;
    int num_cameras = 0;
    std::string method;
    int num_frames_used = -1;   // -1: unknown
    int num_frames_total = -1;  // -1: unknown
    std::vector<cv::Mat> tcp_T_camera_list;
    // The lens model the transforms were found with: "pinhole" (written without the member, as records
    // were before fisheye lenses, and read so when it is absent) or "fisheye".
    std::string camera_model = "pinhole";
    std::optional<RefinementRecord> refinement;  // absent in records written without refinement
    std::optional<ValidationRecord> validation;  // absent in records written without validation
};

// What eye_to_hand.json holds: one robot_T_camera per stationary camera, the target
// in the flange frame, and how they were obtained.
struct EyeToHandResultRecord : RecordAnnotations {
    int reference_index = 0;
    int num_cameras = 0;
    std::string method;
    int num_frames_used = -1;   // -1: unknown
    int num_frames_total = -1;  // -1: unknown
    std::vector<cv::Mat> robot_T_camera_list;
    // The lens model the transforms were found with: "pinhole" (written without the member, as records
    // were before fisheye lenses, and read so when it is absent) or "fisheye".
    std::string camera_model = "pinhole";
    cv::Mat tcp_T_target;                        // empty: unknown
    std::optional<RefinementRecord> refinement;  // absent in records written without refinement
    std::optional<ValidationRecord> validation;  // absent in records written without validation
};

// What multi_camera_calibration.json holds: per-camera intrinsics and rig poses.
struct MultiCameraCalibrationRecord : RecordAnnotations {
    int reference_index = 0;
    int num_cameras = 0;
    // "pinhole" or "fisheye" (whose distortion rows are k1..k4); files without the member are pinhole.
    std::string camera_model = "pinhole";
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<cv::Mat> distortion_coefficients;
    std::vector<cv::Mat> reference_T_camera_list;
    std::vector<double> intrinsic_reprojection_errors;
    std::vector<double> pair_reprojection_errors;
    std::optional<RefinementRecord> refinement;  // absent in records written without refinement
    std::optional<ValidationRecord> validation;  // absent in records written without validation
};

}  // namespace velk::io
