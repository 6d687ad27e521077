#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// One-sigma deviations of a calibrateCamera solution, laid out as calibrateCamera lays them
// out: 18 intrinsic entries (fx, fy, cx, cy, k1, k2, p1, p2, k3, k4, k5, k6, s1, s2, s3, s4,
// tauX, tauY) and six per view (rotation vector, then translation); fixed parameters read 0.
// A free parameter the pictures do not determine apart from the others (the rational model's
// numerator and denominator terms on a lens with little distortion) reads +inf and is listed in
// `undetermined`; the others' deviations are then those with it held at its value, so no entry
// depends on how a nearly singular matrix happens to round.
struct CalibrationDeviations {
    cv::Mat intrinsics;             // 18 x 1 CV_64F
    cv::Mat extrinsics;             // 6 * views x 1 CV_64F
    std::vector<int> undetermined;  // positions in the intrinsic layout, ascending
};

// The deviations at a finished calibrateCamera solution (camera matrix, distortion and per-view
// rvecs/tvecs as calibrateCamera returned them), from the normal equations of the reprojection
// error scaled by the residual variance, as calibrateCamera computes them. The equations are
// inverted block by block: 6 x 6 per view and the intrinsic block through its Schur complement,
// so the cost grows linearly with the views instead of with the cube of all parameters. Where the
// problem is well conditioned they equal calibrateCamera's. When a view's pose block is singular
// the whole matrix is pseudo-inverted instead, as calibrateCamera does.
CalibrationDeviations calibrationDeviations(const std::vector<cv::Mat>& objectPoints,
                                            const std::vector<cv::Mat>& imagePoints, const cv::Mat& cameraMatrix,
                                            const cv::Mat& distortion, const std::vector<cv::Mat>& rotationVectors,
                                            const std::vector<cv::Mat>& translationVectors, int flags);

// The same deviations at a finished cv::fisheye::calibrate solution: 8 intrinsic entries (fx, fy,
// cx, cy, k1, k2, k3, k4) and six per view; parameters the fisheye flags fix read 0.
CalibrationDeviations fisheyeCalibrationDeviations(const std::vector<cv::Mat>& objectPoints,
                                                   const std::vector<cv::Mat>& imagePoints, const cv::Mat& cameraMatrix,
                                                   const cv::Mat& distortion,
                                                   const std::vector<cv::Mat>& rotationVectors,
                                                   const std::vector<cv::Mat>& translationVectors, int fisheyeFlags);

}  // namespace velk::calibration
