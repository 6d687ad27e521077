#include "calibration/hand_eye/target_scale.hpp"

#include <cmath>
#include <cstdio>
#include <utility>

#include "calibration/hand_eye/hand_eye_refinement_start.hpp"
#include "calibration/hand_eye/robot_error_refinement.hpp"
#include "core/log.hpp"

namespace velk::calibration {
namespace {

// The refined result as the start of a re-solve: transforms and intrinsics as refined.
HandEyeRefinementProblem warmStarted(HandEyeRefinementProblem problem, const HandEyeRefinement& result) {
    problem.camera_mount_T_camera = result.camera_mount_T_camera;
    problem.target_mount_T_target = result.target_mount_T_target;
    problem.starting_corrections = solvedCorrections(result, problem.eye_to_hand);
    if (result.intrinsics_refined) {
        problem.intrinsic_matrix = result.intrinsic_matrix;
        problem.distortion_coefficients = result.distortion_coefficients;
    }
    return problem;
}

void logTargetScale(const HandEyeRefinement& result) {
    const std::string component = kHandEyeRefinementComponent;
    if (!result.target_scale_measured) {
        logMessage(LogLevel::Warning, component + "Target size not measured: " + result.target_scale_reason + ".");
        return;
    }
    std::string line = "Target size: " + targetScaleSentence(result) + " (from the robot's translations)";
    if (result.target_scale_applied) {
        line += "; the result is solved at the measured size";
    }
    logMessage(LogLevel::Info, component + line + ".");
    if (result.target_scale_differs && !result.target_scale_applied) {
        char share[64];
        std::snprintf(share, sizeof(share), "%.2f %% %s", std::abs(result.target_scale - 1.0) * 100.0,
                      result.target_scale < 1.0 ? "smaller" : "larger");
        logMessage(LogLevel::Warning, component + "The target is " + share +
                                          " than described, beyond its noise: its lengths are wrong or it was "
                                          "printed at another scale; the result is solved at the described size.");
    }
}

}  // namespace

bool targetScaleDiffers(double scale, double sigma) {
    const double off = std::abs(scale - 1.0);
    const double combined = std::hypot(sigma, kRobotLengthShare);
    return off > kTargetScaleSigmaLimit * combined && off > kTargetScaleToleranceShare;
}

std::string targetScaleSentence(const HandEyeRefinement& result) {
    char text[128];
    std::snprintf(text, sizeof(text), "the target measures %.4f +- %.4f times its described size", result.target_scale,
                  result.target_scale_sigma);
    return text;
}

HandEyeRefinement withTargetScale(const HandEyeRefinementProblem& problem, const RefinementOptions& options,
                                  const std::vector<cv::Mat>& view_poses, HandEyeRefinement result, bool log) {
    if (!result.refined || !result.robot_error_modelled) {
        result.target_scale_reason = result.refined ? "the robot poses are taken as exact" : "no refined result";
        if (log) {
            logTargetScale(result);
        }
        return result;
    }
    if (!result.target_scale_measured) {
        const HandEyeRefinementProblem start = warmStarted(problem, result);
        // The levels start where the result's settled: freeing the size moves them only a little.
        const ObservationNoise settled{result.pixel_noise_px, result.robot_translation_noise_mm / 1000.0,
                                       result.robot_rotation_noise_deg * CV_PI / 180.0};
        const HandEyeRefinement fit = refineWithRobotError(start, options, start.target_mount_T_target, view_poses,
                                                           startingValues(start, start.target_mount_T_target), false,
                                                           true, nullptr, nullptr, &settled);
        if (fit.refined && fit.target_scale_measured) {
            result.target_scale_measured = true;
            result.target_scale = fit.target_scale;
            result.target_scale_sigma = fit.target_scale_sigma;
        } else {
            result.target_scale_reason = "the solve with the size free failed (" + fit.reason + ")";
        }
    }
    result.target_scale_differs =
        result.target_scale_measured && targetScaleDiffers(result.target_scale, result.target_scale_sigma);
    if (log) {
        logTargetScale(result);
    }
    return result;
}

}  // namespace velk::calibration
