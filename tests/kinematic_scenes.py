"""Kinematic chains for the tests and the benchmark: the two-axis positioner of the measured-pose
data set as a DH table, and a four-joint arm with known corrections whose measured poses are
simulated with noise."""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

import _velk
from _velk import kinematics
from conftest import SHARED_DATA
from quorvane.velk import planning
from quorvane.velk.geometry import rotation_from_rotvec, transform
from quorvane.velk.kinematic_models import MeasuredPoses, transform_from_xyz_rpy

POSITIONER_DIR = SHARED_DATA / "kinematic-positioner"

POSITIONER_MODEL = """\
convention: dh
angle_unit: deg
base: {xyz: [2.2, 0.0, 1.6], rpy: [90, 0, 0]}
joints:
  - {name: j1, type: revolute, d: 0.0, theta: 0, r: 0.0, alpha: -90}
  - {name: j2, type: revolute, d: -0.475, theta: -90, r: 0.0, alpha: 0}
"""

ARM_MODEL = """\
convention: dh
angle_unit: deg
joints:
  - {name: j1, type: revolute, d: 0.35, theta: 0, r: 0.08, alpha: 90}
  - {name: j2, type: revolute, d: 0.05, theta: 30, r: 0.40, alpha: -90}
  - {name: j3, type: revolute, d: 0.10, theta: 0, r: 0.30, alpha: 90}
  - {name: j4, type: revolute, d: 0.12, theta: 0, r: 0.0, alpha: 0}
"""

#: The arm's corrections in full mode: zero offsets (rad), then d, r, alpha per joint (m, m, rad).
ARM_TRUE_CORRECTIONS = np.array([
    0.005, -0.004, 0.006, 0.003,
    0.002, 0.0015, np.radians(0.15),
    -0.001, 0.002, np.radians(-0.1),
    0.0015, -0.001, np.radians(0.12),
    0.001, 0.002, np.radians(0.2),
])
ARM_BASE_T_CAMERA = transform_from_xyz_rpy([1.2, 0.3, 0.8], np.radians([-100.0, 5.0, 110.0]))
ARM_FLANGE_T_TARGET = transform_from_xyz_rpy([0.02, -0.03, 0.15], np.radians([10.0, -5.0, 30.0]))


@dataclass
class SimulatedPoses:
    measured: MeasuredPoses
    mount: np.ndarray  # the true base_T_camera or flange_T_camera
    carrier: np.ndarray


def write_model(path, text: str):
    path.write_text(text, encoding="utf-8")
    return path


def simulate_arm(nominal, seed: int, count: int = 60, setup: str = "sensor_fixed", noise_mm: float = 0.2,
                 noise_deg: float = 0.02) -> SimulatedPoses:
    """Measured poses of the arm with its true corrections, joints spread over +-110 deg, with Gaussian
    noise per axis on the measured translation (mm) and rotation (deg)."""
    rng = np.random.default_rng(seed)
    truth = kinematics.corrected_chain(nominal, "full", ARM_TRUE_CORRECTIONS.tolist())
    mount, carrier = ARM_BASE_T_CAMERA, ARM_FLANGE_T_TARGET
    if setup == "sensor_on_chain":
        mount, carrier = ARM_FLANGE_T_TARGET, ARM_BASE_T_CAMERA
    joints = rng.uniform(-np.radians(110.0), np.radians(110.0), size=(count, nominal.joint_count))
    poses = []
    for q in joints:
        flange = np.asarray(kinematics.forward_kinematics(truth, q.tolist()))
        if setup == "sensor_fixed":
            pose = np.linalg.inv(mount) @ flange @ carrier
        else:
            pose = np.linalg.inv(mount) @ np.linalg.inv(flange) @ carrier
        noise = transform(rotation_from_rotvec(rng.normal(0.0, np.radians(noise_deg), 3)))
        pose = pose @ noise
        pose[:3, 3] += rng.normal(0.0, noise_mm / 1000.0, 3)
        poses.append(pose)
    keys = [str(k) for k in range(count)]
    return SimulatedPoses(MeasuredPoses(keys, joints, np.asarray(poses), setup), mount, carrier)


def perturbed(pose: np.ndarray, seed: int) -> np.ndarray:
    """A starting value 10 mm / 2 deg away from pose."""
    rng = np.random.default_rng(seed + 1000)
    axis = rng.normal(size=3)
    start = pose @ transform(rotation_from_rotvec(axis / np.linalg.norm(axis) * np.radians(2.0)))
    start[:3, 3] += 0.01 * rng.normal(size=3) / np.sqrt(3.0)
    return start


#: A UR-like 6-axis arm, standard DH (d, r, alpha) in metres and radians.
UR_LIKE_DH = [(0.1625, 0.0, np.pi / 2), (0.0, -0.425, 0.0), (0.0, -0.3922, 0.0), (0.1333, 0.0, np.pi / 2),
              (0.0997, 0.0, -np.pi / 2), (0.0996, 0.0, 0.0)]


