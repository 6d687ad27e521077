#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// What a camera must see of a target corner for a detector to find it.
struct VisibilityLimits {
    double margin_px = 10.0;             // inside the picture by at least this much
    double max_facing_angle_deg = 60.0;  // the board turned away from the camera by at most this
};

// Indices of the target corners (N x 3 object points) a camera at camera_T_target sees: in front
// of it, projected inside the picture with the margin, and only when the board faces the camera
// within the limit angle (the angle between the board's normal and the line of sight to the
// board's centre); none otherwise. Corners whose distortion-free projection falls far outside the
// picture are not seen, even where the distortion model would fold them back inside.
std::vector<int> visibleCorners(const cv::Mat& object_points, const cv::Mat& camera_T_target,
                                const cv::Mat& intrinsic_matrix, const cv::Mat& distortion, cv::Size image_size,
                                const VisibilityLimits& limits);

}  // namespace velk::calibration
