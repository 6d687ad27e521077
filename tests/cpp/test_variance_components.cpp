#include <cmath>
#include <random>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include "calibration/refinement/reduced_variance_components.hpp"
#include "calibration/refinement/variance_components.hpp"

using velk::calibration::estimateVarianceComponents;
using velk::calibration::GroupedLinearisation;

namespace {

// A dense design matrix in the compressed rows the estimator reads.
GroupedLinearisation linearisation(const Eigen::MatrixXd& design, const Eigen::VectorXd& residuals,
                                   const std::vector<int>& groups, const std::vector<double>& sigmas) {
    GroupedLinearisation lin;
    lin.columns = static_cast<int>(design.cols());
    lin.row_starts.push_back(0);
    for (int r = 0; r < design.rows(); ++r) {
        for (int c = 0; c < design.cols(); ++c) {
            if (design(r, c) != 0.0) {
                lin.column_indices.push_back(c);
                lin.values.push_back(design(r, c));
            }
        }
        lin.row_starts.push_back(static_cast<int>(lin.values.size()));
        lin.residuals.push_back(residuals(r));
    }
    lin.row_groups = groups;
    lin.group_sigmas = sigmas;
    return lin;
}

struct Regression {
    Eigen::MatrixXd design;
    Eigen::VectorXd observations;
    std::vector<int> groups;
};

// Two groups of observations of one linear model, each with its own noise level.
Regression twoGroupRegression(int first, int second, double firstSigma, double secondSigma, unsigned seed) {
    std::mt19937 engine(seed);
    std::normal_distribution<double> unit(0.0, 1.0);
    Regression regression;
    const int rows = first + second;
    regression.design = Eigen::MatrixXd(rows, 4);
    regression.observations = Eigen::VectorXd(rows);
    const Eigen::Vector4d truth(1.0, -2.0, 0.5, 3.0);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < 4; ++c) {
            regression.design(r, c) = unit(engine);
        }
        const bool inFirst = r < first;
        regression.observations(r) =
            regression.design.row(r).dot(truth) + (inFirst ? firstSigma : secondSigma) * unit(engine);
        regression.groups.push_back(inFirst ? 0 : 1);
    }
    return regression;
}

// Weighted least squares, then rescale each group's sigma by its variance factor, until settled.
std::vector<double> estimateSigmas(const Regression& regression, int rounds) {
    std::vector<double> sigmas = {1.0, 1.0};
    for (int round = 0; round < rounds; ++round) {
        Eigen::VectorXd weights(regression.design.rows());
        for (int r = 0; r < weights.size(); ++r) {
            weights(r) = 1.0 / std::pow(sigmas[regression.groups[r]], 2);
        }
        const Eigen::MatrixXd normal = regression.design.transpose() * weights.asDiagonal() * regression.design;
        const Eigen::VectorXd solution =
            normal.ldlt().solve(regression.design.transpose() * weights.asDiagonal() * regression.observations);
        const Eigen::VectorXd residuals = regression.observations - regression.design * solution;
        const auto components =
            estimateVarianceComponents(linearisation(regression.design, residuals, regression.groups, sigmas));
        EXPECT_TRUE(components.ok);
        for (int g = 0; g < 2; ++g) {
            sigmas[g] *= std::sqrt(components.varianceFactor(g));
        }
    }
    return sigmas;
}

}  // namespace

TEST(VarianceComponents, RecoversTheNoiseOfEachGroup) {
    for (unsigned seed : {1u, 2u, 3u}) {
        const Regression regression = twoGroupRegression(600, 400, 0.5, 2.0, seed);
        const std::vector<double> sigmas = estimateSigmas(regression, 20);
        EXPECT_NEAR(sigmas[0], 0.5, 0.05) << "seed " << seed;
        EXPECT_NEAR(sigmas[1], 2.0, 0.2) << "seed " << seed;
    }
}

