#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/detection/full_resolution_patches.hpp"
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
            const cv::Point2f at =
                alongColumns ? cv::Point2f(static_cast<float>(k), 0.f) : cv::Point2f(0.f, static_cast<float>(k));
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

// A noisy colour picture: every pixel differs, so any misplaced band or block shows.
cv::Mat noisyColour(cv::Size size, int channels) {
    cv::Mat picture(size, CV_8UC(channels));
    cv::RNG rng(static_cast<uint64_t>(size.area() + channels));
    rng.fill(picture, cv::RNG::UNIFORM, 0, 256);
    return picture;
}

struct ColourReduction {
    cv::Size size;
    int channels;
    int maxSide;
};

// What reduceToGrey promises, computed in floating point from the whole grey picture: for a
// reduction by 2 the area average of each 2 x 2 block; for 4 or more, the mean of the middle
// 2 x 2 pixels of each 4 x 4 block, then area halvings down to the factor.
cv::Mat referenceReduction(const cv::Mat& colour, int maxSide) {
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    const int factor = reductionFactor(colour.size(), maxSide);
    if (factor <= 2) {
        return reducePicture(grey, maxSide).grey;
    }
    const cv::Size quarter(colour.cols / factor * factor / 4, colour.rows / factor * factor / 4);
    cv::Mat current(quarter, CV_32F);
    for (int y = 0; y < quarter.height; ++y) {
        for (int x = 0; x < quarter.width; ++x) {
            const cv::Mat block = grey(cv::Rect(4 * x + 1, 4 * y + 1, 2, 2));
            current.at<float>(y, x) = static_cast<float>(cv::mean(block)[0]);
        }
    }
    for (int f = factor / 4; f > 1; f /= 2) {
        cv::Mat next;
        cv::resize(current, next, cv::Size(current.cols / 2, current.rows / 2), 0, 0, cv::INTER_AREA);
        current = next;
    }
    return current;
}

class ReduceToGrey : public ::testing::TestWithParam<ColourReduction> {};

TEST_P(ReduceToGrey, GivesTheAveragesItPromisesToWithinRounding) {
    const ColourReduction r = GetParam();
    const cv::Mat colour = noisyColour(r.size, r.channels);
    const ReducedPicture reduced = reduceToGrey(colour, r.maxSide);
    ASSERT_EQ(reduced.factor, reductionFactor(r.size, r.maxSide));
    ASSERT_EQ(reduced.grey.type(), CV_8UC1);
    const cv::Mat expected = referenceReduction(colour, r.maxSide);
    ASSERT_EQ(reduced.grey.size(), expected.size());
    cv::Mat actual;
    reduced.grey.convertTo(actual, expected.type());
    // Colour averages are rounded before the grey conversion (one grey level); a sampled
    // reduction rounds once more at each halving.
    EXPECT_LE(cv::norm(actual, expected, cv::NORM_INF), reduced.factor <= 2 ? 1.0 : 2.0);
}

// Heights that end in a short band and odd sizes whose last row or column is dropped; a BGRA
// picture; a reduction by 2 (the colour halving alone), by 4 (the sampled quarter alone) and by
// 16; a picture at the limit (factor 1, converted as it is).
INSTANTIATE_TEST_SUITE_P(Sizes, ReduceToGrey,
                         ::testing::Values(ColourReduction{{4096, 3072}, 3, 1600},
                                           ColourReduction{{4099, 3075}, 3, 1600},
                                           ColourReduction{{1601, 901}, 3, 1600}, ColourReduction{{901, 2403}, 4, 1000},
                                           ColourReduction{{3000, 2000}, 3, 200},
                                           ColourReduction{{2000, 1500}, 3, 1600},
                                           ColourReduction{{1600, 1200}, 3, 1600}));

struct Glance {
    cv::Size size;
    int channels;
    int factor;
};

class GlanceAtGrey : public ::testing::TestWithParam<Glance> {};

