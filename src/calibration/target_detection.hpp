#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/intrinsic_options.hpp"
#include "calibration/target_detections.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// Finds the target in each image; images without enough points are skipped with a warning.
TargetDetections detectTarget(const std::vector<cv::Mat>& images, const TargetVariant& target,
                              const IntrinsicOptions& options);

TargetDetections detectChessboard(const std::vector<cv::Mat>& images, const ChessboardTarget& target,
                                  const IntrinsicOptions& options);
TargetDetections detectCharuco(const std::vector<cv::Mat>& images, const CharucoTarget& target);
TargetDetections detectArucoGrid(const std::vector<cv::Mat>& images, const ArucoTarget& target);

// BGR (or BGRA) to one-channel grey, as every detector sees its input.
cv::Mat toGrey(const cv::Mat& image);

// Board-frame position of each detected ChArUco corner id, in detection order.
std::vector<cv::Point3f> charucoObjectPoints(const std::vector<cv::Point3f>& boardCorners, const std::vector<int>& ids);

}  // namespace velk::calibration
