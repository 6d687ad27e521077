"""Planning the pictures of a hand-eye calibration before going to the robot.

The compiled core predicts the 1-sigma a calibration from given flange poses will have
(:func:`_velk.predict_hand_eye`) and chooses flange poses greedily from candidates
(:func:`_velk.plan_hand_eye`). This module makes those candidates: camera poses around the
board, spread over view directions on a sphere cap, several distances and turns about the
optical axis, turned into flange poses through the approximate transforms of the set-up and
kept when the flange lies inside the workspace box. It also builds a plan scene from a
camera (or a guess from image size and field of view) and a target description, and writes
poses in the formats ``velk poses import`` reads.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import _velk

from . import arm_captures, geometry, safe_files
from .synthetic import look_at_pose
from .synthetic import printed_face_side as synthetic_face_side

#: Default expected noise: corners (px) and robot pose per flange axis (mm, deg).
DEFAULT_PIXEL_NOISE_PX = 0.2
DEFAULT_ROBOT_NOISE = (0.3, 0.03)


@dataclass
class Workspace:
    """Where the camera may look at the board from, and where the flange may go.

    Distances (m) from the board's centre, tilts (deg) of the line of sight from the board's
    normal, turns (deg) about the optical axis; ``box`` = ((x, y, z) min, (x, y, z) max) of the
    flange position in the robot base frame, or None for no bound; ``flange_tilt_deg``: the largest
    angle of the flange's z axis from straight down (the base's -z), or None for no bound."""

    distance_m: tuple = (0.3, 0.8)
    tilt_deg: tuple = (10.0, 45.0)
    roll_deg: float = 25.0
    box: tuple | None = None
    flange_tilt_deg: float | None = None


def guess_camera_matrix(image_size, horizontal_fov_deg: float) -> np.ndarray:
    """A pinhole camera matrix from the image size (width, height) and the horizontal field of view."""
    width, height = image_size
    if not (0.0 < horizontal_fov_deg < 180.0):
        raise ValueError(f"plan: the horizontal field of view must lie between 0 and 180 deg, got "
                         f"{horizontal_fov_deg}")
    focal = width / 2.0 / math.tan(math.radians(horizontal_fov_deg) / 2.0)
    return np.array([[focal, 0.0, (width - 1) / 2.0], [0.0, focal, (height - 1) / 2.0], [0.0, 0.0, 1.0]])


def target_corners(printed) -> np.ndarray:
    """The corners a detector finds on a target (a :class:`~quorvane.velk.target_file.PrintedTarget`), N x 3."""
    if printed.kind == "chessboard":
        columns, rows, step = printed.cols, printed.rows, printed.square_size
        return np.array([[c * step, r * step, 0.0] for r in range(rows) for c in range(columns)])
    if printed.kind == "charuco":
        step = printed.square_length
        return np.array([[(c + 1) * step, (r + 1) * step, 0.0] for r in range(printed.squares_y - 1)
                         for c in range(printed.squares_x - 1)])
    if printed.kind == "circle_grid":
        return np.asarray(printed.build().object_points(), dtype=np.float64)
    step = printed.marker_length + printed.marker_separation
    corners = []
    for r in range(printed.markers_y):
        for c in range(printed.markers_x):
            x, y = c * step, r * step
            corners += [[x, y, 0.0], [x + printed.marker_length, y, 0.0],
                        [x + printed.marker_length, y + printed.marker_length, 0.0], [x, y + printed.marker_length, 0.0]]
    return np.array(corners)


def printed_face_side(printed) -> float:
    """The sign of the board-frame z on the side a camera sees a target file's printed face from (see
    :func:`quorvane.velk.synthetic.printed_face_side`)."""
    return synthetic_face_side(printed.build())


def make_scene(camera_matrix, distortion, image_size, corners, eye_to_hand: bool, camera_mount_T_camera,
               target_mount_T_target, pixel_noise_px=DEFAULT_PIXEL_NOISE_PX, robot_noise=DEFAULT_ROBOT_NOISE,
               free_intrinsics=True) -> _velk.HandEyePlanScene:
    """A plan scene. Eye-in-hand: camera_mount_T_camera = tcp_T_camera, target_mount_T_target = robot_T_target;
    eye-to-hand: robot_T_camera and tcp_T_target."""
    scene = _velk.HandEyePlanScene()
    scene.intrinsic_matrix = np.asarray(camera_matrix, dtype=np.float64)
    scene.distortion_coefficients = np.asarray(distortion, dtype=np.float64).reshape(1, -1)
    scene.image_size = tuple(int(v) for v in image_size)
    scene.object_points = np.asarray(corners, dtype=np.float64)
    scene.eye_to_hand = bool(eye_to_hand)
    scene.camera_mount_T_camera = np.asarray(camera_mount_T_camera, dtype=np.float64)
    scene.target_mount_T_target = np.asarray(target_mount_T_target, dtype=np.float64)
    scene.pixel_noise_px = float(pixel_noise_px)
    scene.robot_translation_noise_mm, scene.robot_rotation_noise_deg = (float(v) for v in robot_noise)
    scene.free_intrinsics = bool(free_intrinsics)
    return scene


def restricted_candidates(scene, count: int, arm: str = "scara", seed: int = 0) -> list:
    """Flange poses of an arm that turns about the base's vertical axis only ("scara": the tool points down) or not
    at all ("gantry"), aimed at the board under the scene's nominal transforms."""
    rng = np.random.default_rng(seed)
    corners = np.asarray(scene.object_points, dtype=np.float64).reshape(-1, 3)
    centre = (corners.min(axis=0) + corners.max(axis=0)) / 2.0
    camera, target = np.asarray(scene.camera_mount_T_camera), np.asarray(scene.target_mount_T_target)
    if scene.eye_to_hand:
        return arm_captures.eye_to_hand_flanges(arm, count, rng, camera, target, centre)
    return arm_captures.eye_in_hand_flanges(arm, count, rng, camera, target, centre)


