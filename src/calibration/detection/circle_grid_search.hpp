#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "targets/circle_grid_target.hpp"

namespace velk::calibration {

// What the search for a circle grid in one grey picture gave: the centres in object-point order and
// the polarity of the circles found (Dark or Light), or, when not found, what was missing.
struct CircleGridSearch {
    bool found = false;
    std::vector<cv::Point2f> centres;
    CirclePolarity polarity = CirclePolarity::Dark;
    std::string missing;  // "Circle grid not found", ...
};

// Looks for the grid's circles of the target's polarity (dark ones first, then light ones, for
// CirclePolarity::Either) and orders them as the target numbers its points; a grid with a marked
// origin is numbered from its larger circle.
CircleGridSearch searchCircleGrid(const cv::Mat& grey, const CircleGridTarget& target);

}  // namespace velk::calibration
