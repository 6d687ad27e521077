#pragma once

#include <cmath>

namespace velk::kinematics {

// A rigid motion over any scalar (double or an automatic-differentiation type): rotation row-major,
// then translation; applied to a point p it gives r * p + t.
template <typename T>
struct RigidMotion {
    T r[9];
    T t[3];

    static RigidMotion identity() {
        RigidMotion m;
        for (int k = 0; k < 9; ++k) {
            m.r[k] = T(k % 4 == 0 ? 1.0 : 0.0);
        }
        m.t[0] = m.t[1] = m.t[2] = T(0.0);
        return m;
    }

    // A 4x4 row-major double matrix as a motion.
    static RigidMotion fromMatrix(const double* m) {
        RigidMotion motion;
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 3; ++col) {
                motion.r[3 * row + col] = T(m[4 * row + col]);
            }
            motion.t[row] = T(m[4 * row + 3]);
        }
        return motion;
    }

    // this * other
    RigidMotion operator*(const RigidMotion& other) const {
        RigidMotion out;
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 3; ++col) {
                out.r[3 * row + col] =
                    r[3 * row] * other.r[col] + r[3 * row + 1] * other.r[3 + col] + r[3 * row + 2] * other.r[6 + col];
            }
            out.t[row] = r[3 * row] * other.t[0] + r[3 * row + 1] * other.t[1] + r[3 * row + 2] * other.t[2] + t[row];
        }
        return out;
    }

    RigidMotion inverse() const {
        RigidMotion out;
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 3; ++col) {
                out.r[3 * row + col] = r[3 * col + row];
            }
        }
        for (int row = 0; row < 3; ++row) {
            out.t[row] = -(out.r[3 * row] * t[0] + out.r[3 * row + 1] * t[1] + out.r[3 * row + 2] * t[2]);
        }
        return out;
    }
};

// Rotation by angle about the unit axis (Rodrigues' formula).
template <typename T>
RigidMotion<T> rotationAbout(const double* axis, const T& angle) {
    using std::cos;
    using std::sin;
    const T c = cos(angle);
    const T s = sin(angle);
    const T v = T(1.0) - c;
    const double x = axis[0], y = axis[1], z = axis[2];
    RigidMotion<T> m = RigidMotion<T>::identity();
    m.r[0] = c + v * (x * x);
    m.r[1] = v * (x * y) - s * z;
    m.r[2] = v * (x * z) + s * y;
    m.r[3] = v * (x * y) + s * z;
    m.r[4] = c + v * (y * y);
    m.r[5] = v * (y * z) - s * x;
    m.r[6] = v * (x * z) - s * y;
    m.r[7] = v * (y * z) + s * x;
    m.r[8] = c + v * (z * z);
    return m;
}

// Translation by distance along the unit axis.
template <typename T>
RigidMotion<T> translationAlong(const double* axis, const T& distance) {
    RigidMotion<T> m = RigidMotion<T>::identity();
    for (int k = 0; k < 3; ++k) {
        m.t[k] = distance * axis[k];
    }
    return m;
}

constexpr double kAxisX[3] = {1.0, 0.0, 0.0};
constexpr double kAxisY[3] = {0.0, 1.0, 0.0};
constexpr double kAxisZ[3] = {0.0, 0.0, 1.0};

// The motion of an origin given as translation xyz and fixed-axis roll, pitch, yaw:
// Trans(xyz) * Rot_z(yaw) * Rot_y(pitch) * Rot_x(roll).
template <typename T>
RigidMotion<T> originMotion(const T* xyz, const T* rpy) {
    RigidMotion<T> m = rotationAbout(kAxisZ, rpy[2]) * rotationAbout(kAxisY, rpy[1]) * rotationAbout(kAxisX, rpy[0]);
    for (int k = 0; k < 3; ++k) {
        m.t[k] = xyz[k];
    }
    return m;
}

}  // namespace velk::kinematics
