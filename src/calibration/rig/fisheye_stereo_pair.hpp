#pragma once

#include <opencv2/core.hpp>

#include "calibration/rig/stereo_pair_points.hpp"

namespace velk::calibration {

// The relative pose of a stereo pair of fisheye cameras through cv::fisheye::stereoCalibrate:
// rotation and translation map the reference camera's coordinates into the other camera's.
// flags are cv::fisheye's; its CALIB_FIX_INTRINSIC and CALIB_USE_INTRINSIC_GUESS carry the values
// of calibrateCamera's, so a rig's stereo flags mean the same for both models. Without
// CALIB_FIX_INTRINSIC the intrinsics are solved again and written back. Returns the RMS in pixels;
// throws cv::Exception when OpenCV cannot solve the pair. The solver needs as many points in every
// frame: the frames go through equalCornerCounts first.
// cv::fisheye::stereoCalibrate reads every frame as holding the first frame's number of points.
// Of the frames of a pair (ChArUco frames share different numbers of corners), this keeps the count
// n that keeps the most points in all (n times the frames with at least n, the larger n on a tie),
// drops the frames with fewer and keeps n points of the others, spread evenly over their rows.
StereoPairPoints equalCornerCounts(const StereoPairPoints& points);

double fisheyeStereoCalibrate(const StereoPairPoints& points, cv::Mat& referenceMatrix, cv::Mat& referenceDistortion,
                              cv::Mat& otherMatrix, cv::Mat& otherDistortion, const cv::Size& imageSize,
                              cv::Mat& rotation, cv::Mat& translation, int flags, const cv::TermCriteria& criteria);

}  // namespace velk::calibration
