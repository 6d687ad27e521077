#pragma once

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_result.hpp"
#include "core/rotation_variety.hpp"

namespace velk::calibration {

// Outcome of an eye-to-hand calibration: a camera standing still and a target carried by the flange.
struct EyeToHandResult {
    bool ok = false;
    std::string method;
    cv::Mat robot_T_camera;  // 4 x 4 CV_64F, the camera in the robot base frame
    cv::Mat tcp_T_target;    // 4 x 4 CV_64F, the target in the flange frame
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    std::string camera_model = "pinhole";  // the lens model the poses were found with: "pinhole" or "fisheye"
    // Mean intrinsic reprojection error when the calibrator solved the intrinsics itself; NaN otherwise.
    double reprojection_error = std::numeric_limits<double>::quiet_NaN();
    std::vector<cv::Mat> valid_robot_T_tcp_list;
    std::vector<cv::Mat> valid_image_list;
    std::vector<cv::Mat> camera_T_target_list;
    std::vector<int> image_indices;  // index in the caller's lists of each frame used
    // Spread of the per-frame tcp_T_target estimates around their mean.
    bool has_consistency = false;
    // Most points the target gives in one picture; the report names a target with fewer than 8.
    int target_points_per_picture = 0;
    TargetConsistencyStats consistency;
    // How the rotations between consecutive captured poses spread over the axes (0.5 degree minimum).
    std::optional<quality::RotationVarietyStats> rotation_variety;
    // Joint refinement, when asked for. When it succeeds, robot_T_camera and tcp_T_target (and the
    // intrinsics, when they were solved from the same pictures) hold the refined values and
    // closed_form_robot_T_camera the solver's; otherwise refinement_reason says why not.
    bool refined = false;
    std::string refinement_reason;
    cv::Mat closed_form_robot_T_camera;
    std::optional<HandEyeRefinement> refinement;  // camera mount = robot base, target mount = tcp
    std::optional<HandEyeValidation> validation;  // leave-one-view-out, when asked for
};

}  // namespace velk::calibration
