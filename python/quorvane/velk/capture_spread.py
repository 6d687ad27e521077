"""How a set of calibration pictures spreads the board: how far each picture tilts it from facing the camera, and
how far the observed corners reach from the principal point towards the picture's corners."""

from __future__ import annotations

import math

import numpy as np

from .distortion_field import picture_corners
from .lens import solve_pose


def board_tilts_deg(object_points, image_points, camera_matrix, distortion, camera_model: str = "pinhole") -> list:
    """Per view, the angle (deg) between the board's normal and the camera's optical axis; views that cannot be posed
    are left out."""
    import cv2

    tilts = []
    for objects, points in zip(object_points, image_points):
        ok, rvec, _ = solve_pose(objects, points, camera_matrix, distortion, camera_model)
        if not ok:
            continue
        normal = cv2.Rodrigues(np.asarray(rvec, np.float64))[0][:, 2]
        tilts.append(math.degrees(math.acos(min(1.0, abs(float(normal[2]))))))
    return tilts


def corner_reach(points_per_view, camera_matrix, image_size) -> float:
    """The farthest observed corner's distance from the principal point, as a share of the farthest picture
    corner's; NaN without corners."""
    corners = [np.asarray(p, np.float64).reshape(-1, 2) for p in points_per_view]
    corners = [c for c in corners if len(c)]
    if not corners:
        return float("nan")
    centre = np.asarray(camera_matrix, np.float64)[:2, 2]
    picture = picture_corners(image_size)
    farthest = float(np.linalg.norm(np.vstack(corners) - centre, axis=1).max())
    return farthest / float(np.linalg.norm(picture - centre, axis=1).max())
