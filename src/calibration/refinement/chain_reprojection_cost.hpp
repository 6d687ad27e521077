#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <algorithm>
#include <utility>
#include <vector>

#include <ceres/ceres.h>
#include <ceres/rotation.h>

#include "calibration/refinement/corrected_reprojection_cost.hpp"
#include "calibration/refinement/pose_block.hpp"
#include "kinematics/chain_corrections.hpp"
#include "kinematics/forward_kinematics.hpp"
#include "kinematics/kinematic_chain.hpp"
#include "kinematics/rigid_motion.hpp"

namespace velk::calibration {

// The known transform of one view computed through a serial chain: base_T_flange at the view's
// joint readings with the chain's free corrections (or its inverse), and the derivative of that
// transform with respect to the free corrections as a left twist [w, v]:
//   M(k + dk) ~ exp([w, v] dk) * M(k).
// Every corner of the view shares it, so the chain is evaluated once per set of correction values
// rather than once per corner.
class ChainViewMount {
public:
    ChainViewMount(const kinematics::KinematicChain* chain, const kinematics::CorrectionLayout* layout,
                   const std::vector<int>* free_corrections, std::vector<double> joints, bool invert_flange)
        : chain_(chain), layout_(layout), free_(free_corrections), joints_(std::move(joints)), invert_(invert_flange) {}

    // Brings the transform and its twist jacobian to the given values of the free corrections.
    void update(const double* free_values) {
        const int n = static_cast<int>(free_->size());
        if (valid_ && std::equal(free_values, free_values + n, last_.begin())) {
            return;
        }
        last_.assign(free_values, free_values + n);
        valid_ = true;
        using Dual = ceres::Jet<double, 1>;
        std::vector<Dual> corrections(layout_->count(), Dual(0.0));
        for (int k = 0; k < n; ++k) {
            corrections[(*free_)[k]] = Dual(free_values[k]);
        }
        twist_jacobian_.assign(static_cast<size_t>(kPoseParameterCount) * n, 0.0);
        for (int i = 0; i < n; ++i) {
            corrections[(*free_)[i]].v[0] = 1.0;
            const kinematics::RigidMotion<Dual> motion = mountAt(corrections.data());
            corrections[(*free_)[i]].v[0] = 0.0;
            storeValue(motion);
            storeTwist(motion, i, n);
        }
        if (n == 0) {
            storeValue(mountAt(corrections.data()));
        }
    }

    const kinematics::RigidMotion<double>& mount() const { return mount_; }
    // 6 x n, row-major: rows [w, v], one column per free correction.
    const std::vector<double>& twistJacobian() const { return twist_jacobian_; }
    int freeCount() const { return static_cast<int>(free_->size()); }

private:
    template <typename T>
    kinematics::RigidMotion<T> mountAt(const T* corrections) const {
        const kinematics::RigidMotion<T> flange =
            kinematics::baseTFlange(*chain_, *layout_, corrections, joints_.data());
        return invert_ ? flange.inverse() : flange;
    }

    void storeValue(const kinematics::RigidMotion<ceres::Jet<double, 1>>& motion) {
        for (int k = 0; k < 9; ++k) {
            mount_.r[k] = motion.r[k].a;
        }
        for (int k = 0; k < 3; ++k) {
            mount_.t[k] = motion.t[k].a;
        }
    }

    // Omega = dR * R^T gives w; v = dt - Omega * t.
    void storeTwist(const kinematics::RigidMotion<ceres::Jet<double, 1>>& motion, int column, int n) {
        double omega[9];
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                omega[3 * r + c] = 0.0;
                for (int j = 0; j < 3; ++j) {
                    omega[3 * r + c] += motion.r[3 * r + j].v[0] * motion.r[3 * c + j].a;
                }
            }
        }
        const double w[3] = {omega[7], omega[2], omega[3]};
        for (int r = 0; r < 3; ++r) {
            double v = motion.t[r].v[0];
            for (int c = 0; c < 3; ++c) {
                v -= omega[3 * r + c] * motion.t[c].a;
            }
            twist_jacobian_[static_cast<size_t>(r) * n + column] = w[r];
            twist_jacobian_[static_cast<size_t>(3 + r) * n + column] = v;
        }
    }

    const kinematics::KinematicChain* chain_;
    const kinematics::CorrectionLayout* layout_;
    const std::vector<int>* free_;
    std::vector<double> joints_;
    bool invert_;
    bool valid_ = false;
    std::vector<double> last_;
    kinematics::RigidMotion<double> mount_ = kinematics::RigidMotion<double>::identity();
    std::vector<double> twist_jacobian_;
};

