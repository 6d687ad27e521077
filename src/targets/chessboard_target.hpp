#pragma once

#include <opencv2/core.hpp>

namespace velk {

// Most inner corners per side of a chessboard; larger boards are refused before
// their object points are allocated.
constexpr int kMaxChessboardCornersPerSide = 1000;

// A plain chessboard, described by its inner-corner grid.
struct ChessboardTarget {
    cv::Size size;             // width = inner corners per row (cols), height = per column (rows)
    double square_size = 0.0;  // metres

    ChessboardTarget() = default;
    ChessboardTarget(cv::Size size, double square_size) : size(size), square_size(square_size) {}

    // Throws std::invalid_argument naming the first field that makes the board unusable:
    // a non-positive or oversized corner count, a square size that is not a positive length.
    void validate() const;

    // Inner-corner coordinates in the board frame, (rows * cols) x 3 CV_32F, x running along a row first;
    // empty for a size without corners. Refuses sizes over the per-side limit.
    cv::Mat objectPoints() const;
};

}  // namespace velk
