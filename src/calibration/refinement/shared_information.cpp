#include "calibration/refinement/shared_information.hpp"

namespace velk::calibration {
namespace {

cv::Mat asMat(const Eigen::MatrixXd& matrix) {
    cv::Mat copy(static_cast<int>(matrix.rows()), static_cast<int>(matrix.cols()), CV_64F);
    for (int r = 0; r < copy.rows; ++r) {
        for (int c = 0; c < copy.cols; ++c) {
            copy.at<double>(r, c) = matrix(r, c);
        }
    }
    return copy;
}

}  // namespace

SplitInformation::SplitInformation(const SharedColumns& shared, LocalColumns local)
    : columns_(shared),
      local_(local),
      shared_block_(Eigen::MatrixXd::Zero(shared.count, shared.count)),
      mixed_block_(Eigen::MatrixXd::Zero(shared.count, local.count)),
      local_block_(Eigen::MatrixXd::Zero(local.count, local.count)),
      shared_gradient_(Eigen::VectorXd::Zero(shared.count)),
      local_gradient_(Eigen::VectorXd::Zero(local.count)) {}

void SplitInformation::addRows(const GroupedLinearisation& lin, RowRange rows, const std::vector<double>* row_factors) {
    const std::vector<int>& shared = columns_.index;
    for (int r = rows.first; r < rows.end; ++r) {
        const double sigma = lin.group_sigmas[lin.row_groups[r]];
        const double weight = (row_factors ? (*row_factors)[r] : 1.0) / (sigma * sigma);
        const double pull = weight * lin.residuals[r];
        for (int i = lin.row_starts[r]; i < lin.row_starts[r + 1]; ++i) {
            const int ci = lin.column_indices[i];
            const double vi = weight * lin.values[i];
            const bool localI = local_.contains(ci);
            if (localI) {
                local_gradient_(ci - local_.first) += pull * lin.values[i];
            } else if (shared[ci] >= 0) {
                shared_gradient_(shared[ci]) += pull * lin.values[i];
            }
            for (int j = lin.row_starts[r]; j < lin.row_starts[r + 1]; ++j) {
                const int cj = lin.column_indices[j];
                const bool localJ = local_.contains(cj);
                const double value = vi * lin.values[j];
                if (!localI && !localJ && shared[ci] >= 0 && shared[cj] >= 0) {
                    shared_block_(shared[ci], shared[cj]) += value;
                } else if (!localI && localJ && shared[ci] >= 0) {
                    mixed_block_(shared[ci], cj - local_.first) += value;
                } else if (localI && localJ) {
                    local_block_(ci - local_.first, cj - local_.first) += value;
                }
            }
        }
    }
}

cv::Mat SplitInformation::shared() const {
    return asMat(shared_block_);
}

Eigen::MatrixXd SplitInformation::reducedInformation() const {
    if (local_.count == 0) {
        return shared_block_;
    }
    const Eigen::MatrixXd schur = shared_block_ - mixed_block_ * local_block_.ldlt().solve(mixed_block_.transpose());
    return 0.5 * (schur + schur.transpose());
}

cv::Mat SplitInformation::marginal() const {
    return asMat(reducedInformation());
}

Eigen::VectorXd SplitInformation::reducedGradient() const {
    if (local_.count == 0) {
        return shared_gradient_;
    }
    return shared_gradient_ - mixed_block_ * local_block_.ldlt().solve(local_gradient_);
}

bool positiveDefinite(const Eigen::LDLT<Eigen::MatrixXd>& factor) {
    return factor.info() == Eigen::Success && factor.isPositive() &&
           factor.vectorD().minCoeff() > factor.vectorD().maxCoeff() * 1e-15;
}

std::vector<cv::Mat> viewInformation(const GroupedLinearisation& linearisation, const JacobianLayout& layout,
                                     const SharedColumns& shared, const std::vector<LocalColumns>& corrections) {
    std::vector<cv::Mat> information;
    for (size_t v = 0; v < layout.views.size(); ++v) {
        const ViewRows& rows = layout.views[v];
        SplitInformation view(shared, corrections.at(v));
        view.addRows(linearisation, rows.corners);
        view.addRows(linearisation, rows.translation_prior);
        view.addRows(linearisation, rows.rotation_prior);
        information.push_back(view.marginal());
    }
    return information;
}

cv::Mat groupInformation(const GroupedLinearisation& linearisation, const JacobianLayout& layout,
                         const SharedColumns& shared, int group) {
    SplitInformation rows(shared, LocalColumns());
    for (const RowRange& range : layout.group_rows.at(group)) {
        rows.addRows(linearisation, range);
    }
    return rows.shared();
}

}  // namespace velk::calibration
