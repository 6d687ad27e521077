#pragma once

namespace velk::calibration {

// Tunables of the joint reprojection-error refinement.
struct RefinementOptions {
    double huber_scale_px = 1.0;           // residuals beyond this many pixels are down-weighted
    int max_iterations = 100;              // Levenberg-Marquardt iterations before giving up
    bool refine_given_intrinsics = false;  // free intrinsics that were passed in rather than solved here
    double outlier_z_score = 3.0;          // views whose robust z-score of RMS exceeds this are listed
};

}  // namespace velk::calibration
