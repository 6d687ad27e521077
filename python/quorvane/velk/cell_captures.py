"""Simulated cells of several cameras around one robot, with the truth.

Two mounts, one board:

* ``"stationary"``: two or three cameras stand side by side in front of the robot, each turned in towards the
  work area, and the robot holds the board up to them on its flange (eye-to-hand);
* ``"flange"``: a stereo pair (or three cameras) on a bar at the flange look at a board lying still in the
  work area (eye-in-hand).

At every robot pose each camera takes a picture, with the robot standing still: the pictures of one pose share
that pose's error. The robot reports its flange poses with a small random error in every axis
(``robot_error``, see :func:`demo.perturb_robot_poses`); the pictures are taken from where it really stands.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

import _velk

from . import demo, synthetic

CELL_KINDS = ("stationary", "flange")

#: Where the cameras look from: eye-to-hand the demo's stationary camera, eye-in-hand its flange camera.
_CENTRE_POSES = {"stationary": demo.TRUE_ROBOT_T_CAMERA_POSE, "flange": demo.TRUE_TCP_T_CAMERA_POSE}
_TARGET_MOUNT_POSES = {"stationary": demo.TRUE_TCP_T_TARGET_POSE, "flange": demo.WORLD_T_TARGET_POSE}
#: Distance between neighbouring cameras: a stand's width apart, or a stereo bar's.
_SPACING_M = {"stationary": 0.25, "flange": 0.10}
#: The cameras turn in towards a point this far ahead of the middle one.
_CONVERGENCE_M = 0.55
#: Each camera's own lens: focal lengths a little apart, the demo's barrel distortion.
_FOCAL_LENGTHS_PX = (1000.0, 1040.0, 970.0, 1020.0)


@dataclass
class CellScene:
    """Pictures and reported flange poses of a simulated cell, with the truth.

    ``camera_mount_T_camera_list`` holds ``robot_T_camera`` per camera for a stationary cell, ``tcp_T_camera``
    for one on the flange; ``target_mount_T_target`` is ``tcp_T_target`` or ``world_T_target``. ``image_lists``
    and ``camera_T_target_lists`` hold one entry per camera and pose."""

    kind: str
    target: object
    image_size: tuple
    camera_matrices: list
    distortions: list
    image_lists: list
    camera_T_target_lists: list
    robot_T_tcp_list: list
    true_robot_T_tcp_list: list
    camera_mount_T_camera_list: list
    target_mount_T_target: np.ndarray

    @property
    def eye_to_hand(self) -> bool:
        return self.kind == "stationary"


def _turned_about_y(angle_rad: float) -> np.ndarray:
    c, s = math.cos(angle_rad), math.sin(angle_rad)
    return np.array([[c, 0.0, s], [0.0, 1.0, 0.0], [-s, 0.0, c]])


def centre_T_cameras(kind: str, num_cameras: int) -> list:
    """Each camera's pose in the middle camera's frame: side by side along its x axis, turned in."""
    poses = []
    for c in range(num_cameras):
        offset = (c - (num_cameras - 1) / 2.0) * _SPACING_M[kind]
        pose = np.eye(4)
        pose[:3, :3] = _turned_about_y(math.atan2(-offset, _CONVERGENCE_M))
        pose[0, 3] = offset
        poses.append(pose)
    return poses


def cell_poses(kind: str, num_cameras: int = 2, num_poses: int = 15, seed: int = 0, robot_error=(0.5, 0.05),
               target=None):
    """The truth and the robot poses of a cell: (camera mounts, target mount, reported and true flange poses,
    per camera its camera_T_target at each pose)."""
    if kind not in CELL_KINDS:
        raise ValueError(f"cell_poses: unknown cell {kind!r} (expected one of {', '.join(CELL_KINDS)})")
    if not 1 <= num_cameras <= len(_FOCAL_LENGTHS_PX):
        raise ValueError(f"cell_poses: num_cameras must be 1 to {len(_FOCAL_LENGTHS_PX)}, got {num_cameras}")
    pose = _velk.tf.pose_to_transformation_matrix
    mount_T_centre = pose(_CENTRE_POSES[kind])
    target_mount = pose(_TARGET_MOUNT_POSES[kind])
    mounts = [mount_T_centre @ relative for relative in centre_T_cameras(kind, num_cameras)]
    rng = np.random.default_rng([seed, 3])
    # The middle camera's views, as the demo takes them; the others see the same board from aside.
    centre_views = demo._camera_poses(target, num_poses, rng)
    if kind == "stationary":
        # robot_T_camera @ camera_T_target = robot_T_tcp @ tcp_T_target
        true = [mount_T_centre @ view @ np.linalg.inv(target_mount) for view in centre_views]
    else:
        # world_T_target = robot_T_tcp @ tcp_T_camera @ camera_T_target
        true = [target_mount @ np.linalg.inv(view) @ np.linalg.inv(mount_T_centre) for view in centre_views]
    reported = demo.perturb_robot_poses(true, *robot_error, np.random.default_rng([seed, 1]))
    views = []
    for mount in mounts:
        if kind == "stationary":
            views.append([np.linalg.inv(mount) @ flange @ target_mount for flange in true])
        else:
            views.append([np.linalg.inv(mount) @ np.linalg.inv(flange) @ target_mount for flange in true])
    return mounts, target_mount, reported, true, views


def simulate_cell(kind: str = "stationary", num_cameras: int = 2, num_poses: int = 15, seed: int = 0,
                  robot_error=(0.5, 0.05), noise_sigma: float = 1.0, image_size=(1280, 960),
                  target=None) -> CellScene:
    """Renders every camera's picture at every robot pose of a simulated cell (see the module's text); the
    board is the demo's ChArUco board when ``target`` is None."""
    if target is None:
        target = _velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100")
    mounts, target_mount, reported, true, views = cell_poses(kind, num_cameras, num_poses, seed, robot_error, target)
    distortion = np.array([-0.1, 0.02, 0.0, 0.0, 0.0])
    matrices, image_lists = [], []
    for c, camera_views in enumerate(views):
        matrix = synthetic.pinhole_matrix(_FOCAL_LENGTHS_PX[c], image_size)
        matrices.append(matrix)
        image_lists.append([synthetic.render_target(target, matrix, distortion, view, image_size,
                                                    noise_sigma=noise_sigma, blur_sigma=0.6,
                                                    seed=(seed * 10 + c) * 1000 + k).image
                            for k, view in enumerate(camera_views)])
    return CellScene(kind, target, tuple(image_size), matrices, [distortion.copy() for _ in views], image_lists,
                     views, [np.array(r) for r in reported], true, mounts, target_mount)
