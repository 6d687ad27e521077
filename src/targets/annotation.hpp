#pragma once

#include <functional>

#include <opencv2/core.hpp>

namespace velk {

// A deep copy of the image with `draw` applied to it. OpenCV's marker drawing
// accepts only 1- or 3-channel images, so a 4-channel (BGRA) image is drawn on
// as BGR and gets its own alpha channel back unchanged.
cv::Mat annotatedCopy(const cv::Mat& image, const std::function<void(cv::Mat&)>& draw);

}  // namespace velk
