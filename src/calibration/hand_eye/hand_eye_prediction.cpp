#include "calibration/hand_eye/hand_eye_prediction.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "calibration/hand_eye/mount_observability.hpp"
#include "calibration/hand_eye/nominal_problem.hpp"

namespace velk::calibration {
namespace {

// Poses that leave a transform exactly undetermined give, after rounding, either a singular normal matrix
// or a covariance of metres and tens of degrees, which of the two depending on the CPU's arithmetic. Both
// are judged by the limits below which the pictures determine a hand-eye component, far from either.
void requireDetermined(const PoseSigma& sigma, const std::string& name) {
    const double translation_mm = *std::max_element(sigma.translation_mm.begin(), sigma.translation_mm.end());
    const double rotation_deg = *std::max_element(sigma.rotation_deg.begin(), sigma.rotation_deg.end());
    if (translation_mm <= kUndeterminedTranslationMm && rotation_deg <= kUndeterminedRotationDeg) {
        return;
    }
    char sigmas[96];
    std::snprintf(sigmas, sizeof(sigmas), "%.3g mm / %.3g deg", translation_mm, rotation_deg);
    throw std::runtime_error("hand-eye plan: the poses do not determine " + name + ": its 1-sigma would be " + sigmas +
                             " along its weakest axes (turn the flange about axes of several directions)");
}

}  // namespace

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
    requireDetermined(prediction.camera_sigma, "the hand-eye transform");
    requireDetermined(prediction.target_sigma, "the board's pose");
    return prediction;
}

}  // namespace velk::calibration
