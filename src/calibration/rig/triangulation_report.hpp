#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// How well a calibrated rig reconstructs the ChArUco board of one synchronized frame.
struct TriangulationReport {
    int frame_index = 0;
    cv::Mat points_3d;                         // N x 3 CV_64F, reference-camera frame, metres
    cv::Mat ids;                               // N x 1 CV_32S chessboard-corner ids, ascending
    std::vector<double> neighbor_distances_m;  // per corner: right neighbour, then the one below
    double plane_thickness_m = 0.0;            // third singular value of the centred points
    std::vector<double> rms_per_camera;        // pixels; NaN without observations
    std::vector<int> counts_per_camera;
};

}  // namespace velk::calibration
