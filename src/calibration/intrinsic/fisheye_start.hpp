#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/intrinsic/fisheye_input.hpp"

namespace velk::calibration {

// Positions of the views cv::fisheye::calibrate can start from. It poses every view first with
// its starting camera (the guess when the flags say to use it, else its own: f = longer side / pi,
// the picture centre, no distortion) and throws for the whole batch when one view cannot be posed:
// too few corners, or corners whose rays under that start reach 90 degrees from the axis (the rim
// of lenses wider than about 160 degrees). Each view is tried alone with the start held fixed.
std::vector<int> fisheyeStartableViews(const FisheyeInput& input, const cv::Size& imageSize,
                                       const cv::Mat& intrinsicGuess, const cv::Mat& distortionGuess, int flags);

}  // namespace velk::calibration
