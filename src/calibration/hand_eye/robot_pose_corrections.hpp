#pragma once

#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/errors_in_variables_problem.hpp"
#include "calibration/refinement/refinement_options.hpp"

namespace velk::calibration {

// The correction E that makes a view agree with its own camera_T_target (viewPose, P) from the start:
// inv(C) * E * M * G = P (onLeft) or inv(C) * M * E * G = P, with C the camera's mount pose, M the view's
// known transform and G the target's pose. Empty when the view has no pose of its own.
cv::Mat startingCorrection(const cv::Mat& cameraMount, const cv::Mat& mount, const cv::Mat& targetPose,
                           const cv::Mat& viewPose, bool onLeft);

// The known transform of a view taken at a robot pose, the one its correction corrects: eye-to-hand
// robot_T_tcp (corrected on its right), eye-in-hand tcp_T_robot (corrected on its left); CV_64F.
cv::Mat knownTransform(const cv::Mat& robot_T_tcp, bool eyeToHand);

// RMS per axis of the starting corrections' translations [m] and rotations [rad], no smaller than a
// floor, so that the first solve weighs the robot poses about as the data do.
ObservationNoise startingNoise(const std::vector<cv::Mat>& corrections);

// Starting levels and which of them the data decide: the options' given levels are held, the others
// start at the disagreement's and are estimated.
std::pair<ObservationNoise, NoiseEstimation> robotNoiseSettings(const RefinementOptions& options,
                                                                const ObservationNoise& disagreement);

// The correction of the reported flange pose in the flange frame, [x, y, z] mm and [rx, ry, rz] deg, from
// the solver's correction of a view's known transform (eye-to-hand robot_T_tcp on its right, eye-in-hand
// tcp_T_robot on its left).
std::vector<double> flangeCorrection(const cv::Mat& correction, bool eyeToHand);

}  // namespace velk::calibration
