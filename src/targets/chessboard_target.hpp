#pragma once

#include <opencv2/core.hpp>

namespace velk {

// A plain chessboard, described by its inner-corner grid.
struct ChessboardTarget {
    cv::Size size;             // width = inner corners per row (cols), height = per column (rows)
    double square_size = 0.0;  // metres

    ChessboardTarget() = default;
    ChessboardTarget(cv::Size size, double square_size) : size(size), square_size(square_size) {}

    // Inner-corner coordinates in the board frame, (rows * cols) x 3 CV_32F, x running along a row first.
    cv::Mat objectPoints() const;
};

}  // namespace velk
