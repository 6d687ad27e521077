#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <ceres/ceres.h>

#include "calibration/refinement/pose_block.hpp"

namespace velk::calibration {

// One half of a view's correction [w, t] against its prior of zero: the rotation w (radians) or the
// translation t (metres), unweighted. The half's noise level is the weight of the loss the residual
// is added with, so that it can change between solves.
struct CorrectionPriorCost {
    enum class Half { Rotation = 0, Translation = 3 };  // the half's first parameter in [w, t]

    int first_parameter = 0;

    template <typename T>
    bool operator()(const T* correction, T* residual) const {
        for (int k = 0; k < 3; ++k) {
            residual[k] = correction[first_parameter + k];
        }
        return true;
    }

    static ceres::CostFunction* Create(Half half) {
        return new ceres::AutoDiffCostFunction<CorrectionPriorCost, 3, kPoseParameterCount>(
            new CorrectionPriorCost{static_cast<int>(half)});
    }
};

}  // namespace velk::calibration
