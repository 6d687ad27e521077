#include <algorithm>
#include <random>
#include <stdexcept>

#include <Eigen/Dense>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "calibration/refinement/greedy_design.hpp"

using velk::calibration::DesignCriterion;
using velk::calibration::greedyDesign;
using velk::calibration::singleAdditionCovariances;

namespace {

cv::Mat toMat(const Eigen::MatrixXd& m) {
    cv::Mat out(static_cast<int>(m.rows()), static_cast<int>(m.cols()), CV_64F);
    for (int r = 0; r < out.rows; ++r) {
        for (int c = 0; c < out.cols; ++c) {
            out.at<double>(r, c) = m(r, c);
        }
    }
    return out;
}

// Information of one observation of a' x with the given weight.
Eigen::MatrixXd observation(const Eigen::VectorXd& a, double weight = 1.0) {
    return weight * a * a.transpose();
}

std::vector<Eigen::MatrixXd> randomCandidates(int count, int size, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal;
    std::vector<Eigen::MatrixXd> candidates;
    for (int k = 0; k < count; ++k) {
        Eigen::MatrixXd rows(2, size);
        for (int r = 0; r < 2; ++r) {
            for (int c = 0; c < size; ++c) {
                rows(r, c) = normal(rng);
            }
        }
        candidates.push_back(rows.transpose() * rows);
    }
    return candidates;
}

double criterionOf(const Eigen::MatrixXd& information, const DesignCriterion& criterion) {
    const Eigen::MatrixXd covariance = information.inverse();
    double sum = 0.0;
    for (size_t k = 0; k < criterion.weights.size(); ++k) {
        const int i = criterion.first_column + static_cast<int>(k);
        sum += criterion.weights[k] * covariance(i, i);
    }
    return sum;
}

}  // namespace

TEST(GreedyDesign, EachPickIsTheBestAdditionOnceTheUnknownsAreDetermined) {
    const int size = 5;
    const DesignCriterion criterion{1, {1.0, 4.0}};
    const Eigen::MatrixXd base = 0.2 * Eigen::MatrixXd::Identity(size, size);
    const std::vector<Eigen::MatrixXd> candidates = randomCandidates(12, size, 3);
    std::vector<cv::Mat> mats;
    for (const auto& c : candidates) {
        mats.push_back(toMat(c));
    }
    const auto steps = greedyDesign(toMat(base), mats, criterion, 4);
    ASSERT_EQ(steps.size(), 4u);
    Eigen::MatrixXd held = base;
    std::vector<bool> taken(candidates.size(), false);
    for (const auto& step : steps) {
        ASSERT_TRUE(step.determined);
        int best = -1;
        double bestValue = 1e300;
        for (size_t c = 0; c < candidates.size(); ++c) {
            const double value = taken[c] ? 1e300 : criterionOf(held + candidates[c], criterion);
            if (value < bestValue) {
                bestValue = value;
                best = static_cast<int>(c);
            }
        }
        EXPECT_EQ(step.candidate, best);
        taken[best] = true;
        held += candidates[best];
        const Eigen::MatrixXd covariance = held.inverse().block(1, 1, 2, 2);
        for (int r = 0; r < 2; ++r) {
            for (int c = 0; c < 2; ++c) {
                EXPECT_NEAR(step.covariance.at<double>(r, c), covariance(r, c), 1e-9 * covariance.norm());
            }
        }
    }
}

TEST(GreedyDesign, AnUndeterminedStartTakesTheObservationsThatDetermineEveryUnknown) {
    // Three unknowns; only candidates 1, 3 and 4 together see all three directions.
    const Eigen::Vector3d x(1, 0, 0), y(0, 1, 0), z(0, 0, 1);
    const std::vector<cv::Mat> candidates = {toMat(observation(x + 1e-3 * y, 0.5)), toMat(observation(x, 2.0)),
                                             toMat(observation(x + 1e-3 * y, 0.4)), toMat(observation(y, 1.0)),
                                             toMat(observation(z, 1.0))};
    const auto steps = greedyDesign(cv::Mat::zeros(3, 3, CV_64F), candidates, DesignCriterion{0, {1.0, 1.0, 1.0}}, 3);
    ASSERT_EQ(steps.size(), 3u);
    std::vector<int> chosen = {steps[0].candidate, steps[1].candidate, steps[2].candidate};
    std::sort(chosen.begin(), chosen.end());
    EXPECT_EQ(chosen, (std::vector<int>{1, 3, 4}));
    EXPECT_FALSE(steps[0].determined);
    EXPECT_FALSE(steps[1].determined);
    EXPECT_TRUE(steps[2].determined);
    EXPECT_NEAR(steps[2].covariance.at<double>(0, 0), 0.5, 1e-9);
}

TEST(GreedyDesign, CandidatesAreTakenOnceAndExcludedOnesNever) {
    const int size = 4;
    const std::vector<Eigen::MatrixXd> random = randomCandidates(6, size, 11);
    std::vector<cv::Mat> candidates;
    for (const auto& c : random) {
        candidates.push_back(toMat(c));
    }
    const std::vector<bool> usable = {true, false, true, true, false, true};
    const auto steps = greedyDesign(toMat(Eigen::MatrixXd::Identity(size, size)), candidates,
                                    DesignCriterion{0, {1.0, 1.0}}, 10, usable);
    ASSERT_EQ(steps.size(), 4u);  // all the usable ones, each once
    std::vector<int> chosen;
    for (const auto& step : steps) {
        chosen.push_back(step.candidate);
    }
    std::sort(chosen.begin(), chosen.end());
    EXPECT_EQ(chosen, (std::vector<int>{0, 2, 3, 5}));
}

TEST(GreedyDesign, SingleAdditionsMatchTheInverseAndAreEmptyWhereUndetermined) {
    const Eigen::Vector2d x(1, 0), y(0, 1);
    const cv::Mat base = toMat(observation(x, 4.0));
    const auto covariances = singleAdditionCovariances(base, {toMat(observation(y, 9.0)), toMat(observation(x))},
                                                       DesignCriterion{0, {1.0, 1.0}});
    ASSERT_EQ(covariances.size(), 2u);
    EXPECT_NEAR(covariances[0].at<double>(0, 0), 0.25, 1e-12);
    EXPECT_NEAR(covariances[0].at<double>(1, 1), 1.0 / 9.0, 1e-12);
    EXPECT_TRUE(covariances[1].empty());
}

TEST(GreedyDesign, MismatchedSizesAndACriterionOutsideTheUnknownsAreRefused) {
    const cv::Mat base = cv::Mat::eye(3, 3, CV_64F);
    EXPECT_THROW(greedyDesign(base, {cv::Mat::eye(2, 2, CV_64F)}, DesignCriterion{0, {1.0}}, 1), std::invalid_argument);
    EXPECT_THROW(greedyDesign(base, {base}, DesignCriterion{2, {1.0, 1.0}}, 1), std::invalid_argument);
    EXPECT_THROW(greedyDesign(base, {base}, DesignCriterion{0, {}}, 1), std::invalid_argument);
}
