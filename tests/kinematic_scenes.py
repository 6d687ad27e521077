"""Kinematic chains for the tests and the benchmark: the two-axis positioner of the measured-pose
data set as a DH table, and a four-joint arm with known corrections whose measured poses are
simulated with noise."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from _velk import kinematics
from conftest import SHARED_DATA
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
