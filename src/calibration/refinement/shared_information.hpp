#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <vector>

#include <Eigen/Dense>
#include <opencv2/core.hpp>

#include "calibration/refinement/jacobian_layout.hpp"
#include "calibration/refinement/variance_components.hpp"

namespace velk::calibration {

// The jacobian's columns split between the unknowns several views share (poses, cameras) and the ones
// that belong to a single view (its correction): per column, its place among the shared unknowns, or
// -1 for a view's own column.
struct SharedColumns {
    std::vector<int> index;  // per jacobian column
    int count = 0;           // shared unknowns
};

// The columns of one view's own unknowns, [first, first + count); first is -1 when there are none.
struct LocalColumns {
    int first = -1;
    int count = 0;

    bool contains(int column) const { return first >= 0 && column >= first && column < first + count; }
};

// What some jacobian rows say about the unknowns, each row weighted by 1 / sigma^2 of its group, as
// the three blocks of their normal matrix: shared x shared, shared x local and local x local; beside
// them the gradient of half the weighted squared residuals, shared and local.
class SplitInformation {
public:
    SplitInformation(const SharedColumns& shared, LocalColumns local);

    // row_factors: per jacobian row, a factor of the row's weight (a robust loss's slope at its
    // residual, as iteratively reweighted least squares weighs it); nullptr for 1.
    void addRows(const GroupedLinearisation& linearisation, RowRange rows,
                 const std::vector<double>* row_factors = nullptr);
    // Shared x shared alone: the information about the shared unknowns with the local ones known.
    cv::Mat shared() const;
    // The local unknowns marginalised (the Schur complement of their block), made exactly symmetric.
    cv::Mat marginal() const;
    Eigen::MatrixXd reducedInformation() const;
    // The shared gradient with the local unknowns at their best for any shared values.
    Eigen::VectorXd reducedGradient() const;

private:
    const SharedColumns& columns_;
    LocalColumns local_;
    Eigen::MatrixXd shared_block_;
    Eigen::MatrixXd mixed_block_;
    Eigen::MatrixXd local_block_;
    Eigen::VectorXd shared_gradient_;
    Eigen::VectorXd local_gradient_;
};

// Whether an LDLT factor is of a positive definite matrix that is not nearly singular.
bool positiveDefinite(const Eigen::LDLT<Eigen::MatrixXd>& factor);

// Per view: what its corners and both halves of its correction's prior say about the shared unknowns,
// its correction (corrections[view]) marginalised. Each is shared x shared (CV_64F).
std::vector<cv::Mat> viewInformation(const GroupedLinearisation& linearisation, const JacobianLayout& layout,
                                     const SharedColumns& shared, const std::vector<LocalColumns>& corrections);

// What the rows of one variance group say about the shared unknowns, for a group whose rows hold no
// view's own unknowns (the intrinsic priors).
cv::Mat groupInformation(const GroupedLinearisation& linearisation, const JacobianLayout& layout,
                         const SharedColumns& shared, int group);

}  // namespace velk::calibration
