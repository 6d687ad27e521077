#include <random>
#include <vector>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include "calibration/refinement/jacobian_layout.hpp"
#include "calibration/refinement/leave_one_out.hpp"

using namespace velk::calibration;

namespace {

constexpr int kShared = 3, kViews = 5, kLocal = 2, kCornerRows = 6;
constexpr double kPixelSigma = 0.5, kPriorSigma = 0.1;

// A linear problem shaped like the refinement's: every view's corner rows hold the shared unknowns and
// its own two, each view's prior rows its own alone. Columns: shared first, then each view's block.
struct LinearProblem {
    Eigen::MatrixXd design;
    Eigen::VectorXd observations;
    std::vector<int> groups;
    std::vector<int> view_of_row;
    JacobianLayout layout;
};

LinearProblem linearProblem(unsigned seed) {
    std::mt19937 engine(seed);
    std::normal_distribution<double> unit(0.0, 1.0);
    LinearProblem p;
    const int rows = kViews * (kCornerRows + 2);
    p.design = Eigen::MatrixXd::Zero(rows, kShared + kViews * kLocal);
    p.observations = Eigen::VectorXd(rows);
    p.layout.views.resize(kViews);
    int r = 0;
    for (int v = 0; v < kViews; ++v) {
        const int local = kShared + v * kLocal;
        p.layout.views[v].corners = {r, r + kCornerRows};
        for (int k = 0; k < kCornerRows; ++k, ++r) {
            for (int c = 0; c < kShared; ++c) {
                p.design(r, c) = unit(engine);
            }
            p.design(r, local) = unit(engine);
            p.design(r, local + 1) = unit(engine);
            p.groups.push_back(kPixelGroup);
            p.view_of_row.push_back(v);
        }
        p.layout.views[v].translation_prior = {r, r + 1};
        p.layout.views[v].rotation_prior = {r + 1, r + 2};
        for (int k = 0; k < 2; ++k, ++r) {
            p.design(r, local + k) = 1.0;
            p.groups.push_back(k == 0 ? kTranslationGroup : kRotationGroup);
            p.view_of_row.push_back(v);
        }
    }
    for (int row = 0; row < rows; ++row) {
        p.observations(row) = unit(engine);
    }
    p.layout.row_groups = p.groups;
    return p;
}

// The raw jacobian and residuals (design * x - observations) at x, as the solver would evaluate them.
GroupedLinearisation linearisedAt(const LinearProblem& p, const Eigen::VectorXd& x) {
    GroupedLinearisation lin;
    lin.columns = static_cast<int>(p.design.cols());
    lin.row_starts.push_back(0);
    const Eigen::VectorXd residuals = p.design * x - p.observations;
    for (int r = 0; r < p.design.rows(); ++r) {
        for (int c = 0; c < p.design.cols(); ++c) {
            if (p.design(r, c) != 0.0) {
                lin.column_indices.push_back(c);
                lin.values.push_back(p.design(r, c));
            }
        }
        lin.row_starts.push_back(static_cast<int>(lin.values.size()));
        lin.residuals.push_back(residuals(r));
    }
    lin.row_groups = p.groups;
    lin.group_sigmas = {kPixelSigma, kPriorSigma, kPriorSigma, 1.0};
    return lin;
}

}  // namespace

// The problem is linear, so one Gauss-Newton step from any point is the exact solution without the view:
// the step and the covariance must equal a direct weighted solve of the other views' rows.
TEST(LeaveOneViewOut, StepEndsAtTheSolutionWithoutTheViewAndItsCovariance) {
    const LinearProblem p = linearProblem(3);
    std::mt19937 engine(11);
    std::normal_distribution<double> unit(0.0, 1.0);
    Eigen::VectorXd start(p.design.cols());
    for (int c = 0; c < start.size(); ++c) {
        start(c) = unit(engine);
    }
    SharedColumns shared;
    shared.index.assign(p.design.cols(), -1);
    std::vector<LocalColumns> local;
    for (int c = 0; c < kShared; ++c) {
        shared.index[c] = shared.count++;
    }
    for (int v = 0; v < kViews; ++v) {
        local.push_back({kShared + v * kLocal, kLocal});
    }
    const std::vector<LeftOutStep> steps = leaveOneViewOut(linearisedAt(p, start), p.layout, shared, local, 0.0);
    ASSERT_EQ(steps.size(), static_cast<size_t>(kViews));
    for (int left = 0; left < kViews; ++left) {
        std::vector<int> rows;
        for (int r = 0; r < p.design.rows(); ++r) {
            if (p.view_of_row[r] != left) {
                rows.push_back(r);
            }
        }
        std::vector<int> columns;
        for (int c = 0; c < p.design.cols(); ++c) {
            if (c < kShared || (c - kShared) / kLocal != left) {
                columns.push_back(c);
            }
        }
        Eigen::MatrixXd a(rows.size(), columns.size());
        Eigen::VectorXd b(rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            const double sigma = p.groups[rows[i]] == kPixelGroup ? kPixelSigma : kPriorSigma;
            for (size_t j = 0; j < columns.size(); ++j) {
                a(i, j) = p.design(rows[i], columns[j]) / sigma;
            }
            b(i) = p.observations(rows[i]) / sigma;
        }
        const Eigen::MatrixXd normal = a.transpose() * a;
        const Eigen::VectorXd solution = normal.ldlt().solve(a.transpose() * b);
        const Eigen::MatrixXd covariance = normal.inverse();
        ASSERT_TRUE(steps[left].ok);
        for (int c = 0; c < kShared; ++c) {
            EXPECT_NEAR(start(c) + steps[left].step[c], solution(c), 1e-9) << "view " << left << " column " << c;
            for (int d = 0; d < kShared; ++d) {
                EXPECT_NEAR(steps[left].covariance[c * kShared + d], covariance(c, d), 1e-9);
            }
        }
    }
}
