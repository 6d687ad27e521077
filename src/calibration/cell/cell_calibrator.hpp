#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/cell/cell_refinement.hpp"
#include "calibration/detection/intrinsic_options.hpp"
#include "calibration/hand_eye/hand_eye_outcome.hpp"
#include "calibration/hand_eye/hand_eye_validation.hpp"
#include "calibration/refinement/refinement_options.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// How a cell calibration runs, beyond its data.
struct CellOptions {
    // Stationary cameras and the board on the flange (true), or cameras on the flange and the board standing
    // still (false).
    bool eye_to_hand = true;
    std::string method = "TSAI";  // the closed form each camera starts from
    RefinementOptions refinement_options;
    bool validate = false;  // predict every camera's pictures at each robot pose from a solve without that pose
};

// One camera's pictures (one per robot pose, an empty Mat where it took none), its given intrinsics (empty:
// solved from its pictures) and what it is called.
struct CellCamera {
    std::string name;
    std::vector<cv::Mat> images;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    IntrinsicOptions options;
};

// What one camera's own calibration, the start of the cell's, found.
struct CellCameraStart {
    std::string name;
    bool ok = false;
    std::string reason;      // why not, when ok is false
    HandEyeOutcome outcome;  // its detections, intrinsics, poses used (image_indices) and pictures skipped
    std::vector<std::string> used_image_names;  // the names of the pictures used, when names were given
    cv::Mat camera_transform;                   // eye-to-hand robot_T_camera, eye-in-hand tcp_T_camera: the closed form
    cv::Mat target_transform;                   // eye-to-hand tcp_T_target, eye-in-hand world_T_target: the closed form
    bool intrinsics_from_pictures = false;
};

struct CellResult {
    bool ok = false;
    std::string reason;  // why not, when ok is false
    bool eye_to_hand = true;
    std::string method;  // the closed form the cameras started from
    std::vector<std::string> camera_names;
    std::vector<CellCameraStart> starts;         // per camera
    CellRefinement refinement;                   // the joint solve; refined false with its reason when it failed
    std::vector<HandEyeValidation> validations;  // per camera, when asked for
    int robot_pose_count = 0;
};

// Calibrates every camera of a cell at once: each camera is first calibrated on its own (intrinsics from its
// pictures unless given, a closed-form hand-eye solve), then every camera's mount pose, the board's and one
// correction per robot pose shared by all cameras are solved together, with the noise levels estimated.
class CellCalibrator {
public:
    explicit CellCalibrator(TargetVariant target);

    // robot_T_tcp_list: one reported flange pose per capture; cameras: each with one picture per pose.
    // Throws std::invalid_argument for fewer than two cameras, a camera whose pictures are not one per pose,
    // or lists that cannot be used; data that cannot be calibrated give ok false with the reason.
    CellResult calibrate(const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<CellCamera>& cameras,
                         const CellOptions& options = CellOptions()) const;

private:
    TargetVariant target_;
};

}  // namespace velk::calibration
