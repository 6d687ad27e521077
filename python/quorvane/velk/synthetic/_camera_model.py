"""The pinhole camera with OpenCV's lens distortion: camera matrices, checks of the camera and
pose arguments, distortion of normalised coordinates and its inversion."""

from __future__ import annotations

import math

import numpy as np

# A pixel whose undistorted ray does not map back onto it within this many
# pixels is treated as seeing nothing (background).
_ROUND_TRIP_TOLERANCE_PX = 1e-3
_ACCEPTED_DIST_LENGTHS = (0, 4, 5, 8, 12, 14)


def pinhole_matrix(focal_length, image_size, principal_point=None) -> np.ndarray:
    """A 3x3 camera matrix.

    Args:
        focal_length: f in pixels, or (fx, fy).
        image_size: (width, height) in pixels.
        principal_point: (cx, cy); by default the image centre
            ((width - 1) / 2, (height - 1) / 2).
    """
    f = np.broadcast_to(np.asarray(focal_length, dtype=np.float64), (2,))
    width, height = image_size
    cx, cy = ((width - 1) / 2.0, (height - 1) / 2.0) if principal_point is None else principal_point
    return np.array([[f[0], 0.0, cx], [0.0, f[1], cy], [0.0, 0.0, 1.0]])


def fisheye_matrix(horizontal_fov_deg, image_size, principal_point=None) -> np.ndarray:
    """A 3x3 camera matrix of an equidistant (fisheye) lens that spans ``horizontal_fov_deg``
    degrees across the picture's width when its distortion is zero (f = (width / 2) / half
    angle in radians).

    Args:
        horizontal_fov_deg: field of view across the width, above 0 and at most 360.
        image_size: (width, height) in pixels.
        principal_point: (cx, cy); by default the image centre.
    """
    fov = float(horizontal_fov_deg)
    if not 0.0 < fov <= 360.0:
        raise ValueError(f"horizontal_fov_deg must be in (0, 360], got {horizontal_fov_deg!r}")
    focal = (float(image_size[0]) / 2.0) / math.radians(fov / 2.0)
    return pinhole_matrix(focal, image_size, principal_point)


def _check_model(camera_model: str) -> str:
    if camera_model not in ("pinhole", "fisheye"):
        raise ValueError(f"camera_model must be 'pinhole' or 'fisheye', got {camera_model!r}")
    return camera_model


def _check_camera(camera_matrix, dist_coeffs, image_size, camera_model="pinhole"):
    K = np.asarray(camera_matrix, dtype=np.float64)
    if K.shape != (3, 3) or not np.all(np.isfinite(K)):
        raise ValueError(f"camera_matrix must be a finite 3x3 matrix, got shape {K.shape}")
    if K[0, 0] <= 0 or K[1, 1] <= 0 or K[0, 1] != 0 or K[1, 0] != 0 or not np.allclose(K[2], (0.0, 0.0, 1.0)):
        raise ValueError("camera_matrix must be [[fx, 0, cx], [0, fy, cy], [0, 0, 1]] with fx, fy > 0")
    D = np.zeros(0) if dist_coeffs is None else np.asarray(dist_coeffs, dtype=np.float64).ravel()
    if camera_model == "fisheye":
        D = np.zeros(4) if D.size == 0 else D
        if D.size != 4 or not np.all(np.isfinite(D)):
            raise ValueError(f"a fisheye camera's dist_coeffs must hold 4 finite values (k1..k4), got {D.size}")
    elif D.size not in _ACCEPTED_DIST_LENGTHS or not np.all(np.isfinite(D)):
        raise ValueError(f"dist_coeffs must hold 4, 5, 8, 12 or 14 finite values, got {D.size}")
    try:
        width, height = (int(v) for v in image_size)
    except (TypeError, ValueError):
        raise ValueError(f"image_size must be (width, height), got {image_size!r}") from None
    if width < 1 or height < 1:
        raise ValueError(f"image_size must be positive, got {image_size!r}")
    return K, D, width, height


def _check_pose(camera_T_target) -> tuple[np.ndarray, np.ndarray]:
    T = np.asarray(camera_T_target, dtype=np.float64)
    if T.shape != (4, 4) or not np.all(np.isfinite(T)):
        raise ValueError(f"camera_T_target must be a finite 4x4 matrix, got shape {T.shape}")
    R, t = T[:3, :3], T[:3, 3]
    if not np.allclose(T[3], (0.0, 0.0, 0.0, 1.0), atol=1e-9) or not np.allclose(R.T @ R, np.eye(3), atol=1e-6) \
            or np.linalg.det(R) <= 0:
        raise ValueError("camera_T_target must be a rigid transform (rotation and translation)")
    return R, t


