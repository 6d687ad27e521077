#pragma once

#include <string>

#include "calibration/hand_eye/hand_eye_refinement.hpp"

namespace velk::calibration {

// Estimated robot noise beyond these per-axis levels points at bad input rather than a bad robot.
constexpr double kImplausibleRobotTranslationMm = 10.0;
constexpr double kImplausibleRobotRotationDeg = 1.0;

// "Robot poses agree with the pictures to 0.42 mm / 0.041 deg RMS per axis (estimated)";
// "(given)" when the levels were held.
std::string robotNoiseSentence(const HandEyeRefinement& refinement);

// "Corner noise: 0.31 px (estimated)".
std::string cornerNoiseSentence(const HandEyeRefinement& refinement);

// The verdict on an implausible robot noise naming its likely causes; empty when it is plausible.
std::string implausibleRobotNoiseWarning(double translation_mm, double rotation_deg);

// "3 (1.52 mm, 0.210 deg), 7 (...)": the suspect views with the size of their corrections.
std::string suspectPoseList(const HandEyeRefinement& refinement);

}  // namespace velk::calibration
