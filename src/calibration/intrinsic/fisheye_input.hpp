#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/detection/target_detections.hpp"

namespace velk::calibration {

// Detections in the layout cv::fisheye's solvers accept: per view N x 1 CV_64FC3 object
// points and N x 1 CV_64FC2 image points.
struct FisheyeInput {
    std::vector<cv::Mat> object_points;
    std::vector<cv::Mat> image_points;
};

FisheyeInput fisheyeInput(const std::vector<cv::Mat>& objectPoints, const std::vector<cv::Mat>& imagePoints);

// cv::fisheye::calibrate starts every view from a homography of its corners and asserts on a view
// of four corners; corners on (or nearly on) one line give it a wrong start that spoils the whole
// solution. Such views (fewer than six corners, or corners spread along one line only) are left
// out of `detections`; returns the input positions (successful_indices) of the views left out.
std::vector<int> dropViewsFisheyeCannotStart(TargetDetections& detections);

// The solver's stopping rule: the caller's iteration count, at least 100, and a relative step
// of machine precision. The caller's epsilon (made for corner refinement in pixels) would stop
// the fisheye solver, which measures the step relative to all intrinsics, a pixel early.
cv::TermCriteria fisheyeCriteria(const cv::TermCriteria& criteria);

}  // namespace velk::calibration
