#include "calibration/hand_eye/hand_eye_methods.hpp"

#include <stdexcept>

#include <opencv2/calib3d.hpp>

namespace velk::calibration {
namespace {

std::invalid_argument unknownMethod(const std::string& name) {
    return std::invalid_argument("Unknown hand-eye method '" + name + "'");
}

}  // namespace

const std::map<std::string, int>& handEyeMethodByNameMap() {
    static const std::map<std::string, int> methods = {
        {"TSAI", cv::CALIB_HAND_EYE_TSAI},
        {"PARK", cv::CALIB_HAND_EYE_PARK},
        {"HORAUD", cv::CALIB_HAND_EYE_HORAUD},
        {"ANDREFF", cv::CALIB_HAND_EYE_ANDREFF},
        {"DANIILIDIS", cv::CALIB_HAND_EYE_DANIILIDIS},
    };
    return methods;
}

const std::map<std::string, int>& robotWorldHandEyeMethodByNameMap() {
    static const std::map<std::string, int> methods = {
        {"SHAH", cv::CALIB_ROBOT_WORLD_HAND_EYE_SHAH},
        {"LI", cv::CALIB_ROBOT_WORLD_HAND_EYE_LI},
    };
    return methods;
}

int handEyeMethodFromName(const std::string& name) {
    const auto& methods = handEyeMethodByNameMap();
    const auto found = methods.find(name);
    if (found == methods.end()) {
        throw unknownMethod(name);
    }
    return found->second;
}

HandEyeSolver handEyeSolverFromName(const std::string& name) {
    const auto& handEye = handEyeMethodByNameMap();
    if (const auto found = handEye.find(name); found != handEye.end()) {
        return {HandEyeSolver::Family::HandEye, found->second};
    }
    const auto& robotWorld = robotWorldHandEyeMethodByNameMap();
    if (const auto found = robotWorld.find(name); found != robotWorld.end()) {
        return {HandEyeSolver::Family::RobotWorldHandEye, found->second};
    }
    throw unknownMethod(name);
}

}  // namespace velk::calibration
