#include "calibration/hand_eye_methods.hpp"

#include <stdexcept>

#include <opencv2/calib3d.hpp>

namespace velk::calibration {

const std::map<std::string, int>& handEyeMethodByNameMap() {
    static const std::map<std::string, int> methods = {
        {"TSAI", cv::CALIB_HAND_EYE_TSAI},       {"PARK", cv::CALIB_HAND_EYE_PARK},
        {"HORAUD", cv::CALIB_HAND_EYE_HORAUD},   {"ANDREFF", cv::CALIB_HAND_EYE_ANDREFF},
        {"DANIILIDIS", cv::CALIB_HAND_EYE_DANIILIDIS},
    };
    return methods;
}

int handEyeMethodFromName(const std::string& name) {
    const auto& methods = handEyeMethodByNameMap();
    const auto found = methods.find(name);
    if (found == methods.end()) {
        throw std::invalid_argument("Unknown hand-eye method '" + name + "'");
    }
    return found->second;
}

}  // namespace velk::calibration
