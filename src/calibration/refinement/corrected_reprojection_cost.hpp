#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include "calibration/refinement/reprojection_cost.hpp"

namespace velk::calibration {

// Reprojection residual of one target corner when the known transform M between the two mounting
// frames is itself known only up to a small error E = [R(w) | t], a correction block [w, t] of its own:
//   camera_T_target = inv(C) * E * M * G   (correction_on_left)
//   camera_T_target = inv(C) * M * E * G   (otherwise)
// C and G as in ReprojectionCost. The residual is in pixels; the caller weights it.
struct CorrectedReprojectionCost {
    ReprojectionCost plain;
    bool correction_on_left = false;

    template <typename T>
    static void applyCorrection(const T* correction, const T* in, T* out) {
        ceres::AngleAxisRotatePoint(correction, in, out);
        for (int k = 0; k < 3; ++k) {
            out[k] += correction[3 + k];
        }
    }

    template <typename T>
    void applyMount(const T* in, T* out) const {
        for (int r = 0; r < 3; ++r) {
            out[r] = T(plain.mount_translation[r]);
            for (int c = 0; c < 3; ++c) {
                out[r] += T(plain.mount_rotation[3 * r + c]) * in[c];
            }
        }
    }

    template <typename T>
    bool operator()(const T* camera, const T* target, const T* correction, const T* intrinsics, const T* distortion,
                    T* residual) const {
        const T p[3] = {T(plain.object[0]), T(plain.object[1]), T(plain.object[2])};
        return residualOf(p, camera, target, correction, intrinsics, distortion, residual);
    }

    // The residual of the target point p (in the target frame).
    template <typename T>
    bool residualOf(const T* p, const T* camera, const T* target, const T* correction, const T* intrinsics,
                    const T* distortion, T* residual) const {
        const auto mount = [this](const T* in, T* out) { applyMount(in, out); };
        return residualThrough(mount, p, camera, target, correction, intrinsics, distortion, residual);
    }

    // The same with the known transform applied by mount(in, out), for a transform that is itself computed.
    template <typename T, typename Mount>
    bool residualThrough(const Mount& mount, const T* p, const T* camera, const T* target, const T* correction,
                         const T* intrinsics, const T* distortion, T* residual) const {
        T inCamera[3];
        toCamera(mount, p, camera, target, correction, inCamera);
        T pixel[2];
        projectThroughLens(plain.equidistant, inCamera, intrinsics, distortion, pixel);
        residual[0] = pixel[0] - T(plain.observed[0]);
        residual[1] = pixel[1] - T(plain.observed[1]);
        return true;
    }

    // The target point p in the camera frame: inv(C) * E * M * G * p (or with E on M's right).
    template <typename T, typename Mount>
    void toCamera(const Mount& mount, const T* p, const T* camera, const T* target, const T* correction,
                  T* inCamera) const {
        // The corner in the target's mounting frame: G * p.
        T based[3], inMount[3];
        ReprojectionCost::rotateByBase(plain.target_base, p, based, false);
        ceres::AngleAxisRotatePoint(target, based, inMount);
        for (int k = 0; k < 3; ++k) {
            inMount[k] += target[3 + k];
        }
        // Into the camera's mounting frame through the corrected known transform.
        T inCameraMount[3], moved[3];
        if (correction_on_left) {
            mount(inMount, moved);
            applyCorrection(correction, moved, inCameraMount);
        } else {
            applyCorrection(correction, inMount, moved);
            mount(moved, inCameraMount);
        }
        // Into the camera: inv(C) * s = R_base^T * exp(-w) * (s - t).
        const T offset[3] = {inCameraMount[0] - camera[3], inCameraMount[1] - camera[4], inCameraMount[2] - camera[5]};
        const T undoUpdate[3] = {-camera[0], -camera[1], -camera[2]};
        T unrotated[3];
        ceres::AngleAxisRotatePoint(undoUpdate, offset, unrotated);
        ReprojectionCost::rotateByBase(plain.camera_base, unrotated, inCamera, true);
    }

    // Over the blocks camera pose, target pose, correction, intrinsics and distortion, in that order.
    static ceres::CostFunction* Create(const ReprojectionCost& corner, bool correction_on_left) {
        return new ceres::AutoDiffCostFunction<CorrectedReprojectionCost, 2, kPoseParameterCount, kPoseParameterCount,
                                               kPoseParameterCount, kIntrinsicCount, kModelledDistortion>(
            new CorrectedReprojectionCost{corner, correction_on_left});
    }
};

// The same residual for a target whose true size is an unknown multiple s of its described size:
// every target point p becomes s * p. The pictures alone cannot tell s from the target's distance;
// the known transforms (the robot's translations) can.
struct ScaledCorrectedReprojectionCost {
    CorrectedReprojectionCost corrected;

    template <typename T>
    bool operator()(const T* camera, const T* target, const T* correction, const T* intrinsics, const T* distortion,
                    const T* scale, T* residual) const {
        const double* object = corrected.plain.object;
        const T p[3] = {scale[0] * T(object[0]), scale[0] * T(object[1]), scale[0] * T(object[2])};
        return corrected.residualOf(p, camera, target, correction, intrinsics, distortion, residual);
    }

    // Over the blocks of CorrectedReprojectionCost, then the scale (one parameter).
    static ceres::CostFunction* Create(const ReprojectionCost& corner, bool correction_on_left) {
        return new ceres::AutoDiffCostFunction<ScaledCorrectedReprojectionCost, 2, kPoseParameterCount,
                                               kPoseParameterCount, kPoseParameterCount, kIntrinsicCount,
                                               kModelledDistortion, 1>(
            new ScaledCorrectedReprojectionCost{CorrectedReprojectionCost{corner, correction_on_left}});
    }
};

}  // namespace velk::calibration
