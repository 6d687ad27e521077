#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "calibration/intrinsic/low_error_views.hpp"

namespace {

using velk::calibration::lowErrorPositions;

const std::vector<double> kErrors = {0.31, 0.1875, 0.42, 0.1875, 1.5};

TEST(LowErrorPositions, ViewExactlyAtTheThresholdIsKept) {
    EXPECT_EQ(lowErrorPositions(kErrors, 0.1875), (std::vector<int>{1, 3}));
    EXPECT_EQ(lowErrorPositions(kErrors, 1.5), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(LowErrorPositions, OneStepBelowAnErrorLeavesThatViewOut) {
    EXPECT_EQ(lowErrorPositions(kErrors, std::nextafter(0.42, 0.0)), (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(lowErrorPositions(kErrors, std::nextafter(0.1875, 0.0)), (std::vector<int>{}));
}

TEST(LowErrorPositions, PositionsCountAmongTheGivenViewsInOrder) {
    EXPECT_EQ(lowErrorPositions(kErrors, 0.35), (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(lowErrorPositions({}, 1.0), (std::vector<int>{}));
}

TEST(LowErrorPositions, NotANumberIsNeverLowError) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(lowErrorPositions({nan, 0.2}, 1.0), (std::vector<int>{1}));
}

}  // namespace
