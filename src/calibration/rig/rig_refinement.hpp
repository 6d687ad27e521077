#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/refinement_options.hpp"
#include "calibration/refinement/refinement_statistics.hpp"
#include "core/camera_projection.hpp"

namespace velk::calibration {

// One joint problem over a rig: every camera's intrinsics and reference_T_camera and every frame's
// reference_T_target, over the corners each camera saw in the frames seen by two or more cameras:
//   camera_k_T_target_f = inv(reference_T_camera_k) * reference_T_target_f.
struct RigRefinementProblem {
    int reference_index = 0;
    std::vector<cv::Mat> reference_T_camera_list;  // start per camera; an empty entry leaves the camera out
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<cv::Mat> distortion_coefficients;
    std::vector<std::vector<cv::Mat>> object_points;  // [camera][frame], N x 3; empty: not seen
    std::vector<std::vector<cv::Mat>> image_points;   // [camera][frame], N x 2
    bool refine_intrinsics = false;
    // calibrateCamera flags whose CALIB_FIX_* parameters stay fixed; cv::fisheye's for a fisheye rig.
    int calibration_flags = 0;
    // The lens model of every camera: the board poses and every residual go through it.
    CameraModel camera_model = CameraModel::Pinhole;
    // Optional start of reference_T_target per frame (a re-solve from an earlier solution); frames
    // past its end or with an empty entry start from their corners.
    std::vector<cv::Mat> reference_T_target_list;
};

struct RigRefinement {
    bool refined = false;
    std::string reason;  // why the starting values were kept, when refined is false
    // Refined values per camera; the starting ones when refined is false.
    std::vector<cv::Mat> reference_T_camera_list;
    std::vector<cv::Mat> intrinsic_matrices;
    std::vector<cv::Mat> distortion_coefficients;
    bool intrinsics_refined = false;
    // 1-sigma per camera (zero for the reference), scaled by the residual variance; empty unless refined.
    std::vector<PoseSigma> camera_sigmas;
    std::vector<std::vector<double>> intrinsic_sigmas;  // per camera [fx, fy, cx, cy]; empty when held fixed
    std::vector<int> frames_used;                       // frames seen by two or more cameras
    std::vector<cv::Mat> reference_T_target_list;       // board pose of each used frame
    std::vector<int> view_cameras;                      // camera and frame of each view
    std::vector<int> view_frames;
    std::vector<double> per_view_rms_px;
    std::vector<int> outlier_views;  // positions in the view lists
    double rms_px = 0.0;
    int corner_count = 0;
    // Per view, the corners' pixels under the refined rig as the solver evaluated them (N x 2
    // CV_64F, in the order of the view's points); present only when refined and reported.
    std::vector<cv::Mat> projected_corners;
    RefinementSummary summary;
};

// Never throws for data that cannot be refined: the result then carries the starting values,
// refined false and the reason, and a WARNING line is logged. Throws std::invalid_argument for
// lists that do not have one entry per camera.
RigRefinement refineRig(const RigRefinementProblem& problem, const RefinementOptions& options = RefinementOptions());

// The same solve with nothing logged and no covariance, sigmas or residuals: the refined values
// alone, for re-solves that only predict (held-out validation).
RigRefinement resolveRigQuietly(const RigRefinementProblem& problem, const RefinementOptions& options);

// The rig without each of its frames in turn, one Gauss-Newton step from a solution (the problem warm-
// started there: its cameras' poses and intrinsics and every frame's reference_T_target): per frame of
// the problem, the cameras' values then (refined true), or why there are none (refined false; frames
// fewer than two cameras see have none). Throws std::invalid_argument as refineRig does.
std::vector<RigRefinement> stepRigWithoutEachFrame(const RigRefinementProblem& solution,
                                                   const RefinementOptions& options);

}  // namespace velk::calibration
