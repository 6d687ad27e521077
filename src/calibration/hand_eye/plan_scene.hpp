#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/detection/corner_visibility.hpp"

namespace velk::calibration {

// A hand-eye set-up as it is planned, before any picture: the camera, the target's corners, the
// approximate transforms and the expected noise of both kinds of observation.
//   eye-in-hand: camera_mount_T_camera = tcp_T_camera,   target_mount_T_target = robot_T_target
//   eye-to-hand: camera_mount_T_camera = robot_T_camera, target_mount_T_target = tcp_T_target
struct HandEyePlanScene {
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    cv::Size image_size;
    // The planner projects through the pinhole model only: "fisheye" is refused (checkPlanScene).
    std::string camera_model = "pinhole";
    cv::Mat object_points;  // the target's corners, N x 3, in the target frame
    bool eye_to_hand = false;
    cv::Mat camera_mount_T_camera;
    cv::Mat target_mount_T_target;
    bool free_intrinsics = true;  // estimated with the hand-eye transform; false: given and exact
    int calibration_flags = 0;    // calibrateCamera CALIB_FIX_* flags of the free intrinsics
    double pixel_noise_px = 0.2;
    double robot_translation_noise_mm = 0.3;  // per flange axis
    double robot_rotation_noise_deg = 0.03;
    VisibilityLimits visibility;
    // A pose is usable when it sees at least this share of the corners (and never fewer than six).
    double min_corner_share = 0.5;
    // Translations of the flange-side transform ("tx", "ty", "tz" of tcp_T_camera, eye-to-hand of tcp_T_target)
    // taken as measured elsewhere: an arm that turns about one axis cannot determine the offset along it, and
    // the plan is for the rest.
    std::vector<std::string> known_components;
};

// The fewest usable poses a prediction or a plan needs.
constexpr int kFewestPlanPoses = 3;

// camera_T_target of a flange pose robot_T_tcp under the scene's nominal transforms.
cv::Mat planCameraTTarget(const HandEyePlanScene& scene, const cv::Mat& robot_T_tcp);
// The known link between the mounting frames: inv(robot_T_tcp) eye-in-hand, robot_T_tcp eye-to-hand.
cv::Mat planMountLink(const HandEyePlanScene& scene, const cv::Mat& robot_T_tcp);
// Indices of the corners a flange pose sees.
std::vector<int> planVisibleCorners(const HandEyePlanScene& scene, const cv::Mat& robot_T_tcp);
// The fewest corners a usable pose sees.
int planMinimumCorners(const HandEyePlanScene& scene);
// Throws std::invalid_argument for a scene that cannot be planned (bad matrices, non-positive noise, a
// camera model other than pinhole).
void checkPlanScene(const HandEyePlanScene& scene);

}  // namespace velk::calibration
