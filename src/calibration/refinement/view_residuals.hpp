#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <vector>

#include <ceres/ceres.h>

#include "calibration/refinement/refinement_statistics.hpp"

namespace velk::calibration {

// The corner residual blocks (2 pixels each) of every view, in view order.
using ViewResidualBlocks = std::vector<std::vector<ceres::ResidualBlockId>>;

// Sum of the squared raw pixel residuals of one view.
double squaredPixelResiduals(ceres::Problem& problem, const std::vector<ceres::ResidualBlockId>& view);

// Per-view RMS, overall RMS and the views whose RMS stands out (robust z-score above the limit).
ViewResiduals summarizeViewResiduals(ceres::Problem& problem, const ViewResidualBlocks& views,
                                     double outlier_z_score);

}  // namespace velk::calibration
