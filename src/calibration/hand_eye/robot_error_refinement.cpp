#include "calibration/hand_eye/robot_error_refinement.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/calib3d.hpp>

#include "calibration/hand_eye/hand_eye_refinement_start.hpp"
#include "calibration/hand_eye/mount_observability.hpp"
#include "calibration/hand_eye/robot_noise_text.hpp"
#include "calibration/hand_eye/robot_pose_corrections.hpp"
#include "calibration/refinement/errors_in_variables_problem.hpp"
#include "calibration/refinement/refinement_log.hpp"
#include "calibration/refinement/robust_outliers.hpp"
#include "core/log.hpp"
#include "kinematics/forward_kinematics.hpp"

namespace velk::calibration {
namespace {

const std::string kComponent = kHandEyeRefinementComponent;
// The spread of correction sizes below which no pose is called suspect, as a share of their median.
constexpr double kSuspectMinimumMadShare = 0.15;
// A correction of six axes, each within its noise, has a size (in its own noise) of about two; a
// suspect pose must also be well beyond that, so that near-exact robots flag nothing.
constexpr double kSuspectMinimumSize = 3.0;
// Robot poses that disagree with their pictures by this many times an implausible level are not refined.
constexpr double kUnrefinableFactor = 10.0;
// From the start, only directions this many times beyond the limits of what the motions determine are held;
// weaker ones are judged again at the solution.
constexpr double kWeakDirectionFactor = 100.0;

// The problem's camera: free with its flags, or its given intrinsics tied to their sigmas when the
// options give them. Throws std::invalid_argument for a camera the solver cannot represent.
int addProblemCamera(ErrorsInVariablesProblem& solver, const HandEyeRefinementProblem& problem,
                     const RefinementOptions& options) {
    const bool intrinsicPrior = !problem.refine_intrinsics && !options.intrinsic_sigmas_px.empty();
    return solver.addCamera(problem.intrinsic_matrix, problem.distortion_coefficients, problem.refine_intrinsics,
                            problem.calibration_flags,
                            intrinsicPrior ? options.intrinsic_sigmas_px : std::vector<double>{}, problem.camera_model);
}

void storeRobotNoise(const ErrorsInVariablesProblem& solver, const NoiseEstimation& estimation, bool eyeToHand,
                     double outlierZScore, HandEyeRefinement& result) {
    const ObservationNoise& noise = solver.noise();
    result.robot_error_modelled = true;
    result.noise_estimated = estimation.translation || estimation.rotation;
    result.noise_settled = solver.noiseSettled();
    result.robot_translation_noise_mm = noise.translation_m * 1000.0;
    result.robot_rotation_noise_deg = noise.rotation_rad * 180.0 / CV_PI;
    result.pixel_noise_px = noise.pixel_px;
    for (size_t v = 0; v < result.per_view_rms_px.size(); ++v) {
        result.robot_pose_corrections.push_back(flangeCorrection(solver.correction(static_cast<int>(v)), eyeToHand));
    }
    const std::vector<double> sizes = solver.correctionSizes();
    for (int view : robustOutliers(sizes, outlierZScore, kSuspectMinimumMadShare * medianOf(sizes))) {
        if (sizes[view] > kSuspectMinimumSize) {
            result.suspect_poses.push_back(view);
        }
    }
    if (result.noise_estimated) {
        result.noise_warning =
            implausibleRobotNoiseWarning(result.robot_translation_noise_mm, result.robot_rotation_noise_deg);
    }
}

void logRobotNoise(const HandEyeRefinement& result) {
    logMessage(LogLevel::Info, kComponent + robotNoiseSentence(result) + "; " + cornerNoiseSentence(result) + ".");
    if (!result.noise_settled && result.noise_estimated) {
        logMessage(LogLevel::Warning, kComponent + "The estimated noise levels had not settled; they are approximate.");
    }
    if (!result.suspect_poses.empty()) {
        logMessage(LogLevel::Warning, kComponent +
                                          "Robot poses that disagree with their pictures more than the "
                                          "others (kept): " +
                                          suspectPoseList(result));
    }
    if (!result.noise_warning.empty()) {
        logMessage(LogLevel::Warning, kComponent + result.noise_warning);
    }
}

// When the refinement fails, the disagreement of each robot pose with its own picture under the
// starting transforms still tells whether the input is plausible.
HandEyeRefinement keptWithStartingVerdict(HandEyeRefinement result, const std::string& reason,
                                          const ObservationNoise& start, const NoiseEstimation& estimation, bool log) {
    result = keepStartingValues(std::move(result), reason, log);
    if (estimation.translation || estimation.rotation) {
        result.noise_warning =
            implausibleRobotNoiseWarning(start.translation_m * 1000.0, start.rotation_rad * 180.0 / CV_PI);
        if (log && !result.noise_warning.empty()) {
            logMessage(LogLevel::Warning, kComponent + result.noise_warning);
        }
    }
    return result;
}

std::vector<cv::Mat> startingCorrections(const HandEyeRefinementProblem& problem, const cv::Mat& targetStart,
                                         const std::vector<cv::Mat>& viewPoses) {
    std::vector<cv::Mat> corrections;
    for (size_t v = 0; v < viewPoses.size(); ++v) {
        corrections.push_back(startingCorrection(problem.camera_mount_T_camera,
                                                 problem.camera_mount_T_target_mount_list[v], targetStart, viewPoses[v],
                                                 !problem.eye_to_hand));
    }
    return corrections;
}

// Every view of the problem, through its known transform or, with a chain, through the chain.
void addViews(ErrorsInVariablesProblem& solver, const HandEyeRefinementProblem& problem, int camera, int cameraPose,
              int targetPose, const std::vector<cv::Mat>& corrections, const ChainViews* chain) {
    const bool onLeft = !problem.eye_to_hand;
    if (chain != nullptr) {
        solver.setChain(*chain->chain, chain->layout, chain->free);
    }
    for (size_t v = 0; v < problem.object_points.size(); ++v) {
        const cv::Mat start = corrections.empty() ? cv::Mat() : corrections[v];
        if (chain != nullptr) {
            solver.addChainView(camera, cameraPose, chain->joints->at(v), onLeft, onLeft, targetPose,
                                problem.object_points[v], problem.image_points[v], start);
        } else {
            solver.addView(camera, cameraPose, problem.camera_mount_T_target_mount_list[v], onLeft, targetPose,
                           problem.object_points[v], problem.image_points[v], start);
        }
    }
}

ChainFit chainFit(const ErrorsInVariablesProblem& solver, const ChainViews& chain, bool eyeToHand) {
    ChainFit fit;
    fit.corrections = solver.chainCorrections();
    fit.sigmas = solver.chainCorrectionSigmas();
    fit.covariance = solver.chainCorrectionCovariance();
    const kinematics::KinematicChain corrected =
        kinematics::correctedChain(*chain.chain, chain.layout, fit.corrections);
    for (size_t v = 0; v < chain.joints->size(); ++v) {
        const cv::Mat flange = kinematics::forwardKinematics(corrected, chain.joints->at(v));
        // Eye-to-hand corrects robot_T_tcp on its right; eye-in-hand corrects tcp_T_robot on its left.
        const cv::Mat correction = solver.correction(static_cast<int>(v));
        fit.robot_T_tcp_list.push_back(eyeToHand ? cv::Mat(flange * correction)
                                                 : cv::Mat(flange * correction.inv(cv::DECOMP_SVD)));
    }
    return fit;
}

// The inverse of flangeCorrection.
cv::Mat correctionOfFlange(const std::vector<double>& values, bool eyeToHand) {
    cv::Mat flange = cv::Mat::eye(4, 4, CV_64F);
    const cv::Mat rotationVector =
        (cv::Mat_<double>(3, 1) << values[3] * CV_PI / 180.0, values[4] * CV_PI / 180.0, values[5] * CV_PI / 180.0);
    cv::Rodrigues(rotationVector, flange(cv::Rect(0, 0, 3, 3)));
    for (int k = 0; k < 3; ++k) {
        flange.at<double>(k, 3) = values[k] / 1000.0;
    }
    return eyeToHand ? flange : cv::Mat(flange.inv(cv::DECOMP_SVD));
}

}  // namespace

std::vector<cv::Mat> solvedCorrections(const HandEyeRefinement& result, bool eye_to_hand) {
    std::vector<cv::Mat> corrections;
    for (const std::vector<double>& values : result.robot_pose_corrections) {
        corrections.push_back(correctionOfFlange(values, eye_to_hand));
    }
    return corrections;
}

Identifiability chainIdentifiability(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                                     const cv::Mat& target_start, const std::vector<cv::Mat>& view_poses,
                                     const ChainViews& chain, double tolerance) {
    const ObservationNoise disagreement = startingNoise(startingCorrections(problem, target_start, view_poses));
    const auto [start, estimation] = robotNoiseSettings(options, disagreement);
    ErrorsInVariablesProblem solver(options.huber_scale_px, start, estimation);
    const int camera = addProblemCamera(solver, problem, options);
    const int cameraPose = solver.addPose(problem.camera_mount_T_camera);
    const int targetPose = solver.addPose(target_start);
    addViews(solver, problem, camera, cameraPose, targetPose, {}, &chain);
    return solver.chainIdentifiability(tolerance);
}

namespace {

// The two poses a solver estimates and the plan of what the motions determine of them.
struct PosedViews {
    MountPlan plan;
    int camera_pose = 0;
    int target_pose = 0;
};

// Adds the camera's and the target's poses, holding what the plan holds, and every view. A given target
// pose comes with a camera pose that already fits it (a re-solve from an earlier solution): the robot
// poses then start as reported or at the given starting corrections. Otherwise each view starts
// agreeing with its own picture.
PosedViews addPosesAndViews(ErrorsInVariablesProblem& solver, const HandEyeRefinementProblem& problem,
                            const RefinementOptions& options, const cv::Mat& targetStart,
                            const std::vector<cv::Mat>& view_poses, const ObservationNoise& start,
                            const NoiseEstimation& estimation, int camera, const ChainViews* chain,
                            double limit_factor) {
    PosedViews posed;
    MountPlan& plan = posed.plan;
    // Through a chain the views' transforms are the chain's: what they determine is judged there.
    if (chain == nullptr) {
        plan = planMountComponents(problem, options, targetStart, start, estimation, limit_factor);
    } else {
        plan.camera_start = problem.camera_mount_T_camera;
        plan.target_start = targetStart;
    }
    posed.camera_pose = solver.addPose(plan.camera_start);
    posed.target_pose = solver.addPose(plan.target_start);
    applyMountPlan(plan, solver, posed.camera_pose, posed.target_pose);
    const bool warmStart = !problem.target_mount_T_target.empty();
    const bool warmCorrections = problem.starting_corrections.size() == problem.object_points.size();
    HandEyeRefinementProblem moved = problem;
    moved.camera_mount_T_camera = plan.camera_start;
    addViews(solver, problem, camera, posed.camera_pose, posed.target_pose,
             warmStart ? (warmCorrections ? problem.starting_corrections : std::vector<cv::Mat>())
                       : startingCorrections(moved, plan.target_start, view_poses),
             chain);
    return posed;
}

// One solve whose plan holds the directions beyond limit_factor times the limits; weak_left_free tells
// whether weaker ones beyond the limits were left free.
HandEyeRefinement refineOnce(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                             const cv::Mat& targetStart, const std::vector<cv::Mat>& view_poses,
                             HandEyeRefinement result, bool log, bool fit_target_scale, const ChainViews* chain,
                             ChainFit* fit, double limit_factor, bool& weak_left_free,
                             const ObservationNoise* starting_levels, bool measure_target_scale) {
    const std::vector<cv::Mat> corrections = startingCorrections(problem, targetStart, view_poses);
    const ObservationNoise disagreement = startingNoise(corrections);
    const auto [start, estimation] =
        robotNoiseSettings(options, starting_levels != nullptr ? *starting_levels : disagreement);
    if (disagreement.translation_m * 1000.0 > kUnrefinableFactor * kImplausibleRobotTranslationMm ||
        disagreement.rotation_rad * 180.0 / CV_PI > kUnrefinableFactor * kImplausibleRobotRotationDeg) {
        return keptWithStartingVerdict(std::move(result),
                                       "the robot poses disagree with the pictures too much to "
                                       "refine",
                                       disagreement, NoiseEstimation(), log);
    }
    const bool intrinsicPrior = !problem.refine_intrinsics && !options.intrinsic_sigmas_px.empty();
    std::optional<ErrorsInVariablesProblem> solver(std::in_place, options.huber_scale_px, start, estimation);
    int camera = 0;
    try {
        camera = addProblemCamera(*solver, problem, options);
    } catch (const std::invalid_argument& error) {
        return keepStartingValues(result, error.what(), log);
    }
    // The size is measured on the solution at the described size, when the solve starts there.
    const bool measureScale = measure_target_scale && !fit_target_scale && problem.target_scale == 1.0;
    if (fit_target_scale) {
        solver->estimateTargetScale(problem.target_scale);
    } else if (measureScale) {
        solver->carryTargetScale(1.0);
    }
    const PosedViews posed = addPosesAndViews(*solver, problem, options, targetStart, view_poses, start, estimation,
                                              camera, chain, limit_factor);
    const MountPlan& plan = posed.plan;
    const int cameraPose = posed.camera_pose;
    const int targetPose = posed.target_pose;
    weak_left_free = plan.weak_left_free;
    result.mount_components = mountOutcomes(plan, plan.camera_start, plan.target_start, {});
    if (log) {
        logMountComponents(result.mount_components, kComponent);
    }

    std::string reason;
    if (!solver->solve(options.max_iterations, result.summary, reason)) {
        return keptWithStartingVerdict(std::move(result), reason, start, estimation, log);
    }
    result.refined = true;
    result.camera_mount_T_camera = solver->pose(cameraPose);
    result.target_mount_T_target = solver->pose(targetPose);
    result.intrinsic_matrix = solver->intrinsicMatrix(camera);
    result.distortion_coefficients = solver->distortion(camera);
    result.intrinsics_refined = problem.refine_intrinsics || intrinsicPrior;
    result.camera_sigma = solver->poseSigma(cameraPose);
    result.target_sigma = solver->poseSigma(targetPose);
    if (result.intrinsics_refined) {
        result.intrinsic_sigmas = solver->intrinsicSigmas(camera);
    }
    result.joint_covariance = solver->jointCovariance({cameraPose, targetPose}, camera);
    result.mount_components =
        mountOutcomes(plan, result.camera_mount_T_camera, result.target_mount_T_target, result.joint_covariance);
    if (fit_target_scale) {
        result.target_scale_measured = true;
        result.target_scale = solver->targetScale();
        result.target_scale_sigma = solver->targetScaleSigma();
    }
    if (measureScale) {
        const ErrorsInVariablesProblem::ScaleMeasurement measured = solver->measureTargetScale(options.max_iterations);
        result.target_scale_measured = measured.ok;
        result.target_scale = measured.ok ? measured.scale : 1.0;
        result.target_scale_sigma = measured.ok ? measured.sigma : 0.0;
    }
    storeViewResiduals(solver->viewResiduals(options.outlier_z_score), result);
    storeRobotNoise(*solver, estimation, problem.eye_to_hand, options.outlier_z_score, result);
    if (chain != nullptr && fit != nullptr) {
        *fit = chainFit(*solver, *chain, problem.eye_to_hand);
    }
    return result;
}

// The result the refinement returns, logged once: a solve that is judged again is not.
HandEyeRefinement logged(HandEyeRefinement result, bool log) {
    if (log && result.refined) {
        logRefinementDone(kComponent, result.summary, result.rms_px, result.outlier_views, result.view_labels);
        logRobotNoise(result);
    }
    return result;
}

}  // namespace

std::vector<LeftOutSolution> leaveEachViewOut(const HandEyeRefinementProblem& solution,
                                              const RefinementOptions& options, bool fit_target_scale) {
    if (solution.target_mount_T_target.empty() ||
        solution.starting_corrections.size() != solution.object_points.size() ||
        options.robot_translation_sigma_mm < 0.0 || options.robot_rotation_sigma_deg < 0.0 ||
        !(options.pixel_sigma_px > 0.0)) {
        throw std::invalid_argument(
            "leaveEachViewOut: needs a solution (target pose and every view's correction) and its noise levels");
    }
    const auto [start, estimation] = robotNoiseSettings(options, ObservationNoise());
    ErrorsInVariablesProblem solver(options.huber_scale_px, start, estimation);
    const int camera = addProblemCamera(solver, solution, options);
    if (fit_target_scale) {
        solver.estimateTargetScale(solution.target_scale);
    }
    // At the solution, what the motions determine is judged at its final limits at once.
    const PosedViews posed = addPosesAndViews(solver, solution, options, solution.target_mount_T_target, {}, start,
                                              estimation, camera, nullptr, 1.0);
    return solver.leaveEachViewOut({posed.camera_pose, posed.target_pose}, camera);
}

HandEyeRefinement refineWithRobotError(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                                       const cv::Mat& targetStart, const std::vector<cv::Mat>& view_poses,
                                       HandEyeRefinement result, bool log, bool fit_target_scale,
                                       const ChainViews* chain, ChainFit* fit, const ObservationNoise* starting_levels,
                                       bool measure_target_scale) {
    // The first solve holds only what the motions plainly leave free; what merely looks weak from the start
    // is judged again at its solution, under the noise levels found there.
    bool weak = false;
    HandEyeRefinement first = refineOnce(problem, options, targetStart, view_poses, result, log, fit_target_scale,
                                         chain, fit, kWeakDirectionFactor, weak, starting_levels, measure_target_scale);
    if (!weak || !first.refined) {
        return logged(std::move(first), log);
    }
    if (log) {
        logMessage(LogLevel::Info, kComponent + "Judging again at the solution what the robot's motions determine.");
    }
    HandEyeRefinementProblem again = problem;
    again.camera_mount_T_camera = first.camera_mount_T_camera;
    again.target_mount_T_target = first.target_mount_T_target;
    if (first.intrinsics_refined) {
        again.intrinsic_matrix = first.intrinsic_matrix;
        again.distortion_coefficients = first.distortion_coefficients;
    }
    return logged(refineOnce(again, options, again.target_mount_T_target, view_poses, std::move(result), log,
                             fit_target_scale, chain, fit, 1.0, weak, starting_levels, measure_target_scale),
                  log);
}

}  // namespace velk::calibration
