#include "calibration/detection/chessboard_corner_shades.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace velk::calibration {
namespace {

// The patch a square's shade is read from reaches this share of the corner spacing.
constexpr double kPatchFraction = 0.25;
constexpr int kMinimumPatchSide = 3;

cv::Point2f cornerAt(const std::vector<cv::Point2f>& corners, cv::Size size, int row, int column) {
    return corners[static_cast<size_t>(row * size.width + column)];
}

// The step to the next corner along a row (or down a column) at index k of n: the mean of both
// neighbours inside the grid, the one neighbour at its ends.
template <typename At>
cv::Point2f stepAt(int k, int n, At at) {
    const int before = std::max(k - 1, 0);
    const int after = std::min(k + 1, n - 1);
    return (at(after) - at(before)) / static_cast<float>(after - before);
}

double shadeAt(const cv::Mat& grey, cv::Point2f point, int side) {
    cv::Mat patch;
    cv::getRectSubPix(grey, cv::Size(side, side), point, patch, CV_32F);
    return cv::mean(patch)[0];
}

}  // namespace

std::vector<CornerShades> cornerShades(const cv::Mat& grey, cv::Size size, const std::vector<cv::Point2f>& corners) {
    std::vector<CornerShades> shades;
    shades.reserve(corners.size());
    for (int r = 0; r < size.height; ++r) {
        for (int c = 0; c < size.width; ++c) {
            const cv::Point2f along = stepAt(c, size.width, [&](int k) { return cornerAt(corners, size, r, k); });
            const cv::Point2f across = stepAt(r, size.height, [&](int k) { return cornerAt(corners, size, k, c); });
            const double spacing = std::min(std::hypot(along.x, along.y), std::hypot(across.x, across.y));
            const int side = std::max(kMinimumPatchSide, static_cast<int>(kPatchFraction * spacing));
            const cv::Point2f p = cornerAt(corners, size, r, c);
            const cv::Point2f diagonal = 0.5f * (along + across);
            const cv::Point2f antiDiagonal = 0.5f * (along - across);
            shades.push_back({{shadeAt(grey, p - diagonal, side), shadeAt(grey, p + diagonal, side)},
                              {shadeAt(grey, p - antiDiagonal, side), shadeAt(grey, p + antiDiagonal, side)}});
        }
    }
    return shades;
}

double diagonalContrast(const CornerShades& shades) {
    return (shades.diagonal[0] + shades.diagonal[1]) - (shades.antiDiagonal[0] + shades.antiDiagonal[1]);
}

bool isChessboardCorner(const CornerShades& shades) {
    const double unlike = std::max(std::abs(shades.diagonal[0] - shades.diagonal[1]),
                                   std::abs(shades.antiDiagonal[0] - shades.antiDiagonal[1]));
    return unlike <= 0.5 * std::abs(diagonalContrast(shades));
}

}  // namespace velk::calibration
