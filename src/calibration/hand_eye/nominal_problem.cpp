#include "calibration/hand_eye/nominal_problem.hpp"

#include <stdexcept>
#include <string>

#include <opencv2/calib3d.hpp>

namespace velk::calibration {
namespace {

// The Huber bound plays no part in a covariance at exact data; any positive value will do.
constexpr double kHuberScalePx = 1.0;

cv::Mat pointRows(const cv::Mat& points) {
    cv::Mat rows;
    points.reshape(1, static_cast<int>(points.total() * points.channels() / 3)).convertTo(rows, CV_64F);
    return rows;
}

cv::Mat projected(const HandEyePlanScene& scene, const cv::Mat& objects, const cv::Mat& camera_T_target) {
    cv::Mat rvec;
    cv::Rodrigues(camera_T_target(cv::Rect(0, 0, 3, 3)).clone(), rvec);
    cv::Mat pixels;
    cv::projectPoints(objects, rvec, camera_T_target(cv::Rect(3, 0, 1, 3)).clone(), scene.intrinsic_matrix,
                      scene.distortion_coefficients, pixels);
    return pixels.reshape(1, objects.rows);
}

// A component taken as measured: known to a hundredth of a millimetre, far below what the pictures give.
constexpr double kKnownComponentSigmaM = 1e-5;

void takeKnownComponents(const HandEyePlanScene& scene, ErrorsInVariablesProblem& problem, int flangePose) {
    const cv::Mat& transform = scene.eye_to_hand ? scene.target_mount_T_target : scene.camera_mount_T_camera;
    for (const std::string& name : scene.known_components) {
        const int axis = name == "tx" ? 0 : name == "ty" ? 1 : name == "tz" ? 2 : -1;
        if (axis < 0) {
            throw std::invalid_argument("hand-eye plan: a known component is tx, ty or tz, got '" + name + "'");
        }
        problem.addPoseParameterPrior(flangePose, 3 + axis, transform.at<double>(axis, 3), kKnownComponentSigmaM);
    }
}

}  // namespace

ObservationNoise planNoise(const HandEyePlanScene& scene) {
    ObservationNoise noise;
    noise.pixel_px = scene.pixel_noise_px;
    noise.translation_m = scene.robot_translation_noise_mm / 1000.0;
    noise.rotation_rad = scene.robot_rotation_noise_deg * CV_PI / 180.0;
    return noise;
}

NominalProblem buildNominalProblem(const HandEyePlanScene& scene, const std::vector<cv::Mat>& robot_T_tcp_list) {
    checkPlanScene(scene);
    NominalProblem nominal;
    nominal.problem = std::make_unique<ErrorsInVariablesProblem>(kHuberScalePx, planNoise(scene), NoiseEstimation());
    ErrorsInVariablesProblem& problem = *nominal.problem;
    nominal.camera = problem.addCamera(scene.intrinsic_matrix, scene.distortion_coefficients, scene.free_intrinsics,
                                       scene.calibration_flags);
    nominal.camera_pose = problem.addPose(scene.camera_mount_T_camera);
    nominal.target_pose = problem.addPose(scene.target_mount_T_target);
    takeKnownComponents(scene, problem, scene.eye_to_hand ? nominal.target_pose : nominal.camera_pose);
    const cv::Mat objects = pointRows(scene.object_points);
    const int fewest = planMinimumCorners(scene);
    for (const cv::Mat& robot_T_tcp : robot_T_tcp_list) {
        const std::vector<int> seen = planVisibleCorners(scene, robot_T_tcp);
        nominal.corners_seen.push_back(static_cast<int>(seen.size()));
        if (static_cast<int>(seen.size()) < fewest) {
            nominal.views.push_back(-1);
            continue;
        }
        cv::Mat viewObjects(static_cast<int>(seen.size()), 3, CV_64F);
        for (size_t k = 0; k < seen.size(); ++k) {
            objects.row(seen[k]).copyTo(viewObjects.row(static_cast<int>(k)));
        }
        const cv::Mat pixels = projected(scene, viewObjects, planCameraTTarget(scene, robot_T_tcp));
        nominal.views.push_back(problem.addView(nominal.camera, nominal.camera_pose, planMountLink(scene, robot_T_tcp),
                                                !scene.eye_to_hand, nominal.target_pose, viewObjects, pixels));
    }
    return nominal;
}

}  // namespace velk::calibration
