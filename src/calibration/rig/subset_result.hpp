#pragma once

#include <vector>

#include "calibration/rig/multi_camera_result.hpp"
#include "calibration/rig/triangulation_report.hpp"

namespace velk::calibration {

// A sub-rig calibrated on its own; its result is indexed by position in `subset`, reference subset[0].
struct SubsetResult {
    std::vector<int> subset;  // camera indices in the full rig, ascending
    MultiCameraResult result;
    bool has_triangulation = false;
    TriangulationReport triangulation;
};

}  // namespace velk::calibration
