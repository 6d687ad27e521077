#include <algorithm>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/detection/chessboard_orientation.hpp"
#include "calibration/detection/chessboard_searches.hpp"
#include "turned_board.hpp"

namespace {

using namespace velk::calibration;
using velk::test::reversed;
using velk::test::turnedBoard;

float largestDistance(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
    float largest = 0.f;
    for (size_t k = 0; k < a.size(); ++k) {
        largest = std::max(largest, static_cast<float>(cv::norm(a[k] - b[k])));
    }
    return largest;
}

struct Turn {
    cv::Size size;
    double degrees;
};

class ChessboardOrientation : public ::testing::TestWithParam<Turn> {};

TEST_P(ChessboardOrientation, EveryRowOrderIsPutBackInTheQuadSearchOrder) {
    const Turn t = GetParam();
    const cv::Mat grey = turnedBoard(t.size, t.degrees);
    std::vector<cv::Point2f> plain;
    ASSERT_TRUE(cv::findChessboardCorners(grey, t.size, plain));
    for (bool rows : {false, true}) {
        for (bool columns : {false, true}) {
            std::vector<cv::Point2f> corners = reversed(plain, t.size, rows, columns);
            orientLikeQuadSearch(grey, t.size, corners);
            EXPECT_EQ(corners, plain) << "rows reversed " << rows << ", columns reversed " << columns;
        }
    }
}

// Glare washing out the squares around the first corner leaves the order to the other corners.
TEST_P(ChessboardOrientation, EveryRowOrderIsPutBackWithTheFirstCornerUnderGlare) {
    const Turn t = GetParam();
    const cv::Mat clean = turnedBoard(t.size, t.degrees);
    std::vector<cv::Point2f> plain;
    ASSERT_TRUE(cv::findChessboardCorners(clean, t.size, plain));
    cv::Mat glared = clean.clone();
    cv::circle(glared, cv::Point(cvRound(plain[0].x), cvRound(plain[0].y)), 32, cv::Scalar(255), cv::FILLED);
    for (bool rows : {false, true}) {
        for (bool columns : {false, true}) {
            std::vector<cv::Point2f> corners = reversed(plain, t.size, rows, columns);
            orientLikeQuadSearch(glared, t.size, corners);
            EXPECT_EQ(corners, plain) << "rows reversed " << rows << ", columns reversed " << columns;
        }
    }
}

TEST_P(ChessboardOrientation, SectorSearchGivesTheCornersInTheQuadSearchOrder) {
    const Turn t = GetParam();
    const cv::Mat grey = turnedBoard(t.size, t.degrees);
    std::vector<cv::Point2f> plain;
    std::vector<cv::Point2f> sector;
    ASSERT_TRUE(runChessboardSearch(grey, t.size, 0, ChessboardSearchKind::Plain, plain));
    ASSERT_TRUE(runChessboardSearch(grey, t.size, 0, ChessboardSearchKind::Sector, sector));
    ASSERT_EQ(sector.size(), plain.size());
    EXPECT_LT(largestDistance(sector, plain), 1.f);
}

// Boards with an odd and an even number of corners along their sides, turned through every quarter.
INSTANTIATE_TEST_SUITE_P(Turns, ChessboardOrientation,
                         ::testing::Values(Turn{{9, 6}, 0.0}, Turn{{9, 6}, 35.0}, Turn{{9, 6}, 100.0},
                                           Turn{{9, 6}, 180.0}, Turn{{9, 6}, 250.0}, Turn{{8, 5}, 10.0},
                                           Turn{{8, 5}, 150.0}, Turn{{8, 5}, 290.0}, Turn{{6, 9}, 200.0}));

TEST(ChessboardSearches, FallbackAddsTheAdaptiveSearchOnlyWhereItDiffersFromThePlainOne) {
    using Kind = ChessboardSearchKind;
    const int adaptive = cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE;
    EXPECT_EQ(chessboardSearches(0, false), std::vector<Kind>{Kind::Plain});
    EXPECT_EQ(chessboardSearches(0, true), (std::vector<Kind>{Kind::Plain, Kind::Adaptive, Kind::Sector}));
    EXPECT_EQ(chessboardSearches(cv::CALIB_CB_ADAPTIVE_THRESH, true),
              (std::vector<Kind>{Kind::Plain, Kind::Adaptive, Kind::Sector}));
    EXPECT_EQ(chessboardSearches(adaptive, true), (std::vector<Kind>{Kind::Plain, Kind::Sector}));
}

}  // namespace
