#include "calibration/cell/cell_refinement.hpp"

#include <cmath>
#include <optional>
#include <stdexcept>
#include <utility>

#include "calibration/hand_eye/robot_noise_text.hpp"
#include "calibration/hand_eye/robot_pose_corrections.hpp"
#include "calibration/refinement/errors_in_variables_problem.hpp"
#include "calibration/refinement/pose_block.hpp"
#include "calibration/refinement/refinement_log.hpp"
#include "calibration/refinement/relative_pose_covariance.hpp"
#include "core/fixed_text.hpp"
#include "core/log.hpp"

namespace velk::calibration {
namespace {

const std::string kComponent = "[CellRefinement] ";
// Robot poses that disagree with their pictures by this many times an implausible level are not refined.
constexpr double kUnrefinableFactor = 10.0;

// One picture: the camera that took it and its place among that camera's views.
struct CellView {
    int camera = 0;
    int view = 0;
};

void checkProblem(const CellRefinementProblem& problem) {
    if (problem.cameras.empty()) {
        throw std::invalid_argument("refineCell: a cell needs at least one camera");
    }
    if (problem.target_mount_T_target.empty()) {
        throw std::invalid_argument("refineCell: the target's pose to start from is missing");
    }
    const int poses = static_cast<int>(problem.robot_T_tcp_list.size());
    for (const CellCameraViews& camera : problem.cameras) {
        const size_t views = camera.poses.size();
        if (camera.object_points.size() != views || camera.image_points.size() != views ||
            (!camera.camera_T_target_list.empty() && camera.camera_T_target_list.size() != views)) {
            throw std::invalid_argument("refineCell: a camera's lists of poses, corners and views differ in length");
        }
        if (camera.camera_mount_T_camera.empty() || camera.intrinsic_matrix.empty()) {
            throw std::invalid_argument("refineCell: every camera needs its mount pose and intrinsics to start from");
        }
        for (int pose : camera.poses) {
            if (pose < 0 || pose >= poses) {
                throw std::invalid_argument("refineCell: a view's robot pose is outside the list of robot poses");
            }
        }
    }
}

// The pictures at each robot pose, cameras in order.
std::vector<std::vector<CellView>> viewsByPose(const CellRefinementProblem& problem, int leftOut) {
    std::vector<std::vector<CellView>> byPose(problem.robot_T_tcp_list.size());
    for (size_t c = 0; c < problem.cameras.size(); ++c) {
        const std::vector<int>& poses = problem.cameras[c].poses;
        for (size_t v = 0; v < poses.size(); ++v) {
            if (poses[v] != leftOut) {
                byPose[poses[v]].push_back({static_cast<int>(c), static_cast<int>(v)});
            }
        }
    }
    return byPose;
}

// Each robot pose's correction starts where its first picture agrees with its own board pose.
std::vector<cv::Mat> startingPoseCorrections(const CellRefinementProblem& problem,
                                             const std::vector<std::vector<CellView>>& byPose) {
    std::vector<cv::Mat> corrections(byPose.size());
    for (size_t k = 0; k < byPose.size(); ++k) {
        for (const CellView& view : byPose[k]) {
            const CellCameraViews& camera = problem.cameras[view.camera];
            if (camera.camera_T_target_list.empty() || camera.camera_T_target_list[view.view].empty()) {
                continue;
            }
            corrections[k] = startingCorrection(
                camera.camera_mount_T_camera, knownTransform(problem.robot_T_tcp_list[k], problem.eye_to_hand),
                problem.target_mount_T_target, camera.camera_T_target_list[view.view], !problem.eye_to_hand);
            break;
        }
    }
    return corrections;
}

CellRefinement startingValues(const CellRefinementProblem& problem) {
    CellRefinement result;
    for (const CellCameraViews& camera : problem.cameras) {
        result.camera_mount_T_camera_list.push_back(camera.camera_mount_T_camera.clone());
        result.intrinsic_matrices.push_back(camera.intrinsic_matrix.clone());
        result.distortion_coefficients_list.push_back(camera.distortion_coefficients.clone());
    }
    result.target_mount_T_target = problem.target_mount_T_target.clone();
    return result;
}

CellRefinement kept(CellRefinement result, const std::string& reason, bool log) {
    result.refined = false;
    result.reason = reason;
    if (log) {
        logMessage(LogLevel::Warning,
                   kComponent + "Refinement not applied: " + reason + "; keeping the starting values.");
    }
    return result;
}

// Where each of the problem's pieces sits in the solver.
struct CellSolverPlaces {
    std::vector<int> cameras;
    std::vector<int> camera_poses;
    int target_pose = 0;
    std::vector<int> first_view_of_pose;                // -1 for a pose without pictures
    std::vector<std::vector<int>> camera_views;         // per camera, the solver's index of each of its pictures
    std::vector<std::vector<int>> camera_view_sources;  // and the picture's place among the camera's views
};

CellSolverPlaces addCell(ErrorsInVariablesProblem& solver, const CellRefinementProblem& problem,
                         const std::vector<std::vector<CellView>>& byPose, const std::vector<cv::Mat>& corrections) {
    CellSolverPlaces places;
    for (const CellCameraViews& camera : problem.cameras) {
        places.cameras.push_back(solver.addCamera(camera.intrinsic_matrix, camera.distortion_coefficients,
                                                  camera.refine_intrinsics, camera.calibration_flags, {},
                                                  camera.camera_model));
        places.camera_poses.push_back(solver.addPose(camera.camera_mount_T_camera));
    }
    places.target_pose = solver.addPose(problem.target_mount_T_target);
    places.first_view_of_pose.assign(byPose.size(), -1);
    places.camera_views.resize(problem.cameras.size());
    places.camera_view_sources.resize(problem.cameras.size());
    const bool onLeft = !problem.eye_to_hand;
    for (size_t k = 0; k < byPose.size(); ++k) {
        const cv::Mat mount = knownTransform(problem.robot_T_tcp_list[k], problem.eye_to_hand);
        for (const CellView& view : byPose[k]) {
            const CellCameraViews& camera = problem.cameras[view.camera];
            const int c = view.camera;
            int& first = places.first_view_of_pose[k];
            const int added =
                first < 0
                    ? solver.addView(places.cameras[c], places.camera_poses[c], mount, onLeft, places.target_pose,
                                     camera.object_points[view.view], camera.image_points[view.view], corrections[k])
                    : solver.addViewSharingCorrection(first, places.cameras[c], places.camera_poses[c], mount,
                                                      places.target_pose, camera.object_points[view.view],
                                                      camera.image_points[view.view]);
            if (first < 0) {
                first = added;
            }
            places.camera_views[c].push_back(added);
            places.camera_view_sources[c].push_back(view.view);
        }
    }
    return places;
}

int cornerCount(const cv::Mat& objectPoints) {
    return static_cast<int>(objectPoints.total() * objectPoints.channels() / 3);
}

// The RMS corner residual over one camera's pictures, and their corner count.
double cameraRms(const std::vector<double>& perViewRms, const CellSolverPlaces& places, const CellCameraViews& camera,
                 int c, int& corners) {
    double squares = 0.0;
    corners = 0;
    for (size_t k = 0; k < places.camera_views[c].size(); ++k) {
        const int n = cornerCount(camera.object_points[places.camera_view_sources[c][k]]);
        const double rms = perViewRms[places.camera_views[c][k]];
        squares += rms * rms * n;
        corners += n;
    }
    return corners > 0 ? std::sqrt(squares / corners) : 0.0;
}

// The pose covariance blocks of cameras a and b out of the joint covariance of every camera and the target.
std::vector<double> pairCovariance(const std::vector<double>& joint, int poseCount, int a, int b) {
    const int n = 6 * poseCount;
    std::vector<double> pair(144);
    const int starts[2] = {6 * a, 6 * b};
    for (int r = 0; r < 12; ++r) {
        for (int c = 0; c < 12; ++c) {
            pair[r * 12 + c] = joint[static_cast<size_t>(starts[r / 6] + r % 6) * n + starts[c / 6] + c % 6];
        }
    }
    return pair;
}

void storeSolution(const ErrorsInVariablesProblem& solver, const CellRefinementProblem& problem,
                   const CellSolverPlaces& places, const std::vector<std::vector<CellView>>& byPose,
                   const RefinementOptions& options, CellRefinement& result) {
    const size_t cameras = problem.cameras.size();
    result.refined = true;
    std::vector<int> poses = places.camera_poses;
    poses.push_back(places.target_pose);
    const std::vector<double> withIntrinsics = solver.jointCovariance(poses, places.cameras[0]);
    const int withSize = 6 * static_cast<int>(poses.size()) + 4;
    result.joint_covariance.clear();
    for (int r = 0; r < withSize - 4; ++r) {
        for (int c = 0; c < withSize - 4; ++c) {
            result.joint_covariance.push_back(withIntrinsics[static_cast<size_t>(r) * withSize + c]);
        }
    }
    const ViewResiduals residuals = solver.viewResiduals(options.outlier_z_score);
    result.rms_px = residuals.rms_px;
    result.corner_count = 0;
    result.camera_sigmas.clear();
    result.intrinsic_sigmas.clear();
    result.camera_rms_px.clear();
    result.camera_view_counts.clear();
    result.view_rms_px.clear();
    result.camera_joint_covariances.clear();
    for (size_t c = 0; c < cameras; ++c) {
        result.camera_joint_covariances.push_back(
            solver.jointCovariance({places.camera_poses[c], places.target_pose}, places.cameras[c]));
        std::vector<double> viewRms(problem.cameras[c].poses.size(), std::nan(""));
        for (size_t k = 0; k < places.camera_views[c].size(); ++k) {
            viewRms[places.camera_view_sources[c][k]] = residuals.per_view_rms_px[places.camera_views[c][k]];
        }
        result.view_rms_px.push_back(std::move(viewRms));
        result.camera_mount_T_camera_list[c] = solver.pose(places.camera_poses[c]);
        result.camera_sigmas.push_back(solver.poseSigma(places.camera_poses[c]));
        result.intrinsic_matrices[c] = solver.intrinsicMatrix(places.cameras[c]);
        result.distortion_coefficients_list[c] = solver.distortion(places.cameras[c]);
        result.intrinsic_sigmas.push_back(
            problem.cameras[c].refine_intrinsics ? solver.intrinsicSigmas(places.cameras[c]) : std::vector<double>{});
        int corners = 0;
        result.camera_rms_px.push_back(
            cameraRms(residuals.per_view_rms_px, places, problem.cameras[c], static_cast<int>(c), corners));
        result.corner_count += corners;
        result.camera_view_counts.push_back(static_cast<int>(places.camera_views[c].size()));
    }
    result.target_mount_T_target = solver.pose(places.target_pose);
    result.target_sigma = solver.poseSigma(places.target_pose);
    result.camera_pairs.clear();
    for (size_t a = 0; a < cameras; ++a) {
        for (size_t b = a + 1; b < cameras; ++b) {
            CameraPairTransform pair;
            pair.first = static_cast<int>(a);
            pair.second = static_cast<int>(b);
            const cv::Mat& first = result.camera_mount_T_camera_list[a];
            const cv::Mat& second = result.camera_mount_T_camera_list[b];
            pair.first_T_second = first.inv(cv::DECOMP_LU) * second;
            pair.covariance =
                relativePoseCovariance(first, second,
                                       pairCovariance(result.joint_covariance, static_cast<int>(poses.size()),
                                                      static_cast<int>(a), static_cast<int>(b)));
            pair.sigma = poseSigmaFromCovariance(pair.covariance.data(), 1.0);
            result.camera_pairs.push_back(std::move(pair));
        }
    }
    const ObservationNoise& noise = solver.noise();
    result.robot_translation_noise_mm = noise.translation_m * 1000.0;
    result.robot_rotation_noise_deg = noise.rotation_rad * 180.0 / CV_PI;
    result.pixel_noise_px = noise.pixel_px;
    result.noise_settled = solver.noiseSettled();
    result.robot_pose_corrections.assign(byPose.size(), {});
    result.pose_camera_counts.assign(byPose.size(), 0);
    for (size_t k = 0; k < byPose.size(); ++k) {
        result.pose_camera_counts[k] = static_cast<int>(byPose[k].size());
        if (places.first_view_of_pose[k] >= 0) {
            result.robot_pose_corrections[k] =
                flangeCorrection(solver.correction(places.first_view_of_pose[k]), problem.eye_to_hand);
        }
    }
}

CellRefinement solveCell(const CellRefinementProblem& problem, const RefinementOptions& options,
                         const ObservationNoise& start, const NoiseEstimation& estimation,
                         const std::vector<std::vector<CellView>>& byPose, const std::vector<cv::Mat>& corrections,
                         CellRefinement result, bool log) {
    std::optional<ErrorsInVariablesProblem> solver(std::in_place, options.huber_scale_px, start, estimation);
    CellSolverPlaces places;
    try {
        places = addCell(*solver, problem, byPose, corrections);
    } catch (const std::invalid_argument& error) {
        return kept(std::move(result), error.what(), log);
    }
    std::string reason;
    if (!solver->solve(options.max_iterations, result.summary, reason)) {
        return kept(std::move(result), reason, log);
    }
    storeSolution(*solver, problem, places, byPose, options, result);
    return result;
}

}  // namespace

CellRefinement refineCell(const CellRefinementProblem& problem, const RefinementOptions& options, bool log) {
    checkProblem(problem);
    CellRefinement result = startingValues(problem);
    const std::vector<std::vector<CellView>> byPose = viewsByPose(problem, -1);
    const std::vector<cv::Mat> corrections = startingPoseCorrections(problem, byPose);
    const ObservationNoise disagreement = startingNoise(corrections);
    const auto [start, estimation] = robotNoiseSettings(options, disagreement);
    if (disagreement.translation_m * 1000.0 > kUnrefinableFactor * kImplausibleRobotTranslationMm ||
        disagreement.rotation_rad * 180.0 / CV_PI > kUnrefinableFactor * kImplausibleRobotRotationDeg) {
        return kept(std::move(result), "the robot poses disagree with the pictures too much to refine", log);
    }
    result = solveCell(problem, options, start, estimation, byPose, corrections, std::move(result), log);
    if (log && result.refined) {
        logRefinementDone(kComponent, result.summary, result.rms_px, {});
        logMessage(LogLevel::Info, kComponent + "Robot pose noise " + fixedText(result.robot_translation_noise_mm, 3) +
                                       " mm / " + fixedText(result.robot_rotation_noise_deg, 4) +
                                       " deg per axis, shared by the cameras at each pose; corner noise " +
                                       fixedText(result.pixel_noise_px, 3) + " px.");
    }
    return result;
}

CellRefinement refineCellWithout(const CellRefinementProblem& problem, const CellRefinement& solution,
                                 const RefinementOptions& options, int left_out_pose) {
    checkProblem(problem);
    CellRefinementProblem atSolution = problem;
    for (size_t c = 0; c < problem.cameras.size(); ++c) {
        atSolution.cameras[c].camera_mount_T_camera = solution.camera_mount_T_camera_list[c];
        atSolution.cameras[c].intrinsic_matrix = solution.intrinsic_matrices[c];
        atSolution.cameras[c].distortion_coefficients = solution.distortion_coefficients_list[c];
    }
    atSolution.target_mount_T_target = solution.target_mount_T_target;
    RefinementOptions held = options;
    held.robot_translation_sigma_mm = solution.robot_translation_noise_mm;
    held.robot_rotation_sigma_deg = solution.robot_rotation_noise_deg;
    held.pixel_sigma_px = solution.pixel_noise_px;
    const std::vector<std::vector<CellView>> byPose = viewsByPose(atSolution, left_out_pose);
    const std::vector<cv::Mat> corrections = startingPoseCorrections(atSolution, byPose);
    const auto [start, estimation] = robotNoiseSettings(held, ObservationNoise());
    return solveCell(atSolution, held, start, estimation, byPose, corrections, startingValues(atSolution), false);
}

}  // namespace velk::calibration
