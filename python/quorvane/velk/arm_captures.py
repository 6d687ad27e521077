"""Simulated captures of arms that cannot turn about every axis, with the truth.

Four arms move the flange:

* ``"6-axis"``: turns about every axis (base yaw, a tilt of the tool and a turn about the tool axis);
* ``"5-axis"``: no turn about the tool axis: the tool points down, tilted in the arm's vertical plane, and the
  arm's plane turns about the vertical axis;
* ``"scara"``: x, y, z and a turn about the vertical axis; the tool always points straight down;
* ``"gantry"``: x, y and z alone; the tool points straight down and never turns, and the views spread across
  the board instead.

Eye-in-hand, a camera on a tilted bracket at the flange looks down at a board lying face up on the table;
eye-to-hand, a camera below the work area looks up at a board the flange holds face down. Each view aims
the camera at the board's centre from a distance and a turn of its own.

The robot reports the pose it was commanded to, which has exactly the arm's freedoms; where the flange really
stands differs by a small motion in every axis (``robot_error``, see :func:`demo.perturb_robot_poses`), and the
pictures are taken from there.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

import _velk

from . import demo, geometry, synthetic

ARM_KINDS = ("6-axis", "5-axis", "scara", "gantry")
SETUPS = ("eye-in-hand", "eye-to-hand")

#: Eye-in-hand: the camera 6 cm down the flange axis and 4 cm aside, tilted 25 degrees off it.
ARM_TCP_T_CAMERA_POSE = [0.04, -0.02, 0.06, 25.0, -3.0, 90.0]
#: Eye-in-hand: the board lying face up on the table.
ARM_WORLD_T_TARGET_POSE = [0.45, -0.10, 0.0, 180.0, 0.0, 0.0]
#: Eye-to-hand: the camera 40 cm below the work area's height, looking up and 20 degrees aside.
ARM_ROBOT_T_CAMERA_POSE = [0.50, 0.05, -0.40, 20.0, 0.0, 90.0]
#: Eye-to-hand: the board on the flange, face down (the demo's mount).
ARM_TCP_T_TARGET_POSE = demo.TRUE_TCP_T_TARGET_POSE

_DISTANCE_RANGE_M = (0.4, 0.7)
_AIM_JITTER_M = 0.02
#: A gantry's views cannot differ in their turns: they differ in where the board lies in the picture.
_GANTRY_AIM_SPREAD_M = 0.06
_YAW_SPAN_DEG = 150.0
_TILT_RANGE_DEG = 30.0
_TOOL_TURN_RANGE_DEG = 40.0
_TOOL_DOWN = np.diag([1.0, -1.0, -1.0])


@dataclass
class ArmCapture:
    """The poses of a simulated capture: as the robot reports them, where they really were, and the views.

    ``camera_mount_T_camera`` is ``tcp_T_camera`` eye-in-hand, ``robot_T_camera`` eye-to-hand;
    ``target_mount_T_target`` is ``world_T_target`` eye-in-hand, ``tcp_T_target`` eye-to-hand."""

    arm: str
    setup: str
    robot_T_tcp_list: list
    true_robot_T_tcp_list: list
    camera_T_target_list: list
    camera_mount_T_camera: np.ndarray
    target_mount_T_target: np.ndarray


def _turn(axis: int, angle_deg: float) -> np.ndarray:
    vector = np.zeros(3)
    vector[axis] = math.radians(angle_deg)
    return geometry.rotation_from_rotvec(vector)


def flange_rotation(arm: str, yaw_deg: float, tilt_deg: float, tool_turn_deg: float) -> np.ndarray:
    """The flange's orientation in the base frame an arm reaches: a yaw about the vertical axis (not on a gantry);
    a tilt of the tool (not on a SCARA or a gantry); a turn about the tool axis (only on a 6-axis arm)."""
    if arm not in ARM_KINDS:
        raise ValueError(f"flange_rotation: unknown arm {arm!r} (expected one of {', '.join(ARM_KINDS)})")
    if arm == "gantry":
        return _TOOL_DOWN.copy()
    rotation = _turn(2, yaw_deg)
    if arm != "scara":
        rotation = rotation @ _turn(1, tilt_deg)
    rotation = rotation @ _TOOL_DOWN
    if arm == "6-axis":
        rotation = rotation @ _turn(2, tool_turn_deg)
    return rotation


def _transform(rotation, translation) -> np.ndarray:
    pose = np.eye(4)
    pose[:3, :3] = rotation
    pose[:3, 3] = translation
    return pose


def _view_rotations(arm: str, count: int, rng) -> list:
    rotations = []
    for k in range(count):
        yaw = -_YAW_SPAN_DEG + 2.0 * _YAW_SPAN_DEG * (k + rng.uniform(0.2, 0.8)) / count
        tilt = rng.uniform(-_TILT_RANGE_DEG, _TILT_RANGE_DEG)
        rotations.append(flange_rotation(arm, yaw, tilt, rng.uniform(-_TOOL_TURN_RANGE_DEG, _TOOL_TURN_RANGE_DEG)))
    return rotations


def _aim_jitter(rng, arm: str) -> np.ndarray:
    spread = _GANTRY_AIM_SPREAD_M if arm == "gantry" else _AIM_JITTER_M
    return np.append(rng.uniform(-spread, spread, 2), 0.0)


def eye_in_hand_flanges(arm, count, rng, tcp_T_camera, world_T_target, centre) -> list:
    """Flange poses the arm reaches whose camera (mounted at ``tcp_T_camera``) looks at the centre (``centre``, in
    the board frame) of the board lying at ``world_T_target``."""
    aim = (world_T_target @ np.append(centre, 1.0))[:3]
    flanges = []
    for rotation in _view_rotations(arm, count, rng):
        camera_rotation = rotation @ tcp_T_camera[:3, :3]
        camera_position = aim + _aim_jitter(rng, arm) - rng.uniform(*_DISTANCE_RANGE_M) * camera_rotation[:, 2]
        flanges.append(_transform(rotation, camera_position - rotation @ tcp_T_camera[:3, 3]))
    return flanges


def eye_to_hand_flanges(arm, count, rng, robot_T_camera, tcp_T_target, centre) -> list:
    """Flange poses the arm reaches that hold the centre of the board it carries (at ``tcp_T_target``) on the line
    of sight of the camera at ``robot_T_camera``."""
    board_centre = (tcp_T_target @ np.append(centre, 1.0))[:3]
    flanges = []
    for rotation in _view_rotations(arm, count, rng):
        seen_at = robot_T_camera[:3, 3] + rng.uniform(*_DISTANCE_RANGE_M) * robot_T_camera[:3, 2]
        flanges.append(_transform(rotation, seen_at + _aim_jitter(rng, arm) - rotation @ board_centre))
    return flanges


def arm_capture(arm: str, setup: str = "eye-in-hand", num_poses: int = 15, seed: int = 0, robot_error=(0.0, 0.0),
                target=None) -> ArmCapture:
    """The poses of ``num_poses`` views of a board (the demo's ChArUco board when ``target`` is None) taken by
    ``arm`` in ``setup``; ``robot_error`` = (translation mm, rotation deg) per flange axis between the reported
    and the true flange poses."""
    if setup not in SETUPS:
        raise ValueError(f"arm_capture: unknown set-up {setup!r} (expected one of {', '.join(SETUPS)})")
    if target is None:
        target = _velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100")
    rng = np.random.default_rng([seed, 2])
    centre = synthetic.board_center(target)
    pose = _velk.tf.pose_to_transformation_matrix
    if setup == "eye-in-hand":
        camera_mount, target_mount = pose(ARM_TCP_T_CAMERA_POSE), pose(ARM_WORLD_T_TARGET_POSE)
        reported = eye_in_hand_flanges(arm, num_poses, rng, camera_mount, target_mount, centre)
    else:
        camera_mount, target_mount = pose(ARM_ROBOT_T_CAMERA_POSE), pose(ARM_TCP_T_TARGET_POSE)
        reported = eye_to_hand_flanges(arm, num_poses, rng, camera_mount, target_mount, centre)
    true = demo.perturb_robot_poses(reported, *robot_error, np.random.default_rng([seed, 1]))
    if setup == "eye-in-hand":
        cameras = [np.linalg.inv(camera_mount) @ np.linalg.inv(flange) @ target_mount for flange in true]
    else:
        cameras = [np.linalg.inv(camera_mount) @ flange @ target_mount for flange in true]
    return ArmCapture(arm, setup, [np.array(r) for r in reported], true, cameras, camera_mount, target_mount)


def render_arm_capture(arm: str, setup: str = "eye-in-hand", num_poses: int = 15, seed: int = 0,
                       noise_sigma: float = 1.0, robot_error=(0.0, 0.0), image_size=(1280, 960), target=None):
    """The pictures of :func:`arm_capture`'s views through the demo's pinhole camera, as a
    :class:`demo.EyeInHandScene` or :class:`demo.EyeToHandScene`."""
    if target is None:
        target = _velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100")
    capture = arm_capture(arm, setup, num_poses, seed, robot_error, target)
    camera_matrix, distortion, _ = demo.simulated_lens("pinhole", image_size)
    images = [synthetic.render_target(target, camera_matrix, distortion, camera_T_target, image_size,
                                      noise_sigma=noise_sigma, blur_sigma=0.6, seed=seed * 1000 + k).image
              for k, camera_T_target in enumerate(capture.camera_T_target_list)]
    common = dict(target=target, camera_matrix=camera_matrix, distortion=distortion, image_size=image_size,
                  images=images, robot_T_tcp_list=capture.robot_T_tcp_list,
                  camera_T_target_list=capture.camera_T_target_list,
                  true_robot_T_tcp_list=capture.true_robot_T_tcp_list)
    if setup == "eye-in-hand":
        return demo.EyeInHandScene(**common, tcp_T_camera=capture.camera_mount_T_camera,
                                   world_T_target=capture.target_mount_T_target)
    return demo.EyeToHandScene(**common, robot_T_camera=capture.camera_mount_T_camera,
                               tcp_T_target=capture.target_mount_T_target)