TEST(VarianceComponents, RedundanciesShareTheDegreesOfFreedomAndCovarianceInvertsTheNormalMatrix) {
    const Regression regression = twoGroupRegression(30, 20, 1.0, 1.0, 7);
    const std::vector<double> sigmas = {0.5, 2.0};
    const Eigen::VectorXd residuals = Eigen::VectorXd::Zero(50);
    const auto components =
        estimateVarianceComponents(linearisation(regression.design, residuals, regression.groups, sigmas));
    ASSERT_TRUE(components.ok);
    EXPECT_NEAR(components.redundancies[0] + components.redundancies[1], 50.0 - 4.0, 1e-9);
    EXPECT_GT(components.redundancies[0], 0.0);
    EXPECT_GT(components.redundancies[1], 0.0);
    Eigen::VectorXd weights(50);
    for (int r = 0; r < 50; ++r) {
        weights(r) = 1.0 / std::pow(sigmas[regression.groups[r]], 2);
    }
    const Eigen::MatrixXd expected =
        (regression.design.transpose() * weights.asDiagonal() * regression.design).inverse();
    const Eigen::Map<const Eigen::MatrixXd> covariance(components.covariance.data(), 4, 4);
    EXPECT_LT((covariance - expected).norm(), 1e-12 * expected.norm());
}

TEST(VarianceComponents, SingularNormalMatrixIsReportedNotInverted) {
    Regression regression = twoGroupRegression(30, 20, 1.0, 1.0, 9);
    regression.design.col(3) = regression.design.col(2) * 2.0;  // two columns say the same
    const auto components = estimateVarianceComponents(
        linearisation(regression.design, Eigen::VectorXd::Zero(50), regression.groups, {1.0, 1.0}));
    EXPECT_FALSE(components.ok);
    EXPECT_TRUE(std::isnan(components.varianceFactor(0)));
}

TEST(ReducedVarianceComponents, EqualTheFullComputationWithTheLocalBlocksEliminated) {
    // Columns 0-4 shared, then four local blocks of three; each row holds the shared columns and
    // at most one local block, as a view's corners and its correction's prior do.
    constexpr int kShared = 5, kBlocks = 4, kBlockSize = 3, kColumns = kShared + kBlocks * kBlockSize;
    std::mt19937 engine(5);
    std::normal_distribution<double> unit(0.0, 1.0);
    std::vector<int> rowBlocks, groups;
    for (int block = 0; block < kBlocks; ++block) {
        for (int r = 0; r < 12; ++r) {
            rowBlocks.push_back(block);
            groups.push_back(0);
        }
        for (int r = 0; r < kBlockSize; ++r) {
            rowBlocks.push_back(-1 - block);  // the block's prior: its own columns alone
            groups.push_back(1);
        }
    }
    for (int r = 0; r < 4; ++r) {
        rowBlocks.push_back(kBlocks);  // shared columns alone
        groups.push_back(2);
    }
    Eigen::MatrixXd design = Eigen::MatrixXd::Zero(static_cast<int>(rowBlocks.size()), kColumns);
    Eigen::VectorXd residuals(design.rows());
    for (int r = 0; r < design.rows(); ++r) {
        const int block = rowBlocks[r];
        const int local = block < 0 ? -1 - block : block;
        for (int c = 0; c < kColumns; ++c) {
            const bool sharedColumn = c < kShared;
            const bool ownColumn = !sharedColumn && (c - kShared) / kBlockSize == local && local < kBlocks;
            if ((sharedColumn && block >= 0) || (ownColumn && (block < 0 || block < kBlocks))) {
                design(r, c) = unit(engine);
            }
        }
        residuals(r) = unit(engine);
    }
    const GroupedLinearisation lin = linearisation(design, residuals, groups, {0.7, 0.2, 1.5});
    velk::calibration::SharedColumns shared;
    std::vector<velk::calibration::LocalColumns> local;
    for (int c = 0; c < kColumns; ++c) {
        shared.index.push_back(c < kShared ? shared.count++ : -1);
    }
    for (int block = 0; block < kBlocks; ++block) {
        local.push_back({kShared + block * kBlockSize, kBlockSize});
    }
    const auto full = estimateVarianceComponents(lin);
    const auto reduced = velk::calibration::estimateReducedVarianceComponents(lin, shared, local);
    ASSERT_TRUE(full.ok);
    ASSERT_TRUE(reduced.ok);
    for (int g = 0; g < 3; ++g) {
        EXPECT_NEAR(reduced.weighted_squares[g], full.weighted_squares[g], 1e-9 * full.weighted_squares[g]);
        EXPECT_NEAR(reduced.redundancies[g], full.redundancies[g], 1e-9) << g;
    }
    for (int r = 0; r < kShared; ++r) {
        for (int c = 0; c < kShared; ++c) {
            const double expected = full.covariance[r * kColumns + c];
            EXPECT_NEAR(reduced.covariance[r * kShared + c], expected, 1e-10 * (1.0 + std::abs(expected)));
        }
    }
}
