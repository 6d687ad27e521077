#pragma once

// Included only by the refinement sources: it pulls in the solver's headers.

#include <ceres/ceres.h>

namespace velk::calibration {

// The equidistant (fisheye) projection of cv::fisheye: theta, the angle between the ray and the
// optical axis, is bent to theta_d = theta (1 + k1 theta^2 + k2 theta^4 + k3 theta^6 + k4 theta^8)
// and the point lands f * theta_d from the principal point. intrinsics = [fx, fy, cx, cy],
// distortion = [k1, k2, k3, k4]. The angle is measured with atan2, so it agrees with
// cv::fisheye::projectPoints in front of the camera and stays smooth up to 180 degrees.
template <typename T>
void projectEquidistantPoint(const T* point, const T* intrinsics, const T* distortion, T* pixel) {
    using std::atan2;
    using std::sqrt;
    const T r2 = point[0] * point[0] + point[1] * point[1];
    T theta, scale;  // scale: theta / r, the ray's angle per unit of its distance from the axis
    if (r2 > T(1e-18) * point[2] * point[2]) {
        const T r = sqrt(r2);
        theta = atan2(r, point[2]);
        scale = theta / r;
    } else {
        // On the axis theta ~ r / z; the square root's derivative would be infinite there.
        theta = T(0);
        scale = T(1) / point[2];
    }
    const T t2 = theta * theta;
    const T bend = T(1) + t2 * (distortion[0] + t2 * (distortion[1] + t2 * (distortion[2] + t2 * distortion[3])));
    pixel[0] = intrinsics[0] * point[0] * scale * bend + intrinsics[2];
    pixel[1] = intrinsics[1] * point[1] * scale * bend + intrinsics[3];
}

}  // namespace velk::calibration
