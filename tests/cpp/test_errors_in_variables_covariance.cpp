// The covariance of an errors-in-variables problem against the solver's own covariance of the same
// problem: both invert the weighted normal matrix at the same values, so they agree to rounding.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "errors_in_variables_scene.hpp"

namespace {

using velk::calibration::ErrorsInVariablesProblem;
using velk::calibration::NoiseEstimation;
using velk::test::boardScene;
using velk::test::BoardScene;
using velk::test::SceneCamera;
using velk::test::SolverScene;

struct CovarianceCase {
    const char* name;
    bool correction_on_left;
    SceneCamera camera;
};

class ErrorsInVariablesCovariance : public testing::TestWithParam<CovarianceCase> {};

// Largest difference of two covariances, each entry over the reference's standard deviations of its
// row and column, so that radians, metres and pixels all count alike.
double largestScaledDifference(const cv::Mat& covariance, const cv::Mat& reference) {
    double largest = 0.0;
    for (int r = 0; r < reference.rows; ++r) {
        for (int c = 0; c < reference.cols; ++c) {
            const double scale = std::sqrt(reference.at<double>(r, r) * reference.at<double>(c, c));
            largest = std::max(largest, std::abs(covariance.at<double>(r, c) - reference.at<double>(r, c)) / scale);
        }
    }
    return largest;
}

TEST_P(ErrorsInVariablesCovariance, MatchesTheSolversCovarianceOfTheSameProblem) {
    const BoardScene scene = boardScene(GetParam().correction_on_left, GetParam().camera);
    ErrorsInVariablesProblem problem(1.0, scene.noise, NoiseEstimation());
    const auto indices = velk::test::addScene(problem, scene, {0, 1, 2, 3, 4});
    std::string reason;
    ASSERT_TRUE(problem.evaluateCovariance(reason)) << reason;
    const std::vector<double> joint =
        problem.jointCovariance({indices.camera_pose, indices.target_pose}, indices.camera);
    ASSERT_EQ(joint.size(), 256u);

    SolverScene solver(scene);
    cv::Mat reference;
    ASSERT_TRUE(solver.covariance(reference));
    for (int k = 0; k < reference.rows; ++k) {
        ASSERT_GT(reference.at<double>(k, k), 0.0) << "unknown " << k << " is not determined";
    }
    EXPECT_LT(largestScaledDifference(cv::Mat(16, 16, CV_64F, const_cast<double*>(joint.data())), reference), 1e-8);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, ErrorsInVariablesCovariance,
    testing::Values(CovarianceCase{"GivenIntrinsicsCorrectionOnTheLeft", true,
                                   SceneCamera{false, {2.0, 2.5, 3.0, 1.5}}},
                    CovarianceCase{"FreeCameraCorrectionOnTheRight", false, SceneCamera{true, {}}}),
    [](const testing::TestParamInfo<CovarianceCase>& info) { return std::string(info.param.name); });

}  // namespace
