#include "calibration/cell/cell_validation.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "calibration/detection/camera_target_pose.hpp"
#include "calibration/hand_eye/held_out_prediction.hpp"
#include "calibration/hand_eye/held_out_validation.hpp"
#include "calibration/hand_eye/robot_pose_corrections.hpp"
#include "calibration/refinement/held_out_views.hpp"
#include "core/parallel_indices.hpp"

namespace velk::calibration {
namespace {

// Fewer robot poses with pictures than this left once one is out: the cell is not validated.
constexpr int kMinimumRemainingPoses = 3;

// The robot poses some camera pictured, ascending.
std::vector<int> picturedPoses(const CellRefinementProblem& problem) {
    std::vector<int> poses;
    for (const CellCameraViews& camera : problem.cameras) {
        poses.insert(poses.end(), camera.poses.begin(), camera.poses.end());
    }
    std::sort(poses.begin(), poses.end());
    poses.erase(std::unique(poses.begin(), poses.end()), poses.end());
    return poses;
}

// One camera's picture at the left-out pose, predicted by the solve without that pose.
void predictView(const CellRefinementProblem& problem, const CellRefinement& without, const CellRefinement& full,
                 int camera, int view, HandEyeValidation& validation) {
    const CellCameraViews& views = problem.cameras[camera];
    const int pose = views.poses[view];
    const std::string name = "pose " + std::to_string(pose);
    if (!without.refined) {
        validation.skipped.push_back(name + ": " + without.reason);
        return;
    }
    const cv::Mat& x = without.camera_mount_T_camera_list[camera];
    const cv::Mat& y = without.target_mount_T_target;
    const cv::Mat& matrix = without.intrinsic_matrices[camera];
    const cv::Mat& distortion = without.distortion_coefficients_list[camera];
    const cv::Mat mount = knownTransform(problem.robot_T_tcp_list[pose], problem.eye_to_hand);
    const cv::Mat predicted = x.inv(cv::DECOMP_LU) * mount * y;
    const auto own = estimateCameraTTarget(views.object_points[view], views.image_points[view], matrix, distortion,
                                           views.camera_model);
    if (!own) {
        validation.skipped.push_back(name + ": its board could not be posed from its own corners");
        return;
    }
    double mm = 0.0, deg = 0.0;
    boardPoseDisagreement(predicted, *own, mm, deg);
    HeldOutPrediction prediction;
    prediction.camera_mount_T_camera = x;
    prediction.target_mount_T_target = y;
    prediction.mount = mount;
    prediction.correction_on_left = !problem.eye_to_hand;
    prediction.intrinsic_matrix = matrix;
    prediction.distortion_coefficients = distortion;
    prediction.camera_model = views.camera_model;
    prediction.object_points = views.object_points[view];
    prediction.joint_covariance = without.camera_joint_covariances[camera];
    prediction.robot_translation_m = without.robot_translation_noise_mm / 1000.0;
    prediction.robot_rotation_rad = without.robot_rotation_noise_deg * CV_PI / 180.0;
    prediction.pixel_px = without.pixel_noise_px;
    validation.frames.push_back(pose);
    validation.held_out_rms_px.push_back(cornerRmsPx(views.object_points[view], views.image_points[view], predicted,
                                                     matrix, distortion, views.camera_model));
    validation.fitted_rms_px.push_back(full.view_rms_px[camera][view]);
    validation.translation_mm.push_back(mm);
    validation.rotation_deg.push_back(deg);
    validation.predicted_rms_px.push_back(predictedHeldOutRms(prediction));
}

}  // namespace

std::vector<HandEyeValidation> validateCell(const CellRefinementProblem& problem, const CellRefinement& solution,
                                            const RefinementOptions& options) {
    const size_t cameras = problem.cameras.size();
    std::vector<HandEyeValidation> validations(cameras);
    const std::vector<int> poses = picturedPoses(problem);
    if (!solution.refined || static_cast<int>(poses.size()) < kMinimumRemainingPoses + 1) {
        for (HandEyeValidation& validation : validations) {
            validation.reason = !solution.refined ? "the cell was not refined"
                                                  : "too few robot poses with pictures (" +
                                                        std::to_string(poses.size()) + ") to leave one out";
        }
        return validations;
    }
    // The re-solves are independent: they run side by side, each into its own slot.
    std::vector<CellRefinement> without(poses.size());
    forEachIndexInParallel(poses.size(), [&](size_t k) {
        try {
            without[k] = refineCellWithout(problem, solution, options, poses[k]);
        } catch (const std::exception& error) {
            without[k].reason = error.what();
        }
    });
    for (size_t k = 0; k < poses.size(); ++k) {
        for (size_t c = 0; c < cameras; ++c) {
            const std::vector<int>& own = problem.cameras[c].poses;
            const auto at = std::find(own.begin(), own.end(), poses[k]);
            if (at != own.end()) {
                predictView(problem, without[k], solution, static_cast<int>(c), static_cast<int>(at - own.begin()),
                            validations[c]);
            }
        }
    }
    for (HandEyeValidation& validation : validations) {
        if (validation.frames.empty()) {
            validation.reason = "no picture of this camera could be validated";
            continue;
        }
        validation.validated = true;
        summarizeHandEyeValidation(validation);
    }
    return validations;
}

}  // namespace velk::calibration
