#include <cmath>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "calibration/detection/marked_origin_order.hpp"

namespace {

using velk::CircleGridTarget;
using velk::calibration::orderFromOriginCircle;

// The picture of a grid seen square on, turned by `turn_deg` in the picture (and mirrored, as if seen
// through the board, when `mirrored`): circle (row i from the top, column j) in the target's own order.
std::vector<cv::Point2f> picturedCentres(const CircleGridTarget& target, double turn_deg, bool mirrored) {
    const double turn = turn_deg * CV_PI / 180.0;
    std::vector<cv::Point2f> centres;
    for (int i = 0; i < target.size.height; ++i) {
        for (int j = 0; j < target.size.width; ++j) {
            const double x = (mirrored ? -j : j) * 20.0;
            const double y = i * 20.0;
            centres.emplace_back(static_cast<float>(300.0 + x * std::cos(turn) - y * std::sin(turn)),
                                 static_cast<float>(300.0 + x * std::sin(turn) + y * std::cos(turn)));
        }
    }
    return centres;
}

// One blob per circle, the origin's (bottom left) twice as wide.
std::vector<cv::KeyPoint> blobsOf(const CircleGridTarget& target, const std::vector<cv::Point2f>& centres) {
    std::vector<cv::KeyPoint> blobs;
    const int origin = (target.size.height - 1) * target.size.width;
    for (size_t k = 0; k < centres.size(); ++k) {
        blobs.emplace_back(centres[k], static_cast<int>(k) == origin ? 16.0f : 8.0f);
    }
    return blobs;
}

// The centres as a grid finder may list them: rows of size.width, the rows and columns in either
// direction and, on a square grid, rows and columns swapped.
std::vector<cv::Point2f> finderListing(const CircleGridTarget& target, const std::vector<cv::Point2f>& ordered,
                                       bool swap, bool reverse_rows, bool reverse_cols) {
    const int rows = target.size.height;
    const int cols = target.size.width;
    std::vector<cv::Point2f> listed(ordered.size());
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const int i = reverse_rows ? rows - 1 - r : r;
            const int j = reverse_cols ? cols - 1 - c : c;
            listed[r * cols + c] = swap ? ordered[j * cols + i] : ordered[i * cols + j];
        }
    }
    return listed;
}

TEST(MarkedOriginOrder, EveryListingOfEveryTurnIsNumberedFromTheLargerCircle) {
    for (const cv::Size size : {cv::Size(5, 4), cv::Size(5, 5)}) {
        const CircleGridTarget target(size, 0.02, false, 0.008, velk::CirclePolarity::Either, 0.016);
        for (double turn : {0.0, 30.0, 90.0, 150.0, 180.0, 270.0, 330.0}) {
            const std::vector<cv::Point2f> truth = picturedCentres(target, turn, false);
            const std::vector<cv::KeyPoint> blobs = blobsOf(target, truth);
            for (bool swap : {false, true}) {
                if (swap && size.width != size.height) {
                    continue;
                }
                for (int reversal = 0; reversal < 4; ++reversal) {
                    std::vector<cv::Point2f> centres = finderListing(target, truth, swap, reversal & 1, reversal & 2);
                    ASSERT_TRUE(orderFromOriginCircle(centres, blobs, target)) << size << " turned " << turn;
                    for (size_t k = 0; k < truth.size(); ++k) {
                        ASSERT_EQ(centres[k], truth[k]) << size << " turned " << turn << ", point " << k;
                    }
                }
            }
        }
    }
}

TEST(MarkedOriginOrder, NoClearlyLargerCornerCircleOrAMirroredViewIsRefused) {
    const CircleGridTarget target(cv::Size(5, 5), 0.02, false, 0.008, velk::CirclePolarity::Either, 0.016);
    const std::vector<cv::Point2f> truth = picturedCentres(target, 40.0, false);
    std::vector<cv::KeyPoint> even = blobsOf(target, truth);
    for (cv::KeyPoint& blob : even) {
        blob.size = 8.0f;
    }
    std::vector<cv::Point2f> centres = truth;
    EXPECT_FALSE(orderFromOriginCircle(centres, even, target));
    std::vector<cv::KeyPoint> two = blobsOf(target, truth);
    two[4].size = 16.0f;  // the top-right circle as large as the origin's
    EXPECT_FALSE(orderFromOriginCircle(centres, two, target));
    EXPECT_EQ(centres, truth);  // left as they were

    // Mirrored, a square grid looks like its transpose turned; an oblong one cannot be read the right way round.
    const CircleGridTarget oblong(cv::Size(5, 4), 0.02, false, 0.008, velk::CirclePolarity::Either, 0.016);
    const std::vector<cv::Point2f> mirrored = picturedCentres(oblong, 40.0, true);
    centres = mirrored;
    EXPECT_FALSE(orderFromOriginCircle(centres, blobsOf(oblong, mirrored), oblong));
}

}  // namespace
