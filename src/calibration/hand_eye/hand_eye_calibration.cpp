#include "calibration/hand_eye/hand_eye_calibration.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "calibration/detection/camera_target_pose.hpp"
#include "calibration/detection/parallel_detection.hpp"
#include "calibration/detection/target_detection.hpp"
#include "calibration/hand_eye/hand_eye_methods.hpp"
#include "calibration/hand_eye/hand_eye_report.hpp"
#include "calibration/hand_eye/hand_eye_solver.hpp"
#include "calibration/hand_eye/held_out_validation.hpp"
#include "calibration/hand_eye/restricted_motion.hpp"
#include "calibration/hand_eye/target_consistency.hpp"
#include "core/fixed_text.hpp"
#include "core/log.hpp"
#include "core/picture_names.hpp"
#include "core/pose_validation.hpp"

namespace velk::calibration {
namespace {

constexpr size_t kMinimumFrames = 4;
constexpr double kIdenticalRotationTolerance = 0.001;

bool allRotationsIdentical(const std::vector<cv::Mat>& poses) {
    if (poses.size() < 2) {
        return false;
    }
    const cv::Mat first = rotationBlock(poses[0]);
    for (size_t k = 1; k < poses.size(); ++k) {
        if (cv::norm(rotationBlock(poses[k]), first, cv::NORM_INF) >= kIdenticalRotationTolerance) {
            return false;
        }
    }
    return true;
}

// The robot poses of the views whose images were used, by image index.
std::vector<cv::Mat> robotPosesAt(const std::string& component, const std::vector<cv::Mat>& robot_T_tcp_list,
                                  const std::vector<int>& imageIndices) {
    std::vector<cv::Mat> robots;
    for (int index : imageIndices) {
        if (index < 0 || static_cast<size_t>(index) >= robot_T_tcp_list.size()) {
            throw std::invalid_argument(component + ": robot_T_tcp_list has " +
                                        std::to_string(robot_T_tcp_list.size()) + " poses but image " +
                                        std::to_string(index) + " needs one; give one robot pose per image.");
        }
        robots.push_back(robot_T_tcp_list[index]);
    }
    return robots;
}

std::vector<int> firstIndices(size_t count) {
    std::vector<int> indices(count);
    std::iota(indices.begin(), indices.end(), 0);
    return indices;
}

// The pose of one frame with given intrinsics, or the warning to log when it has none and what failed.
struct FramePose {
    std::optional<cv::Mat> pose;
    std::string warning;
    std::string reason;
};

constexpr const char* kPoseFailed = "its target could not be posed (solvePnP failed)";

FramePose poseCharucoFrame(const CharucoTarget& charuco, const cv::Mat& image, const std::string& frame,
                           const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients, CameraModel model) {
    CharucoPose found = findCharucoPose(charuco, image, intrinsic_matrix, distortion_coefficients, model);
    if (!found.detected) {
        return {std::nullopt, "frame " + frame + ": ChArUco detection failed  -  skipping", "ChArUco detection failed"};
    }
    if (!found.pose) {
        return {std::nullopt, "frame " + frame + ": solvePnP failed  -  skipping", kPoseFailed};
    }
    return {std::move(found.pose), "", ""};
}

void appendFrame(PosedFrames& posed, const cv::Mat& pose, int f, const std::vector<cv::Mat>& image_list,
                 const std::vector<cv::Mat>& robot_T_tcp_list) {
    posed.aligned.camera_T_target_list.push_back(pose);
    posed.aligned.valid_image_list.push_back(image_list[f]);
    posed.aligned.valid_robot_T_tcp_list.push_back(robot_T_tcp_list[f]);
    posed.indices.push_back(f);
}

PosedFrames poseCharucoFrames(const CharucoTarget& charuco, const IntrinsicOptions& options, int frames,
                              const std::vector<cv::Mat>& image_list, const std::vector<cv::Mat>& robot_T_tcp_list,
                              const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                              CameraModel model) {
    PosedFrames posed;
    detectEachImage<FramePose>(
        frames,
        [&](int f) {
            return poseCharucoFrame(charuco, image_list[f], pictureLabel(options.image_names, f), intrinsic_matrix,
                                    distortion_coefficients, model);
        },
        [&](int f, const FramePose& found) {
            if (!found.pose) {
                logMessage(LogLevel::Warning, found.warning);
                posed.skipped.push_back({f, "", found.reason});
                return;
            }
            appendFrame(posed, *found.pose, f, image_list, robot_T_tcp_list);
        });
    return posed;
}

// Chessboards, ArUco grids and circle grids: the frames' points come from the detection that
// intrinsic calibration uses (which logs the frames where the target was not found), and each
// frame is posed from them.
PosedFrames poseDetectedFrames(const TargetVariant& target, const IntrinsicOptions& options, int frames,
                               const std::vector<cv::Mat>& image_list, const std::vector<cv::Mat>& robot_T_tcp_list,
                               const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients,
                               CameraModel model) {
    const std::vector<cv::Mat> images(image_list.begin(), image_list.begin() + frames);
    TargetDetections detections = detectTarget(images, target, options, Annotation::Skip);
    const auto* aruco = std::get_if<ArucoTarget>(&target);
    PosedFrames posed;
    for (size_t k = 0; k < detections.skipped_indices.size(); ++k) {
        posed.skipped.push_back({detections.skipped_indices[k], "", detections.skipped_reasons[k]});
    }
    for (size_t k = 0; k < detections.successful_indices.size(); ++k) {
        const int f = detections.successful_indices[k];
        if (aruco != nullptr) {
            // A pose rests on few marker corners: each is refined to sub-pixel first.
            refineMarkerCorners(toGrey(image_list[f]), detections.image_points[k], aruco->createDictionary().markerSize,
                                options.criteria);
        }
        const auto pose = estimateCameraTTarget(detections.object_points[k], detections.image_points[k],
                                                intrinsic_matrix, distortion_coefficients, model);
        if (!pose) {
            logMessage(LogLevel::Warning,
                       "frame " + pictureLabel(options.image_names, f) + ": solvePnP failed  -  skipping");
            posed.skipped.push_back({f, "", kPoseFailed});
            continue;
        }
        appendFrame(posed, *pose, f, image_list, robot_T_tcp_list);
        posed.object_points.push_back(detections.object_points[k]);
        posed.image_points.push_back(detections.image_points[k]);
    }
    return posed;
}

// The pictures intrinsic calibration did not keep: the target not found, or a view error above the threshold.
void noteDetectionSkips(const TargetDetections& detections, const IntrinsicResult& intrinsics,
                        const std::vector<int>& keptPositions, double threshold_px,
                        std::vector<SkippedPicture>& skipped) {
    for (size_t k = 0; k < detections.skipped_indices.size(); ++k) {
        skipped.push_back({detections.skipped_indices[k], "", detections.skipped_reasons[k]});
    }
    for (size_t position = 0; position < intrinsics.successful_indices.size(); ++position) {
        if (std::find(keptPositions.begin(), keptPositions.end(), static_cast<int>(position)) != keptPositions.end()) {
            continue;
        }
        const double error =
            position < intrinsics.per_view_errors.size() ? intrinsics.per_view_errors[position] : std::nan("");
        skipped.push_back({intrinsics.successful_indices[position], "",
                           "reprojection error " + fixedText(error, 2) + " px above the threshold of " +
                               fixedText(threshold_px, 2) + " px"});
    }
}

// The camera model of the options, checked against given intrinsics: a fisheye camera comes with
// its four distortion coefficients.
CameraModel givenCameraModel(const IntrinsicOptions& options, const cv::Mat& intrinsic_matrix,
                             const cv::Mat& distortion_coefficients, const std::string& component) {
    const CameraModel model = cameraModelFromName(options.camera_model, component);
    if (!intrinsic_matrix.empty()) {
        checkDistortionForModel(model, distortion_coefficients, component);
    }
    return model;
}

// Poses of a target whose true size is scale times its description: the same pictures seen from scale
// times as far.
std::vector<cv::Mat> atTargetScale(const std::vector<cv::Mat>& poses, double scale) {
    std::vector<cv::Mat> scaled;
    for (const cv::Mat& pose : poses) {
        cv::Mat copy;
        pose.convertTo(copy, CV_64F);
        if (!copy.empty()) {
            copy(cv::Rect(3, 0, 1, 3)) *= scale;
        }
        scaled.push_back(copy);
    }
    return scaled;
}

std::vector<cv::Mat> scaledPoints(const std::vector<cv::Mat>& points, double scale) {
    std::vector<cv::Mat> scaled;
    for (const cv::Mat& p : points) {
        scaled.push_back(p.empty() ? cv::Mat() : cv::Mat(p * scale));
    }
    return scaled;
}

}  // namespace

HandEyeCalibration::HandEyeCalibration(HandEyeSetup setup, const TargetVariant& target,
                                       IntrinsicCalibrator& intrinsicCalibrator)
    : setup_(setup),
      target_(target),
      intrinsic_calibrator_(intrinsicCalibrator),
      model_(cameraModelFromName(intrinsicCalibrator.options().camera_model, calibratorName(setup))) {}

int HandEyeCalibration::intrinsicFlags() const {
    const IntrinsicOptions& options = intrinsic_calibrator_.options();
    return model_ == CameraModel::Fisheye ? options.fisheye_flags : options.calibrate_camera_flags;
}

PosedFrames HandEyeCalibration::poseFrames(const TargetVariant& target, const IntrinsicOptions& options,
                                           const std::vector<cv::Mat>& image_list,
                                           const std::vector<cv::Mat>& robot_T_tcp_list,
                                           const cv::Mat& intrinsic_matrix, const cv::Mat& distortion_coefficients) {
    const CameraModel model =
        givenCameraModel(options, intrinsic_matrix, distortion_coefficients, "compute_camera_T_target_list");
    const int frames = static_cast<int>(std::min(image_list.size(), robot_T_tcp_list.size()));
    PosedFrames posed = std::holds_alternative<CharucoTarget>(target)
                            ? poseCharucoFrames(std::get<CharucoTarget>(target), options, frames, image_list,
                                                robot_T_tcp_list, intrinsic_matrix, distortion_coefficients, model)
                            : poseDetectedFrames(target, options, frames, image_list, robot_T_tcp_list,
                                                 intrinsic_matrix, distortion_coefficients, model);
    logMessage(LogLevel::Info,
               "compute_camera_T_target_list: " + std::to_string(posed.aligned.camera_T_target_list.size()) + "/" +
                   std::to_string(image_list.size()) + " frames passed");
    return posed;
}

HandEyeRun HandEyeCalibration::run(const HandEyeInputs& inputs, const HandEyeOptions& options) {
    const std::string& method = options.method;
    const RefinementOptions& refinement_options = options.refinement_options;
    const bool refine = options.refine;
    const bool validate = options.validate;
    handEyeSolverFromName(method);
    validatePoses(inputs);
    givenCameraModel(intrinsic_calibrator_.options(), inputs.intrinsic_matrix, inputs.distortion_coefficients,
                     calibratorName(setup_));
    logMessage(LogLevel::Info, "Collected images " + std::to_string(inputs.image_list.size()));
    logMessage(LogLevel::Info, "Collected poses " + std::to_string(inputs.robot_T_tcp_list.size()));

    HandEyeRun run;
    run.model = model_;
    run.camera_model = cameraModelName(model_);
    run.image_names = intrinsic_calibrator_.options().image_names;
    run.target_points_per_picture = targetPointCount(target_);
    if (!inputs.image_list.empty() && run.target_points_per_picture < kFewPointsPerPicture) {
        logMessage(LogLevel::Warning,
                   "[" + calibratorName(setup_) + "] " + fewPointsText(run.target_points_per_picture));
    }
    const auto* circles = std::get_if<CircleGridTarget>(&target_);
    if (!inputs.image_list.empty() && circles != nullptr && !circles->asymmetric && !circles->marksOrigin()) {
        logMessage(LogLevel::Warning,
                   "[" + calibratorName(setup_) +
                       "] A symmetric circle grid looks the same turned half a turn, so its pose may flip between "
                       "pictures; use an asymmetric grid for hand-eye calibration.");
    }
    run.intrinsic_matrix = inputs.intrinsic_matrix.clone();
    run.distortion_coefficients = inputs.distortion_coefficients.clone();
    Frames frames{inputs.camera_T_target_list, inputs.image_list, inputs.robot_T_tcp_list,
                  firstIndices(inputs.camera_T_target_list.size())};

    if (!inputs.intrinsic_matrix.empty() && inputs.camera_T_target_list.empty() &&
        !framesFromGivenIntrinsics(inputs, run, frames)) {
        return run;
    }
    const bool intrinsicsSolvedHere = frames.cameras.empty();
    if (intrinsicsSolvedHere && !framesFromImages(inputs, run, frames)) {
        return run;
    }
    checkAlignment(frames);
    run.valid_robot_T_tcp_list = frames.robots;
    run.valid_image_list = frames.images;
    run.camera_T_target_list = frames.cameras;
    run.image_indices = frames.indices;
    noteSkippedPictures(inputs.image_list.size(), run);
    if (frames.robots.size() < kMinimumFrames) {
        logMessage(LogLevel::Error, "Not enough valid poses for hand-eye calibration after filtering. Got " +
                                        std::to_string(frames.robots.size()) + ", need at least 4.");
        return run;
    }
    if (!solve(frames, method, run)) {
        logMessage(LogLevel::Error, "[" + calibratorName(setup_) + "] The " + method +
                                        " solver returned a non-finite " + cameraTransformName(setup_) +
                                        "; the poses do not determine it (vary the rotations).");
        return run;
    }
    // Refinement and validation both need every frame's corners; frames posed from given
    // intrinsics have them detected once, here.
    Frames detected = refine || validate || options.keep_corners ? withCorners(frames) : Frames();
    if (options.keep_corners) {
        run.frame_object_points = detected.object_points;
        run.frame_image_points = detected.image_points;
    }
    if (refine) {
        applyRefinement(detected, intrinsicsSolvedHere, refinement_options, options.mount_components, run);
    }
    // A result solved at the target's measured size is judged and validated at that size.
    if (run.refined && run.refinement && run.refinement->target_scale_applied) {
        const double scale = run.refinement->target_scale;
        run.camera_T_target_list = atTargetScale(run.camera_T_target_list, scale);
        detected.cameras = atTargetScale(detected.cameras, scale);
        detected.object_points = scaledPoints(detected.object_points, scale);
    }
    run.consistency = computeTargetConsistency(handEyeMotions(setup_, run.valid_robot_T_tcp_list), run.camera_transform,
                                               run.camera_T_target_list, run.intrinsic_matrix,
                                               run.distortion_coefficients, target_, model_);
    run.has_consistency = true;
    if (validate) {
        run.validation = this->validate(detected, method, intrinsicsSolvedHere, refinement_options, run);
    }
    return run;
}

void HandEyeCalibration::validatePoses(const HandEyeInputs& inputs) const {
    const std::string component = calibratorName(setup_);
    validateRigidTransforms(inputs.robot_T_tcp_list, component, "robot_T_tcp_list");
    validateRigidTransforms(inputs.camera_T_target_list, component, "camera_T_target_list");
}

bool HandEyeCalibration::framesFromGivenIntrinsics(const HandEyeInputs& inputs, HandEyeRun& run, Frames& frames) const {
    PosedFrames posed = poseFrames(target_, intrinsic_calibrator_.options(), inputs.image_list, inputs.robot_T_tcp_list,
                                   inputs.intrinsic_matrix, inputs.distortion_coefficients);
    frames = {posed.aligned.camera_T_target_list,
              posed.aligned.valid_image_list,
              posed.aligned.valid_robot_T_tcp_list,
              posed.indices,
              posed.object_points,
              posed.image_points};
    run.skipped_pictures = posed.skipped;
    if (frames.cameras.size() < kMinimumFrames) {
        logMessage(LogLevel::Error, "Only " + std::to_string(frames.cameras.size()) +
                                        " valid frames after solvePnP  -  need at least 4.");
        run.valid_robot_T_tcp_list = frames.robots;
        run.valid_image_list = frames.images;
        run.image_indices = frames.indices;
        noteSkippedPictures(inputs.image_list.size(), run);
        return false;
    }
    return true;
}

bool HandEyeCalibration::framesFromImages(const HandEyeInputs& inputs, HandEyeRun& run, Frames& frames) {
    const IntrinsicResult intrinsics = intrinsic_calibrator_.calibrate(inputs.image_list);
    run.intrinsic_matrix = intrinsics.intrinsic_matrix;
    run.distortion_coefficients = intrinsics.distortion_coefficients;
    run.reprojection_error = intrinsics.reprojection_error;

    std::vector<int> keptPositions = intrinsics.low_view_error_indices;
    if (keptPositions.empty()) {
        keptPositions = firstIndices(intrinsics.successful_indices.size());
    }
    noteDetectionSkips(intrinsic_calibrator_.detections(), intrinsics, keptPositions,
                       intrinsic_calibrator_.options().per_view_error_threshold, run.skipped_pictures);
    std::vector<int> imageIndices;
    std::vector<cv::Mat> images, imagePoints;
    for (int position : keptPositions) {
        const int index = intrinsics.successful_indices[position];
        imageIndices.push_back(index);
        images.push_back(inputs.image_list[index]);
        imagePoints.push_back(intrinsics.image_points[position]);
    }
    const std::string component = calibratorName(setup_);
    const std::vector<cv::Mat> robots = robotPosesAt(component, inputs.robot_T_tcp_list, imageIndices);

    if (intrinsics.intrinsic_matrix.empty() || images.size() < kMinimumFrames) {
        logMessage(LogLevel::Error, "Not enough valid images for extrinsic calibration. Need at least 4!");
        run.valid_robot_T_tcp_list = robots;
        run.valid_image_list = images;
        run.image_indices = imageIndices;
        noteSkippedPictures(inputs.image_list.size(), run);
        return false;
    }
    logMessage(LogLevel::Info, "Calculating extrinsic (hand-eye) transform...");
    const FramePoses poses = estimateFramePoses(target_, images, imagePoints, intrinsics.intrinsic_matrix,
                                                intrinsics.distortion_coefficients, component, model_);
    frames.cameras = poses.camera_T_target_list;
    frames.images = images;
    frames.robots.clear();
    frames.indices.clear();
    frames.object_points.clear();
    frames.image_points.clear();
    const TargetDetections& detections = intrinsic_calibrator_.detections();
    for (size_t position = 0, k = 0; position < imageIndices.size(); ++position) {
        if (k < poses.positions.size() && poses.positions[k] == static_cast<int>(position)) {
            ++k;
        } else {
            run.skipped_pictures.push_back({imageIndices[position], "", kPoseFailed});
        }
    }
    for (int position : poses.positions) {
        frames.robots.push_back(robots[position]);
        frames.indices.push_back(imageIndices[position]);
        frames.object_points.push_back(detections.object_points[keptPositions[position]]);
        frames.image_points.push_back(detections.image_points[keptPositions[position]]);
    }
    return true;
}

void HandEyeCalibration::checkAlignment(const Frames& frames) const {
    if (frames.robots.size() != frames.cameras.size()) {
        throw std::invalid_argument(
            calibratorName(setup_) + ": robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got " +
            std::to_string(frames.robots.size()) + " (robot) vs " + std::to_string(frames.cameras.size()) +
            " (camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in.");
    }
}

bool HandEyeCalibration::solve(const Frames& frames, const std::string& method, HandEyeRun& run) const {
    if (allRotationsIdentical(frames.cameras)) {
        logMessage(LogLevel::Warning, "[" + calibratorName(setup_) +
                                          "] All camera poses have identical orientation! Hand-eye calibration "
                                          "requires varied rotations to solve uniquely.");
    }
    const std::vector<cv::Mat> motions = handEyeMotions(setup_, frames.robots);
    auto solution = restrictedSolution(motions, frames.cameras, method);
    if (!solution) {
        solution = solveHandEye(handEyeSolverFromName(method), motions, frames.cameras);
    }
    if (!solution) {
        return false;
    }
    run.camera_transform = solution->camera_transform;
    run.target_transform = solution->target_transform;
    run.ok = true;
    return true;
}

void HandEyeCalibration::noteSkippedPictures(size_t pictures, HandEyeRun& run) const {
    std::vector<SkippedPicture>& skipped = run.skipped_pictures;
    for (size_t index = 0; index < pictures; ++index) {
        const int position = static_cast<int>(index);
        const auto noted = [position](const SkippedPicture& s) { return s.index == position; };
        if (std::find(run.image_indices.begin(), run.image_indices.end(), position) == run.image_indices.end() &&
            std::none_of(skipped.begin(), skipped.end(), noted)) {
            skipped.push_back({position, "", "not used"});
        }
    }
    std::stable_sort(skipped.begin(), skipped.end(),
                     [](const SkippedPicture& a, const SkippedPicture& b) { return a.index < b.index; });
    for (SkippedPicture& s : skipped) {
        if (s.index >= 0 && static_cast<size_t>(s.index) < run.image_names.size()) {
            s.name = run.image_names[static_cast<size_t>(s.index)];
        }
    }
}

void HandEyeCalibration::finish(const HandEyeOptions& options, const std::string& report,
                                const std::function<void(const std::filesystem::path&)>& save) {
    logMessage(LogLevel::Info, "Extrinsic calibration complete.");
    if (options.print_report) {
        std::cout << report << std::flush;
    }
    if (!options.output_path.empty()) {
        save(options.output_path);
    }
}

}  // namespace velk::calibration

