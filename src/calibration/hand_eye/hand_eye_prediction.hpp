#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/plan_scene.hpp"
#include "calibration/refinement/refinement_statistics.hpp"

namespace velk::calibration {

// The uncertainty a hand-eye calibration from a list of flange poses will have, before any picture:
// the covariance of the errors-in-variables refinement at the nominal values, with the scene's
// noise levels and every corner each pose sees.
struct HandEyePrediction {
    PoseSigma camera_sigma;                // camera_mount_T_camera: tcp_T_camera or robot_T_camera
    PoseSigma target_sigma;                // target_mount_T_target
    std::vector<double> intrinsic_sigmas;  // [fx, fy, cx, cy]; zero when the intrinsics are given
    std::vector<int> corners_seen;         // per flange pose
    std::vector<bool> usable;              // per flange pose: sees enough of the board to count
};

// Throws std::invalid_argument naming the reason when fewer than three poses are usable, and
// std::runtime_error when the poses leave the hand-eye transform or the board's pose undetermined: the
// normal matrix singular, or a 1-sigma beyond the limits below which the pictures determine a component.
HandEyePrediction predictHandEye(const HandEyePlanScene& scene, const std::vector<cv::Mat>& robot_T_tcp_list);

}  // namespace velk::calibration
