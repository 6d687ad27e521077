#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/intrinsic/fisheye_input.hpp"

namespace velk::calibration {

// Fisheye intrinsics and per-view poses (rotation and translation vectors) of the views, minimising
// the reprojection error in pixels. cv::fisheye::calibrate (with the caller's flags) gives the
// start in a few of its iterations, each of which re-poses every view; the least-squares
// reprojection problem with the equidistant projection then finishes the joint solve, far faster
// than cv::fisheye::calibrate's remaining iterations and to the same minimum. With
// CALIB_USE_INTRINSIC_GUESS the start is the guess and each view posed through it. When the skew
// is left free (no CALIB_FIX_SKEW, which the projection does not model) or the finishing solve
// fails, cv::fisheye::calibrate solves it alone. Returns the RMS error over every corner (px);
// throws cv::Exception where cv::fisheye::calibrate cannot start.
double solveFisheyeIntrinsics(const FisheyeInput& input, const cv::Size& imageSize, cv::Mat& intrinsicMatrix,
                              cv::Mat& distortion, std::vector<cv::Mat>& rotationVectors,
                              std::vector<cv::Mat>& translationVectors, int flags, const cv::TermCriteria& criteria);

}  // namespace velk::calibration
