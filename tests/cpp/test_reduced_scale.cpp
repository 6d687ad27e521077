#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "calibration/detection/reduced_scale.hpp"

namespace {

using namespace velk::calibration;

// A picture whose value is its own column (or row) position: the area average over a reduced
// pixel is the full-resolution position of that pixel's centre.
cv::Mat ramp(cv::Size size, bool alongColumns) {
    cv::Mat picture(size, CV_32F);
    for (int r = 0; r < size.height; ++r) {
        for (int c = 0; c < size.width; ++c) {
            picture.at<float>(r, c) = static_cast<float>(alongColumns ? c : r);
        }
    }
    return picture;
}

struct Reduction {
    cv::Size size;
    int maxSide;
    int factor;
    cv::Size reduced;
};

class ReducePicture : public ::testing::TestWithParam<Reduction> {};

TEST_P(ReducePicture, HalvesUntilTheLongerSideFitsAndMapsPixelCentresBack) {
    const Reduction r = GetParam();
    for (bool alongColumns : {true, false}) {
        const ReducedPicture reduced = reducePicture(ramp(r.size, alongColumns), r.maxSide);
        ASSERT_EQ(reduced.factor, r.factor);
        ASSERT_EQ(reduced.grey.size(), r.reduced);
        for (int k : {0, 1, (alongColumns ? r.reduced.width : r.reduced.height) - 1}) {
            const cv::Point2f at = alongColumns ? cv::Point2f(static_cast<float>(k), 0.f)
                                                : cv::Point2f(0.f, static_cast<float>(k));
            const cv::Point2f full = mapToFullResolution({at}, reduced.factor)[0];
            const float value = alongColumns ? reduced.grey.at<float>(0, k) : reduced.grey.at<float>(k, 0);
            EXPECT_NEAR(alongColumns ? full.x : full.y, value, 1e-3) << "reduced pixel " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReducePicture,
                         ::testing::Values(Reduction{{4096, 3072}, 1600, 4, {1024, 768}},
                                           Reduction{{2048, 1536}, 1600, 2, {1024, 768}},
                                           Reduction{{1601, 900}, 1600, 2, {800, 450}},
                                           Reduction{{1600, 1200}, 1600, 1, {1600, 1200}},
                                           Reduction{{3000, 4001}, 1000, 4, {750, 1000}}));

TEST(SearchesReduced, OnlyPicturesLongerThanTheLimitAndNeverWithZero) {
    EXPECT_FALSE(searchesReduced({1600, 1200}, 1600));
    EXPECT_TRUE(searchesReduced({1601, 1200}, 1600));
    EXPECT_TRUE(searchesReduced({1200, 1601}, 1600));
    EXPECT_FALSE(searchesReduced({8000, 6000}, 0));
}

TEST(NearestDistances, ClosestOtherPointOrInfinityForALonePoint) {
    const std::vector<cv::Point2f> points{{0, 0}, {3, 4}, {3, 6}};
    const std::vector<double> nearest = nearestDistances(points);
    EXPECT_DOUBLE_EQ(nearest[0], 5.0);
    EXPECT_DOUBLE_EQ(nearest[1], 2.0);
    EXPECT_DOUBLE_EQ(nearest[2], 2.0);
    EXPECT_TRUE(std::isinf(nearestDistances({{1, 1}})[0]));
    EXPECT_DOUBLE_EQ(nearestDistances({{0, 0}}, {{0, 0}, {6, 8}})[0], 10.0);
}

TEST(FullResolutionHalfWindow, ScaledUpAtMostTwiceKeptWithinTheRoomAndAtLeastTwo) {
    EXPECT_EQ(fullResolutionHalfWindow(5, 4, {100.0, 80.0}, 0.5), 10);
    EXPECT_EQ(fullResolutionHalfWindow(11, 4, {100.0, 60.0}, 0.4), 22);
    EXPECT_EQ(fullResolutionHalfWindow(11, 4, {100.0, 50.0}, 0.4), 20);
    EXPECT_EQ(fullResolutionHalfWindow(11, 1, {100.0}, 0.4), 11);
    EXPECT_EQ(fullResolutionHalfWindow(11, 4, {3.0}, 0.4), 2);
    EXPECT_EQ(fullResolutionHalfWindow(5, 2, {std::numeric_limits<double>::infinity()}, 0.5), 10);
}

}  // namespace
