#pragma once

#include <string>

namespace velk::calibration {

// One correction of a chain: estimated with its 1-sigma, or held at zero with the reason.
struct KinematicParameter {
    std::string name;
    bool angular = true;  // value and sigma in rad when true, m otherwise
    bool estimated = false;
    double value = 0.0;
    double sigma = 0.0;
    double remaining_share = 0.0;  // what of its effect the transforms and other corrections leave
    std::string held_reason;       // "absorbed by base_T_camera", "not moved by the data", ...
};

}  // namespace velk::calibration
