#include "targets/circle_grid_target.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "targets/target_checks.hpp"

namespace velk {
namespace {

const char* const kOwner = "CircleGridTarget";

void requireCircleCounts(const cv::Size& size) {
    if (size.width < kMinimumCirclesPerSide || size.height < kMinimumCirclesPerSide) {
        throw std::invalid_argument(std::string(kOwner) + ": size must count at least " +
                                    std::to_string(kMinimumCirclesPerSide) + " circles per side, got " +
                                    gridText(size));
    }
    if (size.width > kMaxCirclesPerSide || size.height > kMaxCirclesPerSide) {
        throw std::invalid_argument(std::string(kOwner) + ": size must count at most " +
                                    std::to_string(kMaxCirclesPerSide) + " circles per side, got " + gridText(size));
    }
}

void requireUsableOriginCircle(const CircleGridTarget& target) {
    const double diameter = target.origin_circle_diameter;
    requireBoardLength(kOwner, "origin_circle_diameter", diameter);
    if (target.asymmetric) {
        throw std::invalid_argument(std::string(kOwner) +
                                    ": origin_circle_diameter marks the origin of a symmetric grid; an asymmetric "
                                    "grid has no second circle size");
    }
    if (diameter <= target.circle_diameter) {
        throw std::invalid_argument(std::string(kOwner) + ": origin_circle_diameter " + lengthText(diameter) +
                                    " must be larger than circle_diameter (" + lengthText(target.circle_diameter) +
                                    ")");
    }
    if ((diameter + target.circle_diameter) / 2.0 >= target.spacing) {
        throw std::invalid_argument(std::string(kOwner) + ": origin_circle_diameter " + lengthText(diameter) +
                                    " makes the origin circle touch its neighbours (spacing " +
                                    lengthText(target.spacing) + ")");
    }
}

}  // namespace

void CircleGridTarget::validate() const {
    requireCircleCounts(size);
    requireBoardLength(kOwner, "spacing", spacing);
    requireBoardLength(kOwner, "circle_diameter", circle_diameter);
    if (circle_diameter >= nearestCentreDistance()) {
        throw std::invalid_argument(std::string(kOwner) + ": circle_diameter " + lengthText(circle_diameter) +
                                    " must be smaller than the distance between neighbouring centres (" +
                                    lengthText(nearestCentreDistance()) + ")");
    }
    if (marksOrigin()) {
        requireUsableOriginCircle(*this);
    }
}

double CircleGridTarget::nearestCentreDistance() const {
    return asymmetric ? spacing * std::sqrt(2.0) : spacing;
}

cv::Mat CircleGridTarget::objectPoints() const {
    const int cols = size.width;
    const int rows = size.height;
    if (rows <= 0 || cols <= 0) {
        return cv::Mat();
    }
    requireCircleCounts(size);
    cv::Mat points = cv::Mat::zeros(rows * cols, 3, CV_32F);
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            auto* point = points.ptr<float>(i * cols + j);
            const int column = asymmetric ? 2 * j + i % 2 : j;
            const int up = marksOrigin() ? rows - 1 - i : i;
            point[0] = static_cast<float>(column * spacing);
            point[1] = static_cast<float>(up * spacing);
        }
    }
    return points;
}

}  // namespace velk
