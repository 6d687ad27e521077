#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <algorithm>
#include <array>

#include <ceres/ceres.h>
#include <ceres/rotation.h>

#include "calibration/refinement/chain_reprojection_cost.hpp"
#include "calibration/refinement/corrected_reprojection_cost.hpp"

namespace velk::calibration {

// The unknowns a view's transform depends on, in this order: the camera pose, the target pose, the
// view's correction, and a twist [w, v] of its known transform (evaluated at zero; it carries a
// chain's corrections, see ChainViewMount).
constexpr int kViewTransformParameters = 4 * kPoseParameterCount;

// camera_T_target of one view, x = R * p + t for a target point p, and the derivatives of R and t
// with respect to the view's transform parameters. Every corner of the view shares it, so the
// chain of rotations is differentiated once per view and set of values rather than once per
// corner; a corner then costs one affine map and its projection.
//
// The transform is affine in p, so it is read off the images of the origin and the three unit
// vectors under the same chain of rotations a single corner's cost applies. It is brought up to
// date lazily, by the first corner evaluated at new values: evaluation must not run on several
// threads at once (the solver runs on one).
class ViewTransform {
public:
    // shape: the view's mount, base rotations and the side of its correction, as its corners hold
    // them; chain: the view's chain mount, or null for a fixed known transform.
    ViewTransform(const CorrectedReprojectionCost& shape, const ChainViewMount* chain) : shape_(shape), chain_(chain) {}

    // Brings R and t, and with derivatives their jacobian, to the given values. A chain view's mount
    // must already be up to date.
    void update(const double* camera, const double* target, const double* correction, bool derivatives) {
        Key key{};
        std::copy(camera, camera + kPoseParameterCount, key.begin());
        std::copy(target, target + kPoseParameterCount, key.begin() + 6);
        std::copy(correction, correction + kPoseParameterCount, key.begin() + 12);
        std::copy(shape_.plain.camera_base, shape_.plain.camera_base + 3, key.begin() + 18);
        std::copy(shape_.plain.target_base, shape_.plain.target_base + 3, key.begin() + 21);
        if (chain_ != nullptr) {
            std::copy(chain_->mount().r, chain_->mount().r + 9, key.begin() + 24);
            std::copy(chain_->mount().t, chain_->mount().t + 3, key.begin() + 33);
        }
        if (valid_ && key == key_ && (derivatives_ || !derivatives)) {
            return;
        }
        key_ = key;
        valid_ = true;
        derivatives_ = derivatives;
        if (derivatives) {
            differentiate(camera, target, correction);
        } else {
            evaluate(camera, target, correction);
        }
    }

    const double* rotation() const { return rotation_.data(); }  // 3 x 3, row-major
    const double* translation() const { return translation_.data(); }

    // R * p + t.
    void apply(const double* p, double* out) const {
        for (int r = 0; r < 3; ++r) {
            out[r] =
                translation_[r] + rotation_[3 * r] * p[0] + rotation_[3 * r + 1] * p[1] + rotation_[3 * r + 2] * p[2];
        }
    }

    // d(R * p + t) / d(parameters), 3 x kViewTransformParameters, row-major.
    void pointJacobian(const double* p, double* jacobian) const {
        for (int r = 0; r < 3; ++r) {
            const double* dr0 = rotation_jacobian_.data() + (3 * r) * kViewTransformParameters;
            const double* dr1 = dr0 + kViewTransformParameters;
            const double* dr2 = dr1 + kViewTransformParameters;
            const double* dt = translation_jacobian_.data() + r * kViewTransformParameters;
            for (int k = 0; k < kViewTransformParameters; ++k) {
                jacobian[r * kViewTransformParameters + k] = dt[k] + dr0[k] * p[0] + dr1[k] * p[1] + dr2[k] * p[2];
            }
        }
    }

private:
    using Key = std::array<double, 36>;  // parameters, base rotations, a chain's mount
    using Jet = ceres::Jet<double, kViewTransformParameters>;

    template <typename T>
    void imagesOfBasis(const T* camera, const T* target, const T* correction, const T* twist, T images[4][3]) const {
        const kinematics::RigidMotion<double> fixed = chain_ != nullptr ? chain_->mount() : mountOf(shape_.plain);
        const auto mount = [&fixed, twist](const T* in, T* out) {
            T moved[3];
            for (int r = 0; r < 3; ++r) {
                moved[r] = T(fixed.t[r]) + T(fixed.r[3 * r]) * in[0] + T(fixed.r[3 * r + 1]) * in[1] +
                           T(fixed.r[3 * r + 2]) * in[2];
            }
            ceres::AngleAxisRotatePoint(twist, moved, out);
            for (int r = 0; r < 3; ++r) {
                out[r] += twist[3 + r];
            }
        };
        for (int b = 0; b < 4; ++b) {
            const T p[3] = {T(b == 1 ? 1.0 : 0.0), T(b == 2 ? 1.0 : 0.0), T(b == 3 ? 1.0 : 0.0)};
            shape_.toCamera(mount, p, camera, target, correction, images[b]);
        }
    }

    static kinematics::RigidMotion<double> mountOf(const ReprojectionCost& plain) {
        kinematics::RigidMotion<double> m;
        std::copy(plain.mount_rotation, plain.mount_rotation + 9, m.r);
        std::copy(plain.mount_translation, plain.mount_translation + 3, m.t);
        return m;
    }

    void evaluate(const double* camera, const double* target, const double* correction) {
        const double twist[kPoseParameterCount] = {};
        double images[4][3];
        imagesOfBasis(camera, target, correction, twist, images);
        for (int r = 0; r < 3; ++r) {
            translation_[r] = images[0][r];
            for (int c = 0; c < 3; ++c) {
                rotation_[3 * r + c] = images[1 + c][r] - images[0][r];
            }
        }
    }

    void differentiate(const double* camera, const double* target, const double* correction) {
        Jet blocks[4][kPoseParameterCount];
        const double* values[3] = {camera, target, correction};
        for (int b = 0; b < 4; ++b) {
            for (int k = 0; k < kPoseParameterCount; ++k) {
                blocks[b][k] = Jet(b < 3 ? values[b][k] : 0.0, b * kPoseParameterCount + k);
            }
        }
        Jet images[4][3];
        imagesOfBasis<Jet>(blocks[0], blocks[1], blocks[2], blocks[3], images);
        for (int r = 0; r < 3; ++r) {
            translation_[r] = images[0][r].a;
            std::copy(images[0][r].v.data(), images[0][r].v.data() + kViewTransformParameters,
                      translation_jacobian_.begin() + r * kViewTransformParameters);
            for (int c = 0; c < 3; ++c) {
                const Jet column = images[1 + c][r] - images[0][r];
                rotation_[3 * r + c] = column.a;
                std::copy(column.v.data(), column.v.data() + kViewTransformParameters,
                          rotation_jacobian_.begin() + (3 * r + c) * kViewTransformParameters);
            }
        }
    }

    CorrectedReprojectionCost shape_;
    const ChainViewMount* chain_;
    bool valid_ = false;
    bool derivatives_ = false;
    Key key_{};
    std::array<double, 9> rotation_{};
    std::array<double, 3> translation_{};
    std::array<double, 9 * kViewTransformParameters> rotation_jacobian_{};
    std::array<double, 3 * kViewTransformParameters> translation_jacobian_{};
};

}  // namespace velk::calibration
