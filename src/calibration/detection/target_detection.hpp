#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "calibration/detection/intrinsic_options.hpp"
#include "calibration/detection/parallel_detection.hpp"
#include "calibration/detection/target_detections.hpp"
#include "targets/target_variant.hpp"

namespace velk::calibration {

// Whether detection draws what it found on a copy of each image (annotated_images). Callers that
// only need the points skip the drawing; annotated_images then stays empty.
enum class Annotation { Draw, Skip };

// Finds the target in each image; images without enough points are skipped with a warning.
// The images are searched in parallel on OpenCV's thread pool; results and warnings come in
// image order, as from a sequential search, and options.progress_callback hears of progress
// on the calling thread. Pictures larger than options.detection_max_side are searched on a reduced
// copy and refined at full resolution; smaller ones are searched as they are.
TargetDetections detectTarget(const std::vector<cv::Mat>& images, const TargetVariant& target,
                              const IntrinsicOptions& options, Annotation annotation = Annotation::Draw);

TargetDetections detectChessboard(const std::vector<cv::Mat>& images, const ChessboardTarget& target,
                                  const IntrinsicOptions& options, Annotation annotation = Annotation::Draw);
TargetDetections detectCharuco(const std::vector<cv::Mat>& images, const CharucoTarget& target,
                               const IntrinsicOptions& options, Annotation annotation = Annotation::Draw);
TargetDetections detectArucoGrid(const std::vector<cv::Mat>& images, const ArucoTarget& target,
                                 const IntrinsicOptions& options, Annotation annotation = Annotation::Draw);
TargetDetections detectCircleGrid(const std::vector<cv::Mat>& images, const CircleGridTarget& target,
                                  const IntrinsicOptions& options, Annotation annotation = Annotation::Draw);

// Refines detected marker corners (4 per marker, as detectArucoGrid gives them; N x 1 CV_32FC2)
// to sub-pixel on the full-resolution grey picture, with a window held within the marker's
// border module.
void refineMarkerCorners(const cv::Mat& grey, cv::Mat& imagePoints, int markerBits, const cv::TermCriteria& criteria);

// Centres of the circle grid in one grey picture, in object-point order; false when the whole
// grid was not found.
bool findCircleCentres(const cv::Mat& grey, const CircleGridTarget& target, std::vector<cv::Point2f>& centres);

// BGR (or BGRA) to one-channel grey, as every detector sees its input.
cv::Mat toGrey(const cv::Mat& image);

// Board-frame position of each detected ChArUco corner id, in detection order.
std::vector<cv::Point3f> charucoObjectPoints(const std::vector<cv::Point3f>& boardCorners, const std::vector<int>& ids);

}  // namespace velk::calibration
