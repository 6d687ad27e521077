#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <ceres/ceres.h>

#include "calibration/refinement/reprojection_cost.hpp"

namespace velk::calibration {

// A pixel of a camera-frame point and its derivatives with respect to the point, the intrinsics
// [fx, fy, cx, cy] and the distortion coefficients (as projectThroughLens orders them), row-major.
struct LensJacobian {
    double pixel[2];
    double point[2][3];
    double intrinsics[2][kIntrinsicCount];
    double distortion[2][kModelledDistortion];
};

namespace lens_jacobian_detail {

// The pinhole model's derivatives in closed form: the pixel is linear in the intrinsics and, but
// for the rational denominator, in the distortion coefficients; only the point goes through
// automatic differentiation.
inline void pinhole(const double* x, const double* intrinsics, const double* distortion, LensJacobian& out) {
    using Point = ceres::Jet<double, 3>;
    const Point point[3] = {Point(x[0], 0), Point(x[1], 1), Point(x[2], 2)};
    Point lens[kIntrinsicCount], coefficients[kModelledDistortion];
    for (int i = 0; i < kIntrinsicCount; ++i) {
        lens[i] = Point(intrinsics[i]);
    }
    for (int i = 0; i < kModelledDistortion; ++i) {
        coefficients[i] = Point(distortion[i]);
    }
    Point pixel[2];
    projectCameraPoint(point, lens, coefficients, pixel);
    for (int r = 0; r < 2; ++r) {
        out.pixel[r] = pixel[r].a;
        for (int c = 0; c < 3; ++c) {
            out.point[r][c] = pixel[r].v[c];
        }
    }
    const double u = x[0] / x[2], v = x[1] / x[2];
    const double r2 = u * u + v * v, r4 = r2 * r2, r6 = r4 * r2;
    const double numerator = 1.0 + distortion[0] * r2 + distortion[1] * r4 + distortion[4] * r6;
    const double denominator = 1.0 + distortion[5] * r2 + distortion[6] * r4 + distortion[7] * r6;
    const double radial = numerator / denominator;
    const double fx = intrinsics[0], fy = intrinsics[1];
    const double* k = distortion;
    const double ud = u * radial + 2.0 * k[2] * u * v + k[3] * (r2 + 2.0 * u * u) + k[8] * r2 + k[9] * r4;
    const double vd = v * radial + k[2] * (r2 + 2.0 * v * v) + 2.0 * k[3] * u * v + k[10] * r2 + k[11] * r4;
    const double intrinsicRows[2][kIntrinsicCount] = {{ud, 0.0, 1.0, 0.0}, {0.0, vd, 0.0, 1.0}};
    // d radial / d (k1, k2, k3) and d radial / d (k4, k5, k6).
    const double powers[3] = {r2, r4, r6};
    double up[kModelledDistortion] = {}, down[kModelledDistortion] = {};
    const int numeratorAt[3] = {0, 1, 4}, denominatorAt[3] = {5, 6, 7};
    for (int i = 0; i < 3; ++i) {
        up[numeratorAt[i]] = u * powers[i] / denominator;
        down[numeratorAt[i]] = v * powers[i] / denominator;
        up[denominatorAt[i]] = -u * radial * powers[i] / denominator;
        down[denominatorAt[i]] = -v * radial * powers[i] / denominator;
    }
    up[2] = 2.0 * u * v;
    down[2] = r2 + 2.0 * v * v;
    up[3] = r2 + 2.0 * u * u;
    down[3] = 2.0 * u * v;
    up[8] = r2;
    up[9] = r4;
    down[10] = r2;
    down[11] = r4;
    for (int i = 0; i < kIntrinsicCount; ++i) {
        out.intrinsics[0][i] = intrinsicRows[0][i];
        out.intrinsics[1][i] = intrinsicRows[1][i];
    }
    for (int i = 0; i < kModelledDistortion; ++i) {
        out.distortion[0][i] = fx * up[i];
        out.distortion[1][i] = fy * down[i];
    }
}

// Every derivative through automatic differentiation (the equidistant model).
inline void differentiated(bool equidistant, const double* x, const double* intrinsics, const double* distortion,
                           LensJacobian& out) {
    constexpr int kCount = 3 + kIntrinsicCount + kModelledDistortion;
    using Lens = ceres::Jet<double, kCount>;
    Lens point[3], k[kIntrinsicCount], d[kModelledDistortion];
    for (int i = 0; i < 3; ++i) {
        point[i] = Lens(x[i], i);
    }
    for (int i = 0; i < kIntrinsicCount; ++i) {
        k[i] = Lens(intrinsics[i], 3 + i);
    }
    for (int i = 0; i < kModelledDistortion; ++i) {
        d[i] = Lens(distortion[i], 3 + kIntrinsicCount + i);
    }
    Lens pixel[2];
    projectThroughLens(equidistant, point, k, d, pixel);
    for (int r = 0; r < 2; ++r) {
        out.pixel[r] = pixel[r].a;
        for (int c = 0; c < 3; ++c) {
            out.point[r][c] = pixel[r].v[c];
        }
        for (int i = 0; i < kIntrinsicCount; ++i) {
            out.intrinsics[r][i] = pixel[r].v[3 + i];
        }
        for (int i = 0; i < kModelledDistortion; ++i) {
            out.distortion[r][i] = pixel[r].v[3 + kIntrinsicCount + i];
        }
    }
}

}  // namespace lens_jacobian_detail

inline LensJacobian lensJacobian(bool equidistant, const double* x, const double* intrinsics,
                                 const double* distortion) {
    LensJacobian out;
    if (equidistant) {
        lens_jacobian_detail::differentiated(true, x, intrinsics, distortion, out);
    } else {
        lens_jacobian_detail::pinhole(x, intrinsics, distortion, out);
    }
    return out;
}

}  // namespace velk::calibration
