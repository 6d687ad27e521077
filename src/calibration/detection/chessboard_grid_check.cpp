#include "calibration/detection/chessboard_grid_check.hpp"

#include <array>

#include "calibration/detection/chessboard_corner_shades.hpp"

namespace velk::calibration {
namespace {

// An outer row or column of the grid: its first corner's index, the step between its corners and
// their count.
struct Line {
    int first;
    int step;
    int count;
};

bool mostlyChessboardCorners(const std::vector<CornerShades>& shades, Line line) {
    int failing = 0;
    for (int k = 0; k < line.count; ++k) {
        if (!isChessboardCorner(shades[static_cast<size_t>(line.first + k * line.step)])) {
            ++failing;
        }
    }
    return 2 * failing <= line.count;
}

}  // namespace

bool outerLinesAreBoardCorners(const cv::Mat& grey, cv::Size size, const std::vector<cv::Point2f>& corners) {
    if (size.width < 2 || size.height < 2 || corners.size() != static_cast<size_t>(size.area())) {
        return false;
    }
    const std::vector<CornerShades> shades = cornerShades(grey, size, corners);
    const int w = size.width;
    const std::array<Line, 4> outerLines{
        {{0, 1, w}, {(size.height - 1) * w, 1, w}, {0, w, size.height}, {w - 1, w, size.height}}};
    for (const Line& line : outerLines) {
        if (!mostlyChessboardCorners(shades, line)) {
            return false;
        }
    }
    return true;
}

}  // namespace velk::calibration
