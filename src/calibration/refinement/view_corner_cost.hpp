#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <vector>

#include <ceres/ceres.h>

#include "calibration/refinement/lens_jacobian.hpp"
#include "calibration/refinement/view_transform.hpp"

namespace velk::calibration {

// The reprojection residual of one corner seen through its view's shared ViewTransform: the same
// residual as CorrectedReprojectionCost (with a target scale as ScaledCorrectedReprojectionCost,
// through a chain as ChainReprojectionCost), over the blocks camera pose, target pose, correction,
// intrinsics and distortion, then the target scale (one parameter) or the chain's free corrections.
// The projection is differentiated per corner with respect to the camera-frame point and the lens;
// the point's derivatives with respect to the poses come from the view's transform.
class ViewCornerCost final : public ceres::CostFunction {
public:
    enum class Extra { None, Scale, Chain };

    ViewCornerCost(const ReprojectionCost& corner, ViewTransform* view, Extra extra, ChainViewMount* chain)
        : view_(view), chain_(chain), extra_(extra), equidistant_(corner.equidistant) {
        std::copy(corner.object, corner.object + 3, object_);
        std::copy(corner.observed, corner.observed + 2, observed_);
        set_num_residuals(2);
        std::vector<int>& sizes = *mutable_parameter_block_sizes();
        sizes = {kPoseParameterCount, kPoseParameterCount, kPoseParameterCount, kIntrinsicCount, kModelledDistortion};
        if (extra == Extra::Scale) {
            sizes.push_back(1);
        } else if (extra == Extra::Chain) {
            sizes.push_back(chain->freeCount());
        }
    }

    bool Evaluate(double const* const* parameters, double* residuals, double** jacobians) const override {
        if (extra_ == Extra::Chain) {
            chain_->update(parameters[5]);
        }
        const bool posed = jacobians != nullptr && (jacobians[0] != nullptr || jacobians[1] != nullptr ||
                                                    jacobians[2] != nullptr || (extra_ != Extra::None && jacobians[5]));
        view_->update(parameters[0], parameters[1], parameters[2], posed);
        const double scale = extra_ == Extra::Scale ? parameters[5][0] : 1.0;
        const double p[3] = {scale * object_[0], scale * object_[1], scale * object_[2]};
        double x[3];
        view_->apply(p, x);
        if (jacobians == nullptr) {
            double pixel[2];
            projectThroughLens(equidistant_, x, parameters[3], parameters[4], pixel);
            residuals[0] = pixel[0] - observed_[0];
            residuals[1] = pixel[1] - observed_[1];
            return true;
        }
        const LensJacobian lens = lensJacobian(equidistant_, x, parameters[3], parameters[4]);
        residuals[0] = lens.pixel[0] - observed_[0];
        residuals[1] = lens.pixel[1] - observed_[1];
        storeLensJacobians(lens, jacobians);
        if (posed) {
            storePoseJacobians(lens, p, jacobians);
        }
        return true;
    }

private:
    static void storeLensJacobians(const LensJacobian& lens, double** jacobians) {
        for (int r = 0; r < 2; ++r) {
            if (jacobians[3] != nullptr) {
                std::copy(lens.intrinsics[r], lens.intrinsics[r] + kIntrinsicCount, jacobians[3] + r * kIntrinsicCount);
            }
            if (jacobians[4] != nullptr) {
                std::copy(lens.distortion[r], lens.distortion[r] + kModelledDistortion,
                          jacobians[4] + r * kModelledDistortion);
            }
        }
    }

    // The pixel's derivatives through the camera-frame point: d pixel / d x times d x / d parameters.
    void storePoseJacobians(const LensJacobian& lens, const double* p, double** jacobians) const {
        double pointJacobian[3 * kViewTransformParameters];
        view_->pointJacobian(p, pointJacobian);
        double chained[2][kViewTransformParameters];
        for (int r = 0; r < 2; ++r) {
            for (int k = 0; k < kViewTransformParameters; ++k) {
                chained[r][k] = lens.point[r][0] * pointJacobian[k] +
                                lens.point[r][1] * pointJacobian[kViewTransformParameters + k] +
                                lens.point[r][2] * pointJacobian[2 * kViewTransformParameters + k];
            }
        }
        for (int b = 0; b < 3; ++b) {
            if (jacobians[b] != nullptr) {
                for (int r = 0; r < 2; ++r) {
                    std::copy(chained[r] + b * kPoseParameterCount, chained[r] + (b + 1) * kPoseParameterCount,
                              jacobians[b] + r * kPoseParameterCount);
                }
            }
        }
        if (extra_ == Extra::Scale && jacobians[5] != nullptr) {
            // d x / d scale = R * object.
            const double* rotation = view_->rotation();
            for (int r = 0; r < 2; ++r) {
                double sum = 0.0;
                for (int i = 0; i < 3; ++i) {
                    const double along = rotation[3 * i] * object_[0] + rotation[3 * i + 1] * object_[1] +
                                         rotation[3 * i + 2] * object_[2];
                    sum += lens.point[r][i] * along;
                }
                jacobians[5][r] = sum;
            }
        }
        if (extra_ == Extra::Chain && jacobians[5] != nullptr) {
            storeChainJacobian(chained, jacobians[5]);
        }
    }

    // The twist's columns times the twist's derivative with respect to the chain's free corrections.
    void storeChainJacobian(const double chained[2][kViewTransformParameters], double* jacobian) const {
        const int n = chain_->freeCount();
        const std::vector<double>& twist = chain_->twistJacobian();
        const int first = 3 * kPoseParameterCount;
        for (int r = 0; r < 2; ++r) {
            for (int i = 0; i < n; ++i) {
                double sum = 0.0;
                for (int k = 0; k < kPoseParameterCount; ++k) {
                    sum += chained[r][first + k] * twist[static_cast<size_t>(k) * n + i];
                }
                jacobian[r * n + i] = sum;
            }
        }
    }

    ViewTransform* view_;
    ChainViewMount* chain_;
    Extra extra_;
    bool equidistant_;
    double object_[3];
    double observed_[2];
};

// ReprojectionCost's residual through the view's shared transform, over the blocks camera pose,
// target pose, intrinsics and distortion: a ViewCornerCost whose view has no correction (it is held
// at zero, which leaves inv(C) * M * G).
class MountedViewCornerCost final : public ceres::CostFunction {
public:
    MountedViewCornerCost(const ReprojectionCost& corner, ViewTransform* view)
        : inner_(corner, view, ViewCornerCost::Extra::None, nullptr) {
        set_num_residuals(2);
        *mutable_parameter_block_sizes() = {kPoseParameterCount, kPoseParameterCount, kIntrinsicCount,
                                            kModelledDistortion};
    }

    bool Evaluate(double const* const* parameters, double* residuals, double** jacobians) const override {
        static constexpr double kNoCorrection[kPoseParameterCount] = {};
        const double* inner[5] = {parameters[0], parameters[1], kNoCorrection, parameters[2], parameters[3]};
        if (jacobians == nullptr) {
            return inner_.Evaluate(inner, residuals, nullptr);
        }
        double* innerJacobians[5] = {jacobians[0], jacobians[1], nullptr, jacobians[2], jacobians[3]};
        return inner_.Evaluate(inner, residuals, innerJacobians);
    }

private:
    ViewCornerCost inner_;
};

}  // namespace velk::calibration
