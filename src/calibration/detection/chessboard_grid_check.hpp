#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// Whether a whole grid of corners (rows of size.width corners) lies on the board's own corners,
// judged by its outer rows and columns: the grid is refused when more than half the corners of one
// of them are no chessboard corners (isChessboardCorner). The sector-based search can give a grid
// moved one row of squares over, its outer row then running along the board's edge (a dark square
// against the white margin, which reads as a corner) and the board's last row of corners left out
// where uneven light darkens it; every corner of that outer row fails. Glare can wash out a few
// corners of a true grid, but not most of a row.
bool outerLinesAreBoardCorners(const cv::Mat& grey, cv::Size size, const std::vector<cv::Point2f>& corners);

}  // namespace velk::calibration
