#pragma once

#include <optional>
#include <set>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/detection/intrinsic_options.hpp"
#include "calibration/detection/target_detections.hpp"
#include "calibration/rig/multi_camera_result.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// What one camera of a rig brings to its stereo pairs.
struct RigCameraView {
    TargetDetections detections;
    // Frames whose intrinsic per-view error passed the threshold; absent: every detected frame counts.
    std::optional<std::set<int>> low_error_frames;
};

// Calibrates every camera on its own images and stores intrinsics and errors in `result`.
// Throws std::runtime_error naming the first camera whose calibration fails.
std::vector<RigCameraView> calibrateRigIntrinsics(const std::vector<std::vector<cv::Mat>>& image_lists,
                                                  const TargetVariant& target, const IntrinsicOptions& options,
                                                  MultiCameraResult& result);

// Detection only, for intrinsics the caller supplies; no frame filter applies.
std::vector<RigCameraView> detectRigTargets(const std::vector<std::vector<cv::Mat>>& image_lists,
                                            const TargetVariant& target, const IntrinsicOptions& options);

}  // namespace velk::calibration
