#include "calibration/refinement/variance_components.hpp"

#include <cmath>
#include <limits>

#include <Eigen/Dense>

namespace velk::calibration {

double VarianceComponents::varianceFactor(int group) const {
    const double redundancy = redundancies.at(group);
    if (!(redundancy > 1e-9)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return weighted_squares.at(group) / redundancy;
}

VarianceComponents estimateVarianceComponents(const GroupedLinearisation& lin) {
    const int rows = static_cast<int>(lin.row_groups.size());
    const int groups = static_cast<int>(lin.group_sigmas.size());
    Eigen::MatrixXd normal = Eigen::MatrixXd::Zero(lin.columns, lin.columns);
    VarianceComponents result;
    result.weighted_squares.assign(groups, 0.0);
    result.redundancies.assign(groups, 0.0);
    // Normal matrix from the sparse rows: each row adds the outer product of its few entries.
    for (int r = 0; r < rows; ++r) {
        const int group = lin.row_groups[r];
        const double weight = 1.0 / (lin.group_sigmas[group] * lin.group_sigmas[group]);
        result.weighted_squares[group] += weight * lin.residuals[r] * lin.residuals[r];
        for (int a = lin.row_starts[r]; a < lin.row_starts[r + 1]; ++a) {
            for (int b = lin.row_starts[r]; b < lin.row_starts[r + 1]; ++b) {
                normal(lin.column_indices[a], lin.column_indices[b]) += weight * lin.values[a] * lin.values[b];
            }
        }
    }
    const Eigen::LDLT<Eigen::MatrixXd> factor(normal);
    if (factor.info() != Eigen::Success || !factor.isPositive() ||
        factor.vectorD().minCoeff() <= factor.vectorD().maxCoeff() * 1e-15) {
        return result;
    }
    const Eigen::MatrixXd covariance = factor.solve(Eigen::MatrixXd::Identity(lin.columns, lin.columns));
    if (!covariance.allFinite()) {
        return result;
    }
    // Redundancy of a row: 1 - its leverage, w * a^T Q a over the row's entries a.
    for (int r = 0; r < rows; ++r) {
        const int group = lin.row_groups[r];
        const double weight = 1.0 / (lin.group_sigmas[group] * lin.group_sigmas[group]);
        double leverage = 0.0;
        for (int a = lin.row_starts[r]; a < lin.row_starts[r + 1]; ++a) {
            for (int b = lin.row_starts[r]; b < lin.row_starts[r + 1]; ++b) {
                leverage += lin.values[a] * covariance(lin.column_indices[a], lin.column_indices[b]) * lin.values[b];
            }
        }
        result.redundancies[group] += 1.0 - weight * leverage;
    }
    result.covariance.assign(covariance.data(), covariance.data() + covariance.size());
    result.ok = true;
    return result;
}

}  // namespace velk::calibration
