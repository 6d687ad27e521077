#include "calibration/detection/chessboard_orientation.hpp"

#include <array>

#include "calibration/detection/chessboard_corner_shades.hpp"

namespace velk::calibration {
namespace {

struct RowOrder {
    bool reverseRows;
    bool reverseColumns;
};

// The four orders that keep rows of size.width corners; the first keeps the order given.
constexpr std::array<RowOrder, 4> kRowOrders{{{false, false}, {true, true}, {true, false}, {false, true}}};

std::vector<cv::Point2f> reordered(const std::vector<cv::Point2f>& corners, cv::Size size, RowOrder order) {
    std::vector<cv::Point2f> out(corners.size());
    for (int r = 0; r < size.height; ++r) {
        const int from = order.reverseRows ? size.height - 1 - r : r;
        for (int c = 0; c < size.width; ++c) {
            const int column = order.reverseColumns ? size.width - 1 - c : c;
            out[static_cast<size_t>(r * size.width + c)] = corners[static_cast<size_t>(from * size.width + column)];
        }
    }
    return out;
}

// Whether the path from the first corner along the first row and on to the second row turns
// clockwise in the picture (the quad search's test, y pointing down).
bool turnsClockwise(const std::vector<cv::Point2f>& corners, cv::Size size) {
    const cv::Point2f p0 = corners[0];
    const cv::Point2f p1 = corners[static_cast<size_t>(size.width - 1)];
    const cv::Point2f p2 = corners[static_cast<size_t>(size.width)];
    return (p1.x - p0.x) * (p2.y - p1.y) - (p1.y - p0.y) * (p2.x - p1.x) >= 0;
}

// Whether the outer square at the first corner is dark, by the vote of every corner: the diagonal
// squares at corner (row, column) have that square's colour when row + column is even and the
// other colour when it is odd, so their contrast to the other two squares, its sign turned at odd
// corners, sums to a negative number when it is dark. A few corners under glare or deep in noise
// do not turn the sum, where they would turn the reading of the first corner alone.
bool firstCornerTouchesDarkSquare(const cv::Mat& grey, const std::vector<cv::Point2f>& corners, cv::Size size) {
    const std::vector<CornerShades> shades = cornerShades(grey, size, corners);
    double vote = 0.0;
    for (int r = 0; r < size.height; ++r) {
        for (int c = 0; c < size.width; ++c) {
            const double contrast = diagonalContrast(shades[static_cast<size_t>(r * size.width + c)]);
            vote += (r + c) % 2 == 0 ? contrast : -contrast;
        }
    }
    return vote < 0.0;
}

}  // namespace

void orientLikeQuadSearch(const cv::Mat& grey, cv::Size size, std::vector<cv::Point2f>& corners) {
    if (size.width < 2 || size.height < 2 || corners.size() != static_cast<size_t>(size.area())) {
        return;
    }
    const std::vector<cv::Point2f> given = corners;
    bool clockwiseSeen = false;
    for (const RowOrder order : kRowOrders) {
        std::vector<cv::Point2f> candidate = reordered(given, size, order);
        if (!turnsClockwise(candidate, size)) {
            continue;
        }
        if (!clockwiseSeen) {
            corners = candidate;
            clockwiseSeen = true;
        }
        if (firstCornerTouchesDarkSquare(grey, candidate, size)) {
            corners = std::move(candidate);
            return;
        }
    }
}

}  // namespace velk::calibration
