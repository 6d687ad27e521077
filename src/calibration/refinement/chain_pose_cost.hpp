#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <vector>

#include <ceres/ceres.h>
#include <ceres/rotation.h>

#include "calibration/refinement/chain_pose_prediction.hpp"
#include "calibration/refinement/pose_block.hpp"

namespace velk::calibration {

// The error of one measured camera_T_target against the chain's prediction, either its translation
// (predicted minus measured, metres, in the camera frame) or its rotation (the angle-axis of
// R_measured^T * R_predicted, radians). Parameter blocks: the mount pose, the carrier pose (both
// PoseBlock [w, t] over the base rotations they point to) and, when any are free, the free
// corrections in the order of free_corrections; the others stay at zero. Unweighted: the caller
// weights the two halves.
struct ChainPoseCost {
    ChainSetup setup = ChainSetup::kSensorFixed;
    const kinematics::KinematicChain* chain = nullptr;
    const kinematics::CorrectionLayout* layout = nullptr;
    const std::vector<int>* free_corrections = nullptr;
    const double* mount_base = nullptr;
    const double* carrier_base = nullptr;
    std::vector<double> joints;
    double measured_rotation[9] = {};  // row-major
    double measured_translation[3] = {};
    bool rotation_half = false;

    template <typename T>
    static kinematics::RigidMotion<T> poseMotion(const T* parameters, const double* base) {
        double baseRotation[9];
        ceres::AngleAxisToRotationMatrix(base, ceres::RowMajorAdapter3x3(baseRotation));
        T update[9];
        ceres::AngleAxisToRotationMatrix(parameters, ceres::RowMajorAdapter3x3(update));
        kinematics::RigidMotion<T> motion;
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 3; ++col) {
                motion.r[3 * row + col] = update[3 * row] * baseRotation[col] +
                                          update[3 * row + 1] * baseRotation[3 + col] +
                                          update[3 * row + 2] * baseRotation[6 + col];
            }
            motion.t[row] = parameters[3 + row];
        }
        return motion;
    }

    template <typename T>
    bool operator()(T const* const* parameters, T* residual) const {
        std::vector<T> corrections(layout->count(), T(0.0));
        for (size_t k = 0; k < free_corrections->size(); ++k) {
            corrections[(*free_corrections)[k]] = parameters[2][k];
        }
        const kinematics::RigidMotion<T> predicted =
            predictedCameraTTarget(setup, *chain, *layout, corrections.data(), joints.data(),
                                   poseMotion(parameters[0], mount_base), poseMotion(parameters[1], carrier_base));
        if (!rotation_half) {
            for (int k = 0; k < 3; ++k) {
                residual[k] = predicted.t[k] - T(measured_translation[k]);
            }
            return true;
        }
        T error[9];
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 3; ++col) {
                error[3 * row + col] = T(measured_rotation[row]) * predicted.r[col] +
                                       T(measured_rotation[3 + row]) * predicted.r[3 + col] +
                                       T(measured_rotation[6 + row]) * predicted.r[6 + col];
            }
        }
        ceres::RotationMatrixToAngleAxis(ceres::RowMajorAdapter3x3(static_cast<const T*>(error)), residual);
        return true;
    }

    static ceres::CostFunction* Create(ChainPoseCost* cost) {
        auto* function = new ceres::DynamicAutoDiffCostFunction<ChainPoseCost>(cost);
        function->AddParameterBlock(kPoseParameterCount);
        function->AddParameterBlock(kPoseParameterCount);
        if (!cost->free_corrections->empty()) {
            function->AddParameterBlock(static_cast<int>(cost->free_corrections->size()));
        }
        function->SetNumResiduals(3);
        return function;
    }
};

}  // namespace velk::calibration
