#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// Puts the corners of a whole chessboard (rows of size.width corners, as both OpenCV searches give
// them) in the order the quad-based search (findChessboardCorners) gives: seen in the picture, the
// first row turns to the second clockwise, and the first corner touches the dark outer square of
// its board corner. The sector-based search can give the same board in another of the four row
// orders. On a board whose two sides have corner counts of different parity this order is unique;
// on the others the quad search itself can start at either of two opposite corners, and the order
// given is kept where it already turns clockwise.
void orientLikeQuadSearch(const cv::Mat& grey, cv::Size size, std::vector<cv::Point2f>& corners);

}  // namespace velk::calibration