namespace velk::calibration {

void HandEyeCalibration::detectFrameCorners(Frames& frames) const {
    IntrinsicOptions options = intrinsic_calibrator_.options();
    options.image_names = namesAt(options.image_names, frames.indices);
    const TargetDetections detections = detectTarget(frames.images, target_, options, Annotation::Skip);
    frames.object_points.assign(frames.images.size(), cv::Mat());
    frames.image_points.assign(frames.images.size(), cv::Mat());
    for (size_t k = 0; k < detections.successful_indices.size(); ++k) {
        frames.object_points[detections.successful_indices[k]] = detections.object_points[k];
        frames.image_points[detections.successful_indices[k]] = detections.image_points[k];
    }
}

// Motions that turn about one axis, or not at all, leave the general closed forms undefined: the closed form
// for such motions stands in for the method; nothing for other motions.
std::optional<HandEyeSolution> HandEyeCalibration::restrictedSolution(const std::vector<cv::Mat>& motions,
                                                                      const std::vector<cv::Mat>& cameras,
                                                                      const std::string& method) const {
    const RestrictedMotion kind = restrictedMotion(motions);
    if (cameras.size() != motions.size() || kind == RestrictedMotion::None) {
        return std::nullopt;
    }
    // The undetermined offset starts at zero on the flange: the camera's height on it, or the board's (its
    // whole offset when the robot does not turn).
    auto solution = solveRestrictedHandEye(kind, motions, cameras, setup_ == HandEyeSetup::EyeToHand);
    if (solution) {
        const std::string motion = kind == RestrictedMotion::OneAxis ? "Every turn of the robot is about one axis"
                                                                     : "The robot does not turn between the poses";
        logMessage(LogLevel::Info, "[" + calibratorName(setup_) + "] " + motion + ": " + method +
                                       " is undefined there, and the closed form for such motions stands in for it.");
    }
    return solution;
}

// The views follow camera_T_target_i = inv(X) * inv(motion_i) * Y.
void HandEyeCalibration::applyRefinement(const Frames& detected, bool intrinsicsSolvedHere,
                                         const RefinementOptions& options,
                                         const std::vector<MountComponent>& mountComponents, HandEyeRun& run) const {
    const std::vector<cv::Mat> motions = handEyeMotions(setup_, detected.robots);
    HandEyeRefinementProblem problem;
    problem.camera_mount_T_camera = run.camera_transform;
    problem.target_mount_T_target = run.target_transform;
    problem.intrinsic_matrix = run.intrinsic_matrix;
    problem.distortion_coefficients = run.distortion_coefficients;
    problem.refine_intrinsics = intrinsicsSolvedHere || options.refine_given_intrinsics;
    problem.calibration_flags = intrinsicsSolvedHere ? intrinsicFlags() : 0;
    problem.camera_model = model_;
    problem.eye_to_hand = setup_ == HandEyeSetup::EyeToHand;
    problem.mount_components = mountComponents;
    const std::vector<std::string>& names = intrinsic_calibrator_.options().image_names;
    for (size_t v = 0; v < detected.object_points.size(); ++v) {
        if (!detected.object_points[v].empty()) {
            if (!names.empty()) {
                problem.view_labels.push_back(pictureLabel(names, detected.indices[v]));
            }
            problem.camera_mount_T_target_mount_list.push_back(motions[v].inv(cv::DECOMP_LU));
            problem.object_points.push_back(detected.object_points[v]);
            problem.image_points.push_back(detected.image_points[v]);
            problem.view_frames.push_back(static_cast<int>(v));
        }
    }
    run.closed_form_camera_transform = run.camera_transform.clone();
    if (problem.object_points.empty() || problem.intrinsic_matrix.empty()) {
        run.refinement_reason = "no detected corners to refine over (poses were given without pictures)";
        logMessage(LogLevel::Warning, "[" + calibratorName(setup_) + "] Refinement not applied: " +
                                          run.refinement_reason + "; keeping the closed-form result.");
        return;
    }
    HandEyeRefinement refinement = refineHandEye(problem, options);
    run.refined = refinement.refined;
    run.refinement_reason = refinement.reason;
    if (refinement.refined) {
        run.camera_transform = refinement.camera_mount_T_camera.clone();
        run.target_transform = refinement.target_mount_T_target.clone();
        if (refinement.intrinsics_refined) {
            run.intrinsic_matrix = refinement.intrinsic_matrix.clone();
            run.distortion_coefficients = refinement.distortion_coefficients.clone();
        }
    }
    run.refinement = std::move(refinement);
}

}  // namespace velk::calibration

