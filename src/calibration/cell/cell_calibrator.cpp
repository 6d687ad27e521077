#include "calibration/cell/cell_calibrator.hpp"

#include <stdexcept>
#include <utility>

#include "calibration/cell/cell_validation.hpp"
#include "calibration/hand_eye/eye_to_hand_result.hpp"
#include "calibration/hand_eye/hand_eye_calibrator.hpp"
#include "calibration/hand_eye/hand_eye_options.hpp"
#include "calibration/hand_eye/hand_eye_result.hpp"
#include "calibration/hand_eye/robot_pose_corrections.hpp"
#include "core/camera_projection.hpp"
#include "core/log.hpp"
#include "core/pose.hpp"

namespace velk::calibration {
namespace {

const std::string kComponent = "[CellCalibrator] ";

void checkInputs(const std::vector<cv::Mat>& robots, const std::vector<CellCamera>& cameras) {
    if (cameras.empty()) {
        throw std::invalid_argument("CellCalibrator: a cell needs at least one camera");
    }
    for (const CellCamera& camera : cameras) {
        if (camera.images.size() != robots.size()) {
            throw std::invalid_argument("CellCalibrator: camera " + camera.name + " has " +
                                        std::to_string(camera.images.size()) + " pictures for " +
                                        std::to_string(robots.size()) +
                                        " robot poses; give one per pose (an empty "
                                        "picture where it took none)");
        }
    }
}

// The camera's pictures and the robot poses they were taken at, without the poses it took no picture at.
struct TakenPictures {
    std::vector<cv::Mat> images;
    std::vector<cv::Mat> robots;
    std::vector<int> poses;
    std::vector<std::string> names;
};

TakenPictures takenPictures(const std::vector<cv::Mat>& robots, const CellCamera& camera) {
    TakenPictures taken;
    for (size_t k = 0; k < robots.size(); ++k) {
        if (!camera.images[k].empty()) {
            taken.images.push_back(camera.images[k]);
            taken.robots.push_back(robots[k]);
            taken.poses.push_back(static_cast<int>(k));
            if (k < camera.options.image_names.size()) {
                taken.names.push_back(camera.options.image_names[k]);
            }
        }
    }
    return taken;
}

template <typename Result>
Result calibrateAlone(const TargetVariant& target, const CellCamera& camera, const TakenPictures& taken,
                      const HandEyeOptions& options) {
    IntrinsicOptions intrinsic = camera.options;
    intrinsic.image_names = taken.names.size() == taken.images.size() ? taken.names : std::vector<std::string>{};
    HandEyeCalibrator<Result> calibrator(target, intrinsic);
    return calibrator.calibrate(taken.robots, taken.images, {}, camera.intrinsic_matrix, camera.distortion_coefficients,
                                options);
}

CellCameraStart startOf(const TargetVariant& target, const std::vector<cv::Mat>& robots, const CellCamera& camera,
                        const CellOptions& cell) {
    CellCameraStart start;
    start.name = camera.name;
    start.intrinsics_from_pictures = camera.intrinsic_matrix.empty();
    const TakenPictures taken = takenPictures(robots, camera);
    HandEyeOptions options;
    options.method = cell.method;
    options.print_report = false;
    options.keep_corners = true;
    logMessage(LogLevel::Info, kComponent + "Camera " + camera.name + ": its own calibration, the cell's start.");
    if (cell.eye_to_hand) {
        const EyeToHandResult result = calibrateAlone<EyeToHandResult>(target, camera, taken, options);
        start.outcome = result;
        start.camera_transform = result.robot_T_camera;
        start.target_transform = result.tcp_T_target;
    } else {
        const HandEyeResult result = calibrateAlone<HandEyeResult>(target, camera, taken, options);
        start.outcome = result;
        start.camera_transform = result.tcp_T_camera;
        start.target_transform = result.world_T_target;
    }
    // The calibration's frames index the pictures taken: back to the cell's robot poses.
    for (int& index : start.outcome.image_indices) {
        if (taken.names.size() == taken.images.size()) {
            start.used_image_names.push_back(taken.names.at(index));
        }
        index = taken.poses.at(index);
    }
    for (SkippedPicture& skipped : start.outcome.skipped_pictures) {
        if (skipped.index >= 0 && static_cast<size_t>(skipped.index) < taken.poses.size()) {
            skipped.index = taken.poses[skipped.index];
        }
    }
    start.ok = start.outcome.ok;
    if (!start.ok) {
        start.reason = "its own calibration failed (see the log above)";
    }
    return start;
}

// The camera's mount pose that fits the shared target pose best: the average over its views of
// M_k * target * inv(camera_T_target_k).
cv::Mat mountPoseAgainst(const CellCameraStart& start, const std::vector<cv::Mat>& robots, const cv::Mat& target,
                         bool eyeToHand) {
    std::vector<cv::Mat> estimates;
    for (size_t v = 0; v < start.outcome.image_indices.size(); ++v) {
        const cv::Mat mount = knownTransform(robots[start.outcome.image_indices[v]], eyeToHand);
        estimates.push_back(mount * target * start.outcome.camera_T_target_list[v].inv(cv::DECOMP_LU));
    }
    return averagePose(estimates);
}

CellCameraViews cameraViews(const CellCameraStart& start, const CellCamera& camera, const std::vector<cv::Mat>& robots,
                            const cv::Mat& target, bool eyeToHand, bool reference) {
    CellCameraViews views;
    views.camera_mount_T_camera =
        reference ? start.camera_transform : mountPoseAgainst(start, robots, target, eyeToHand);
    views.intrinsic_matrix = start.outcome.intrinsic_matrix;
    views.distortion_coefficients = start.outcome.distortion_coefficients;
    views.camera_model = cameraModelFromName(start.outcome.camera_model, "CellCalibrator");
    views.refine_intrinsics = start.intrinsics_from_pictures;
    views.calibration_flags = !start.intrinsics_from_pictures              ? 0
                              : views.camera_model == CameraModel::Fisheye ? camera.options.fisheye_flags
                                                                           : camera.options.calibrate_camera_flags;
    const HandEyeOutcome& outcome = start.outcome;
    for (size_t v = 0; v < outcome.image_indices.size(); ++v) {
        if (v < outcome.frame_object_points.size() && !outcome.frame_object_points[v].empty()) {
            views.poses.push_back(outcome.image_indices[v]);
            views.object_points.push_back(outcome.frame_object_points[v]);
            views.image_points.push_back(outcome.frame_image_points[v]);
            views.camera_T_target_list.push_back(outcome.camera_T_target_list[v]);
        }
    }
    return views;
}

}  // namespace

CellCalibrator::CellCalibrator(TargetVariant target) : target_(std::move(target)) {}

CellResult CellCalibrator::calibrate(const std::vector<cv::Mat>& robot_T_tcp_list,
                                     const std::vector<CellCamera>& cameras, const CellOptions& options) const {
    checkInputs(robot_T_tcp_list, cameras);
    CellResult result;
    result.eye_to_hand = options.eye_to_hand;
    result.method = options.method;
    result.robot_pose_count = static_cast<int>(robot_T_tcp_list.size());
    for (const CellCamera& camera : cameras) {
        result.camera_names.push_back(camera.name);
        result.starts.push_back(startOf(target_, robot_T_tcp_list, camera, options));
        if (!result.starts.back().ok) {
            result.reason = "camera " + camera.name + ": " + result.starts.back().reason;
            logMessage(LogLevel::Error, kComponent + "The cell was not calibrated: " + result.reason + ".");
            return result;
        }
    }
    CellRefinementProblem problem;
    problem.eye_to_hand = options.eye_to_hand;
    problem.robot_T_tcp_list = robot_T_tcp_list;
    problem.target_mount_T_target = result.starts.front().target_transform;
    for (size_t c = 0; c < cameras.size(); ++c) {
        problem.cameras.push_back(cameraViews(result.starts[c], cameras[c], robot_T_tcp_list,
                                              problem.target_mount_T_target, options.eye_to_hand, c == 0));
    }
    result.refinement = refineCell(problem, options.refinement_options);
    if (!result.refinement.refined) {
        result.reason = "the joint solve failed: " + result.refinement.reason;
        logMessage(LogLevel::Error, kComponent + "The cell was not calibrated: " + result.reason + ".");
        return result;
    }
    result.ok = true;
    if (options.validate) {
        result.validations = validateCell(problem, result.refinement, options.refinement_options);
    }
    logMessage(LogLevel::Info, kComponent + "Cell calibration complete.");
    return result;
}

}  // namespace velk::calibration
