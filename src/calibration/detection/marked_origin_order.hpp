#pragma once

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "targets/circle_grid_target.hpp"

namespace velk::calibration {

// Renumbers the centres of a symmetric grid with a marked origin, as the grid finder returned them
// (rows of size.width, in an order fixed only up to the grid's symmetry), into the target's own order
// (CircleGridTarget): the larger circle is found among the four corners by its imaged size against that
// of its two neighbours (blob sizes from `blobs`), and of the numberings that start from it the one is
// kept whose +x and +y axes turn the way a board seen from its printed face does. False, leaving
// `centres` as they are, when no corner circle is clearly the larger one.
bool orderFromOriginCircle(std::vector<cv::Point2f>& centres, const std::vector<cv::KeyPoint>& blobs,
                           const CircleGridTarget& target);

}  // namespace velk::calibration
