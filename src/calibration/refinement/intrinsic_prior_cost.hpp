#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <vector>

#include <ceres/ceres.h>

#include "calibration/refinement/reprojection_cost.hpp"

namespace velk::calibration {

// A camera's [fx, fy, cx, cy] against the values it was given, each over its own standard deviation:
// (value - given) / sigma, so the residual is already weighted.
struct IntrinsicPriorCost {
    double given_px[kIntrinsicCount] = {};
    double inverse_sigma_per_px[kIntrinsicCount] = {};

    template <typename T>
    bool operator()(const T* intrinsics, T* residual) const {
        for (int k = 0; k < kIntrinsicCount; ++k) {
            residual[k] = (intrinsics[k] - T(given_px[k])) * T(inverse_sigma_per_px[k]);
        }
        return true;
    }

    // given_px: the four values; sigmas_px: their four standard deviations.
    static ceres::CostFunction* Create(const double* given_px, const std::vector<double>& sigmas_px) {
        auto* cost = new IntrinsicPriorCost();
        for (int k = 0; k < kIntrinsicCount; ++k) {
            cost->given_px[k] = given_px[k];
            cost->inverse_sigma_per_px[k] = 1.0 / sigmas_px[k];
        }
        return new ceres::AutoDiffCostFunction<IntrinsicPriorCost, kIntrinsicCount, kIntrinsicCount>(cost);
    }
};

}  // namespace velk::calibration
