#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <vector>

#include <ceres/ceres.h>
#include <opencv2/core.hpp>

#include "calibration/refinement/refinement_statistics.hpp"

namespace velk::calibration {

// The corner residual blocks (2 pixels each) of every view, in view order.
using ViewResidualBlocks = std::vector<std::vector<ceres::ResidualBlockId>>;

// Sum of the squared raw pixel residuals of one view.
double squaredPixelResiduals(ceres::Problem& problem, const std::vector<ceres::ResidualBlockId>& view);

// Per-view RMS, overall RMS and the views whose RMS stands out (robust z-score above the limit).
ViewResiduals summarizeViewResiduals(ceres::Problem& problem, const ViewResidualBlocks& views, double outlier_z_score);

// Per view, the pixels (N x 2 CV_64F) its corners project to at the current values: the observed
// pixels (N x 2 CV_64F, one row per residual block) plus the raw residuals.
std::vector<cv::Mat> projectedCorners(ceres::Problem& problem, const ViewResidualBlocks& views,
                                      const std::vector<cv::Mat>& observed);

}  // namespace velk::calibration
