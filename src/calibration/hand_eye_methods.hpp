#pragma once

#include <map>
#include <string>

namespace velk::calibration {

// Names of OpenCV's hand-eye solvers ("TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS") and their values.
const std::map<std::string, int>& handEyeMethodByNameMap();

// Exact lookup; throws std::invalid_argument "Unknown hand-eye method '<name>'".
int handEyeMethodFromName(const std::string& name);

}  // namespace velk::calibration