def undetermined_translations(robot_T_tcp_list) -> list[str]:
    """The translations of the flange-side transform ("tx", "ty", "tz") the poses leave undetermined: the one along
    the flange axis nearest the axis every pose turns about, all three when they do not turn, none when they turn
    about several axes."""
    poses = list(robot_T_tcp_list)
    if _velk.diagnostics.restricted_motion(poses) == "no turn":
        return ["tx", "ty", "tz"]
    axis = _velk.diagnostics.common_turn_axis(poses)
    if axis is None:
        return []
    return ["t" + "xyz"[int(np.argmax(np.abs(axis)))]]


def _camera_pose(centre, distance, tilt_deg, azimuth_rad, roll_deg, face_side=-1.0) -> np.ndarray:
    """camera_T_target of a camera on the printed side (board-frame z of the sign ``face_side``, see
    :func:`printed_face_side`) looking at the centre."""
    tilt = math.radians(tilt_deg)
    offset = distance * np.array([math.sin(tilt) * math.cos(azimuth_rad), math.sin(tilt) * math.sin(azimuth_rad),
                                  face_side * math.cos(tilt)])
    roll = _velk.tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, roll_deg])
    return roll @ look_at_pose(centre + offset, centre)


def spread_camera_poses(corners, workspace: Workspace, count: int, face_side: float = -1.0) -> list:
    """About ``count`` camera_T_target spread over the workspace: view directions on a sphere cap (a Fibonacci
    spiral between the tilt limits), each at three distances and three turns about the optical axis; the cap lies
    on the board's printed side (``face_side``, see :func:`printed_face_side`)."""
    centre = np.asarray(corners, dtype=np.float64).mean(axis=0)
    distances = np.linspace(*workspace.distance_m, 3)
    rolls = np.linspace(-workspace.roll_deg, workspace.roll_deg, 3)
    directions = max(1, math.ceil(count / (len(distances) * len(rolls))))
    low, high = (math.cos(math.radians(t)) for t in workspace.tilt_deg)
    golden = math.pi * (3.0 - math.sqrt(5.0))
    poses = []
    for k in range(directions):
        # Equal areas of the cap: the cosine of the tilt steps evenly.
        tilt = math.degrees(math.acos(low + (high - low) * (k + 0.5) / directions))
        for d, distance in enumerate(distances):
            for r, roll in enumerate(rolls):
                azimuth = golden * k + 2.0 * math.pi * (d * len(rolls) + r) / (len(distances) * len(rolls) * 7)
                poses.append(_camera_pose(centre, distance, tilt, azimuth, roll, face_side))
    return poses[:max(count, 1)]


