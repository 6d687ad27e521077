#pragma once

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_refinement.hpp"
#include "calibration/hand_eye/hand_eye_validation.hpp"

namespace velk::calibration {

// How well the frames agree on where the target sits in the robot base frame.
struct TargetConsistencyStats {
    double mean_translation_m = 0.0;
    double max_translation_m = 0.0;
    double mean_rotation_deg = 0.0;
    double max_rotation_deg = 0.0;
    std::vector<double> translation_deviations_m;
    std::vector<double> rotation_deviations_deg;
    std::vector<double> distances_m;  // camera-to-target distance per frame
    std::vector<double> board_us;     // projected target centre, pixels
    std::vector<double> board_vs;
};

struct HandEyeResult {
    bool ok = false;
    cv::Mat tcp_T_camera;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    std::string camera_model = "pinhole";  // the lens model the poses were found with: "pinhole" or "fisheye"
    // Mean intrinsic reprojection error when the calibrator solved the intrinsics itself; NaN otherwise.
    double reprojection_error = std::numeric_limits<double>::quiet_NaN();
    std::vector<cv::Mat> valid_robot_T_tcp_list;
    std::vector<cv::Mat> valid_image_list;
    std::vector<cv::Mat> camera_T_target_list;
    bool has_consistency = false;
    // Most points the target gives in one picture; the report names a target with fewer than 8.
    int target_points_per_picture = 0;
    TargetConsistencyStats consistency;
    // The target in the robot base frame: found by the robot-world/hand-eye solvers
    // themselves, the mean of the per-frame estimates for the others.
    cv::Mat world_T_target;
    std::vector<int> image_indices;  // index in the caller's lists of each frame used
    // Joint refinement, when asked for. When it succeeds, tcp_T_camera (and the intrinsics, when they
    // were solved from the same pictures) hold the refined values and closed_form_tcp_T_camera the
    // solver's; otherwise the closed-form result stays and refinement_reason says why.
    bool refined = false;
    std::string refinement_reason;
    cv::Mat closed_form_tcp_T_camera;
    std::optional<HandEyeRefinement> refinement;  // eye-in-hand: camera mount = tcp, target mount = world
    std::optional<HandEyeValidation> validation;  // leave-one-view-out, when asked for
};

}  // namespace velk::calibration
