#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <vector>

#include <ceres/ceres.h>

#include "calibration/refinement/variance_components.hpp"

namespace velk::calibration {

// The groups of an errors-in-variables problem's residuals, each weighted by one standard deviation:
// corner pixels, the translations and the rotations of the known transforms (estimated from the data),
// and the intrinsic priors, whose residuals carry their own weights (standard deviation 1).
enum VarianceGroup {
    kPixelGroup = 0,
    kTranslationGroup = 1,
    kRotationGroup = 2,
    kIntrinsicPriorGroup = 3,
    kVarianceGroupCount = 4
};

// A run of consecutive jacobian rows, [first, end).
struct RowRange {
    int first = 0;
    int end = 0;

    int count() const { return end - first; }
};

// Where one view's residuals sit among the jacobian's rows.
struct ViewRows {
    RowRange corners;            // two per corner, pixels
    RowRange translation_prior;  // its correction's translation against zero
    RowRange rotation_prior;     // its correction's rotation against zero
};

// The rows of a jacobian as its residual blocks are evaluated: the blocks in row order, the group of
// every row, the rows of each group and, by name, the rows of each view. It is filled block set by
// block set, and whatever reads part of the jacobian takes the rows from here, so that the order the
// sets are added in is known in this one place.
struct JacobianLayout {
    std::vector<ceres::ResidualBlockId> blocks;  // in row order
    std::vector<int> row_groups;                 // per row
    std::vector<std::vector<RowRange>> group_rows = std::vector<std::vector<RowRange>>(kVarianceGroupCount);
    std::vector<ViewRows> views;

    // Appends the blocks, each taking as many rows as its cost has residuals, to one group; returns
    // the rows they take.
    RowRange append(const ceres::Problem& problem, const std::vector<ceres::ResidualBlockId>& added, int group);
    int rowCount() const { return static_cast<int>(row_groups.size()); }
};

// The raw (unweighted) jacobian and residuals of the layout's blocks, rows in the layout's order and
// columns those of parameter_blocks in turn; group_sigmas weights each group. False when the problem
// cannot be evaluated or the jacobian is not column_count wide and the layout's rows high.
bool lineariseInLayout(ceres::Problem& problem, const std::vector<double*>& parameter_blocks, int column_count,
                       const JacobianLayout& layout, const std::vector<double>& group_sigmas,
                       GroupedLinearisation& linearisation);

}  // namespace velk::calibration