// CorrectedReprojectionCost with the view's known transform taken from its ChainViewMount and moved
// by a small twist [w, v] of its own (zero where it is evaluated): exp([w, v]) * M.
struct MountedCornerCost {
    CorrectedReprojectionCost corrected;
    const ChainViewMount* view = nullptr;

    template <typename T>
    bool operator()(const T* camera, const T* target, const T* correction, const T* intrinsics, const T* distortion,
                    const T* twist, T* residual) const {
        const kinematics::RigidMotion<double>& m = view->mount();
        const auto mount = [&m, twist](const T* in, T* out) {
            T moved[3];
            for (int r = 0; r < 3; ++r) {
                moved[r] = T(m.t[r]) + T(m.r[3 * r]) * in[0] + T(m.r[3 * r + 1]) * in[1] + T(m.r[3 * r + 2]) * in[2];
            }
            ceres::AngleAxisRotatePoint(twist, moved, out);
            for (int r = 0; r < 3; ++r) {
                out[r] += twist[3 + r];
            }
        };
        const double* object = corrected.plain.object;
        const T p[3] = {T(object[0]), T(object[1]), T(object[2])};
        return corrected.residualThrough(mount, p, camera, target, correction, intrinsics, distortion, residual);
    }
};

// Reprojection residual of one corner whose known transform comes through the chain: over the blocks
// camera pose, target pose, correction, intrinsics, distortion (as CorrectedReprojectionCost) and
// the chain's free corrections. The corner's derivative with respect to the transform's twist comes
// from automatic differentiation, that of the twist with respect to the corrections from the shared
// ChainViewMount; their product is the corrections' jacobian.
class ChainReprojectionCost final : public ceres::CostFunction {
public:
    ChainReprojectionCost(const ReprojectionCost& corner, bool correction_on_left, ChainViewMount* view)
        : view_(view), inner_(new MountedCornerCost{CorrectedReprojectionCost{corner, correction_on_left}, view}) {
        set_num_residuals(2);
        *mutable_parameter_block_sizes() = {kPoseParameterCount, kPoseParameterCount, kPoseParameterCount,
                                            kIntrinsicCount,     kModelledDistortion, view->freeCount()};
    }

    bool Evaluate(double const* const* parameters, double* residuals, double** jacobians) const override {
        view_->update(parameters[5]);
        const double zero[kPoseParameterCount] = {};
        const double* inner[6] = {parameters[0], parameters[1], parameters[2], parameters[3], parameters[4], zero};
        double twistJacobian[2 * kPoseParameterCount];
        double* innerJacobians[6] = {};
        if (jacobians != nullptr) {
            std::copy(jacobians, jacobians + 5, innerJacobians);
            innerJacobians[5] = jacobians[5] != nullptr ? twistJacobian : nullptr;
        }
        if (!inner_.Evaluate(inner, residuals, jacobians != nullptr ? innerJacobians : nullptr)) {
            return false;
        }
        if (jacobians != nullptr && jacobians[5] != nullptr) {
            const int n = view_->freeCount();
            const std::vector<double>& twist = view_->twistJacobian();
            for (int r = 0; r < 2; ++r) {
                for (int i = 0; i < n; ++i) {
                    double sum = 0.0;
                    for (int k = 0; k < kPoseParameterCount; ++k) {
                        sum += twistJacobian[r * kPoseParameterCount + k] * twist[static_cast<size_t>(k) * n + i];
                    }
                    jacobians[5][r * n + i] = sum;
                }
            }
        }
        return true;
    }

private:
    ChainViewMount* view_;
    ceres::AutoDiffCostFunction<MountedCornerCost, 2, kPoseParameterCount, kPoseParameterCount, kPoseParameterCount,
                                kIntrinsicCount, kModelledDistortion, kPoseParameterCount>
        inner_;
};

}  // namespace velk::calibration
