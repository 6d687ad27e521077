#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// The shades of the four squares that meet at a corner of a chessboard grid, each read at the
// square's centre. Seen along the grid, with `along` the step to the next corner of the row and
// `across` the step to the next row: the diagonal squares lie at -(along + across) / 2 and
// +(along + across) / 2 from the corner, the other two at -(along - across) / 2 and
// +(along - across) / 2.
struct CornerShades {
    double diagonal[2];
    double antiDiagonal[2];
};

// The shades at every corner of a whole grid (rows of size.width corners), in the corners' order.
// A square's shade is the mean of a patch a quarter of the corner spacing across (at least 3 px),
// so that sensor noise and a few saturated pixels weigh little.
std::vector<CornerShades> cornerShades(const cv::Mat& grey, cv::Size size, const std::vector<cv::Point2f>& corners);

// Whether the four squares at a corner make a chessboard corner: each pair of diagonally opposite
// squares alike (their difference at most half the difference between the pairs). Where a grid
// runs along the board's edge, a row of squares off the board, one pair is a dark and a light
// square and the test fails; in glare that washes all four out it can fail too.
bool isChessboardCorner(const CornerShades& shades);

// The difference between the diagonal and the other squares at a corner: negative where the
// diagonal squares are the darker ones.
double diagonalContrast(const CornerShades& shades);

}  // namespace velk::calibration
