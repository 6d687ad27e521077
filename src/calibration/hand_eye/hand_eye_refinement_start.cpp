#include "calibration/hand_eye/hand_eye_refinement_start.hpp"

#include "calibration/detection/camera_target_pose.hpp"
#include "calibration/refinement/refinement_log.hpp"
#include "core/pose.hpp"

namespace velk::calibration {

const char* const kHandEyeRefinementComponent = "[HandEyeRefinement] ";

// target_mount_T_target_i = inv(camera_mount_T_target_mount_i) * camera_mount_T_camera * camera_T_target_i.
cv::Mat startingTargetPose(const HandEyeRefinementProblem& problem, const std::vector<cv::Mat>& view_poses) {
    if (!problem.target_mount_T_target.empty()) {
        return problem.target_mount_T_target;
    }
    cv::Mat cameraMount;
    problem.camera_mount_T_camera.convertTo(cameraMount, CV_64F);
    std::vector<cv::Mat> estimates;
    for (size_t v = 0; v < view_poses.size(); ++v) {
        if (!view_poses[v].empty()) {
            cv::Mat mount;
            problem.camera_mount_T_target_mount_list[v].convertTo(mount, CV_64F);
            estimates.push_back(mount.inv(cv::DECOMP_LU) * cameraMount * view_poses[v]);
        }
    }
    return estimates.empty() ? cv::Mat() : averagePose(estimates);
}

std::vector<cv::Mat> viewCameraPoses(const HandEyeRefinementProblem& problem) {
    std::vector<cv::Mat> poses(problem.object_points.size());
    for (size_t v = 0; v < problem.object_points.size(); ++v) {
        if (problem.object_points[v].total() < 4) {
            continue;
        }
        const auto camera_T_target =
            estimateCameraTTarget(problem.object_points[v], problem.image_points[v], problem.intrinsic_matrix,
                                  problem.distortion_coefficients, problem.camera_model);
        if (camera_T_target) {
            poses[v] = *camera_T_target;
        }
    }
    return poses;
}

HandEyeRefinement startingValues(const HandEyeRefinementProblem& problem, const cv::Mat& targetPose) {
    HandEyeRefinement result;
    problem.camera_mount_T_camera.convertTo(result.camera_mount_T_camera, CV_64F);
    result.target_mount_T_target = targetPose.clone();
    result.intrinsic_matrix = problem.intrinsic_matrix.clone();
    result.distortion_coefficients = problem.distortion_coefficients.clone();
    result.view_labels = problem.view_labels;
    return result;
}

HandEyeRefinement keepStartingValues(HandEyeRefinement result, const std::string& reason, bool log) {
    result.refined = false;
    result.reason = reason;
    result.camera_sigma.reset();
    result.target_sigma.reset();
    result.intrinsic_sigmas.clear();
    if (log) {
        logRefinementKept(kHandEyeRefinementComponent, reason);
    }
    return result;
}

}  // namespace velk::calibration
