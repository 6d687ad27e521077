#pragma once

#include <opencv2/core.hpp>

#include "targets/circle_polarity.hpp"

namespace velk {

// Fewest circles per side of a circle grid: the grid finder needs three to tell rows from columns.
constexpr int kMinimumCirclesPerSide = 3;
// Most circles per side; larger grids are refused before their object points are allocated.
constexpr int kMaxCirclesPerSide = 1000;

// A grid of circles, dark on a light ground or light on a dark one (polarity); the circle centres are
// the calibration points. size = (circles per row, rows). Symmetric: circle (row i, column j) at
// (j * spacing, i * spacing). Asymmetric: every other row is shifted by one spacing, circle (i, j) at
// ((2 j + i % 2) * spacing, i * spacing), so neighbours in a row are two spacings apart.
//
// A symmetric grid looks the same turned half a turn (a square one a quarter turn too), so its points
// are numbered from whichever end the grid finder starts. A grid with a marked origin has one larger
// circle (origin_circle_diameter) in the corner that is bottom left as printed, and fixes its frame
// from it: that circle's centre is the origin, +x runs along the bottom row to the right, +y up the
// page, +z out of the page towards the viewer; the points are numbered like text, left to right in each
// row and the rows from the top, so circle (row i from the top, column j) is point i * cols + j at
// (j * spacing, (rows - 1 - i) * spacing).
struct CircleGridTarget {
    cv::Size size;
    double spacing = 0.0;  // metres
    bool asymmetric = false;
    double circle_diameter = 0.0;  // metres
    CirclePolarity polarity = CirclePolarity::Either;
    double origin_circle_diameter = 0.0;  // metres; 0 for a grid without a marked origin

    CircleGridTarget() = default;
    // A circle_diameter that is not given (0 or less) is half the spacing.
    CircleGridTarget(cv::Size size, double spacing, bool asymmetric = false, double circle_diameter = 0.0,
                     CirclePolarity polarity = CirclePolarity::Either, double origin_circle_diameter = 0.0)
        : size(size),
          spacing(spacing),
          asymmetric(asymmetric),
          circle_diameter(circle_diameter > 0.0 ? circle_diameter : spacing / 2.0),
          polarity(polarity),
          origin_circle_diameter(origin_circle_diameter) {}

    // Throws std::invalid_argument naming the first field that makes the grid unusable: fewer
    // than 3 or more than 1000 circles per side, a length that is not positive, circles that
    // touch their nearest neighbours, an origin circle on an asymmetric grid, one not larger than
    // the others or one that touches its neighbours.
    void validate() const;

    // True for a grid whose origin is marked by a larger circle.
    bool marksOrigin() const { return origin_circle_diameter != 0.0; }

    // Circle-centre coordinates in the board frame, (rows * cols) x 3 CV_32F, in the order
    // detection returns them; empty for a size without circles.
    cv::Mat objectPoints() const;

    // Distance between the centres of the closest two circles, metres.
    double nearestCentreDistance() const;
};

}  // namespace velk
