#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "targets/target_variant.hpp"

namespace velk::quality {

// Matching target points found in one image.
struct TargetPoints {
    cv::Mat image_points;   // N x 1 CV_32FC2
    cv::Mat object_points;  // N x 3 CV_32F
};

// Finds the target in a BGR or BGRA image with fixed detector settings (independent of
// any calibration options); nothing when the target or too few of its points are seen. A
// chessboard is searched with adaptive threshold and normalisation, and then by the sector-based
// search when that finds nothing.
std::optional<TargetPoints> detectBenchmarkTarget(const cv::Mat& image, const TargetVariant& target);

// detectBenchmarkTarget for each image, searched in parallel on OpenCV's thread pool; entry k
// belongs to image k.
std::vector<std::optional<TargetPoints>> detectBenchmarkTargets(const std::vector<cv::Mat>& images,
                                                                const TargetVariant& target);

// L2 norm of the image-point residuals over all points, divided by the point count
// (a per-point figure, not an RMS).
double pointReprojectionError(const TargetPoints& points, const cv::Mat& rotationVector, const cv::Mat& translation,
                              const cv::Mat& intrinsicMatrix, const cv::Mat& distortion);

}  // namespace velk::quality
