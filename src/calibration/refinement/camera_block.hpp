#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/refinement/reprojection_cost.hpp"
#include "core/camera_projection.hpp"

namespace velk::calibration {

// A camera's parameters as the solver sees them: [fx, fy, cx, cy] and the twelve distortion
// coefficients the projection models, with the ones that stay at their starting values. A
// fisheye camera uses the first four as k1..k4 of the equidistant projection.
struct CameraBlock {
    double intrinsics[kIntrinsicCount] = {0.0, 0.0, 0.0, 0.0};
    double distortion[kModelledDistortion] = {};
    int distortion_count = 0;  // coefficients the caller gave
    double skew = 0.0;
    std::vector<int> fixed_intrinsics;
    std::vector<int> fixed_distortion;
    bool free = false;
    CameraModel model = CameraModel::Pinhole;

    // Throws std::invalid_argument for a matrix that is not 3 x 3 or a distortion model the
    // projection cannot represent. When free, calibrateCamera's CALIB_FIX_* and
    // CALIB_ZERO_TANGENT_DIST flags keep their parameters fixed; for a fisheye camera the flags
    // are cv::fisheye's CALIB_FIX_* flags.
    static CameraBlock fromMatrices(const cv::Mat& intrinsic_matrix, const cv::Mat& distortion, bool free,
                                    int calibration_flags, const char* owner, CameraModel model = CameraModel::Pinhole);
    cv::Mat intrinsicMatrix() const;
    cv::Mat distortionCoefficients() const;
    bool isFinite() const;
    // Free parameters while the camera is free.
    int freeParameterCount() const;
};

}  // namespace velk::calibration
