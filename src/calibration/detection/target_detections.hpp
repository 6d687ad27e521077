#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// Detections of one batch of images; entry k of every list belongs to the same
// successful image. point_ids is filled for ChArUco targets only, found_by for chessboards only.
struct TargetDetections {
    std::vector<int> successful_indices;  // positions in the input list, ascending
    std::vector<cv::Mat> image_points;    // N x 1 CV_32FC2
    std::vector<cv::Mat> object_points;   // N x 3 CV_32F
    std::vector<cv::Mat> point_ids;       // N x 1 CV_32S
    // How each successful image's target was found, for the kinds that have more than one way
    // (empty for the others); one entry per successful image when filled. Chessboards: the search,
    // "plain" (chessboard_flags as given, or the Sector Based detector when chosen), "adaptive" or
    // "sector" (see chessboardSearches); ChArUco and ArUco boards: "plain" or "wider".
    std::vector<std::string> found_by;
    std::vector<cv::Mat> annotated_images;
    // The images in which the target was not found: their positions in the input list, ascending, and
    // what was missing ("Chessboard not found", "Not enough ChArUco corners", ...).
    std::vector<int> skipped_indices;
    std::vector<std::string> skipped_reasons;
};

}  // namespace velk::calibration
