#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// A diagnostic of pose data (namespace quality), kept on the geometry floor because
// the hand-eye report of the calibration floor embeds its verdict.
namespace velk::quality {

// How the rotations between consecutive captured poses spread over the three axes.
struct RotationVarietyStats {
    int num_motions = 0;
    std::array<double, 3> singular_values{};  // of the stacked rotation vectors, descending
    double axis_span_ratio = 0.0;             // smallest over largest singular value
    double angle_mean_deg = 0.0;
    double angle_max_deg = 0.0;
};

// Nothing when fewer than three motions rotate by more than min_rotation_deg.
std::optional<RotationVarietyStats> analyze_rotation_variety(const std::vector<cv::Mat>& camera_T_target_list,
                                                             double min_rotation_deg);

std::string format_rotation_variety(const std::optional<RotationVarietyStats>& stats);

}  // namespace velk::quality
