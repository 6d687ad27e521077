#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_solver.hpp"

namespace velk::calibration {

// True when no two motions turn against each other by a visible angle while their translations span a
// plane, as a gantry moves a tool that never turns; false for fewer than three motions or motions that
// stand still or move along one line.
bool onlyTranslates(const std::vector<cv::Mat>& motions);

// X and Y of Y = motion_i * X * camera_T_target_i for motions that translate without turning. The
// rotations then say nothing, and every general closed form is undefined: X's rotation is found from the
// translations alone (each pair of views: a = R_X b, the robot's and the camera's displacement, solved
// as an orthogonal Procrustes problem), and X's whole offset, which no translation determines, is set
// to zero, or with zero_target_offset Y's (the transform on the flange). Nothing when the translations do
// not span a plane or the motions turn.
std::optional<HandEyeSolution> solveTranslatingHandEye(const std::vector<cv::Mat>& motions,
                                                       const std::vector<cv::Mat>& camera_T_target_list,
                                                       bool zero_target_offset = false);

}  // namespace velk::calibration
