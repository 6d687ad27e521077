#include "calibration/hand_eye/plan_scene.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/camera_projection.hpp"

namespace velk::calibration {
namespace {

constexpr int kFewestCorners = 6;

cv::Mat asTransform(const cv::Mat& matrix, const char* name) {
    if (matrix.rows != 4 || matrix.cols != 4) {
        throw std::invalid_argument(std::string("hand-eye plan: ") + name + " must be a 4 x 4 transform");
    }
    cv::Mat out;
    matrix.convertTo(out, CV_64F);
    return out;
}

}  // namespace

void checkPlanScene(const HandEyePlanScene& scene) {
    if (cameraModelFromName(scene.camera_model, "hand-eye plan") != CameraModel::Pinhole) {
        throw std::invalid_argument("hand-eye plan: the planner predicts through the pinhole model only; a " +
                                    scene.camera_model + " camera (camera_model '" + scene.camera_model +
                                    "') cannot be planned");
    }
    if (scene.intrinsic_matrix.rows != 3 || scene.intrinsic_matrix.cols != 3) {
        throw std::invalid_argument("hand-eye plan: the intrinsic matrix must be 3 x 3");
    }
    if (scene.image_size.width <= 0 || scene.image_size.height <= 0) {
        throw std::invalid_argument("hand-eye plan: the image size must be positive");
    }
    if (scene.object_points.empty()) {
        throw std::invalid_argument("hand-eye plan: the target has no corners");
    }
    asTransform(scene.camera_mount_T_camera, "camera_mount_T_camera");
    asTransform(scene.target_mount_T_target, "target_mount_T_target");
    const double levels[] = {scene.pixel_noise_px, scene.robot_translation_noise_mm, scene.robot_rotation_noise_deg};
    if (!std::all_of(std::begin(levels), std::end(levels), [](double v) { return v > 0.0 && std::isfinite(v); })) {
        throw std::invalid_argument("hand-eye plan: the corner and robot noise levels must be positive");
    }
}

cv::Mat planMountLink(const HandEyePlanScene& scene, const cv::Mat& robot_T_tcp) {
    const cv::Mat flange = asTransform(robot_T_tcp, "a flange pose");
    return scene.eye_to_hand ? flange : cv::Mat(flange.inv(cv::DECOMP_LU));
}

cv::Mat planCameraTTarget(const HandEyePlanScene& scene, const cv::Mat& robot_T_tcp) {
    const cv::Mat camera = asTransform(scene.camera_mount_T_camera, "camera_mount_T_camera");
    const cv::Mat target = asTransform(scene.target_mount_T_target, "target_mount_T_target");
    return camera.inv(cv::DECOMP_LU) * planMountLink(scene, robot_T_tcp) * target;
}

std::vector<int> planVisibleCorners(const HandEyePlanScene& scene, const cv::Mat& robot_T_tcp) {
    return visibleCorners(scene.object_points, planCameraTTarget(scene, robot_T_tcp), scene.intrinsic_matrix,
                          scene.distortion_coefficients, scene.image_size, scene.visibility);
}

int planMinimumCorners(const HandEyePlanScene& scene) {
    const double corners = static_cast<double>(scene.object_points.total() * scene.object_points.channels() / 3);
    return std::max(kFewestCorners, static_cast<int>(std::ceil(scene.min_corner_share * corners)));
}

}  // namespace velk::calibration
