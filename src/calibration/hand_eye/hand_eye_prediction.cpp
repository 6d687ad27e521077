#include "calibration/hand_eye/hand_eye_prediction.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "calibration/hand_eye/nominal_problem.hpp"

namespace velk::calibration {

HandEyePrediction predictHandEye(const HandEyePlanScene& scene, const std::vector<cv::Mat>& robot_T_tcp_list) {
    NominalProblem nominal = buildNominalProblem(scene, robot_T_tcp_list);
    HandEyePrediction prediction;
    prediction.corners_seen = nominal.corners_seen;
    for (int view : nominal.views) {
        prediction.usable.push_back(view >= 0);
    }
    const auto usable = std::count(prediction.usable.begin(), prediction.usable.end(), true);
    if (usable < kFewestPlanPoses) {
        throw std::invalid_argument("hand-eye plan: only " + std::to_string(usable) + " of the " +
                                    std::to_string(robot_T_tcp_list.size()) + " flange poses see at least " +
                                    std::to_string(planMinimumCorners(scene)) +
                                    " corners of the board; a prediction needs at least three usable poses");
    }
    std::string reason;
    if (!nominal.problem->evaluateCovariance(reason)) {
        throw std::runtime_error("hand-eye plan: " + reason);
    }
    prediction.camera_sigma = nominal.problem->poseSigma(nominal.camera_pose);
    prediction.target_sigma = nominal.problem->poseSigma(nominal.target_pose);
    prediction.intrinsic_sigmas = nominal.problem->intrinsicSigmas(nominal.camera);
    return prediction;
}

}  // namespace velk::calibration
