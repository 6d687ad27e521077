#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <vector>

#include "calibration/refinement/jacobian_layout.hpp"
#include "calibration/refinement/shared_information.hpp"
#include "calibration/refinement/variance_components.hpp"

namespace velk::calibration {

// The shared unknowns of a solved problem with one view left out.
struct LeftOutStep {
    bool ok = false;                 // false when the other views do not determine the shared unknowns
    std::vector<double> step;        // per shared unknown, in shared order
    std::vector<double> covariance;  // shared x shared, row-major
};

// For every view: one Gauss-Newton step of the shared unknowns from the point of the linearisation
// with the view's rows (its corners and its correction's prior) and its correction removed. The other
// views' corrections are eliminated, so they follow the step as a solve would move them. For the step
// each corner is weighted as a Huber loss of bound pixel_huber_px (on the corner's residual length)
// weighs it at the point, as reweighted least squares does, so that a robust solution is a stationary
// point; the covariance is that of the plain weighted rows, as the solve reports its own.
std::vector<LeftOutStep> leaveOneViewOut(const GroupedLinearisation& linearisation, const JacobianLayout& layout,
                                         const SharedColumns& shared, const std::vector<LocalColumns>& corrections,
                                         double pixel_huber_px);

}  // namespace velk::calibration