TEST_P(GlanceAtGrey, AveragesTheMiddleTwoByTwoPixelsOfEachBlock) {
    const Glance g = GetParam();
    const cv::Mat colour = noisyColour(g.size, g.channels);
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    const ReducedPicture glance = glanceAtGrey(colour, g.factor);
    ASSERT_EQ(glance.factor, g.factor);
    ASSERT_EQ(glance.grey.type(), CV_8UC1);
    ASSERT_EQ(glance.grey.size(), cv::Size(g.size.width / g.factor, g.size.height / g.factor));
    const int middle = g.factor / 2 - 1;  // first of the two middle rows (and columns) of a block
    double worst = 0.0;
    for (int y = 0; y < glance.grey.rows; ++y) {
        for (int x = 0; x < glance.grey.cols; ++x) {
            const double expected = cv::mean(grey(cv::Rect(g.factor * x + middle, g.factor * y + middle, 2, 2)))[0];
            worst = std::max(worst, std::abs(glance.grey.at<uchar>(y, x) - expected));
        }
    }
    // The colour mean is rounded, then its grey conversion, while the reference averages
    // rounded grey values: a level and a half apart at most. A misplaced sample is tens of levels off.
    EXPECT_LE(worst, 1.5);
}

// Odd sizes whose last rows and columns are dropped, BGRA, the factor the chessboard glance uses
// for large pictures (8) and the area halving (2).
INSTANTIATE_TEST_SUITE_P(Factors, GlanceAtGrey,
                         ::testing::Values(Glance{{1024, 768}, 3, 8}, Glance{{1031, 777}, 3, 8},
                                           Glance{{803, 601}, 4, 4}, Glance{{640, 480}, 3, 2}));

// A blurred chessboard whose squares are `square` pixels, drawn in colour so that the grey
// conversion matters; its inner corners lie at multiples of the square (less half a pixel).
cv::Mat blurredChessboard(cv::Size size, int square) {
    cv::Mat picture(size, CV_8UC3);
    for (int r = 0; r < size.height; ++r) {
        for (int c = 0; c < size.width; ++c) {
            const bool dark = ((r / square) + (c / square)) % 2 == 0;
            picture.at<cv::Vec3b>(r, c) = dark ? cv::Vec3b(40, 20, 30) : cv::Vec3b(220, 240, 200);
        }
    }
    cv::GaussianBlur(picture, picture, cv::Size(0, 0), 1.5);
    return picture;
}

class RefineOnPatches : public ::testing::TestWithParam<int> {};

TEST_P(RefineOnPatches, AgreeWithTheWholeGreyPicture) {
    const int halfWindow = GetParam();
    const int square = 40;
    const cv::Mat colour = blurredChessboard({640, 480}, square);
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    // Starting guesses a few pixels off, in the middle and next to the border, where the
    // patch is cut by the picture.
    std::vector<cv::Point2f> start;
    for (const cv::Point corner : {cv::Point(320, 240), cv::Point(40, 40), cv::Point(600, 440), cv::Point(600, 40)}) {
        start.emplace_back(static_cast<float>(corner.x) + 1.7f, static_cast<float>(corner.y) - 1.3f);
    }
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.001);
    std::vector<cv::Point2f> whole = start;
    cv::cornerSubPix(grey, whole, cv::Size(halfWindow, halfWindow), cv::Size(-1, -1), criteria);
    std::vector<cv::Point2f> patches = start;
    refineCornersOnPatches(colour, patches, halfWindow, -1, criteria);
    for (size_t k = 0; k < start.size(); ++k) {
        EXPECT_NEAR(patches[k].x, whole[k].x, 1e-3) << "corner " << k;
        EXPECT_NEAR(patches[k].y, whole[k].y, 1e-3) << "corner " << k;
        EXPECT_LT(cv::norm(patches[k] - cv::Point2f(start[k].x - 1.7f - 0.5f, start[k].y + 1.3f - 0.5f)), 0.1)
            << "corner " << k << " not refined";
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, RefineOnPatches, ::testing::Values(3, 11, 18));

TEST(RefinementPatch, ReachesThreeWindowsAroundTheCornerCutToThePicture) {
    const cv::Size picture(640, 480);
    EXPECT_EQ(refinementPatch({320.4f, 240.6f}, 10, picture), cv::Rect(320 - 32, 241 - 32, 65, 65));
    EXPECT_EQ(refinementPatch({5.0f, 470.0f}, 10, picture), cv::Rect(0, 470 - 32, 5 + 33, 480 - 438));
    // A corner beyond the border still gets the pixels next to it.
    EXPECT_EQ(refinementPatch({-50.0f, 700.0f}, 2, picture), cv::Rect(0, 479 - 8, 9, 9));
}

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
