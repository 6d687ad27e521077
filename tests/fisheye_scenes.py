"""Rendered views through a 160-degree equidistant (fisheye) lens, with the true camera and poses.

The views put a 5 x 7 ChArUco board (40 mm squares) at angles from the optical axis up to about 70 degrees, so
that the corners cover the wide rim of the picture where the fisheye model and the pinhole model part ways.
Rendering takes about 1.5 s a view: callers cache the views per session."""

from __future__ import annotations

import math
from types import SimpleNamespace

import numpy as np

IMAGE_SIZE = (1280, 960)
FIELD_OF_VIEW_DEG = 160.0
TRUE_FISHEYE_DIST = np.array([0.02, -0.01, 0.003, -0.0005])


def fisheye_camera():
    """(K, D) of the rendered fisheye lens."""
    from quorvane.velk import synthetic

    return synthetic.fisheye_matrix(FIELD_OF_VIEW_DEG, IMAGE_SIZE), TRUE_FISHEYE_DIST.copy()


def board():
    import _velk

    return _velk.CharucoTarget(5, 7, 0.04, 0.03)


def _rotation(axis, angle):
    import cv2

    return cv2.Rodrigues(np.asarray(axis, np.float64) * angle)[0]


def view_pose(off_axis_deg: float, azimuth_deg: float, distance: float, tilt_deg: float, roll_deg: float,
              centre) -> np.ndarray:
    """camera_T_target of a board whose centre lies ``off_axis_deg`` from the optical axis (towards
    ``azimuth_deg`` in the image), ``distance`` metres away, turned ``tilt_deg`` about an in-plane axis and
    ``roll_deg`` about its normal."""
    off, az = math.radians(off_axis_deg), math.radians(azimuth_deg)
    direction = np.array([math.sin(off) * math.cos(az), math.sin(off) * math.sin(az), math.cos(off)])
    # The board faces the camera (its printed side, board -z, towards the camera), then tilts and rolls.
    z_axis = direction  # board +z points away from the camera
    helper = np.array([0.0, 1.0, 0.0]) if abs(z_axis[1]) < 0.9 else np.array([1.0, 0.0, 0.0])
    x_axis = np.cross(helper, z_axis)
    x_axis /= np.linalg.norm(x_axis)
    y_axis = np.cross(z_axis, x_axis)
    facing = np.stack([x_axis, y_axis, z_axis], axis=1)
    turn = _rotation([math.cos(az + 1.0), math.sin(az + 1.0), 0.0], math.radians(tilt_deg)) @ \
        _rotation([0.0, 0.0, 1.0], math.radians(roll_deg))
    rotation = facing @ turn
    pose = np.eye(4)
    pose[:3, :3] = rotation
    pose[:3, 3] = direction * distance - rotation @ np.asarray(centre, np.float64)
    return pose


def scene_poses(count: int, seed: int = 0) -> list:
    """``count`` camera_T_target poses spread over the picture: off-axis angles 0 to 70 degrees, every azimuth."""
    from quorvane.velk import synthetic

    rng = np.random.default_rng(seed)
    centre = synthetic.board_center(board())
    poses = []
    for k in range(count):
        off = 70.0 * math.sqrt((k + rng.uniform(0.2, 0.8)) / count)
        poses.append(view_pose(off, rng.uniform(0.0, 360.0), rng.uniform(0.22, 0.34), rng.uniform(-35.0, 35.0),
                               rng.uniform(-30.0, 30.0), centre))
    return poses


def render_views(poses, noise_sigma: float = 1.0, seed: int = 0):
    """The rendered views (SimpleNamespace with images, truth views, K, D)."""
    from quorvane.velk import synthetic

    k, d = fisheye_camera()
    target = board()
    views = [synthetic.render_target(target, k, d, pose, IMAGE_SIZE, noise_sigma=noise_sigma, seed=seed + i,
                                     camera_model="fisheye", supersample=2)
             for i, pose in enumerate(poses)]
    return SimpleNamespace(images=[v.image for v in views], views=views, K=k, D=d, poses=list(poses),
                           target=target)