def _distort(x, y, K, D):
    """Pixel positions of normalised image coordinates (x, y): OpenCV's distortion model."""
    c = np.zeros(14)
    c[: D.size] = D
    k1, k2, p1, p2, k3, k4, k5, k6, s1, s2, s3, s4, tau_x, tau_y = c
    r2 = x * x + y * y
    r4 = r2 * r2
    radial = (1.0 + r2 * (k1 + r2 * (k2 + r2 * k3))) / (1.0 + r2 * (k4 + r2 * (k5 + r2 * k6)))
    xy2 = 2.0 * x * y
    xd = x * radial + p1 * xy2 + p2 * (r2 + 2.0 * x * x) + s1 * r2 + s2 * r4
    yd = y * radial + p1 * (r2 + 2.0 * y * y) + p2 * xy2 + s3 * r2 + s4 * r4
    if tau_x != 0.0 or tau_y != 0.0:
        cx_, sx_ = math.cos(tau_x), math.sin(tau_x)
        cy_, sy_ = math.cos(tau_y), math.sin(tau_y)
        rot_x = np.array([[1.0, 0.0, 0.0], [0.0, cx_, sx_], [0.0, -sx_, cx_]])
        rot_y = np.array([[cy_, 0.0, -sy_], [0.0, 1.0, 0.0], [sy_, 0.0, cy_]])
        rot = rot_y @ rot_x
        proj = np.array([[rot[2, 2], 0.0, -rot[0, 2]], [0.0, rot[2, 2], -rot[1, 2]], [0.0, 0.0, 1.0]])
        tilt = proj @ rot
        w = tilt[2, 0] * xd + tilt[2, 1] * yd + tilt[2, 2]
        xd, yd = (
            (tilt[0, 0] * xd + tilt[0, 1] * yd + tilt[0, 2]) / w,
            (tilt[1, 0] * xd + tilt[1, 1] * yd + tilt[1, 2]) / w,
        )
    return K[0, 0] * xd + K[0, 2], K[1, 1] * yd + K[1, 2]


def _undistort(cv2, u, v, K, D):
    """Normalised coordinates of pixel positions, and where the inversion holds.

    Each result maps back onto its pixel within _ROUND_TRIP_TOLERANCE_PX;
    elsewhere ``ok`` is False (the distortion model folds over or did not
    converge there).
    """
    x = u.astype(np.float64).copy()
    y = v.astype(np.float64).copy()
    if D.size == 0 or not np.any(D):
        x = (x - K[0, 2]) / K[0, 0]
        y = (y - K[1, 2]) / K[1, 1]
        return x, y, np.ones(x.shape, dtype=bool)
    ok = np.zeros(x.shape, dtype=bool)
    todo = np.ones(x.shape, dtype=bool)
    for iterations in (12, 100):
        pts = np.stack([u[todo], v[todo]], axis=-1).astype(np.float64).reshape(-1, 1, 2)
        criteria = (cv2.TERM_CRITERIA_COUNT, iterations, 0.0)
        n = cv2.undistortPointsIter(pts, K, D, None, None, criteria).reshape(-1, 2)
        x[todo], y[todo] = n[:, 0], n[:, 1]
        pu, pv = _distort(x[todo], y[todo], K, D)
        error = np.hypot(pu - u[todo], pv - v[todo])
        good = error < _ROUND_TRIP_TOLERANCE_PX  # False for NaN
        idx = np.flatnonzero(todo.ravel())
        ok.ravel()[idx[good]] = True
        todo.ravel()[idx[good]] = False
        if not todo.any():
            break
    return x, y, ok


def _fisheye_distorted_angle(theta, D):
    t2 = theta * theta
    return theta * (1.0 + t2 * (D[0] + t2 * (D[1] + t2 * (D[2] + t2 * D[3]))))


def _fisheye_rays(u, v, K, D):
    """Unit viewing rays (x, y, z) of pixel positions through the equidistant model, and where
    the inversion holds.

    The distorted angle theta_d = theta (1 + k1 theta^2 + ... + k4 theta^8) is inverted by
    Newton's method over the angle from the optical axis, so rays beyond 90 degrees (z <= 0) are
    found as well; where the polynomial is not increasing or the inversion does not map back onto
    its pixel within _ROUND_TRIP_TOLERANCE_PX, ``ok`` is False.
    """
    a = (u.astype(np.float64) - K[0, 2]) / K[0, 0]
    b = (v.astype(np.float64) - K[1, 2]) / K[1, 1]
    theta_d = np.hypot(a, b)
    theta = theta_d.copy()
    for _ in range(30):
        t2 = theta * theta
        f = _fisheye_distorted_angle(theta, D) - theta_d
        slope = 1.0 + t2 * (3.0 * D[0] + t2 * (5.0 * D[1] + t2 * (7.0 * D[2] + t2 * 9.0 * D[3])))
        with np.errstate(divide="ignore", invalid="ignore"):
            theta = theta - f / slope
    t2 = theta * theta
    slope = 1.0 + t2 * (3.0 * D[0] + t2 * (5.0 * D[1] + t2 * (7.0 * D[2] + t2 * 9.0 * D[3])))
    error = np.abs(_fisheye_distorted_angle(theta, D) - theta_d) * max(K[0, 0], K[1, 1])
    ok = (error < _ROUND_TRIP_TOLERANCE_PX) & (slope > 0) & (theta >= 0) & (theta <= math.pi)
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = np.where(theta_d > 0, np.sin(theta) / theta_d, 1.0)
    return a * scale, b * scale, np.cos(theta), ok


def _fisheye_project(cam, K, D):
    """Pixel positions of camera-frame points (N x 3) through the equidistant model; the angle
    from the optical axis is measured up to 180 degrees, so it agrees with
    cv2.fisheye.projectPoints in front of the camera and goes on behind it."""
    r = np.hypot(cam[:, 0], cam[:, 1])
    theta = np.arctan2(r, cam[:, 2])
    theta_d = _fisheye_distorted_angle(theta, D)
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = np.where(r > 0, theta_d / r, 0.0)
    return np.stack([K[0, 0] * cam[:, 0] * scale + K[0, 2], K[1, 1] * cam[:, 1] * scale + K[1, 2]], axis=-1)
