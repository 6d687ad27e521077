#pragma once

#include <string>

#include "quality/hand_eye_method_result.hpp"

namespace velk::quality {

// Table of the solvers' tcp_T_camera poses and a verdict on whether they agree on rz
// to within consensus_threshold_deg of their median.
std::string format_method_comparison(const HandEyeMethodResults& method_results, double consensus_threshold_deg);

}  // namespace velk::quality
