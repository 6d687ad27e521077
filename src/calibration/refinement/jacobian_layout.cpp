#include "calibration/refinement/jacobian_layout.hpp"

#include <utility>

namespace velk::calibration {

RowRange JacobianLayout::append(const ceres::Problem& problem, const std::vector<ceres::ResidualBlockId>& added,
                                int group) {
    RowRange rows{rowCount(), rowCount()};
    for (ceres::ResidualBlockId block : added) {
        rows.end += problem.GetCostFunctionForResidualBlock(block)->num_residuals();
        blocks.push_back(block);
    }
    row_groups.insert(row_groups.end(), rows.count(), group);
    group_rows.at(group).push_back(rows);
    return rows;
}

bool lineariseInLayout(ceres::Problem& problem, const std::vector<double*>& parameter_blocks, int column_count,
                       const JacobianLayout& layout, const std::vector<double>& group_sigmas,
                       GroupedLinearisation& linearisation) {
    ceres::Problem::EvaluateOptions options;
    options.parameter_blocks = parameter_blocks;
    options.residual_blocks = layout.blocks;
    options.apply_loss_function = false;
    ceres::CRSMatrix jacobian;
    if (!problem.Evaluate(options, nullptr, &linearisation.residuals, nullptr, &jacobian) ||
        jacobian.num_cols != column_count || jacobian.num_rows != layout.rowCount()) {
        return false;
    }
    linearisation.columns = jacobian.num_cols;
    linearisation.row_starts = std::move(jacobian.rows);
    linearisation.column_indices = std::move(jacobian.cols);
    linearisation.values = std::move(jacobian.values);
    linearisation.row_groups = layout.row_groups;
    linearisation.group_sigmas = group_sigmas;
    return true;
}

}  // namespace velk::calibration
