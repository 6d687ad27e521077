#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_solver.hpp"

namespace velk::calibration {

// The one axis every turn between the motions is about (unit, in the frame of the relative motions
// inv(motion_j) * motion_i), as SCARA and 4-axis arms and gantries with a turning tool move; nothing
// when the turns are about several axes or too small to tell.
std::optional<cv::Vec3d> commonTurnAxis(const std::vector<cv::Mat>& motions);

// X and Y of Y = motion_i * X * camera_T_target_i for motions that turn about one axis only. The
// general closed forms are undefined there: the rotations alone leave X's turn about the axis and its
// offset along it free. The turn is found from the translations (each pair of views, as complex
// numbers in the plane across the axis: (e^{i theta} - 1) t = e^{i phi} b - a, linear in t and
// e^{i phi}); the offset along the axis, which nothing determines, is set to zero in X, or with
// zero_target_offset in Y (the transform on the flange: the camera's or the board's height on it is zero).
// Nothing when the motions do not turn about one axis or do not fix the turn.
std::optional<HandEyeSolution> solvePlanarHandEye(const std::vector<cv::Mat>& motions,
                                                  const std::vector<cv::Mat>& camera_T_target_list,
                                                  bool zero_target_offset = false);

}  // namespace velk::calibration
