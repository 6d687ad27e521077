#pragma once

#include <vector>

namespace velk::calibration {

// A least-squares linearisation whose residuals fall into groups of equal, unknown variance:
// the raw (unweighted) jacobian in compressed rows, the raw residuals, the group of every row
// and the standard deviation each group is weighted with.
struct GroupedLinearisation {
    int columns = 0;
    std::vector<int> row_starts;  // rows + 1 entries
    std::vector<int> column_indices;
    std::vector<double> values;
    std::vector<double> residuals;
    std::vector<int> row_groups;
    std::vector<double> group_sigmas;
};

// One round of variance-component estimation: the covariance of the parameters under the weights
// used, and per group the weighted sum of squared residuals and the group's redundancy (its share
// of the degrees of freedom). The group's variance factor is their ratio.
struct VarianceComponents {
    bool ok = false;                 // false when the normal matrix is singular
    std::vector<double> covariance;  // columns x columns, row-major
    std::vector<double> weighted_squares;
    std::vector<double> redundancies;

    double varianceFactor(int group) const;
};

VarianceComponents estimateVarianceComponents(const GroupedLinearisation& linearisation);

}  // namespace velk::calibration
