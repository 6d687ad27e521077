#include "calibration/hand_eye/held_out_validation.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/calib3d.hpp>

#include "calibration/detection/camera_target_pose.hpp"
#include "calibration/hand_eye/hand_eye_solver.hpp"
#include "calibration/hand_eye/held_out_prediction.hpp"
#include "calibration/hand_eye/restricted_motion.hpp"
#include "calibration/hand_eye/robot_error_refinement.hpp"
#include "calibration/refinement/held_out_views.hpp"
#include "core/parallel_indices.hpp"
#include "core/picture_names.hpp"

namespace velk::calibration {
namespace {

constexpr size_t kMinimumRemainingViews = 4;
constexpr size_t kWorstShown = 3;

// X, Y and the intrinsics of a solve without one view.
struct HeldOutSolve {
    bool ok = false;
    std::string reason;
    cv::Mat camera_transform;
    cv::Mat target_transform;
    cv::Mat intrinsic_matrix;
    cv::Mat distortion_coefficients;
    std::vector<double> joint_covariance;
    double robot_translation_m = 0.0;
    double robot_rotation_rad = 0.0;
    double pixel_px = 0.0;
};

template <typename T>
std::vector<T> without(const std::vector<T>& values, size_t left_out) {
    std::vector<T> kept;
    for (size_t k = 0; k < values.size(); ++k) {
        if (k != left_out) {
            kept.push_back(values[k]);
        }
    }
    return kept;
}

std::vector<cv::Mat> knownTransforms(HandEyeSetup setup, const std::vector<cv::Mat>& robots) {
    std::vector<cv::Mat> known;
    for (const cv::Mat& motion : handEyeMotions(setup, robots)) {
        known.push_back(motion.inv(cv::DECOMP_LU));
    }
    return known;
}

// The problem a held-out re-solve starts from: the full solution with the robot poses as it
// corrected them (each re-solve then moves only by what the one view pulled), and the options that
// hold the noise levels it found.
std::pair<HandEyeRefinementProblem, RefinementOptions> atFullSolution(const HeldOutInputs& in) {
    const HandEyeRefinement& full = *in.refinement;
    HandEyeRefinementProblem problem;
    problem.camera_mount_T_camera = full.camera_mount_T_camera;
    problem.target_mount_T_target = full.target_mount_T_target;
    problem.camera_mount_T_target_mount_list = knownTransforms(in.setup, in.robot_T_tcp_list);
    problem.object_points = in.object_points;
    problem.image_points = in.image_points;
    problem.intrinsic_matrix = full.intrinsic_matrix;
    problem.distortion_coefficients = full.distortion_coefficients;
    problem.refine_intrinsics = in.refine_intrinsics;
    problem.calibration_flags = in.calibration_flags;
    problem.camera_model = in.camera_model;
    problem.eye_to_hand = in.setup == HandEyeSetup::EyeToHand;
    RefinementOptions options = in.options;
    if (full.robot_error_modelled) {
        problem.starting_corrections = solvedCorrections(full, problem.eye_to_hand);
        options.robot_translation_sigma_mm = full.robot_translation_noise_mm;
        options.robot_rotation_sigma_deg = full.robot_rotation_noise_deg;
        options.pixel_sigma_px = full.pixel_noise_px;
    }
    // A result solved at a measured target size is re-solved the same way (its views then hold the
    // target at that size, so the size starts at 1); a size measured only beside the result is not
    // measured again.
    options.target_scale = full.target_scale_applied ? TargetScale::Fitted : TargetScale::Fixed;
    return {problem, options};
}

HeldOutSolve heldOutSolve(const HandEyeRefinement& refit) {
    HeldOutSolve solve;
    solve.ok = refit.refined;
    solve.reason = refit.reason;
    solve.camera_transform = refit.camera_mount_T_camera;
    solve.target_transform = refit.target_mount_T_target;
    solve.intrinsic_matrix = refit.intrinsic_matrix;
    solve.distortion_coefficients = refit.distortion_coefficients;
    solve.joint_covariance = refit.joint_covariance;
    solve.robot_translation_m = refit.robot_translation_noise_mm / 1000.0;
    solve.robot_rotation_rad = refit.robot_rotation_noise_deg * CV_PI / 180.0;
    solve.pixel_px = refit.pixel_noise_px;
    return solve;
}

HeldOutSolve refinedWithout(const HeldOutInputs& in, size_t left_out) {
    auto [problem, options] = atFullSolution(in);
    problem.camera_mount_T_target_mount_list = without(problem.camera_mount_T_target_mount_list, left_out);
    problem.object_points = without(problem.object_points, left_out);
    problem.image_points = without(problem.image_points, left_out);
    if (!problem.starting_corrections.empty()) {
        problem.starting_corrections = without(problem.starting_corrections, left_out);
    }
    return heldOutSolve(refineHandEyeSilently(problem, options));
}

// Whether the held-out solves are one step each from the full solution rather than re-solves.
bool steppedFromFullSolution(const HeldOutInputs& in) {
    return in.refinement && in.refinement->robot_error_modelled && !in.options.held_out_resolves;
}

// Every view's solve without it, one Gauss-Newton step from the full solution under its noise levels.
std::vector<HeldOutSolve> steppedWithoutEach(const HeldOutInputs& in) {
    const HandEyeRefinement& full = *in.refinement;
    const auto [problem, options] = atFullSolution(in);
    const std::vector<LeftOutSolution> left = leaveEachViewOut(problem, options, full.target_scale_applied);
    std::vector<HeldOutSolve> solves(left.size());
    for (size_t v = 0; v < left.size(); ++v) {
        HeldOutSolve& solve = solves[v];
        solve.ok = left[v].ok;
        if (!solve.ok) {
            solve.reason = "the other views do not determine the result without it";
            continue;
        }
        solve.camera_transform = left[v].poses[0];
        solve.target_transform = left[v].poses[1];
        solve.intrinsic_matrix = left[v].intrinsic_matrix;
        solve.distortion_coefficients = left[v].distortion;
        solve.joint_covariance = left[v].joint_covariance;
        solve.robot_translation_m = full.robot_translation_noise_mm / 1000.0;
        solve.robot_rotation_rad = full.robot_rotation_noise_deg * CV_PI / 180.0;
        solve.pixel_px = full.pixel_noise_px;
    }
    return solves;
}

HeldOutSolve closedFormWithout(const HeldOutInputs& in, size_t left_out) {
    HeldOutSolve solve;
    const std::vector<cv::Mat> motions = handEyeMotions(in.setup, without(in.robot_T_tcp_list, left_out));
    const std::vector<cv::Mat> cameras = without(in.camera_T_target_list, left_out);
    // Turns about one axis, or none, leave the general closed forms undefined (see
    // HandEyeCalibration::restrictedSolution).
    auto solution =
        solveRestrictedHandEye(restrictedMotion(motions), motions, cameras, in.setup == HandEyeSetup::EyeToHand);
    if (!solution) {
        solution = solveHandEye(in.solver, motions, cameras);
    }
    if (!solution) {
        solve.reason = "the solver found no finite solution without it";
        return solve;
    }
    solve.ok = true;
    solve.camera_transform = solution->camera_transform;
    solve.target_transform = solution->target_transform;
    solve.intrinsic_matrix = in.intrinsic_matrix;
    solve.distortion_coefficients = in.distortion_coefficients;
    return solve;
}

// camera_T_target of a view from X, Y and its robot pose: inv(X) * inv(motion) * Y.
cv::Mat predictedBoardPose(const HeldOutInputs& in, const cv::Mat& x, const cv::Mat& y, size_t view) {
    const cv::Mat motion = handEyeMotions(in.setup, {in.robot_T_tcp_list[view]})[0];
    return x.inv(cv::DECOMP_SVD) * motion.inv(cv::DECOMP_LU) * y;
}

double fittedRms(const HeldOutInputs& in, size_t view) {
    if (in.refinement && view < in.refinement->per_view_rms_px.size()) {
        return in.refinement->per_view_rms_px[view];
    }
    return cornerRmsPx(in.object_points[view], in.image_points[view],
                       predictedBoardPose(in, in.camera_transform, in.target_transform, view), in.intrinsic_matrix,
                       in.distortion_coefficients, in.camera_model);
}

// One view's figures, or why it was skipped.
struct ViewOutcome {
    std::string skipped;  // empty when validated
    double held_out_px = 0.0;
    double fitted_px = 0.0;
    double mm = 0.0;
    double deg = 0.0;
    double predicted_px = 0.0;
};

ViewOutcome validateView(const HeldOutInputs& in, size_t view, const HeldOutSolve* stepped) {
    ViewOutcome outcome;
    const std::string name = "frame " + pictureLabel(in.image_names, in.frames[view]);
    const HeldOutSolve solve = stepped         ? *stepped
                               : in.refinement ? refinedWithout(in, view)
                                               : closedFormWithout(in, view);
    if (!solve.ok) {
        outcome.skipped = name + ": " + solve.reason;
        return outcome;
    }
    const auto own = estimateCameraTTarget(in.object_points[view], in.image_points[view], solve.intrinsic_matrix,
                                           solve.distortion_coefficients, in.camera_model);
    if (!own) {
        outcome.skipped = name + ": its board could not be posed from its own corners";
        return outcome;
    }
    const cv::Mat predicted = predictedBoardPose(in, solve.camera_transform, solve.target_transform, view);
    boardPoseDisagreement(predicted, *own, outcome.mm, outcome.deg);
    outcome.held_out_px = cornerRmsPx(in.object_points[view], in.image_points[view], predicted, solve.intrinsic_matrix,
                                      solve.distortion_coefficients, in.camera_model);
    outcome.fitted_px = fittedRms(in, view);
    HeldOutPrediction prediction;
    prediction.camera_mount_T_camera = solve.camera_transform;
    prediction.target_mount_T_target = solve.target_transform;
    prediction.mount = knownTransforms(in.setup, {in.robot_T_tcp_list[view]})[0];
    prediction.correction_on_left = in.setup == HandEyeSetup::EyeInHand;
    prediction.intrinsic_matrix = solve.intrinsic_matrix;
    prediction.distortion_coefficients = solve.distortion_coefficients;
    prediction.camera_model = in.camera_model;
    prediction.object_points = in.object_points[view];
    prediction.joint_covariance = solve.joint_covariance;
    prediction.robot_translation_m = solve.robot_translation_m;
    prediction.robot_rotation_rad = solve.robot_rotation_rad;
    prediction.pixel_px = solve.pixel_px;
    outcome.predicted_px = predictedHeldOutRms(prediction);
    return outcome;
}

// The solves are independent: they run side by side, and their figures are gathered in view order.
void validateViews(const HeldOutInputs& in, HandEyeValidation& validation) {
    std::vector<ViewOutcome> outcomes(in.object_points.size());
    std::vector<HeldOutSolve> stepped;
    if (steppedFromFullSolution(in)) {
        try {
            stepped = steppedWithoutEach(in);
        } catch (const std::exception&) {
            stepped.clear();  // each view is then re-solved, and says why where that fails too
        }
    }
    forEachIndexInParallel(outcomes.size(), [&in, &outcomes, &stepped](size_t view) {
        try {
            outcomes[view] = validateView(in, view, stepped.empty() ? nullptr : &stepped[view]);
        } catch (const std::exception& error) {
            outcomes[view].skipped = "frame " + pictureLabel(in.image_names, in.frames[view]) + ": " + error.what();
        }
    });
    for (size_t view = 0; view < outcomes.size(); ++view) {
        const ViewOutcome& outcome = outcomes[view];
        if (!outcome.skipped.empty()) {
            validation.skipped.push_back(outcome.skipped);
            continue;
        }
        validation.frames.push_back(in.frames[view]);
        validation.held_out_rms_px.push_back(outcome.held_out_px);
        validation.fitted_rms_px.push_back(outcome.fitted_px);
        validation.translation_mm.push_back(outcome.mm);
        validation.rotation_deg.push_back(outcome.deg);
        validation.predicted_rms_px.push_back(outcome.predicted_px);
    }
}

double rootMeanSquare(const std::vector<double>& values) {
    const double sum = std::accumulate(values.begin(), values.end(), 0.0, [](double s, double v) { return s + v * v; });
    return values.empty() ? std::nan("") : std::sqrt(sum / values.size());
}

}  // namespace

void boardPoseDisagreement(const cv::Mat& predicted, const cv::Mat& own, double& mm, double& deg) {
    mm = cv::norm(predicted(cv::Rect(3, 0, 1, 3)) - own(cv::Rect(3, 0, 1, 3))) * 1000.0;
    const cv::Mat relative = predicted(cv::Rect(0, 0, 3, 3)).t() * own(cv::Rect(0, 0, 3, 3));
    const double c = std::clamp((cv::trace(relative)[0] - 1.0) / 2.0, -1.0, 1.0);
    deg = std::acos(c) * 180.0 / CV_PI;
}

void summarizeHandEyeValidation(HandEyeValidation& validation) {
    validation.median_px = heldOutQuantile(validation.held_out_rms_px, 0.5);
    validation.p90_px = heldOutQuantile(validation.held_out_rms_px, 0.9);
    validation.median_mm = heldOutQuantile(validation.translation_mm, 0.5);
    validation.median_deg = heldOutQuantile(validation.rotation_deg, 0.5);
    std::vector<size_t> order(validation.frames.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&validation](size_t a, size_t b) {
        return validation.held_out_rms_px[a] > validation.held_out_rms_px[b];
    });
    for (size_t k = 0; k < std::min(kWorstShown, order.size()); ++k) {
        validation.worst_frames.push_back(validation.frames[order[k]]);
    }
    const bool predicted = std::all_of(validation.predicted_rms_px.begin(), validation.predicted_rms_px.end(),
                                       [](double v) { return std::isfinite(v) && v > 0.0; });
    if (predicted) {
        validation.observed_over_predicted =
            rootMeanSquare(validation.held_out_rms_px) / rootMeanSquare(validation.predicted_rms_px);
    }
}

HandEyeValidation validateHeldOut(const HeldOutInputs& in) {
    HandEyeValidation validation;
    const size_t views = in.object_points.size();
    if (views < kMinimumRemainingViews + 1) {
        validation.reason = "too few views with corners (" + std::to_string(views) + "): leaving one out must keep " +
                            std::to_string(kMinimumRemainingViews) + " to solve with";
        return validation;
    }
    validateViews(in, validation);
    if (validation.frames.empty()) {
        validation.reason = "no view could be validated";
        return validation;
    }
    validation.validated = true;
    summarizeHandEyeValidation(validation);
    return validation;
}

}  // namespace velk::calibration
