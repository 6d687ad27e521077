#include "calibration/hand_eye/hand_eye_refinement.hpp"

#include <stdexcept>
#include <string>

#include "calibration/detection/camera_target_pose.hpp"
#include "calibration/refinement/refinement_log.hpp"
#include "calibration/refinement/reprojection_problem.hpp"
#include "core/log.hpp"
#include "core/pose.hpp"

namespace velk::calibration {
namespace {

const std::string kComponent = "[HandEyeRefinement] ";
constexpr size_t kMinimumViews = 3;

void checkProblem(const HandEyeRefinementProblem& problem) {
    const size_t views = problem.camera_mount_T_target_mount_list.size();
    if (problem.object_points.size() != views || problem.image_points.size() != views) {
        throw std::invalid_argument("refineHandEye: expected one object and one image point set per known "
                                    "transform, got " + std::to_string(problem.object_points.size()) + " and " +
                                    std::to_string(problem.image_points.size()) + " for " + std::to_string(views));
    }
    if (problem.camera_mount_T_camera.rows != 4 || problem.camera_mount_T_camera.cols != 4) {
        throw std::invalid_argument("refineHandEye: camera_mount_T_camera must be a 4 x 4 starting transform");
    }
    if (problem.intrinsic_matrix.rows != 3 || problem.intrinsic_matrix.cols != 3) {
        throw std::invalid_argument("refineHandEye: intrinsic_matrix must be 3 x 3");
    }
}

// target_mount_T_target_i = inv(camera_mount_T_target_mount_i) * camera_mount_T_camera * camera_T_target_i.
cv::Mat startingTargetPose(const HandEyeRefinementProblem& problem) {
    if (!problem.target_mount_T_target.empty()) {
        return problem.target_mount_T_target;
    }
    cv::Mat cameraMount;
    problem.camera_mount_T_camera.convertTo(cameraMount, CV_64F);
    std::vector<cv::Mat> estimates;
    for (size_t v = 0; v < problem.object_points.size(); ++v) {
        if (problem.object_points[v].total() < 4) {
            continue;
        }
        const auto camera_T_target = estimateCameraTTarget(problem.object_points[v], problem.image_points[v],
                                                           problem.intrinsic_matrix,
                                                           problem.distortion_coefficients);
        if (camera_T_target) {
            cv::Mat mount;
            problem.camera_mount_T_target_mount_list[v].convertTo(mount, CV_64F);
            estimates.push_back(mount.inv(cv::DECOMP_LU) * cameraMount * *camera_T_target);
        }
    }
    return estimates.empty() ? cv::Mat() : averagePose(estimates);
}

HandEyeRefinement startingValues(const HandEyeRefinementProblem& problem, const cv::Mat& targetPose) {
    HandEyeRefinement result;
    problem.camera_mount_T_camera.convertTo(result.camera_mount_T_camera, CV_64F);
    result.target_mount_T_target = targetPose.clone();
    result.intrinsic_matrix = problem.intrinsic_matrix.clone();
    result.distortion_coefficients = problem.distortion_coefficients.clone();
    return result;
}

HandEyeRefinement keepStartingValues(HandEyeRefinement result, const std::string& reason) {
    result.refined = false;
    result.reason = reason;
    result.camera_sigma.reset();
    result.target_sigma.reset();
    result.intrinsic_sigmas.clear();
    logRefinementKept(kComponent, reason);
    return result;
}

}  // namespace

HandEyeRefinement refineHandEye(const HandEyeRefinementProblem& problem, const RefinementOptions& options) {
    checkProblem(problem);
    const cv::Mat targetStart = startingTargetPose(problem);
    HandEyeRefinement result = startingValues(problem, targetStart);
    if (problem.object_points.size() < kMinimumViews) {
        return keepStartingValues(result, "too few views (" + std::to_string(problem.object_points.size()) +
                                              ", need at least " + std::to_string(kMinimumViews) + ")");
    }
    if (targetStart.empty()) {
        return keepStartingValues(result, "no view could be posed to start the target pose");
    }

    ReprojectionProblem solver(options.huber_scale_px);
    int camera = 0;
    try {
        camera = solver.addCamera(problem.intrinsic_matrix, problem.distortion_coefficients,
                                  problem.refine_intrinsics, problem.calibration_flags);
    } catch (const std::invalid_argument& error) {
        return keepStartingValues(result, error.what());
    }
    const int cameraPose = solver.addPose(problem.camera_mount_T_camera, false);
    const int targetPose = solver.addPose(targetStart, false);
    for (size_t v = 0; v < problem.object_points.size(); ++v) {
        solver.addView(camera, cameraPose, problem.camera_mount_T_target_mount_list[v], targetPose,
                       problem.object_points[v], problem.image_points[v]);
        result.corner_count += static_cast<int>(problem.object_points[v].total() *
                                                problem.object_points[v].channels() / 3);
    }

    std::string reason;
    const bool solved = solver.solve(options.max_iterations, result.summary, reason);
    if (!solved) {
        return keepStartingValues(result, reason);
    }
    if (!solver.computeCovariance({cameraPose, targetPose}, {camera}, reason)) {
        return keepStartingValues(result, reason);
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
    logRefinementDone(kComponent, result.summary, result.rms_px, result.outlier_views);
    return result;
}

}  // namespace velk::calibration
