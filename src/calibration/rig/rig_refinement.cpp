#include "calibration/rig/rig_refinement.hpp"

#include <map>
#include <stdexcept>
#include <string>

#include "calibration/detection/camera_target_pose.hpp"
#include "calibration/refinement/refinement_log.hpp"
#include "calibration/refinement/reprojection_problem.hpp"
#include "core/pose.hpp"

namespace velk::calibration {
namespace {

const std::string kComponent = "[RigRefinement] ";
constexpr size_t kMinimumPosePoints = 4;
constexpr size_t kMinimumFrames = 3;

bool included(const RigRefinementProblem& problem, size_t camera) {
    return !problem.reference_T_camera_list[camera].empty();
}

bool seen(const RigRefinementProblem& problem, size_t camera, size_t frame) {
    return frame < problem.object_points[camera].size() &&
           problem.object_points[camera][frame].total() >= kMinimumPosePoints;
}

void checkProblem(const RigRefinementProblem& problem) {
    const size_t cameras = problem.reference_T_camera_list.size();
    if (problem.intrinsic_matrices.size() != cameras || problem.distortion_coefficients.size() != cameras ||
        problem.object_points.size() != cameras || problem.image_points.size() != cameras) {
        throw std::invalid_argument("refineRig: expected one pose, intrinsic set and point list per camera (" +
                                    std::to_string(cameras) + " cameras)");
    }
    if (problem.reference_index < 0 || static_cast<size_t>(problem.reference_index) >= cameras ||
        !included(problem, problem.reference_index)) {
        throw std::invalid_argument("refineRig: reference_index must name a camera with a pose");
    }
    for (size_t k = 0; k < cameras; ++k) {
        if (problem.image_points[k].size() != problem.object_points[k].size()) {
            throw std::invalid_argument("refineRig: camera " + std::to_string(k) +
                                        " has different numbers of object and image point sets");
        }
    }
}

size_t frameCount(const RigRefinementProblem& problem) {
    size_t frames = 0;
    for (const auto& perCamera : problem.object_points) {
        frames = std::max(frames, perCamera.size());
    }
    return frames;
}

// reference_T_target of a frame: the mean over the cameras that can pose it; empty when fewer than two saw it.
cv::Mat startingBoardPose(const RigRefinementProblem& problem, size_t frame) {
    const auto& given = problem.reference_T_target_list;
    if (frame < given.size() && !given[frame].empty()) {
        size_t seenBy = 0;
        for (size_t k = 0; k < problem.reference_T_camera_list.size(); ++k) {
            seenBy += included(problem, k) && seen(problem, k, frame);
        }
        return seenBy >= 2 ? given[frame].clone() : cv::Mat();
    }
    std::vector<cv::Mat> estimates;
    for (size_t k = 0; k < problem.reference_T_camera_list.size(); ++k) {
        if (!included(problem, k) || !seen(problem, k, frame)) {
            continue;
        }
        const auto camera_T_target = estimateCameraTTarget(
            problem.object_points[k][frame], problem.image_points[k][frame], problem.intrinsic_matrices[k],
            problem.distortion_coefficients[k], problem.camera_model);
        if (camera_T_target) {
            cv::Mat reference_T_camera;
            problem.reference_T_camera_list[k].convertTo(reference_T_camera, CV_64F);
            estimates.push_back(reference_T_camera * *camera_T_target);
        }
    }
    return estimates.size() >= 2 ? averagePose(estimates) : cv::Mat();
}

RigRefinement startingValues(const RigRefinementProblem& problem) {
    RigRefinement result;
    for (size_t k = 0; k < problem.reference_T_camera_list.size(); ++k) {
        result.reference_T_camera_list.push_back(problem.reference_T_camera_list[k].clone());
        result.intrinsic_matrices.push_back(problem.intrinsic_matrices[k].clone());
        result.distortion_coefficients.push_back(problem.distortion_coefficients[k].clone());
    }
    return result;
}

// What a solve is for: the calibration's own (logged, with its covariance and residuals), or a quiet
// re-solve of the values alone that starts at a solution and only predicts (validation). Both go to the
// same tolerance: a re-solve without one frame stopped early leaves much of that frame's pull unworked.
struct RigSolveMode {
    bool reported;
    double function_tolerance;
};
constexpr RigSolveMode kCalibrationSolve{true, 1e-10};
constexpr RigSolveMode kQuietResolve{false, 1e-10};

RigRefinement keepStartingValues(const RigRefinementProblem& problem, const std::string& reason,
                                 const RigSolveMode& mode) {
    RigRefinement result = startingValues(problem);
    result.reason = reason;
    if (mode.reported) {
        logRefinementKept(kComponent, reason);
    }
    return result;
}

struct RigBlocks {
    std::map<size_t, int> cameras;  // camera -> intrinsic block
    std::map<size_t, int> poses;    // camera -> reference_T_camera block
    std::map<size_t, int> frames;   // frame -> reference_T_target block
};

// Every included camera: its intrinsics and reference_T_camera, the reference's held. Throws
// std::invalid_argument for a camera the solver cannot represent.
void addRigCameras(ReprojectionProblem& solver, const RigRefinementProblem& problem, RigBlocks& blocks) {
    for (size_t k = 0; k < problem.reference_T_camera_list.size(); ++k) {
        if (included(problem, k)) {
            blocks.cameras[k] =
                solver.addCamera(problem.intrinsic_matrices[k], problem.distortion_coefficients[k],
                                 problem.refine_intrinsics, problem.calibration_flags, problem.camera_model);
            blocks.poses[k] =
                solver.addPose(problem.reference_T_camera_list[k], static_cast<int>(k) == problem.reference_index);
        }
    }
}

// Every frame two or more cameras see, its board pose and its views; the result lists them.
void addRigFrames(ReprojectionProblem& solver, const RigRefinementProblem& problem, RigBlocks& blocks,
                  RigRefinement& result) {
    for (size_t f = 0; f < frameCount(problem); ++f) {
        const cv::Mat boardPose = startingBoardPose(problem, f);
        if (boardPose.empty()) {
            continue;
        }
        blocks.frames[f] = solver.addPose(boardPose, false);
        result.frames_used.push_back(static_cast<int>(f));
        for (const auto& [k, pose] : blocks.poses) {
            if (seen(problem, k, f)) {
                solver.addView(blocks.cameras[k], pose, cv::Mat(), blocks.frames[f], problem.object_points[k][f],
                               problem.image_points[k][f]);
                result.view_cameras.push_back(static_cast<int>(k));
                result.view_frames.push_back(static_cast<int>(f));
                result.corner_count +=
                    static_cast<int>(problem.object_points[k][f].total() * problem.object_points[k][f].channels() / 3);
            }
        }
    }
}

std::string tooFewFrames(size_t frames) {
    return "too few frames seen by two or more cameras (" + std::to_string(frames) + ")";
}

RigRefinement refineRigWith(const RigRefinementProblem& problem, const RefinementOptions& options,
                            const RigSolveMode& mode) {
    checkProblem(problem);
    ReprojectionProblem solver(options.huber_scale_px);
    RigBlocks blocks;
    try {
        addRigCameras(solver, problem, blocks);
    } catch (const std::invalid_argument& error) {
        return keepStartingValues(problem, error.what(), mode);
    }

    RigRefinement result = startingValues(problem);
    addRigFrames(solver, problem, blocks, result);
    if (result.frames_used.size() < kMinimumFrames || blocks.poses.size() < 2) {
        return keepStartingValues(problem, tooFewFrames(result.frames_used.size()), mode);
    }

    std::string reason;
    if (!solver.solve(options.max_iterations, result.summary, reason, mode.function_tolerance)) {
        RigRefinement kept = keepStartingValues(problem, reason, mode);
        kept.summary = result.summary;
        return kept;
    }
    std::vector<int> poseBlocks, cameraBlocks;
    for (const auto& entry : blocks.poses) {
        poseBlocks.push_back(entry.second);
    }
    for (const auto& entry : blocks.cameras) {
        cameraBlocks.push_back(entry.second);
    }
    if (mode.reported && !solver.computeCovariance(poseBlocks, cameraBlocks, reason)) {
        RigRefinement kept = keepStartingValues(problem, reason, mode);
        kept.summary = result.summary;
        return kept;
    }

    result.refined = true;
    result.intrinsics_refined = problem.refine_intrinsics;
    result.camera_sigmas.assign(problem.reference_T_camera_list.size(), PoseSigma());
    result.intrinsic_sigmas.assign(problem.reference_T_camera_list.size(), {});
    for (const auto& [k, pose] : blocks.poses) {
        result.reference_T_camera_list[k] = solver.pose(pose);
        result.intrinsic_matrices[k] = solver.intrinsicMatrix(blocks.cameras[k]);
        result.distortion_coefficients[k] = solver.distortion(blocks.cameras[k]);
        if (!mode.reported) {
            continue;
        }
        result.camera_sigmas[k] = solver.poseSigma(pose);
        if (problem.refine_intrinsics) {
            result.intrinsic_sigmas[k] = solver.intrinsicSigmas(blocks.cameras[k]);
        }
    }
    for (const auto& entry : blocks.frames) {
        result.reference_T_target_list.push_back(solver.pose(entry.second));
    }
    if (mode.reported) {
        storeViewResiduals(solver.viewResiduals(options.outlier_z_score), result);
        logRefinementDone(kComponent, result.summary, result.rms_px, result.outlier_views);
    }
    return result;
}

}  // namespace

RigRefinement refineRig(const RigRefinementProblem& problem, const RefinementOptions& options) {
    return refineRigWith(problem, options, kCalibrationSolve);
}

RigRefinement resolveRigQuietly(const RigRefinementProblem& problem, const RefinementOptions& options) {
    return refineRigWith(problem, options, kQuietResolve);
}

std::vector<RigRefinement> stepRigWithoutEachFrame(const RigRefinementProblem& solution,
                                                   const RefinementOptions& options) {
    checkProblem(solution);
    ReprojectionProblem solver(options.huber_scale_px);
    RigBlocks blocks;
    addRigCameras(solver, solution, blocks);
    RigRefinement all = startingValues(solution);
    addRigFrames(solver, solution, blocks, all);
    std::vector<RigRefinement> without(frameCount(solution), startingValues(solution));
    const size_t remaining = all.frames_used.empty() ? 0 : all.frames_used.size() - 1;
    if (remaining < kMinimumFrames || blocks.poses.size() < 2) {
        for (RigRefinement& one : without) {
            one.reason = tooFewFrames(remaining);
        }
        return without;
    }
    std::vector<int> targetPoses;
    for (const auto& entry : blocks.frames) {
        targetPoses.push_back(entry.second);
    }
    const std::vector<LeftOutBundle> bundles = solver.leaveEachTargetPoseOut(targetPoses);
    size_t g = 0;
    for (const auto& entry : blocks.frames) {
        const LeftOutBundle& bundle = bundles[g++];
        RigRefinement& one = without[entry.first];
        if (!bundle.ok) {
            one.reason = "the other frames do not determine the rig without it";
            continue;
        }
        one.refined = true;
        for (const auto& [k, pose] : blocks.poses) {
            one.reference_T_camera_list[k] = bundle.poses[pose];
            one.intrinsic_matrices[k] = bundle.intrinsic_matrices[blocks.cameras[k]];
            one.distortion_coefficients[k] = bundle.distortions[blocks.cameras[k]];
        }
    }
    return without;
}

}  // namespace velk::calibration
