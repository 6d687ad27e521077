#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/detection/chessboard_grid_check.hpp"
#include "turned_board.hpp"

namespace {

using namespace velk::calibration;
using velk::test::turnedBoard;

constexpr int kSquare = 32;  // pixels

// The corner at (row, column) of the grid, one step beyond its edge extrapolated from the last two.
cv::Point2f extendedAt(const std::vector<cv::Point2f>& corners, cv::Size size, int row, int column) {
    const auto at = [&](int r, int c) { return corners[static_cast<size_t>(r * size.width + c)]; };
    if (column < 0 || column >= size.width) {
        const int edge = column < 0 ? 0 : size.width - 1;
        const int inside = column < 0 ? 1 : size.width - 2;
        return 2.f * at(row, edge) - at(row, inside);
    }
    if (row < 0 || row >= size.height) {
        const int edge = row < 0 ? 0 : size.height - 1;
        const int inside = row < 0 ? 1 : size.height - 2;
        return 2.f * at(edge, column) - at(inside, column);
    }
    return at(row, column);
}

// The grid moved one row of squares over, by (columns, rows): one of its outer lines then runs
// along the board's edge, between its outer squares and the sheet.
std::vector<cv::Point2f> movedOver(const std::vector<cv::Point2f>& corners, cv::Size size, int columns, int rows) {
    std::vector<cv::Point2f> out;
    for (int r = 0; r < size.height; ++r) {
        for (int c = 0; c < size.width; ++c) {
            out.push_back(extendedAt(corners, size, r + rows, c + columns));
        }
    }
    return out;
}

struct Turn {
    cv::Size size;
    double degrees;
};

class ChessboardGridCheck : public ::testing::TestWithParam<Turn> {
protected:
    void SetUp() override {
        grey = turnedBoard(GetParam().size, GetParam().degrees, kSquare);
        ASSERT_TRUE(cv::findChessboardCorners(grey, GetParam().size, corners));
    }
    cv::Mat grey;
    std::vector<cv::Point2f> corners;
};

TEST_P(ChessboardGridCheck, TheBoardsOwnCornersPass) {
    EXPECT_TRUE(outerLinesAreBoardCorners(grey, GetParam().size, corners));
}

TEST_P(ChessboardGridCheck, AGridMovedOneRowOfSquaresOverIsRefused) {
    const cv::Size size = GetParam().size;
    for (const cv::Point step : {cv::Point(1, 0), cv::Point(-1, 0), cv::Point(0, 1), cv::Point(0, -1)}) {
        EXPECT_FALSE(outerLinesAreBoardCorners(grey, size, movedOver(corners, size, step.x, step.y)))
            << "moved by " << step;
    }
}

// Glare washing out three of the four squares at the two middle corners of the first row and the two
// below them: those corners are no chessboard corners any more.
TEST_P(ChessboardGridCheck, GlareOverAFewCornersOfAnOuterRowLeavesTheGridOnTheBoard) {
    const cv::Size size = GetParam().size;
    const int c = size.width / 2 - 1;
    const cv::Point2f centre =
        0.25f * (corners[c] + corners[c + 1] + corners[size.width + c] + corners[size.width + c + 1]);
    cv::Mat glared = grey.clone();
    cv::circle(glared, cv::Point(cvRound(centre.x), cvRound(centre.y)), 5 * kSquare / 4, cv::Scalar(255), cv::FILLED);
    EXPECT_TRUE(outerLinesAreBoardCorners(glared, size, corners));
}

INSTANTIATE_TEST_SUITE_P(Turns, ChessboardGridCheck,
                         ::testing::Values(Turn{{9, 6}, 0.0}, Turn{{9, 6}, 35.0}, Turn{{9, 6}, 200.0},
                                           Turn{{8, 5}, 150.0}, Turn{{6, 9}, 290.0}));

}  // namespace
