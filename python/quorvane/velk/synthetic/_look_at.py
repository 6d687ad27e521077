"""Camera poses that aim a camera at a point of the board."""

from __future__ import annotations

import numpy as np


def look_at_pose(camera_position, target_point, up=(0.0, -1.0, 0.0)) -> np.ndarray:
    """``camera_T_target`` of a camera at a board-frame position looking at a board-frame point.

    The camera's optical axis points from ``camera_position`` to
    ``target_point``, and the board-frame direction ``up`` appears upwards in
    the image. The default up, -y, shows the board upright (its first row at
    the top) for a camera on the printed side (board-frame z < 0).

    Returns:
        4x4 float64 matrix mapping board-frame points into the camera frame.
    """
    position = np.asarray(camera_position, dtype=np.float64).reshape(3)
    forward = np.asarray(target_point, dtype=np.float64).reshape(3) - position
    up = np.asarray(up, dtype=np.float64).reshape(3)
    if np.linalg.norm(forward) == 0.0:
        raise ValueError("camera_position and target_point coincide")
    z = forward / np.linalg.norm(forward)
    down = -(up - (up @ z) * z)
    if np.linalg.norm(down) < 1e-9 * max(np.linalg.norm(up), 1e-300):
        raise ValueError("up must not be parallel to the viewing direction")
    y = down / np.linalg.norm(down)
    x = np.cross(y, z)
    T = np.eye(4)
    T[:3, :3] = np.stack([x, y, z])
    T[:3, 3] = -T[:3, :3] @ position
    return T
