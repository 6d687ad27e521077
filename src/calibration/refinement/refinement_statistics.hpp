#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace velk::calibration {

// 1-sigma uncertainty of a rigid transform: translation of its origin and a small rotation,
// both expressed in the transform's parent frame.
struct PoseSigma {
    std::vector<double> translation_mm = {0.0, 0.0, 0.0};
    double translation_norm_mm = 0.0;  // square root of the trace of the translation covariance
    std::vector<double> rotation_deg = {0.0, 0.0, 0.0};
    double rotation_norm_deg = 0.0;
};

// What the least-squares solver reported.
struct RefinementSummary {
    int iterations = 0;
    double initial_cost = 0.0;  // half the sum of robustified squared residuals, px^2
    double final_cost = 0.0;
    bool converged = false;
    std::string message;
    // Wall-clock seconds of a solve that estimates noise levels: each round (its solve and the
    // variance components at its solution), the last solve under the settled levels, and the
    // covariance at that solution. No rounds for a solve that estimates none; zero for other solvers.
    std::vector<double> round_seconds;
    double final_solve_seconds = 0.0;
    double covariance_seconds = 0.0;
};

// Per-view residuals after a refinement and the views that stand out.
struct ViewResiduals {
    std::vector<double> per_view_rms_px;
    std::vector<int> outlier_views;  // positions in the view list
    double rms_px = 0.0;             // over every corner
    // Per view, where the refined values put its corners (N x 2 CV_64F pixels, in the order of the
    // view's points): each observed corner plus its residual, as the solver evaluated them.
    std::vector<cv::Mat> projected_corners;
};

// Copies the residual figures into a refinement result (any type with the four members above).
template <typename Refinement>
void storeViewResiduals(const ViewResiduals& residuals, Refinement& result) {
    result.per_view_rms_px = residuals.per_view_rms_px;
    result.outlier_views = residuals.outlier_views;
    result.rms_px = residuals.rms_px;
    result.projected_corners = residuals.projected_corners;
}

}  // namespace velk::calibration
