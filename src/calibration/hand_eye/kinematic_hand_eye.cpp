#include "calibration/hand_eye/kinematic_hand_eye.hpp"

#include <cmath>
#include <iomanip>
#include <numeric>
#include <sstream>
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
constexpr double kNormalQuantile95 = 1.6448536;  // one-sided 5 % point of the standard normal

// 95 % point of the chi-square distribution with dof degrees of freedom (Wilson and Hilferty).
double chiSquareLimit(int dof) {
    const double k = 2.0 / (9.0 * dof);
    return dof * std::pow(1.0 - k + kNormalQuantile95 * std::sqrt(k), 3);
}

// v^T * inv(covariance) * v over the free corrections; zero when their covariance is singular.
double chiSquare(const ChainFit& fit, const std::vector<int>& free) {
    const int n = static_cast<int>(free.size());
    if (fit.covariance.size() != static_cast<size_t>(n) * n) {
        return 0.0;
    }
    const cv::Mat covariance = cv::Mat(n, n, CV_64F, const_cast<double*>(fit.covariance.data())).clone();
    cv::Mat values(n, 1, CV_64F);
    for (int k = 0; k < n; ++k) {
        values.at<double>(k) = fit.corrections[free[k]];
    }
    cv::Mat weighted;
    if (!cv::solve(covariance, values, weighted, cv::DECOMP_CHOLESKY)) {
        return 0.0;
    }
    return values.dot(weighted);
}

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
                                                const std::vector<std::string>& names,
                                                const std::string& insignificant) {
    std::vector<KinematicParameter> parameters;
    for (int k = 0; k < layout.count(); ++k) {
        KinematicParameter parameter;
        parameter.name = layout.names[k];
        parameter.angular = layout.angular[k];
        parameter.remaining_share = judged.remaining_share[k];
        parameter.estimated = refined && judged.determined[k] && insignificant.empty();
        if (refined && judged.determined[k]) {
            parameter.value = fit.corrections[k];
            parameter.sigma = fit.sigmas[k];
        }
        if (!parameter.estimated && refined && judged.determined[k]) {
            parameter.held_reason = insignificant;
        } else if (!parameter.estimated) {
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

std::string chiSquareText(double chiSquare, double limit) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << "consistent with nominal: chi-square " << chiSquare << ", limit "
         << limit;
    return text.str();
}

// The starting values with the caller's view frames (0, 1, ... when it gives none) and corner count.
HandEyeRefinement startingResult(const HandEyeRefinementProblem& problem, const cv::Mat& targetStart) {
    HandEyeRefinement start = startingValues(problem, targetStart);
    start.view_frames = problem.view_frames;
    if (start.view_frames.empty()) {
        start.view_frames.resize(problem.object_points.size());
        std::iota(start.view_frames.begin(), start.view_frames.end(), 0);
    }
    for (const cv::Mat& points : problem.object_points) {
        start.corner_count += static_cast<int>(points.total() * points.channels() / 3);
    }
    return start;
}

// The nominal chain's solution once its corrections proved consistent with nominal. It lies next to the one
// found with them, and the noise levels found with them hold without them: one solve from there, at those
// levels, which the result reports as found.
HandEyeRefinement nominalSolution(const HandEyeRefinementProblem& nominal, const RefinementOptions& options,
                                  const std::vector<cv::Mat>& viewPoses, const ChainViews& chainViews,
                                  const HandEyeRefinement& found, const HandEyeRefinement& start, bool log,
                                  ChainFit& fit) {
    HandEyeRefinementProblem warm = nominal;
    warm.camera_mount_T_camera = found.camera_mount_T_camera;
    warm.target_mount_T_target = found.target_mount_T_target;
    RefinementOptions atLevels = options;
    atLevels.robot_translation_sigma_mm = found.robot_translation_noise_mm;
    atLevels.robot_rotation_sigma_deg = found.robot_rotation_noise_deg;
    atLevels.pixel_sigma_px = found.pixel_noise_px;
    ChainViews fixedChain = chainViews;
    fixedChain.free.clear();
    HandEyeRefinement solution = refineWithRobotError(warm, atLevels, warm.target_mount_T_target, viewPoses, start, log,
                                                      false, &fixedChain, &fit);
    solution.noise_estimated = found.noise_estimated;
    solution.noise_settled = found.noise_settled;
    return solution;
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
    result.refinement = startingResult(nominal, targetStart);
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
    const HandEyeRefinement start = result.refinement;
    result.refinement =
        refineWithRobotError(nominal, options.refinement, targetStart, viewPoses, start, log, false, &views, &fit);
    const bool refined = result.refinement.refined && !fit.corrections.empty();
    std::string insignificant;
    if (refined && options.require_significance && !views.free.empty()) {
        result.chi_square = chiSquare(fit, views.free);
        result.chi_square_limit = chiSquareLimit(static_cast<int>(views.free.size()));
        if (result.chi_square <= result.chi_square_limit) {
            insignificant = chiSquareText(result.chi_square, result.chi_square_limit);
            ChainFit nominalFit;
            result.refinement = nominalSolution(nominal, options.refinement, viewPoses, views, result.refinement, start,
                                                log, nominalFit);
            result.robot_T_tcp_list = nominalFit.robot_T_tcp_list;
        }
    }
    result.parameters =
        chainParameters(layout, judged, fit, refined, groupNames(problem.eye_to_hand, layout), insignificant);
    if (refined && insignificant.empty()) {
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
