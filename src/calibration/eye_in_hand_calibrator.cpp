#include "calibration/eye_in_hand_calibrator.hpp"

#include <algorithm>
#include <iostream>
#include <numeric>
#include <stdexcept>
#include <utility>

#include <opencv2/calib3d.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

#include "calibration/camera_target_pose.hpp"
#include "calibration/hand_eye_methods.hpp"
#include "calibration/hand_eye_refinement.hpp"
#include "calibration/hand_eye_report.hpp"
#include "calibration/refinement_record.hpp"
#include "calibration/target_consistency.hpp"
#include "calibration/target_detection.hpp"
#include "core/log.hpp"
#include "io/result_record_files.hpp"

namespace velk::calibration {
namespace {

constexpr int kMinimumFrames = 4;
constexpr double kIdenticalRotationTolerance = 0.001;

// Deep copies in double precision, so poses given as float32 and float64 mix freely.
cv::Mat rotationOf(const cv::Mat& pose) {
    cv::Mat rotation;
    pose(cv::Rect(0, 0, 3, 3)).convertTo(rotation, CV_64F);
    return rotation;
}
cv::Mat translationOf(const cv::Mat& pose) {
    cv::Mat translation;
    pose(cv::Rect(3, 0, 1, 3)).convertTo(translation, CV_64F);
    return translation;
}

// tcp_T_robot from robot_T_tcp, in double precision.
cv::Mat inverseRobotPose(const cv::Mat& robot_T_tcp) {
    cv::Mat pose;
    robot_T_tcp.convertTo(pose, CV_64F);
    return pose.inv(cv::DECOMP_LU);
}

bool allRotationsIdentical(const std::vector<cv::Mat>& rotations) {
    if (rotations.size() < 2) {
        return false;
    }
    for (size_t k = 1; k < rotations.size(); ++k) {
        if (cv::norm(rotations[k], rotations[0], cv::NORM_INF) >= kIdenticalRotationTolerance) {
            return false;
        }
    }
    return true;
}

// The robot poses of the views whose images were used, by image index.
std::vector<cv::Mat> robotPosesAt(const std::vector<cv::Mat>& robot_T_tcp_list, const std::vector<int>& imageIndices) {
    std::vector<cv::Mat> robots;
    for (int index : imageIndices) {
        if (index < 0 || static_cast<size_t>(index) >= robot_T_tcp_list.size()) {
            throw std::invalid_argument("EyeInHandCalibrator: robot_T_tcp_list has " +
                                        std::to_string(robot_T_tcp_list.size()) + " poses but image " +
                                        std::to_string(index) + " needs one; give one robot pose per image.");
        }
        robots.push_back(robot_T_tcp_list[index]);
    }
    return robots;
}

}  // namespace

EyeInHandCalibrator::EyeInHandCalibrator(TargetVariant target, IntrinsicOptions options)
    : target_(target), intrinsic_calibrator_(std::move(target), std::move(options)) {}

EyeInHandCalibrator::AlignedTargetPoses EyeInHandCalibrator::computeCameraTTargetList(
    const std::vector<cv::Mat>& image_list, const std::vector<cv::Mat>& robot_T_tcp_list,
    const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients) const {
    const auto* charuco = std::get_if<CharucoTarget>(&target_);
    if (charuco == nullptr) {
        throw std::invalid_argument("EyeInHandCalibrator::computeCameraTTargetList only supports CharucoTarget");
    }
    const cv::aruco::CharucoDetector detector = charuco->createDetector();
    const std::vector<cv::Point3f> boardCorners = detector.getBoard().getChessboardCorners();

    AlignedTargetPoses aligned;
    const size_t frames = std::min(image_list.size(), robot_T_tcp_list.size());
    for (size_t f = 0; f < frames; ++f) {
        std::vector<cv::Point2f> corners;
        std::vector<int> ids;
        detector.detectBoard(toGrey(image_list[f]), corners, ids);
        if (corners.size() < static_cast<size_t>(kMinimumFrames)) {
            logMessage(LogLevel::Warning, "frame " + std::to_string(f) + ": ChArUco detection failed  -  skipping");
            continue;
        }
        const auto pose = estimateCameraTTarget(cv::Mat(charucoObjectPoints(boardCorners, ids)), cv::Mat(corners),
                                                intrinsic_matrix, distortion_coefficients);
        if (!pose) {
            logMessage(LogLevel::Warning, "frame " + std::to_string(f) + ": solvePnP failed  -  skipping");
            continue;
        }
        aligned.camera_T_target_list.push_back(*pose);
        aligned.valid_image_list.push_back(image_list[f]);
        aligned.valid_robot_T_tcp_list.push_back(robot_T_tcp_list[f]);
    }
    logMessage(LogLevel::Info, "compute_camera_T_target_list: " + std::to_string(aligned.camera_T_target_list.size()) +
                                   "/" + std::to_string(image_list.size()) + " frames passed");
    return aligned;
}

HandEyeResult EyeInHandCalibrator::calibrate(const std::vector<cv::Mat>& robot_T_tcp_list,
                                             const std::vector<cv::Mat>& image_list, const std::string& method,
                                             const std::vector<cv::Mat>& camera_T_target_list,
                                             const cv::Mat& intrinsic_matrix,
                                             const cv::Mat& distortion_coefficients,
                                             const std::filesystem::path& output_path, bool refine,
                                             const RefinementOptions& refinement_options) {
    const int methodValue = handEyeMethodFromName(method);
    logMessage(LogLevel::Info, "Collected images " + std::to_string(image_list.size()));
    logMessage(LogLevel::Info, "Collected poses " + std::to_string(robot_T_tcp_list.size()));

    HandEyeResult result;
    result.intrinsic_matrix = intrinsic_matrix.clone();
    result.distortion_coefficients = distortion_coefficients.clone();
    Frames frames{camera_T_target_list, image_list, robot_T_tcp_list};

    if (!intrinsic_matrix.empty() && camera_T_target_list.empty()) {
        AlignedTargetPoses aligned =
            computeCameraTTargetList(image_list, robot_T_tcp_list, intrinsic_matrix, distortion_coefficients);
        frames = {aligned.camera_T_target_list, aligned.valid_image_list, aligned.valid_robot_T_tcp_list};
        if (frames.cameras.size() < static_cast<size_t>(kMinimumFrames)) {
            logMessage(LogLevel::Error, "Only " + std::to_string(frames.cameras.size()) +
                                            " valid frames after solvePnP  -  need at least 4.");
            result.valid_robot_T_tcp_list = frames.robots;
            result.valid_image_list = frames.images;
            return result;
        }
    }
    const bool intrinsicsSolvedHere = frames.cameras.empty();
    if (intrinsicsSolvedHere && !framesFromImages(robot_T_tcp_list, image_list, result, frames)) {
        return result;
    }
    if (frames.robots.size() != frames.cameras.size()) {
        throw std::invalid_argument(
            "EyeInHandCalibrator: robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got " +
            std::to_string(frames.robots.size()) + " (robot) vs " + std::to_string(frames.cameras.size()) +
            " (camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in.");
    }
    result.valid_robot_T_tcp_list = frames.robots;
    result.valid_image_list = frames.images;
    result.camera_T_target_list = frames.cameras;
    if (frames.robots.size() < static_cast<size_t>(kMinimumFrames)) {
        logMessage(LogLevel::Error, "Not enough valid poses for hand-eye calibration after filtering. Got " +
                                        std::to_string(frames.robots.size()) + ", need at least 4.");
        return result;
    }

    if (!solve(frames, methodValue, result)) {
        logMessage(LogLevel::Error, "[EyeInHandCalibrator] The " + method +
                                        " solver returned a non-finite tcp_T_camera; the poses do not determine it "
                                        "(vary the rotations).");
        return result;
    }
    if (refine) {
        applyRefinement(frames, intrinsicsSolvedHere, refinement_options, result);
    }
    result.consistency = computeTargetConsistency(result, target_);
    result.has_consistency = true;
    last_result_ = result;

    logMessage(LogLevel::Info, "Extrinsic calibration complete.");
    printResults();
    if (!output_path.empty()) {
        save(output_path, method, result, image_list.size());
    }
    return result;
}

bool EyeInHandCalibrator::framesFromImages(const std::vector<cv::Mat>& robot_T_tcp_list,
                                           const std::vector<cv::Mat>& image_list, HandEyeResult& result,
                                           Frames& frames) {
    const IntrinsicResult intrinsics = intrinsic_calibrator_.calibrate(image_list);
    result.intrinsic_matrix = intrinsics.intrinsic_matrix;
    result.distortion_coefficients = intrinsics.distortion_coefficients;
    result.reprojection_error = intrinsics.reprojection_error;

    std::vector<int> keptPositions = intrinsics.low_view_error_indices;
    if (keptPositions.empty()) {
        keptPositions.resize(intrinsics.successful_indices.size());
        std::iota(keptPositions.begin(), keptPositions.end(), 0);
    }
    std::vector<int> imageIndices;
    std::vector<cv::Mat> images, imagePoints;
    for (int position : keptPositions) {
        const int index = intrinsics.successful_indices[position];
        imageIndices.push_back(index);
        images.push_back(image_list[index]);
        imagePoints.push_back(intrinsics.image_points[position]);
    }
    const std::vector<cv::Mat> robots = robotPosesAt(robot_T_tcp_list, imageIndices);

    if (intrinsics.intrinsic_matrix.empty() || images.size() < static_cast<size_t>(kMinimumFrames)) {
        logMessage(LogLevel::Error, "Not enough valid images for extrinsic calibration. Need at least 4!");
        result.valid_robot_T_tcp_list = robots;
        result.valid_image_list = images;
        return false;
    }
    logMessage(LogLevel::Info, "Calculating extrinsic (hand-eye) transform...");
    const FramePoses poses = estimateFramePoses(target_, images, imagePoints, intrinsics.intrinsic_matrix,
                                                intrinsics.distortion_coefficients);
    frames.cameras = poses.camera_T_target_list;
    frames.images = images;
    frames.robots.clear();
    frames.object_points.clear();
    frames.image_points.clear();
    const TargetDetections& detections = intrinsic_calibrator_.detections();
    for (int position : poses.positions) {
        frames.robots.push_back(robots[position]);
        frames.object_points.push_back(detections.object_points[keptPositions[position]]);
        frames.image_points.push_back(detections.image_points[keptPositions[position]]);
    }
    return true;
}

void EyeInHandCalibrator::detectFrameCorners(Frames& frames) const {
    const TargetDetections detections = detectTarget(frames.images, target_, intrinsic_calibrator_.options(),
                                                     Annotation::Skip);
    frames.object_points.assign(frames.images.size(), cv::Mat());
    frames.image_points.assign(frames.images.size(), cv::Mat());
    for (size_t k = 0; k < detections.successful_indices.size(); ++k) {
        frames.object_points[detections.successful_indices[k]] = detections.object_points[k];
        frames.image_points[detections.successful_indices[k]] = detections.image_points[k];
    }
}

void EyeInHandCalibrator::applyRefinement(const Frames& frames, bool intrinsicsSolvedHere,
                                          const RefinementOptions& options, HandEyeResult& result) const {
    Frames withCorners = frames;
    if (withCorners.object_points.empty() && withCorners.images.size() == withCorners.robots.size()) {
        detectFrameCorners(withCorners);
    }
    HandEyeRefinementProblem problem;
    problem.camera_mount_T_camera = result.tcp_T_camera;
    problem.intrinsic_matrix = result.intrinsic_matrix;
    problem.distortion_coefficients = result.distortion_coefficients;
    problem.refine_intrinsics = intrinsicsSolvedHere || options.refine_given_intrinsics;
    problem.calibration_flags = intrinsicsSolvedHere ? intrinsic_calibrator_.options().calibrate_camera_flags : 0;
    for (size_t v = 0; v < withCorners.object_points.size(); ++v) {
        if (!withCorners.object_points[v].empty()) {
            problem.camera_mount_T_target_mount_list.push_back(inverseRobotPose(withCorners.robots[v]));
            problem.object_points.push_back(withCorners.object_points[v]);
            problem.image_points.push_back(withCorners.image_points[v]);
        }
    }
    result.closed_form_tcp_T_camera = result.tcp_T_camera.clone();
    if (problem.object_points.empty() || problem.intrinsic_matrix.empty()) {
        result.refinement_reason = "no detected corners to refine over (poses were given without pictures)";
        logMessage(LogLevel::Warning, "[EyeInHandCalibrator] Refinement not applied: " + result.refinement_reason +
                                          "; keeping the closed-form result.");
        return;
    }
    HandEyeRefinement refinement = refineHandEye(problem, options);
    result.refined = refinement.refined;
    result.refinement_reason = refinement.reason;
    if (refinement.refined) {
        result.tcp_T_camera = refinement.camera_mount_T_camera.clone();
        if (refinement.intrinsics_refined) {
            result.intrinsic_matrix = refinement.intrinsic_matrix.clone();
            result.distortion_coefficients = refinement.distortion_coefficients.clone();
        }
    }
    result.refinement = std::move(refinement);
}

bool EyeInHandCalibrator::solve(const Frames& frames, int method, HandEyeResult& result) const {
    std::vector<cv::Mat> targetToCameraRotations, targetToCameraTranslations;
    std::vector<cv::Mat> gripperToBaseRotations, gripperToBaseTranslations;
    for (size_t i = 0; i < frames.cameras.size(); ++i) {
        targetToCameraRotations.push_back(rotationOf(frames.cameras[i]));
        targetToCameraTranslations.push_back(translationOf(frames.cameras[i]));
        gripperToBaseRotations.push_back(rotationOf(frames.robots[i]));
        gripperToBaseTranslations.push_back(translationOf(frames.robots[i]));
    }
    if (allRotationsIdentical(targetToCameraRotations)) {
        logMessage(LogLevel::Warning,
                   "[EyeInHandCalibrator] All camera poses have identical orientation! Hand-eye calibration "
                   "requires varied rotations to solve uniquely.");
    }
    cv::Mat cameraToGripperRotation, cameraToGripperTranslation;
    cv::calibrateHandEye(gripperToBaseRotations, gripperToBaseTranslations, targetToCameraRotations,
                         targetToCameraTranslations, cameraToGripperRotation, cameraToGripperTranslation,
                         static_cast<cv::HandEyeCalibrationMethod>(method));
    cv::Mat rotation, translation;
    cameraToGripperRotation.convertTo(rotation, CV_64F);
    cameraToGripperTranslation.convertTo(translation, CV_64F);
    if (!cv::checkRange(rotation) || !cv::checkRange(translation)) {
        return false;
    }
    result.tcp_T_camera = cv::Mat::eye(4, 4, CV_64F);
    rotation.copyTo(result.tcp_T_camera(cv::Rect(0, 0, 3, 3)));
    translation.reshape(1, 3).copyTo(result.tcp_T_camera(cv::Rect(3, 0, 1, 3)));
    result.ok = true;
    return true;
}

void EyeInHandCalibrator::save(const std::filesystem::path& output_path, const std::string& method,
                               const HandEyeResult& result, size_t totalImages) const {
    io::HandEyeResultRecord record;
    record.reference_index = 0;
    record.num_cameras = 1;
    record.method = method;
    record.num_frames_used = static_cast<int>(result.valid_image_list.size());
    record.num_frames_total = static_cast<int>(totalImages);
    record.tcp_T_camera_list = {result.tcp_T_camera};
    if (!result.closed_form_tcp_T_camera.empty()) {
        record.refinement = handEyeRefinementRecord(result);
    }
    io::save_hand_eye_result(output_path, record);
}

std::string EyeInHandCalibrator::formatResults() const { return formatHandEyeReport(last_result_); }

void EyeInHandCalibrator::printResults() const { std::cout << formatResults() << std::flush; }

}  // namespace velk::calibration