def ur_like_urdf() -> str:
    """The same arm as a URDF from base_link to tool0: joint k's origin is the previous link's a and alpha, then
    its own d, turning about its z axis."""
    joints, a, alpha = [], 0.0, 0.0
    for k, (d, r, twist) in enumerate(UR_LIKE_DH):
        xyz = (a, -d * np.sin(alpha), d * np.cos(alpha))
        joints.append(f'<joint name="j{k + 1}" type="revolute"><parent link="l{k}"/><child link="l{k + 1}"/>'
                      f'<origin xyz="{xyz[0]:.10g} {xyz[1]:.10g} {xyz[2]:.10g}" rpy="{alpha:.10g} 0 0"/>'
                      '<axis xyz="0 0 1"/><limit lower="-6.3" upper="6.3" effort="1" velocity="1"/></joint>')
        a, alpha = r, twist
    joints.append(f'<joint name="flange" type="fixed"><parent link="l6"/><child link="tool0"/>'
                  f'<origin xyz="{a:.10g} 0 0" rpy="{alpha:.10g} 0 0"/></joint>')
    links = '<link name="l0"/>' + "".join(f'<link name="l{k}"/>' for k in range(1, 7)) + '<link name="tool0"/>'
    return f'<robot name="ur_like">{links}{"".join(joints)}</robot>\n'.replace('"l0"', '"base_link"')


#: Where its pictures are taken about: the flange looking down in front of the base.
UR_LIKE_HOME = np.array([0.3, -1.9, 1.9, -1.6, -1.57, 0.2])
#: The board's inner corners (8 x 6, 4 cm) and the camera that sees them.
BOARD_GRID = np.array([[0.04 * (c + 1), 0.04 * (r + 1), 0.0] for r in range(6) for c in range(8)])
ARM_CAMERA_K = np.array([[900.0, 0.0, 639.5], [0.0, 900.0, 479.5], [0.0, 0.0, 1.0]])
ARM_CAMERA_D = np.zeros(5)


def ur_like_model() -> str:
    """The UR-like arm as a DH table, as velk reads a model file."""
    rows = "".join(f"  - {{name: j{k + 1}, type: revolute, d: {d!r}, theta: 0, r: {r!r}, alpha: {alpha!r}}}\n"
                   for k, (d, r, alpha) in enumerate(UR_LIKE_DH))
    return "convention: dh\njoints:\n" + rows


#: A redundant 7-joint arm, modified DH (alpha, a before the joint; d after it) in metres and radians: 0.3 m
#: shoulder height, 0.3 m upper arm and forearm with small elbow offsets, the flange 0.1 m past the last joint.
SEVEN_JOINT_MDH = [(0.30, 0.0, 0.0), (0.0, 0.0, -np.pi / 2), (0.30, 0.0, np.pi / 2), (0.0, 0.06, np.pi / 2),
                   (0.30, -0.06, -np.pi / 2), (0.0, 0.0, np.pi / 2), (0.0, 0.08, np.pi / 2)]
SEVEN_JOINT_FLANGE_M = 0.10
#: Its home: elbow bent, the flange looking down in front of the base.
SEVEN_JOINT_HOME = np.array([0.0, 0.4, 0.0, -1.9, 0.0, 2.3, 0.8])


def ur_like_chain():
    links = [kinematics.dh_link(f"j{k + 1}", "revolute", False, d, 0.0, r, alpha)
             for k, (d, r, alpha) in enumerate(UR_LIKE_DH)]
    return kinematics.KinematicChain(links, np.eye(4), np.eye(4))


def seven_joint_chain():
    links = [kinematics.dh_link(f"j{k + 1}", "revolute", True, d, 0.0, a, alpha)
             for k, (d, a, alpha) in enumerate(SEVEN_JOINT_MDH)]
    flange = np.eye(4)
    flange[2, 3] = SEVEN_JOINT_FLANGE_M
    return kinematics.KinematicChain(links, np.eye(4), flange)


@dataclass
class ArmPictures:
    joints: list  # per picture, the joint readings [rad]
    object_points: list
    image_points: list
    camera_T_target: list  # the true poses
    camera_mount_T_camera: np.ndarray  # tcp_T_camera (eye-in-hand) or robot_T_camera (eye-to-hand)
    target_mount_T_target: np.ndarray  # world_T_target or tcp_T_target


