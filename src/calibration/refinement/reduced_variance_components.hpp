#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <vector>

#include "calibration/refinement/shared_information.hpp"
#include "calibration/refinement/variance_components.hpp"

namespace velk::calibration {

// The round of variance components estimateVarianceComponents computes, for a problem whose unknowns
// split into shared ones and small local blocks (each view's own correction) that no row holds two
// of. The local blocks are eliminated through the Schur complement of their diagonal blocks, so the
// cost grows with the rows and the number of blocks instead of the cube of all the unknowns. The
// covariance returned is that of the shared unknowns alone (shared.count x shared.count, row-major,
// in their shared order); weighted squares and redundancies are those of the whole problem.
// Throws std::logic_error for a row that holds two local blocks.
VarianceComponents estimateReducedVarianceComponents(const GroupedLinearisation& linearisation,
                                                     const SharedColumns& shared,
                                                     const std::vector<LocalColumns>& local);

// The Gauss-Newton step of a linearised problem from the point it was linearised at, the local blocks
// eliminated as above, and the variance components of the residuals it leaves (r + J step): one round of
// estimating the noise levels on the linear model, without evaluating the problem again. ok is false when a
// normal block is singular or the step is not finite.
struct ReducedStep {
    bool ok = false;
    VarianceComponents components;
    std::vector<double> shared_step;  // in shared order
};
ReducedStep reducedGaussNewtonStep(const GroupedLinearisation& linearisation, const SharedColumns& shared,
                                   const std::vector<LocalColumns>& local);

}  // namespace velk::calibration
