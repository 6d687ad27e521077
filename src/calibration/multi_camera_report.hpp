#pragma once

#include <string>
#include <vector>

#include "calibration/multi_camera_result.hpp"
#include "calibration/subset_result.hpp"
#include "calibration/triangulation_report.hpp"

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