def arm_mounts(chain, eye_to_hand: bool = False, home=UR_LIKE_HOME) -> tuple[np.ndarray, np.ndarray]:
    """The camera's and the board's mounts of the pictures: the camera on the flange (or fixed, watching the
    board the flange holds) sees the board's centre 0.6 m ahead with the arm at home."""
    ahead = transform(rotation_from_rotvec(np.radians([10.0, 5.0, 0.0])))
    ahead[:3, 3] = [0.0, 0.0, 0.6] - ahead[:3, :3] @ BOARD_GRID.mean(axis=0)
    at_home = np.asarray(kinematics.forward_kinematics(chain, np.asarray(home, np.float64).tolist()))
    fixed = transform_from_xyz_rpy([0.03, -0.05, 0.08], np.radians([2.0, -3.0, 80.0]))
    if eye_to_hand:
        return at_home @ fixed @ np.linalg.inv(ahead), fixed
    return fixed, at_home @ fixed @ ahead


def arm_pictures(corrections, seed: int, count: int, eye_to_hand: bool = False, noise_px: float = 0.3,
                 spread_deg: float = 35.0, chain=None, home=UR_LIKE_HOME, mode: str = "offsets") -> ArmPictures:
    """Pictures of the board from joint readings spread about home, taken where the arm (the UR-like one
    unless chain is given) with the given corrections (the joint zero offsets, or in mode "full" every
    correction in the order of kinematics.correction_names) truly stands; the camera on the flange (or
    fixed, watching the board the flange holds) sees the board's centre 0.6 m ahead at home."""
    rng = np.random.default_rng(seed)
    chain = ur_like_chain() if chain is None else chain
    truth = kinematics.corrected_chain(chain, mode, list(map(float, corrections)))
    home = np.asarray(home, np.float64)
    mount, carrier = arm_mounts(truth, eye_to_hand, home)
    pictures = ArmPictures([], [], [], [], mount, carrier)
    while len(pictures.joints) < count:
        q = home + rng.uniform(-1.0, 1.0, len(home)) * np.radians(spread_deg)
        flange = np.asarray(kinematics.forward_kinematics(truth, q.tolist()))
        known = flange if eye_to_hand else np.linalg.inv(flange)
        pose = np.linalg.inv(mount) @ known @ carrier
        pixels = cv2.projectPoints(BOARD_GRID, cv2.Rodrigues(pose[:3, :3])[0], pose[:3, 3], ARM_CAMERA_K,
                                   ARM_CAMERA_D)[0].reshape(-1, 2)
        inside = np.all((pixels > 10) & (pixels < (1270, 950)), axis=1) & (pose[2, 3] > 0.2)
        if inside.sum() < 24:
            continue
        pictures.joints.append(q)
        pictures.object_points.append(BOARD_GRID[inside])
        pictures.image_points.append(pixels[inside] + rng.normal(0.0, noise_px, (int(inside.sum()), 2)))
        pictures.camera_T_target.append(pose)
    return pictures


def arm_plan_scene(eye_to_hand: bool = False, noise_px: float = 0.3, robot_noise=(0.2, 0.02)):
    """The plan scene of the arm's pictures: its camera, the board and the mounts with the nominal chain."""
    camera, target = arm_mounts(ur_like_chain(), eye_to_hand)
    return planning.make_scene(ARM_CAMERA_K, ARM_CAMERA_D, (1280, 960), BOARD_GRID, eye_to_hand, camera, target,
                               noise_px, robot_noise, free_intrinsics=False)


def pictures_at(scene, joints, offsets_rad, seed: int | None) -> ArmPictures:
    """Pictures at given joint readings, taken where the arm with the given zero offsets truly stands, of the
    corners the scene expects each to see; with the scene's corner noise and the arm's repeatability (a
    random error of the flange pose per picture at the scene's levels), or exact with seed None."""
    rng = np.random.default_rng(seed)
    truth = kinematics.corrected_chain(ur_like_chain(), "offsets", list(offsets_rad))
    mount, carrier = np.asarray(scene.camera_mount_T_camera), np.asarray(scene.target_mount_T_target)
    pictures = ArmPictures([], [], [], [], mount, carrier)
    rotation, translation = np.radians(scene.robot_rotation_noise_deg), scene.robot_translation_noise_mm / 1000.0
    for q in joints:
        nominal = np.asarray(kinematics.forward_kinematics(ur_like_chain(), list(q)))
        seen = list(_velk.plan_visible_corners(scene, nominal))
        flange = np.asarray(kinematics.forward_kinematics(truth, list(q)))
        error = np.eye(4)
        if seed is not None:
            error = transform(rotation_from_rotvec(rng.normal(0.0, rotation, 3)), rng.normal(0.0, translation, 3))
        known = flange @ error if scene.eye_to_hand else error @ np.linalg.inv(flange)
        pose = np.linalg.inv(mount) @ known @ carrier
        pixels = np.asarray(_velk.project_points(BOARD_GRID[seen], pose, ARM_CAMERA_K, ARM_CAMERA_D))
        if seed is not None:
            pixels = pixels + rng.normal(0.0, scene.pixel_noise_px, pixels.shape)
        pictures.joints.append(np.asarray(q))
        pictures.object_points.append(BOARD_GRID[seen])
        pictures.image_points.append(pixels)
        pictures.camera_T_target.append(pose)
    return pictures
