#pragma once

#include <vector>

namespace velk::calibration {

// How a hand-eye refinement with the robot error modelled treats the target's true size against its
// description (the robot's translations measure it): Fixed, taken as described; Measured, the size is
// estimated in a second solve and reported beside a result at the described size; Fitted, the result
// is solved with the size as one more unknown.
enum class TargetScale { Fixed, Measured, Fitted };

// Tunables of the joint reprojection-error refinement.
struct RefinementOptions {
    double huber_scale_px = 1.0;           // residuals beyond this many pixels are down-weighted
    int max_iterations = 100;              // Levenberg-Marquardt iterations before giving up
    bool refine_given_intrinsics = false;  // free intrinsics that were passed in rather than solved here
    double outlier_z_score = 3.0;          // views whose robust z-score of RMS exceeds this are listed
    // Robot pose error of a hand-eye refinement, 1-sigma per axis in the flange frame: negative,
    // estimated from the data; zero, the robot poses are taken as exact; positive, held at that value.
    double robot_translation_sigma_mm = -1.0;
    double robot_rotation_sigma_deg = -1.0;
    // Corner noise of that refinement, 1-sigma per image coordinate: negative, estimated from the
    // data; positive, held at that value.
    double pixel_sigma_px = -1.0;
    // 1-sigma [fx, fy, cx, cy] (pixels) of intrinsics that were passed in; empty: they are exact.
    std::vector<double> intrinsic_sigmas_px;
    TargetScale target_scale = TargetScale::Measured;
    // Held-out validation of a refined rig or of a hand-eye refinement with the robot error modelled
    // re-solves without each frame or view from the full solution; by default it takes one Gauss-Newton
    // step there instead, which agrees with the re-solves to a small fraction of the noise at a fraction
    // of their cost.
    bool held_out_resolves = false;
};

}  // namespace velk::calibration
