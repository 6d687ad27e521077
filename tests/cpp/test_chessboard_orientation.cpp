#include <algorithm>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/detection/chessboard_orientation.hpp"
#include "calibration/detection/chessboard_searches.hpp"

namespace {

using namespace velk::calibration;

constexpr int kSquare = 32;  // pixels
constexpr unsigned char kDark = 30;
constexpr unsigned char kLight = 220;

// A printed board of `size` inner corners, the outer square at its first corner dark, on a light
// sheet, turned by `degrees` about the picture's centre and slightly blurred.
cv::Mat turnedBoard(cv::Size size, double degrees) {
    const cv::Size picture(640, 640);
    cv::Mat sheet(picture, CV_8U, cv::Scalar(kLight));
    const cv::Point origin((picture.width - (size.width + 1) * kSquare) / 2,
                           (picture.height - (size.height + 1) * kSquare) / 2);
    for (int row = 0; row <= size.height; ++row) {
        for (int column = 0; column <= size.width; ++column) {
            if ((row + column) % 2 == 0) {
                const cv::Rect square(origin.x + column * kSquare, origin.y + row * kSquare, kSquare, kSquare);
                sheet(square).setTo(kDark);
            }
        }
    }
    const cv::Mat turn = cv::getRotationMatrix2D(cv::Point2f(320.f, 320.f), degrees, 1.0);
    cv::Mat turned;
    cv::warpAffine(sheet, turned, turn, picture, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(kLight));
    cv::GaussianBlur(turned, turned, cv::Size(0, 0), 0.8);
    return turned;
}

// The grid read with its rows, or the corners within each row, in reverse.
std::vector<cv::Point2f> reversed(const std::vector<cv::Point2f>& corners, cv::Size size, bool rows, bool columns) {
    std::vector<cv::Point2f> out(corners.size());
    for (int r = 0; r < size.height; ++r) {
        for (int c = 0; c < size.width; ++c) {
            const int from = (rows ? size.height - 1 - r : r) * size.width + (columns ? size.width - 1 - c : c);
            out[static_cast<size_t>(r * size.width + c)] = corners[static_cast<size_t>(from)];
        }
    }
    return out;
}

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
