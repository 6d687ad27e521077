#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <ceres/ceres.h>

#include "calibration/refinement/pose_block.hpp"

namespace velk::calibration {

// One parameter of a pose block's [w, t] against a value known from elsewhere (a measurement of the
// mount), weighted by its own 1-sigma.
struct PoseParameterPriorCost {
    int parameter = 0;
    double value = 0.0;
    double sigma = 1.0;

    template <typename T>
    bool operator()(const T* pose, T* residual) const {
        residual[0] = (pose[parameter] - value) / sigma;
        return true;
    }

    static ceres::CostFunction* Create(int parameter, double value, double sigma) {
        return new ceres::AutoDiffCostFunction<PoseParameterPriorCost, 1, kPoseParameterCount>(
            new PoseParameterPriorCost{parameter, value, sigma});
    }
};

}  // namespace velk::calibration
