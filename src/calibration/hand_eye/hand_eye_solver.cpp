#include "calibration/hand_eye/hand_eye_solver.hpp"

#include <opencv2/calib3d.hpp>

#include "core/opencv_threads.hpp"
#include "core/pose.hpp"

namespace velk::calibration {
namespace {

struct RotationsTranslations {
    std::vector<cv::Mat> rotations;
    std::vector<cv::Mat> translations;
};

RotationsTranslations split(const std::vector<cv::Mat>& poses, bool inverted) {
    RotationsTranslations parts;
    for (const cv::Mat& pose : poses) {
        cv::Mat p;
        pose.convertTo(p, CV_64F);
        if (inverted) {
            p = p.inv();
        }
        parts.rotations.push_back(rotationBlock(p));
        parts.translations.push_back(translationColumn(p));
    }
    return parts;
}

cv::Mat poseFrom(const cv::Mat& rotation, const cv::Mat& translation) {
    cv::Mat r, t;
    rotation.convertTo(r, CV_64F);
    translation.convertTo(t, CV_64F);
    cv::Mat pose = cv::Mat::eye(4, 4, CV_64F);
    r.copyTo(pose(cv::Rect(0, 0, 3, 3)));
    t.reshape(1, 3).copyTo(pose(cv::Rect(3, 0, 1, 3)));
    return pose;
}

bool finite(const cv::Mat& rotation, const cv::Mat& translation) {
    cv::Mat r, t;
    rotation.convertTo(r, CV_64F);
    translation.convertTo(t, CV_64F);
    return !r.empty() && !t.empty() && cv::checkRange(r) && cv::checkRange(t);
}

// X from A_i X = X B_i: the motions play the gripper-to-base poses, the camera poses the
// target-to-camera poses; the solver's camera-to-gripper transform is X.
std::optional<cv::Mat> closedFormCameraTransform(int method, const std::vector<cv::Mat>& motions,
                                                 const std::vector<cv::Mat>& camera_T_target_list) {
    const RotationsTranslations gripperToBase = split(motions, false);
    const RotationsTranslations targetToCamera = split(camera_T_target_list, false);
    cv::Mat rotation, translation;
    const SingleThreadedOpenCv repeatable;
    cv::calibrateHandEye(gripperToBase.rotations, gripperToBase.translations, targetToCamera.rotations,
                         targetToCamera.translations, rotation, translation,
                         static_cast<cv::HandEyeCalibrationMethod>(method));
    if (!finite(rotation, translation)) {
        return std::nullopt;
    }
    return poseFrom(rotation, translation);
}

// The one call of OpenCV's robot-world/hand-eye solver. It solves
// world2cam_i * base2world = gripper2cam * base2gripper_i; with world2cam_i = camera_T_target_i
// and base2gripper_i = motion_i^-1 this is camera_T_target_i * Y^-1 = X^-1 * motion_i^-1.
HandEyeSolution robotWorldHandEyeInverses(int method, const std::vector<cv::Mat>& motions,
                                          const std::vector<cv::Mat>& camera_T_target_list, bool& ok) {
    const RotationsTranslations worldToCamera = split(camera_T_target_list, false);
    const RotationsTranslations baseToGripper = split(motions, true);
    cv::Mat baseToWorldRotation, baseToWorldTranslation, gripperToCameraRotation, gripperToCameraTranslation;
    const SingleThreadedOpenCv repeatable;
    cv::calibrateRobotWorldHandEye(worldToCamera.rotations, worldToCamera.translations, baseToGripper.rotations,
                                   baseToGripper.translations, baseToWorldRotation, baseToWorldTranslation,
                                   gripperToCameraRotation, gripperToCameraTranslation,
                                   static_cast<cv::RobotWorldHandEyeCalibrationMethod>(method));
    ok = finite(baseToWorldRotation, baseToWorldTranslation) &&
         finite(gripperToCameraRotation, gripperToCameraTranslation);
    if (!ok) {
        return {};
    }
    return {poseFrom(gripperToCameraRotation, gripperToCameraTranslation),
            poseFrom(baseToWorldRotation, baseToWorldTranslation)};
}

cv::Mat meanTargetTransform(const cv::Mat& cameraTransform, const std::vector<cv::Mat>& motions,
                            const std::vector<cv::Mat>& camera_T_target_list) {
    std::vector<cv::Mat> estimates;
    for (size_t i = 0; i < motions.size(); ++i) {
        cv::Mat camera;
        camera_T_target_list[i].convertTo(camera, CV_64F);
        estimates.push_back(motions[i] * cameraTransform * camera);
    }
    return averagePose(estimates);
}

}  // namespace

cv::Mat rotationBlock(const cv::Mat& pose) {
    cv::Mat rotation;
    pose(cv::Rect(0, 0, 3, 3)).convertTo(rotation, CV_64F);
    return rotation;
}

cv::Mat translationColumn(const cv::Mat& pose) {
    cv::Mat translation;
    pose(cv::Rect(3, 0, 1, 3)).convertTo(translation, CV_64F);
    return translation;
}

std::optional<HandEyeSolution> solveHandEye(const HandEyeSolver& solver, const std::vector<cv::Mat>& motions,
                                            const std::vector<cv::Mat>& camera_T_target_list) {
    if (solver.family == HandEyeSolver::Family::HandEye) {
        const auto cameraTransform = closedFormCameraTransform(solver.value, motions, camera_T_target_list);
        if (!cameraTransform) {
            return std::nullopt;
        }
        return HandEyeSolution{*cameraTransform, meanTargetTransform(*cameraTransform, motions, camera_T_target_list)};
    }
    bool ok = false;
    const HandEyeSolution inverses = robotWorldHandEyeInverses(solver.value, motions, camera_T_target_list, ok);
    if (!ok) {
        return std::nullopt;
    }
    return HandEyeSolution{inverses.camera_transform.inv(), inverses.target_transform.inv()};
}

}  // namespace velk::calibration
