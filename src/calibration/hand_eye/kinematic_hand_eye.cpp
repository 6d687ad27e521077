#include "calibration/hand_eye/kinematic_hand_eye.hpp"

#include <numeric>
#include <stdexcept>
#include <utility>

#include "calibration/hand_eye/hand_eye_refinement_start.hpp"
#include "calibration/hand_eye/robot_error_refinement.hpp"
#include "calibration/refinement/parameter_identifiability.hpp"
#include "core/log.hpp"
#include "kinematics/forward_kinematics.hpp"

namespace velk::calibration {
namespace {

constexpr size_t kMinimumViews = 3;

void checkJoints(const HandEyeRefinementProblem& problem, const kinematics::KinematicChain& chain,
                 const std::vector<std::vector<double>>& joints) {
    kinematics::validateChain(chain);
    if (joints.size() != problem.object_points.size() || joints.size() != problem.image_points.size()) {
        throw std::invalid_argument("refineHandEyeWithKinematics: expected one set of joint readings per view, got " +
                                    std::to_string(joints.size()) + " for " +
                                    std::to_string(problem.object_points.size()) + " views");
    }
    for (const std::vector<double>& readings : joints) {
        if (static_cast<int>(readings.size()) != chain.jointCount()) {
            throw std::invalid_argument("refineHandEyeWithKinematics: expected " + std::to_string(chain.jointCount()) +
                                        " joint readings per view");
        }
    }
}

// How a held correction's reason names what absorbs it, by the groups of chainIdentifiability.
std::vector<std::string> groupNames(bool eyeToHand, const kinematics::CorrectionLayout& layout) {
    std::vector<std::string> names = {eyeToHand ? "robot_T_camera" : "tcp_T_camera",
                                      eyeToHand ? "tcp_T_target" : "world_T_target", "the views' own corrections",
                                      "the intrinsics"};
    names.insert(names.end(), layout.names.begin(), layout.names.end());
    return names;
}

std::vector<KinematicParameter> chainParameters(const kinematics::CorrectionLayout& layout,
                                                const Identifiability& judged, const ChainFit& fit, bool refined,
                                                const std::vector<std::string>& names) {
    std::vector<KinematicParameter> parameters;
    for (int k = 0; k < layout.count(); ++k) {
        KinematicParameter parameter;
        parameter.name = layout.names[k];
        parameter.angular = layout.angular[k];
        parameter.remaining_share = judged.remaining_share[k];
        parameter.estimated = refined && judged.determined[k];
        if (parameter.estimated) {
            parameter.value = fit.corrections[k];
            parameter.sigma = fit.sigmas[k];
        } else {
            parameter.held_reason = judged.determined[k] ? "the refinement failed" : heldReason(judged, k, names);
        }
        parameters.push_back(parameter);
    }
    return parameters;
}

void logHeld(const KinematicHandEyeResult& result) {
    if (result.held.empty()) {
        return;
    }
    std::string text;
    for (const KinematicParameter& parameter : result.parameters) {
        if (!parameter.estimated) {
            text += (text.empty() ? "" : "; ") + parameter.name + " (" + parameter.held_reason + ")";
        }
    }
    logMessage(LogLevel::Info, std::string(kHandEyeRefinementComponent) + "Held at nominal: " + text + ".");
}

}  // namespace

std::vector<cv::Mat> chainKnownTransforms(const kinematics::KinematicChain& chain,
                                          const std::vector<std::vector<double>>& joints, bool eye_to_hand) {
    std::vector<cv::Mat> transforms;
    for (const std::vector<double>& readings : joints) {
        const cv::Mat flange = kinematics::forwardKinematics(chain, readings);
        transforms.push_back(eye_to_hand ? flange : cv::Mat(flange.inv(cv::DECOMP_SVD)));
    }
    return transforms;
}

KinematicHandEyeResult refineHandEyeWithKinematics(const HandEyeRefinementProblem& problem,
                                                   const kinematics::KinematicChain& chain,
                                                   const std::vector<std::vector<double>>& joints,
                                                   const KinematicHandEyeOptions& options, bool log) {
    checkJoints(problem, chain, joints);
    HandEyeRefinementProblem nominal = problem;
    nominal.camera_mount_T_target_mount_list = chainKnownTransforms(chain, joints, problem.eye_to_hand);
    const std::vector<cv::Mat> viewPoses = viewCameraPoses(nominal);
    const cv::Mat targetStart = startingTargetPose(nominal, viewPoses);

    KinematicHandEyeResult result;
    const kinematics::CorrectionLayout layout = kinematics::correctionLayout(chain, options.mode);
    result.corrected_chain = chain;
    result.refinement = startingValues(nominal, targetStart);
    result.refinement.view_frames = problem.view_frames;
    if (result.refinement.view_frames.empty()) {
        result.refinement.view_frames.resize(problem.object_points.size());
        std::iota(result.refinement.view_frames.begin(), result.refinement.view_frames.end(), 0);
    }
    for (const cv::Mat& points : problem.object_points) {
        result.refinement.corner_count += static_cast<int>(points.total() * points.channels() / 3);
    }
    if (problem.object_points.size() < kMinimumViews || targetStart.empty()) {
        result.refinement = keepStartingValues(
            std::move(result.refinement),
            targetStart.empty() ? "no view could be posed to start the target pose" : "too few views", log);
        return result;
    }

    ChainViews views{&chain, layout, std::vector<int>(layout.count()), &joints};
    std::iota(views.free.begin(), views.free.end(), 0);
    Identifiability judged;
    try {
        judged =
            chainIdentifiability(nominal, options.refinement, targetStart, viewPoses, views, options.rank_tolerance);
    } catch (const std::exception& error) {
        result.refinement = keepStartingValues(std::move(result.refinement), error.what(), log);
        return result;
    }
    views.free.clear();
    for (int k = 0; k < layout.count(); ++k) {
        if (judged.determined[k]) {
            views.free.push_back(k);
        }
    }
    ChainFit fit;
    result.refinement = refineWithRobotError(nominal, options.refinement, targetStart, viewPoses,
                                             std::move(result.refinement), log, false, &views, &fit);
    const bool refined = result.refinement.refined && !fit.corrections.empty();
    result.parameters = chainParameters(layout, judged, fit, refined, groupNames(problem.eye_to_hand, layout));
    if (refined) {
        result.corrected_chain = kinematics::correctedChain(chain, layout, fit.corrections);
        result.robot_T_tcp_list = fit.robot_T_tcp_list;
    }
    for (const KinematicParameter& parameter : result.parameters) {
        if (!parameter.estimated) {
            result.held.push_back(parameter.name);
        }
    }
    if (log) {
        logHeld(result);
    }
    return result;
}

}  // namespace velk::calibration
