#include <vector>

#include <gtest/gtest.h>

#include "calibration/refinement/robust_outliers.hpp"

using velk::calibration::medianOf;
using velk::calibration::noiseMadOfRms;
using velk::calibration::robustOutliers;

TEST(RobustOutliers, ListsOnlyTheValuesFarAboveTheRest) {
    const std::vector<double> rms = {0.40, 0.42, 0.38, 0.41, 1.90, 0.39, 0.43, 0.10};
    EXPECT_EQ(robustOutliers(rms, 3.0), std::vector<int>({4}));  // far below is not outstanding
}

TEST(RobustOutliers, ANoiseFloorKeepsTightlyAgreeingValuesFromFlaggingOrdinaryOnes) {
    // Most views agree to within 0.001 px, so the MAD alone would make 0.47 look outstanding.
    const std::vector<double> rms = {0.406, 0.407, 0.406, 0.407, 0.406, 0.47, 0.407, 0.383};
    EXPECT_EQ(robustOutliers(rms, 3.0), std::vector<int>({5}));
    EXPECT_TRUE(robustOutliers(rms, 3.0, noiseMadOfRms(0.406, 48)).empty());
}

TEST(RobustOutliers, NothingToSayAboutTooFewOrIdenticalValues) {
    EXPECT_TRUE(robustOutliers({0.1, 5.0}, 3.0).empty());
    EXPECT_TRUE(robustOutliers({0.3, 0.3, 0.3, 9.0}, 3.0).empty());
}

TEST(RobustOutliers, MedianOfEvenAndOddCounts) {
    EXPECT_DOUBLE_EQ(medianOf({3.0, 1.0, 2.0}), 2.0);
    EXPECT_DOUBLE_EQ(medianOf({4.0, 1.0, 2.0, 3.0}), 2.5);
    EXPECT_DOUBLE_EQ(medianOf({}), 0.0);
}
