#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/multi_camera_result.hpp"
#include "calibration/triangulation_report.hpp"
#include "targets/charuco_target.hpp"

namespace velk::calibration {

// Triangulates the ChArUco corners seen by two or more cameras of a calibrated rig in one
// synchronized frame (images[k] = camera k's picture) and compares them with the board geometry.
// Every entry of rig.reference_T_camera_list must be set.
TriangulationReport triangulateCharucoFrame(const CharucoTarget& target, const MultiCameraResult& rig,
                                            const std::vector<cv::Mat>& images, int frame_index);

}  // namespace velk::calibration
