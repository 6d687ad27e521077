#include "calibration/hand_eye/hand_eye_setup.hpp"

#include <stdexcept>

namespace velk::calibration {

HandEyeSetup handEyeSetupFromName(const std::string& name, const std::string& operation) {
    if (name == "eye-in-hand") {
        return HandEyeSetup::EyeInHand;
    }
    if (name == "eye-to-hand") {
        return HandEyeSetup::EyeToHand;
    }
    throw std::invalid_argument(operation + ": unknown set-up '" + name +
                                "' (expected \"eye-in-hand\" or \"eye-to-hand\")");
}

std::string calibratorName(HandEyeSetup setup) {
    return setup == HandEyeSetup::EyeInHand ? "EyeInHandCalibrator" : "EyeToHandCalibrator";
}

std::string cameraTransformName(HandEyeSetup setup) {
    return setup == HandEyeSetup::EyeInHand ? "tcp_T_camera" : "robot_T_camera";
}

std::vector<cv::Mat> handEyeMotions(HandEyeSetup setup, const std::vector<cv::Mat>& robot_T_tcp_list) {
    std::vector<cv::Mat> motions;
    motions.reserve(robot_T_tcp_list.size());
    for (const cv::Mat& pose : robot_T_tcp_list) {
        cv::Mat motion;
        pose.convertTo(motion, CV_64F);
        motions.push_back(setup == HandEyeSetup::EyeInHand ? motion : cv::Mat(motion.inv()));
    }
    return motions;
}

}  // namespace velk::calibration
