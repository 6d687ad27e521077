#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <opencv2/core.hpp>

#include "calibration/refinement/camera_block.hpp"
#include "calibration/refinement/pose_block.hpp"
#include "calibration/refinement/reprojection_cost.hpp"

namespace velk::calibration {

// Points of any layout or depth as a double matrix of one point per row.
cv::Mat asDoubleRows(const cv::Mat& points, int columns);

// A 4 x 4 double transform; identity for an empty one.
cv::Mat mountOrIdentity(const cv::Mat& mount);

// The cost of corner `row` of a view (object and image points as double rows) seen by `camera`.
ReprojectionCost cornerCost(const cv::Mat& objects, const cv::Mat& pixels, int row, const cv::Mat& mount,
                            const PoseBlock& camera_pose, const PoseBlock& target_pose, const CameraBlock& camera);

}  // namespace velk::calibration
