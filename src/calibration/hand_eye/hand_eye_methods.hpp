#pragma once

#include <map>
#include <string>

namespace velk::calibration {

// Names of OpenCV's hand-eye solvers ("TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS") and their values.
const std::map<std::string, int>& handEyeMethodByNameMap();

// Names of OpenCV's simultaneous robot-world/hand-eye solvers ("SHAH", "LI") and their values.
const std::map<std::string, int>& robotWorldHandEyeMethodByNameMap();

// Exact lookup among the hand-eye solvers; throws std::invalid_argument "Unknown hand-eye method '<name>'".
int handEyeMethodFromName(const std::string& name);

// A solver a calibrator can run: one of the hand-eye solvers, which find the camera
// transform alone, or one of the robot-world/hand-eye solvers, which find it together
// with the target transform.
struct HandEyeSolver {
    enum class Family { HandEye, RobotWorldHandEye };
    Family family = Family::HandEye;
    int value = 0;
};

// Exact lookup in both maps; throws std::invalid_argument "Unknown hand-eye method '<name>'".
HandEyeSolver handEyeSolverFromName(const std::string& name);

}  // namespace velk::calibration
