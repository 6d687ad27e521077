#include "calibration/detection/chessboard_orientation.hpp"

#include <array>

#include <opencv2/imgproc.hpp>

namespace velk::calibration {
namespace {

// Side of the patch averaged where the shade of a square is read.
constexpr int kShadePatchSide = 3;

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

double shadeAt(const cv::Mat& grey, cv::Point2f point) {
    cv::Mat patch;
    cv::getRectSubPix(grey, cv::Size(kShadePatchSide, kShadePatchSide), point, patch, CV_32F);
    return cv::mean(patch)[0];
}

// Whether the outer square at the first corner is dark: it and the square diagonally opposite
// across the corner are darker than the other two squares that meet there.
bool firstCornerTouchesDarkSquare(const cv::Mat& grey, const std::vector<cv::Point2f>& corners, cv::Size size) {
    const cv::Point2f p0 = corners[0];
    const cv::Point2f along = corners[1] - p0;
    const cv::Point2f across = corners[static_cast<size_t>(size.width)] - p0;
    const cv::Point2f diagonal = 0.5f * (along + across);
    const cv::Point2f antiDiagonal = 0.5f * (along - across);
    const double diagonalShade = shadeAt(grey, p0 - diagonal) + shadeAt(grey, p0 + diagonal);
    const double otherShade = shadeAt(grey, p0 - antiDiagonal) + shadeAt(grey, p0 + antiDiagonal);
    return diagonalShade < otherShade;
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
