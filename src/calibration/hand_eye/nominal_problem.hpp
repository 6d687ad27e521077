#pragma once

#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/plan_scene.hpp"
#include "calibration/refinement/errors_in_variables_problem.hpp"

namespace velk::calibration {

// The errors-in-variables problem of a hand-eye refinement at a plan's nominal values: every
// usable flange pose a view of the corners it sees, projected exactly, weighted by the scene's
// noise levels, with a correction of its flange pose.
struct NominalProblem {
    std::unique_ptr<ErrorsInVariablesProblem> problem;
    int camera = 0;
    int camera_pose = 0;            // camera_mount_T_camera, the hand-eye transform
    int target_pose = 0;            // target_mount_T_target
    std::vector<int> corners_seen;  // per flange pose given
    std::vector<int> views;         // per flange pose given: its view, -1 when it is not usable
};

NominalProblem buildNominalProblem(const HandEyePlanScene& scene, const std::vector<cv::Mat>& robot_T_tcp_list);

// The robot and corner noise of a scene as the problem takes them.
ObservationNoise planNoise(const HandEyePlanScene& scene);

}  // namespace velk::calibration
