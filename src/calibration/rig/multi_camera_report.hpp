#pragma once

#include <string>
#include <vector>

#include "calibration/rig/multi_camera_result.hpp"
#include "calibration/rig/subset_result.hpp"
#include "calibration/rig/triangulation_report.hpp"

namespace velk::calibration {

// What the multi-camera report shows; the triangulation and subsets sections are optional.
struct MultiCameraReportInput {
    const MultiCameraResult& result;
    int num_cameras;
    double square_length_m;
    const TriangulationReport* triangulation;  // null: no validation section
    const std::vector<SubsetResult>& subsets;  // empty: no summary section
};

// The plain-text multi-camera report: intrinsics, extrinsics, validation and subset summary.
std::string formatMultiCameraReport(const MultiCameraReportInput& input);

}  // namespace velk::calibration
