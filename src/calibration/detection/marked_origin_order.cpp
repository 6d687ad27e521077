#include "calibration/detection/marked_origin_order.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace velk::calibration {
namespace {

// Position in the finder's list of the circle at (row, column) of the finder's own rows.
struct FinderGrid {
    int rows;
    int cols;
    int index(int row, int col) const { return row * cols + col; }
};

// One way of laying the target's rows and columns onto the finder's: rows and columns swapped (square
// grids only), then either reversed.
struct Numbering {
    bool swap;
    bool reverse_rows;
    bool reverse_cols;
};

// Finder position of the target's circle in row `row` from the top and column `col` from the left.
int finderIndex(const FinderGrid& grid, const Numbering& numbering, int row, int col) {
    const int r = numbering.reverse_rows ? grid.rows - 1 - row : row;
    const int c = numbering.reverse_cols ? grid.cols - 1 - col : col;
    return numbering.swap ? grid.index(c, r) : grid.index(r, c);
}

// Diameter of the blob whose centre lies nearest `point`.
double blobSizeAt(const std::vector<cv::KeyPoint>& blobs, const cv::Point2f& point) {
    double nearest = std::numeric_limits<double>::infinity();
    double size = 0.0;
    for (const cv::KeyPoint& blob : blobs) {
        const double distance = cv::norm(blob.pt - point);
        if (distance < nearest) {
            nearest = distance;
            size = blob.size;
        }
    }
    return size;
}

// A corner circle's imaged size over the mean of its two neighbours along the grid's edges; the
// neighbours are about as far from the camera, so perspective hardly changes the ratio.
double cornerSizeRatio(const std::vector<cv::Point2f>& centres, const std::vector<cv::KeyPoint>& blobs,
                       const FinderGrid& grid, int row, int col) {
    const int next_row = row == 0 ? 1 : row - 1;
    const int next_col = col == 0 ? 1 : col - 1;
    const double neighbours = (blobSizeAt(blobs, centres[grid.index(next_row, col)]) +
                               blobSizeAt(blobs, centres[grid.index(row, next_col)])) /
                              2.0;
    return neighbours > 0.0 ? blobSizeAt(blobs, centres[grid.index(row, col)]) / neighbours : 0.0;
}

// Finder position of the corner holding the larger circle, or -1 when not exactly one corner's circle is
// larger than its neighbours by more than the geometric mean of 1 and the printed ratio.
int originCorner(const std::vector<cv::Point2f>& centres, const std::vector<cv::KeyPoint>& blobs,
                 const FinderGrid& grid, const CircleGridTarget& target) {
    const double threshold = std::sqrt(target.origin_circle_diameter / target.circle_diameter);
    int found = -1;
    for (int row : {0, grid.rows - 1}) {
        for (int col : {0, grid.cols - 1}) {
            if (cornerSizeRatio(centres, blobs, grid, row, col) > threshold) {
                if (found >= 0) {
                    return -1;
                }
                found = grid.index(row, col);
            }
        }
    }
    return found;
}

// Seen from the printed face, +x turns towards +y clockwise in the picture (whose y axis points down).
bool turnsLikeThePrintedFace(const std::vector<cv::Point2f>& centres, const FinderGrid& grid,
                             const Numbering& numbering) {
    const cv::Point2f origin = centres[finderIndex(grid, numbering, grid.rows - 1, 0)];
    const cv::Point2f x_end = centres[finderIndex(grid, numbering, grid.rows - 1, grid.cols - 1)];
    const cv::Point2f y_end = centres[finderIndex(grid, numbering, 0, 0)];
    return (x_end - origin).cross(y_end - origin) < 0.0f;
}

}  // namespace

bool orderFromOriginCircle(std::vector<cv::Point2f>& centres, const std::vector<cv::KeyPoint>& blobs,
                           const CircleGridTarget& target) {
    const FinderGrid grid{target.size.height, target.size.width};
    const int origin = originCorner(centres, blobs, grid, target);
    if (origin < 0) {
        return false;
    }
    const bool square = grid.rows == grid.cols;
    for (bool swap : {false, true}) {
        if (swap && !square) {
            continue;
        }
        for (bool reverse_rows : {false, true}) {
            for (bool reverse_cols : {false, true}) {
                const Numbering numbering{swap, reverse_rows, reverse_cols};
                if (finderIndex(grid, numbering, grid.rows - 1, 0) != origin ||
                    !turnsLikeThePrintedFace(centres, grid, numbering)) {
                    continue;
                }
                std::vector<cv::Point2f> ordered(centres.size());
                for (int row = 0; row < grid.rows; ++row) {
                    for (int col = 0; col < grid.cols; ++col) {
                        ordered[grid.index(row, col)] = centres[finderIndex(grid, numbering, row, col)];
                    }
                }
                centres = std::move(ordered);
                return true;
            }
        }
    }
    return false;
}

}  // namespace velk::calibration
