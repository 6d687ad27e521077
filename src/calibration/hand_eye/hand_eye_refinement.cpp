#include "calibration/hand_eye/hand_eye_refinement.hpp"

#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

#include "calibration/hand_eye/hand_eye_refinement_start.hpp"
#include "calibration/hand_eye/robot_error_refinement.hpp"
#include "calibration/hand_eye/target_scale.hpp"
#include "calibration/refinement/refinement_log.hpp"
#include "calibration/refinement/reprojection_problem.hpp"

namespace velk::calibration {
namespace {

constexpr size_t kMinimumViews = 3;

void checkProblem(const HandEyeRefinementProblem& problem) {
    const size_t views = problem.camera_mount_T_target_mount_list.size();
    if (problem.object_points.size() != views || problem.image_points.size() != views) {
        throw std::invalid_argument(
            "refineHandEye: expected one object and one image point set per known "
            "transform, got " +
            std::to_string(problem.object_points.size()) + " and " + std::to_string(problem.image_points.size()) +
            " for " + std::to_string(views));
    }
    if (!problem.view_frames.empty() && problem.view_frames.size() != views) {
        throw std::invalid_argument("refineHandEye: expected one view frame per known transform, got " +
                                    std::to_string(problem.view_frames.size()) + " for " + std::to_string(views));
    }
    if (problem.camera_mount_T_camera.rows != 4 || problem.camera_mount_T_camera.cols != 4) {
        throw std::invalid_argument("refineHandEye: camera_mount_T_camera must be a 4 x 4 starting transform");
    }
    if (problem.intrinsic_matrix.rows != 3 || problem.intrinsic_matrix.cols != 3) {
        throw std::invalid_argument("refineHandEye: intrinsic_matrix must be 3 x 3");
    }
}

// The robot poses taken as exact: only the corners carry errors, whose level the residuals give.
HandEyeRefinement refineWithExactRobot(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                                       const cv::Mat& targetStart, HandEyeRefinement result, bool log) {
    ReprojectionProblem solver(options.huber_scale_px);
    int camera = 0;
    try {
        camera = solver.addCamera(problem.intrinsic_matrix, problem.distortion_coefficients, problem.refine_intrinsics,
                                  problem.calibration_flags, problem.camera_model);
    } catch (const std::invalid_argument& error) {
        return keepStartingValues(result, error.what(), log);
    }
    const int cameraPose = solver.addPose(problem.camera_mount_T_camera, false);
    const int targetPose = solver.addPose(targetStart, false);
    for (size_t v = 0; v < problem.object_points.size(); ++v) {
        solver.addView(camera, cameraPose, problem.camera_mount_T_target_mount_list[v], targetPose,
                       problem.object_points[v], problem.image_points[v]);
    }

    std::string reason;
    const bool solved = solver.solve(options.max_iterations, result.summary, reason);
    if (!solved) {
        return keepStartingValues(result, reason, log);
    }
    if (!solver.computeCovariance({cameraPose, targetPose}, {camera}, reason)) {
        return keepStartingValues(result, reason, log);
    }
    result.refined = true;
    result.camera_mount_T_camera = solver.pose(cameraPose);
    result.target_mount_T_target = solver.pose(targetPose);
    result.intrinsic_matrix = solver.intrinsicMatrix(camera);
    result.distortion_coefficients = solver.distortion(camera);
    result.intrinsics_refined = problem.refine_intrinsics;
    result.camera_sigma = solver.poseSigma(cameraPose);
    result.target_sigma = solver.poseSigma(targetPose);
    if (problem.refine_intrinsics) {
        result.intrinsic_sigmas = solver.intrinsicSigmas(camera);
    }
    storeViewResiduals(solver.viewResiduals(options.outlier_z_score), result);
    if (log) {
        logRefinementDone(kHandEyeRefinementComponent, result.summary, result.rms_px, result.outlier_views,
                          result.view_labels);
    }
    return result;
}

HandEyeRefinement refineHandEyeLogged(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                                      bool log) {
    checkProblem(problem);
    const std::vector<cv::Mat> viewPoses = viewCameraPoses(problem);
    const cv::Mat targetStart = startingTargetPose(problem, viewPoses);
    HandEyeRefinement result = startingValues(problem, targetStart);
    result.view_frames = problem.view_frames;
    if (result.view_frames.empty()) {
        result.view_frames.resize(problem.object_points.size());
        std::iota(result.view_frames.begin(), result.view_frames.end(), 0);
    }
    for (const cv::Mat& points : problem.object_points) {
        result.corner_count += static_cast<int>(points.total() * points.channels() / 3);
    }
    if (problem.object_points.size() < kMinimumViews) {
        return keepStartingValues(result,
                                  "too few views (" + std::to_string(problem.object_points.size()) +
                                      ", need at least " + std::to_string(kMinimumViews) + ")",
                                  log);
    }
    if (targetStart.empty()) {
        return keepStartingValues(result, "no view could be posed to start the target pose", log);
    }
    const bool exactRobot = options.robot_translation_sigma_mm == 0.0 && options.robot_rotation_sigma_deg == 0.0;
    const bool fitScale = options.target_scale == TargetScale::Fitted && !exactRobot;
    result = exactRobot
                 ? refineWithExactRobot(problem, options, targetStart, std::move(result), log)
                 : refineWithRobotError(problem, options, targetStart, viewPoses, std::move(result), log, fitScale,
                                        nullptr, nullptr, nullptr, options.target_scale == TargetScale::Measured);
    result.target_scale_applied = fitScale && result.target_scale_measured;
    if (options.target_scale == TargetScale::Fixed) {
        return result;
    }
    return withTargetScale(problem, options, viewPoses, std::move(result), log);
}

}  // namespace

HandEyeRefinement refineHandEye(const HandEyeRefinementProblem& problem, const RefinementOptions& options) {
    return refineHandEyeLogged(problem, options, true);
}

HandEyeRefinement refineHandEyeSilently(const HandEyeRefinementProblem& problem, const RefinementOptions& options) {
    return refineHandEyeLogged(problem, options, false);
}

}  // namespace velk::calibration