def drawn_camera_poses(corners, workspace: Workspace, count: int, rng, face_side: float = -1.0) -> list:
    """``count`` camera_T_target drawn uniformly from the workspace's distance, tilt, azimuth and roll ranges, on
    the board's printed side (``face_side``)."""
    centre = np.asarray(corners, dtype=np.float64).mean(axis=0)
    return [_camera_pose(centre, rng.uniform(*workspace.distance_m), rng.uniform(*workspace.tilt_deg),
                         rng.uniform(0.0, 2.0 * math.pi), rng.uniform(-workspace.roll_deg, workspace.roll_deg),
                         face_side)
            for _ in range(count)]


def flange_poses(scene, camera_T_target_list) -> list:
    """The flange poses robot_T_tcp that put the camera at each camera_T_target under the scene's transforms."""
    camera = np.asarray(scene.camera_mount_T_camera)
    target = np.asarray(scene.target_mount_T_target)
    if scene.eye_to_hand:  # robot_T_camera @ camera_T_target = robot_T_tcp @ tcp_T_target
        return [camera @ c @ np.linalg.inv(target) for c in camera_T_target_list]
    # robot_T_target = robot_T_tcp @ tcp_T_camera @ camera_T_target
    return [target @ np.linalg.inv(c) @ np.linalg.inv(camera) for c in camera_T_target_list]


def inside_box(robot_T_tcp_list, box) -> list:
    """The flange poses whose position lies inside the box ((x, y, z) min, (x, y, z) max); all for None."""
    if box is None:
        return list(robot_T_tcp_list)
    low, high = (np.asarray(v, dtype=np.float64) for v in box)
    return [p for p in robot_T_tcp_list if np.all(p[:3, 3] >= low) and np.all(p[:3, 3] <= high)]


def within_flange_tilt(robot_T_tcp_list, limit_deg) -> list:
    """The flange poses whose z axis points within ``limit_deg`` of straight down (the base's -z); all for None."""
    if limit_deg is None:
        return list(robot_T_tcp_list)
    return [p for p in robot_T_tcp_list if -p[2, 2] >= math.cos(math.radians(limit_deg))]


def workspace_candidates(scene, workspace: Workspace, count: int, face_side: float = -1.0) -> list:
    """Candidate flange poses: spread camera poses on the printed side (``face_side``) whose flange lies inside the
    workspace box and tilt limit."""
    poses = flange_poses(scene, spread_camera_poses(scene.object_points, workspace, count, face_side))
    return within_flange_tilt(inside_box(poses, workspace.box), workspace.flange_tilt_deg)


def sigma_text(sigma) -> str:
    """'x y z mm | rx ry rz deg' of a PoseSigma."""
    return ("translation " + " ".join(f"{v:.3f}" for v in sigma.translation_mm) + " mm | rotation "
            + " ".join(f"{v:.4f}" for v in sigma.rotation_deg) + " deg")


def write_poses(path, robot_T_tcp_list, fmt: str = "xyz-quat") -> Path:
    """Writes flange poses as CSV in metres, one per row, in a format ``velk poses import`` reads
    (xyz-quat in wxyz order, xyz-rotvec, xyz-euler-deg or matrix)."""
    headers = {"xyz-quat": "x,y,z,qw,qx,qy,qz", "xyz-rotvec": "x,y,z,rx,ry,rz", "xyz-euler-deg": "x,y,z,rx,ry,rz",
               "matrix": ",".join(f"m{r}{c}" for r in range(4) for c in range(4))}
    if fmt not in headers:
        raise ValueError(f"plan: unknown pose format '{fmt}' (use one of {', '.join(headers)})")
    lines = [headers[fmt]]
    for pose in robot_T_tcp_list:
        pose = np.asarray(pose, dtype=np.float64)
        if fmt == "xyz-quat":
            values = [*pose[:3, 3], *geometry.quaternion_from_rotation(pose)]
        elif fmt == "xyz-rotvec":
            values = [*pose[:3, 3], *geometry.rotvec_from_rotation(pose)]
        elif fmt == "xyz-euler-deg":
            values = list(_velk.tf.transformation_matrix_to_pose(pose))
        else:
            values = list(pose.ravel())
        lines.append(",".join(f"{v:.9g}" for v in values))
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    safe_files.write_text(path, "\n".join(lines) + "\n")
    return path


def without_captured(candidates, captured, tolerance=1e-5) -> list:
    """The candidates that are not already among the captured flange poses (equal within ``tolerance``)."""
    taken = [np.asarray(c, dtype=np.float64) for c in captured]
    return [p for p in candidates if all(np.abs(np.asarray(p) - c).max() > tolerance for c in taken)]
