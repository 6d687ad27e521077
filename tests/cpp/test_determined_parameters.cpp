#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "calibration/intrinsic/determined_parameters.hpp"

namespace {

using velk::calibration::determinedInOrder;

// An information matrix J^T J of the given jacobian columns (rows: observations).
cv::Mat informationOf(const cv::Mat& jacobian) {
    return jacobian.t() * jacobian;
}

// Columns r^2, r^4, r^6 over a spread of radii, and a fourth column given by the test.
cv::Mat radialColumns(double (*fourth)(double)) {
    cv::Mat jacobian(40, 4, CV_64F);
    for (int i = 0; i < jacobian.rows; ++i) {
        const double r = 0.05 + 0.03 * i;
        jacobian.at<double>(i, 0) = r * r;
        jacobian.at<double>(i, 1) = r * r * r * r;
        jacobian.at<double>(i, 2) = r * r * r * r * r * r;
        jacobian.at<double>(i, 3) = fourth(r);
    }
    return jacobian;
}

TEST(DeterminedInOrder, OfTwoParametersThatTradeOffExactlyTheLaterIsNotDetermined) {
    // A denominator term of a lens without distortion moves the picture as the numerator's, negated.
    const cv::Mat jacobian = radialColumns([](double r) { return -r * r; });
    EXPECT_EQ(determinedInOrder(informationOf(jacobian)), (std::vector<bool>{true, true, true, false}));
}

TEST(DeterminedInOrder, IndependentParametersAreDeterminedWhateverTheirUnits) {
    cv::Mat jacobian = radialColumns([](double r) { return r; });
    EXPECT_EQ(determinedInOrder(informationOf(jacobian)), (std::vector<bool>{true, true, true, true}));
    // Scaling a column (metres to micrometres) scales its information, not its share.
    jacobian.col(3) *= 1e6;
    jacobian.col(0) *= 1e-6;
    EXPECT_EQ(determinedInOrder(informationOf(jacobian)), (std::vector<bool>{true, true, true, true}));
}

TEST(DeterminedInOrder, AParameterWithoutInformationIsNotDetermined) {
    const cv::Mat jacobian = radialColumns([](double) { return 0.0; });
    EXPECT_EQ(determinedInOrder(informationOf(jacobian)), (std::vector<bool>{true, true, true, false}));
}

TEST(DeterminedInOrder, TheDecisionDoesNotFollowRounding) {
    // An exact trade-off perturbed at the level of rounding stays undetermined; one perturbed far
    // above it is determined.
    const cv::Mat exact = informationOf(radialColumns([](double r) { return -r * r; }));
    cv::Mat rounded = exact.clone();
    rounded.at<double>(3, 3) *= 1.0 + 4e-16;
    EXPECT_FALSE(determinedInOrder(rounded)[3]);
    const cv::Mat distinct = informationOf(radialColumns([](double r) { return -r * r * (1.0 + 0.01 * r); }));
    EXPECT_TRUE(determinedInOrder(distinct)[3]);
}

}  // namespace
