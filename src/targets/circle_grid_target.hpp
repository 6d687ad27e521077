#pragma once

#include <opencv2/core.hpp>

namespace velk {

// Fewest circles per side of a circle grid: the grid finder needs three to tell rows from columns.
constexpr int kMinimumCirclesPerSide = 3;
// Most circles per side; larger grids are refused before their object points are allocated.
constexpr int kMaxCirclesPerSide = 1000;

// A grid of black circles on white paper; the circle centres are the calibration points.
// size = (circles per row, rows). Symmetric: circle (row i, column j) at (j * spacing, i * spacing).
// Asymmetric: every other row is shifted by one spacing, circle (i, j) at ((2 j + i % 2) * spacing,
// i * spacing), so neighbours in a row are two spacings apart.
struct CircleGridTarget {
    cv::Size size;
    double spacing = 0.0;  // metres
    bool asymmetric = false;
    double circle_diameter = 0.0;  // metres

    CircleGridTarget() = default;
    // A circle_diameter that is not given (0 or less) is half the spacing.
    CircleGridTarget(cv::Size size, double spacing, bool asymmetric = false, double circle_diameter = 0.0)
        : size(size),
          spacing(spacing),
          asymmetric(asymmetric),
          circle_diameter(circle_diameter > 0.0 ? circle_diameter : spacing / 2.0) {}

    // Throws std::invalid_argument naming the first field that makes the grid unusable: fewer
    // than 3 or more than 1000 circles per side, a length that is not positive, circles that
    // touch their nearest neighbours.
    void validate() const;

    // Circle-centre coordinates in the board frame, (rows * cols) x 3 CV_32F, in the order
    // the grid finder returns them; empty for a size without circles.
    cv::Mat objectPoints() const;

    // Distance between the centres of the closest two circles, metres.
    double nearestCentreDistance() const;
};

}  // namespace velk
