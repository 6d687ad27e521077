#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// The square of the picture around a corner that cornerSubPix with a window of halfWindow can
// read while it refines that corner, cut to the picture. cornerSubPix keeps a corner within
// halfWindow of where it started and samples a window one pixel wider around it; a further
// halfWindow leaves room for iterations that stray before they are called back.
cv::Rect refinementPatch(cv::Point2f corner, int halfWindow, cv::Size pictureSize);

// cornerSubPix of every corner on the caller's full-resolution BGR (or BGRA) picture, each on a
// grey copy of its own patch only (a buffer kept per thread), so that no full-size grey copy
// is made. The window has the given half side; zeroZone < 0: none. The corners come out as
// cornerSubPix on the whole grey picture gives them, to within float rounding (the patch's
// coordinates are smaller numbers).
void refineCornersOnPatches(const cv::Mat& image, std::vector<cv::Point2f>& corners, int halfWindow, int zeroZone,
                            const cv::TermCriteria& criteria);

}  // namespace velk::calibration
