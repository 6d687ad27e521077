#include "calibration/refinement/view_residuals.hpp"

#include <cmath>

#include "calibration/refinement/robust_outliers.hpp"

namespace velk::calibration {

double squaredPixelResiduals(ceres::Problem& problem, const std::vector<ceres::ResidualBlockId>& view) {
    double sum = 0.0;
    for (ceres::ResidualBlockId id : view) {
        double cost = 0.0;
        double residual[2];
        problem.EvaluateResidualBlock(id, false, &cost, residual, nullptr);
        sum += residual[0] * residual[0] + residual[1] * residual[1];
    }
    return sum;
}

ViewResiduals summarizeViewResiduals(ceres::Problem& problem, const ViewResidualBlocks& views, double outlier_z_score) {
    ViewResiduals result;
    double total = 0.0;
    size_t corners = 0;
    std::vector<double> cornerCounts;
    for (const auto& view : views) {
        cornerCounts.push_back(static_cast<double>(view.size()));
        const double sum = squaredPixelResiduals(problem, view);
        total += sum;
        corners += view.size();
        result.per_view_rms_px.push_back(view.empty() ? 0.0 : std::sqrt(sum / view.size()));
    }
    result.rms_px = corners ? std::sqrt(total / corners) : 0.0;
    const double noiseMad = noiseMadOfRms(medianOf(result.per_view_rms_px), medianOf(cornerCounts));
    result.outlier_views = robustOutliers(result.per_view_rms_px, outlier_z_score, noiseMad);
    return result;
}

std::vector<cv::Mat> projectedCorners(ceres::Problem& problem, const ViewResidualBlocks& views,
                                      const std::vector<cv::Mat>& observed) {
    std::vector<cv::Mat> projected;
    for (size_t v = 0; v < views.size(); ++v) {
        cv::Mat pixels = observed.at(v).clone();
        for (size_t p = 0; p < views[v].size(); ++p) {
            double cost = 0.0;
            double residual[2];
            problem.EvaluateResidualBlock(views[v][p], false, &cost, residual, nullptr);
            pixels.at<double>(static_cast<int>(p), 0) += residual[0];
            pixels.at<double>(static_cast<int>(p), 1) += residual[1];
        }
        projected.push_back(pixels);
    }
    return projected;
}

}  // namespace velk::calibration
