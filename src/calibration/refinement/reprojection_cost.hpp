#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <ceres/ceres.h>
#include <ceres/rotation.h>

#include "calibration/refinement/equidistant_projection.hpp"
#include "calibration/refinement/pose_block.hpp"

namespace velk::calibration {

constexpr int kIntrinsicCount = 4;  // fx, fy, cx, cy
// Number of distortion coefficients the projection models: k1 k2 p1 p2 k3 k4 k5 k6 s1 s2 s3 s4.
constexpr int kModelledDistortion = 12;

// The pinhole projection with radial, tangential and thin-prism distortion, in the coefficient
// order cv::projectPoints uses. intrinsics = [fx, fy, cx, cy].
template <typename T>
void projectCameraPoint(const T* point, const T* intrinsics, const T* distortion, T* pixel) {
    const T x = point[0] / point[2];
    const T y = point[1] / point[2];
    const T r2 = x * x + y * y;
    const T r4 = r2 * r2;
    const T r6 = r4 * r2;
    const T radial = (T(1) + distortion[0] * r2 + distortion[1] * r4 + distortion[4] * r6) /
                     (T(1) + distortion[5] * r2 + distortion[6] * r4 + distortion[7] * r6);
    const T xd = x * radial + T(2) * distortion[2] * x * y + distortion[3] * (r2 + T(2) * x * x) + distortion[8] * r2 +
                 distortion[9] * r4;
    const T yd = y * radial + distortion[2] * (r2 + T(2) * y * y) + T(2) * distortion[3] * x * y + distortion[10] * r2 +
                 distortion[11] * r4;
    pixel[0] = intrinsics[0] * xd + intrinsics[2];
    pixel[1] = intrinsics[1] * yd + intrinsics[3];
}

// The pixel of a camera-frame point through the camera's lens model: the equidistant fisheye
// projection (distortion k1..k4) or the pinhole one above.
template <typename T>
void projectThroughLens(bool equidistant, const T* point, const T* intrinsics, const T* distortion, T* pixel) {
    if (equidistant) {
        projectEquidistantPoint(point, intrinsics, distortion, pixel);
    } else {
        projectCameraPoint(point, intrinsics, distortion, pixel);
    }
}

// Reprojection residual of one target corner under camera_T_target = inv(C) * M * G, where
// C = mount_T_camera (the camera in the frame it is fixed to), M a known transform between the
// two mounting frames, and G = mount_T_target (the target in the frame it is fixed to). C and G
// are pose blocks [w, t] over fixed base rotations (see PoseBlock).
struct ReprojectionCost {
    double object[3];
    double observed[2];
    double mount_rotation[9];  // row-major rotation of M
    double mount_translation[3];
    const double* camera_base;  // base angle-axis of C, owned by its PoseBlock
    const double* target_base;  // base angle-axis of G
    bool equidistant = false;   // the camera is a fisheye camera

    template <typename T>
    static void rotateByBase(const double* base, const T* in, T* out, bool inverse) {
        const T angleAxis[3] = {T(inverse ? -base[0] : base[0]), T(inverse ? -base[1] : base[1]),
                                T(inverse ? -base[2] : base[2])};
        ceres::AngleAxisRotatePoint(angleAxis, in, out);
    }

    template <typename T>
    bool operator()(const T* camera, const T* target, const T* intrinsics, const T* distortion, T* residual) const {
        // The corner in the target's mounting frame: G * p.
        const T p[3] = {T(object[0]), T(object[1]), T(object[2])};
        T based[3], inMount[3];
        rotateByBase(target_base, p, based, false);
        ceres::AngleAxisRotatePoint(target, based, inMount);
        for (int k = 0; k < 3; ++k) {
            inMount[k] += target[3 + k];
        }
        // Into the camera's mounting frame: M * q.
        T inCameraMount[3];
        for (int r = 0; r < 3; ++r) {
            inCameraMount[r] = T(mount_translation[r]);
            for (int c = 0; c < 3; ++c) {
                inCameraMount[r] += T(mount_rotation[3 * r + c]) * inMount[c];
            }
        }
        // Into the camera: inv(C) * s = R_base^T * exp(-w) * (s - t).
        const T offset[3] = {inCameraMount[0] - camera[3], inCameraMount[1] - camera[4], inCameraMount[2] - camera[5]};
        const T undoUpdate[3] = {-camera[0], -camera[1], -camera[2]};
        T unrotated[3], inCamera[3];
        ceres::AngleAxisRotatePoint(undoUpdate, offset, unrotated);
        rotateByBase(camera_base, unrotated, inCamera, true);

        T pixel[2];
        projectThroughLens(equidistant, inCamera, intrinsics, distortion, pixel);
        residual[0] = pixel[0] - T(observed[0]);
        residual[1] = pixel[1] - T(observed[1]);
        return true;
    }

    // Over the blocks camera pose, target pose, intrinsics and distortion, in that order.
    static ceres::CostFunction* Create(const ReprojectionCost& corner) {
        return new ceres::AutoDiffCostFunction<ReprojectionCost, 2, kPoseParameterCount, kPoseParameterCount,
                                               kIntrinsicCount, kModelledDistortion>(new ReprojectionCost(corner));
    }
};

}  // namespace velk::calibration