namespace velk::calibration {

HandEyeCalibration::Frames HandEyeCalibration::withCorners(const Frames& frames) const {
    Frames detected = frames;
    if (detected.object_points.empty() && detected.images.size() == detected.robots.size()) {
        detectFrameCorners(detected);
    }
    return detected;
}

HandEyeValidation HandEyeCalibration::validate(const Frames& detected, const std::string& method,
                                               bool intrinsicsSolvedHere, const RefinementOptions& options,
                                               const HandEyeRun& run) const {
    HeldOutInputs inputs;
    inputs.setup = setup_;
    inputs.solver = handEyeSolverFromName(method);
    for (size_t f = 0; f < detected.object_points.size(); ++f) {
        if (!detected.object_points[f].empty()) {
            inputs.robot_T_tcp_list.push_back(detected.robots[f]);
            inputs.camera_T_target_list.push_back(detected.cameras[f]);
            inputs.object_points.push_back(detected.object_points[f]);
            inputs.image_points.push_back(detected.image_points[f]);
            inputs.frames.push_back(detected.indices[f]);
        }
    }
    inputs.camera_transform = run.camera_transform;
    inputs.target_transform = run.target_transform;
    inputs.intrinsic_matrix = run.intrinsic_matrix;
    inputs.distortion_coefficients = run.distortion_coefficients;
    if (run.refined) {
        inputs.refinement = run.refinement;
    }
    inputs.refine_intrinsics = intrinsicsSolvedHere || options.refine_given_intrinsics;
    inputs.calibration_flags = intrinsicsSolvedHere ? intrinsicFlags() : 0;
    inputs.camera_model = model_;
    inputs.options = options;
    inputs.image_names = intrinsic_calibrator_.options().image_names;
    HandEyeValidation validation = validateHeldOut(inputs);
    const std::string component = "[" + calibratorName(setup_) + "] ";
    if (!validation.validated) {
        logMessage(LogLevel::Warning, component + "Held-out validation not done: " + validation.reason + ".");
    }
    for (const std::string& skipped : validation.skipped) {
        logMessage(LogLevel::Warning, component + "Held-out validation skipped " + skipped + ".");
    }
    return validation;
}

}  // namespace velk::calibration
