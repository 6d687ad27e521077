#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/hand_eye/hand_eye_solver.hpp"

namespace velk::calibration {

// Motions on which the general closed forms are undefined: every turn about one axis (SCARA and 4-axis
// arms), or no turn at all (gantries).
enum class RestrictedMotion { None, OneAxis, NoTurn };

RestrictedMotion restrictedMotion(const std::vector<cv::Mat>& motions);

// The closed form for the motions' kind (restrictedMotion: solvePlanarHandEye, solveTranslatingHandEye);
// nothing for general motions or when it fails.
std::optional<HandEyeSolution> solveRestrictedHandEye(RestrictedMotion kind, const std::vector<cv::Mat>& motions,
                                                      const std::vector<cv::Mat>& camera_T_target_list,
                                                      bool zero_target_offset);

}  // namespace velk::calibration
