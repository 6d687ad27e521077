#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/rig/rig_intrinsics.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// Matching target points of one stereo pair, one entry per frame; row j of the three lists is one point.
struct StereoPairPoints {
    std::vector<cv::Mat> object_points;     // N x 3 CV_32F
    std::vector<cv::Mat> reference_points;  // N x 1 CV_32FC2
    std::vector<cv::Mat> other_points;      // N x 1 CV_32FC2
};

// Frames detected in both cameras, ascending, narrowed by each camera's low-error frames.
// `detectedInBoth` receives the count before that narrowing.
std::vector<int> sharedFrames(const RigCameraView& reference, const RigCameraView& other, size_t& detectedInBoth);

// Pairs the points of each shared frame: ChArUco corners by id (frames with fewer than 15 common
// corners are dropped), other targets by position when both cameras saw as many points.
StereoPairPoints intersectPairCorners(const std::vector<int>& frames, const RigCameraView& reference,
                                      const RigCameraView& other, const TargetVariant& target, int referenceIndex,
                                      int otherIndex);

}  // namespace velk::calibration
