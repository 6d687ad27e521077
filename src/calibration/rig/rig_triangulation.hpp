#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/rig/multi_camera_result.hpp"
#include "calibration/rig/triangulation_report.hpp"
#include "targets/charuco_target.hpp"

namespace velk::calibration {

// The ChArUco corners one camera found in one picture, in detection order.
struct CameraCorners {
    std::vector<cv::Point2f> corners;
    std::vector<int> ids;
};

// Detects the board's chessboard corners in a BGR picture with a fresh detector of the target.
CameraCorners detectCharucoCorners(const CharucoTarget& target, const cv::Mat& image);

// Triangulates the corners seen by two or more cameras of a calibrated rig in one synchronized frame
// (cameras[k] = what camera k found; fewer than 4 corners count as a failed detection) and compares
// them with the board geometry. Every entry of rig.reference_T_camera_list must be set.
TriangulationReport triangulateCharucoCorners(const CharucoTarget& target, const MultiCameraResult& rig,
                                              const std::vector<CameraCorners>& cameras, int frame_index);

}  // namespace velk::calibration
