"""Kinematic chains and measured poses on disk, and the calibration of a chain from them.

A chain is read from a DH table in YAML (:func:`load_dh_model`) or from the joints of a URDF
between two named links (:func:`load_urdf_chain`, parsed by yourdfpy). Lengths are in metres.

DH table (``convention`` ``dh``: Trans_z(d) Rot_z(theta + q) Trans_x(r) Rot_x(alpha); ``modified_dh``:
Rot_x(alpha) Trans_x(a) Rot_z(theta + q) Trans_z(d))::

    convention: dh
    angle_unit: deg            # of theta, alpha and the rpy of base and tool (default rad)
    base: {xyz: [2.2, 0.0, 1.6], rpy: [90, 0, 0]}    # base_T_chain, optional
    tool: {xyz: [0, 0, 0.1], rpy: [0, 0, 0]}          # last_T_flange, optional
    joints:
      - {name: j1, type: revolute, d: 0.0, theta: 0, r: 0.0, alpha: -90}

Measured poses (a folder with ``measurements.yaml`` and optionally ``pose_initial_guesses.yaml``):
per observation the joint readings of the chain carrying the target (``target_joints``) or the
sensor (``camera_joints``) and ``pose``, camera_T_target as x, y, z in metres and a unit quaternion.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np

from _velk import kinematics as _kinematics

from . import safe_files
from .geometry import euler_deg_from_rotation, rotation_from_euler_deg, rotation_from_quaternion, transform

MEASUREMENTS_FILE = "measurements.yaml"
GUESSES_FILE = "pose_initial_guesses.yaml"


def _yaml():
    import yaml

    return yaml


def _read_yaml(path) -> dict:
    with open(path, encoding="utf-8") as stream:
        content = _yaml().safe_load(stream)
    if not isinstance(content, dict):
        raise ValueError(f"{path}: expected a mapping at the top level")
    return content


def rpy_from_rotation(rotation) -> np.ndarray:
    """Fixed-axis roll, pitch, yaw (rad) of a rotation: R = Rot_z(yaw) Rot_y(pitch) Rot_x(roll)."""
    return np.radians(euler_deg_from_rotation(rotation))


def transform_from_xyz_rpy(xyz, rpy_rad) -> np.ndarray:
    """4 x 4 of a translation and fixed-axis roll, pitch, yaw in radians."""
    return transform(rotation_from_euler_deg(np.degrees(np.asarray(rpy_rad, dtype=np.float64))), xyz)


def _frame(entry, angle_scale: float, what: str, path) -> np.ndarray:
    if entry is None:
        return np.eye(4)
    if not isinstance(entry, dict) or set(entry) - {"xyz", "rpy"}:
        raise ValueError(f"{path}: {what} takes xyz and rpy")
    xyz = np.asarray(entry.get("xyz", [0.0, 0.0, 0.0]), dtype=np.float64)
    rpy = np.asarray(entry.get("rpy", [0.0, 0.0, 0.0]), dtype=np.float64) * angle_scale
    if xyz.shape != (3,) or rpy.shape != (3,):
        raise ValueError(f"{path}: {what} xyz and rpy need three numbers each")
    return transform_from_xyz_rpy(xyz, rpy)


def load_dh_model(path) -> _kinematics.KinematicChain:
    """A chain from a standard or modified DH table in YAML (see the module's description)."""
    content = _read_yaml(path)
    convention = content.get("convention", "dh")
    if convention not in ("dh", "modified_dh"):
        raise ValueError(f"{path}: convention must be 'dh' or 'modified_dh', not {convention!r}")
    unit = content.get("angle_unit", "rad")
    if unit not in ("rad", "deg"):
        raise ValueError(f"{path}: angle_unit must be 'rad' or 'deg'")
    scale = np.pi / 180.0 if unit == "deg" else 1.0
    rows = content.get("joints")
    if not isinstance(rows, list) or not rows:
        raise ValueError(f"{path}: 'joints' must list the chain's joints")
    modified = convention == "modified_dh"
    links = []
    for number, row in enumerate(rows, start=1):
        length_key = "a" if modified else "r"
        missing = {"d", "theta", length_key, "alpha"} - set(row)
        if missing:
            raise ValueError(f"{path}: joint {number} lacks {sorted(missing)}")
        links.append(_kinematics.dh_link(str(row.get("name", "")), row.get("type", "revolute"), modified,
                                         float(row["d"]), float(row["theta"]) * scale, float(row[length_key]),
                                         float(row["alpha"]) * scale))
    return _kinematics.KinematicChain(links, _frame(content.get("base"), scale, "base", path),
                                      _frame(content.get("tool"), scale, "tool", path))


@dataclass
class UrdfChain:
    """A chain read from a URDF, with what writing the corrections back needs: per moving joint its
    name and the fixed transform of the fixed joints merged in before it (prefix * origin)."""

    chain: _kinematics.KinematicChain
    path: Path
    joint_names: list[str]
    prefixes: list[np.ndarray]


def _urdf(path):
    import yourdfpy

    return yourdfpy.URDF.load(str(path), build_scene_graph=False, build_collision_scene_graph=False,
                              load_meshes=False, load_collision_meshes=False)


def _joints_between(robot, base_link: str, flange_link: str, path) -> list:
    by_child = {joint.child: joint for joint in robot.robot.joints}
    joints, link = [], flange_link
    while link != base_link:
        if link not in by_child:
            raise ValueError(f"{path}: no chain of joints from {base_link!r} to {flange_link!r}")
        joints.append(by_child[link])
        link = by_child[link].parent
    return joints[::-1]


def load_urdf_chain(path, base_link: str, flange_link: str) -> UrdfChain:
    """The chain of a URDF's joints from base_link to flange_link: fixed joints are merged into the
    origin of the moving joint after them (or, after the last one, into last_T_flange)."""
    robot = _urdf(path)
    prefix, links, names, prefixes = np.eye(4), [], [], []
    for joint in _joints_between(robot, base_link, flange_link, path):
        origin = np.eye(4) if joint.origin is None else np.asarray(joint.origin, dtype=np.float64)
        if joint.type == "fixed":
            prefix = prefix @ origin
            continue
        if joint.type not in ("revolute", "continuous", "prismatic"):
            raise ValueError(f"{path}: joint {joint.name!r} is {joint.type}; a chain takes revolute and prismatic")
        merged = prefix @ origin
        axis = [1.0, 0.0, 0.0] if joint.axis is None else [float(a) for a in joint.axis]
        links.append(_kinematics.origin_link(joint.name, joint.type, merged[:3, 3].tolist(),
                                             rpy_from_rotation(merged[:3, :3]).tolist(), axis))
        names.append(joint.name)
        prefixes.append(prefix)
        prefix = np.eye(4)
    if not links:
        raise ValueError(f"{path}: no moving joint between {base_link!r} and {flange_link!r}")
    chain = _kinematics.KinematicChain(links, np.eye(4), prefix, base_link, flange_link)
    return UrdfChain(chain, Path(path), names, prefixes)


def load_model(path, base_link: str | None = None, flange_link: str | None = None):
    """A chain from a DH table (.yaml, .yml) or a URDF (.urdf, .xml, which needs both link names)."""
    path = Path(path)
    if path.suffix.lower() in (".yaml", ".yml"):
        return load_dh_model(path)
    if not base_link or not flange_link:
        raise ValueError(f"{path}: a URDF model needs the base link and the flange link")
    return load_urdf_chain(path, base_link, flange_link)


@dataclass
class MeasuredPoses:
    """Observations in file order: keys, joint readings (N x joints) and camera_T_target (N x 4 x 4, m)."""

    keys: list[str]
    joints: np.ndarray
    camera_T_target: np.ndarray
    setup: str  # "sensor_fixed" (the chain carries the target) or "sensor_on_chain"


def _pose_matrix(pose: dict, where: str) -> np.ndarray:
    try:
        quaternion = [float(pose[k]) for k in ("qw", "qx", "qy", "qz")]
        xyz = [float(pose[k]) for k in ("x", "y", "z")]
    except (KeyError, TypeError, ValueError) as error:
        raise ValueError(f"{where}: a pose needs x, y, z, qx, qy, qz, qw") from error
    if abs(np.linalg.norm(quaternion) - 1.0) > 1e-3:
        raise ValueError(f"{where}: the quaternion is not of unit length")
    return transform(rotation_from_quaternion(quaternion, "wxyz"), xyz)


def load_measured_poses(path) -> MeasuredPoses:
    """Measured poses from measurements.yaml (or a folder holding it)."""
    path = Path(path)
    if path.is_dir():
        path = path / MEASUREMENTS_FILE
    content = _read_yaml(path)
    keys, joints, poses, setups = [], [], [], set()
    for key, entry in content.items():
        target_joints = list(entry.get("target_joints") or [])
        camera_joints = list(entry.get("camera_joints") or [])
        if bool(target_joints) == bool(camera_joints):
            raise ValueError(f"{path}: {key}: exactly one of target_joints and camera_joints must be given")
        setups.add("sensor_fixed" if target_joints else "sensor_on_chain")
        keys.append(str(key))
        joints.append([float(q) for q in (target_joints or camera_joints)])
        poses.append(_pose_matrix(entry.get("pose") or {}, f"{path}: {key}"))
    if len(setups) != 1 or len({len(j) for j in joints}) != 1:
        raise ValueError(f"{path}: every observation must move the same chain with as many joint readings")
    return MeasuredPoses(keys, np.asarray(joints, dtype=np.float64), np.asarray(poses), setups.pop())


def load_pose_guesses(path) -> tuple[np.ndarray, np.ndarray]:
    """Starting values (mount, carrier) from pose_initial_guesses.yaml (or a folder holding it): the
    camera's mount to camera, then the target's mount to target."""
    path = Path(path)
    if path.is_dir():
        path = path / GUESSES_FILE
    content = _read_yaml(path)
    try:
        return (_pose_matrix(content["camera_mount_to_camera_guess"], str(path)),
                _pose_matrix(content["target_mount_to_target_guess"], str(path)))
    except KeyError as error:
        raise ValueError(f"{path}: needs camera_mount_to_camera_guess and target_mount_to_target_guess") from error


def calibrate(chain, measured: MeasuredPoses, mount_start, carrier_start, mode: str = "offsets", folds: int = 5):
    """Calibrate the chain (a KinematicChain or a UrdfChain) and the two transforms from measured poses."""
    options = _kinematics.KinematicOptions()
    options.mode = mode
    options.folds = folds
    chain = chain.chain if isinstance(chain, UrdfChain) else chain
    return _kinematics.calibrate_kinematics(chain, measured.setup, measured.joints.tolist(),
                                            list(measured.camera_T_target), np.asarray(mount_start),
                                            np.asarray(carrier_start), options)


def parameter_arrays(result) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Values, 1-sigmas (zero where held) and whether estimated, per correction, as arrays."""
    parameters = result.parameters
    return (np.array([p.value for p in parameters]), np.array([p.sigma for p in parameters]),
            np.array([p.estimated for p in parameters], dtype=bool))


def write_corrections_yaml(path, result, mode: str, transforms: dict | None = None) -> None:
    """The corrections (value, 1-sigma or why held), the corrected zero offsets and the two transforms
    (``transforms`` by name, or the result's own mount and carrier)."""
    parameters = {}
    for p in result.parameters:
        entry = {"unit": "rad" if p.angular else "m", "estimated": bool(p.estimated), "value": float(p.value)}
        if p.estimated:
            entry["sigma"] = float(p.sigma)
        else:
            entry["held"] = p.held_reason
        parameters[p.name] = entry
    links = result.corrected_chain.links
    content = {
        "mode": mode,
        "parameters": parameters,
        "zero_offsets": {(link.name or f"joint {k + 1}"): float(link.zero_offset) for k, link in enumerate(links)},
    }
    if transforms is None:
        transforms = {result.mount_name: result.mount, result.carrier_name: result.carrier}
    content.update({name: np.asarray(matrix).tolist() for name, matrix in transforms.items()})
    safe_files.write_text(path, _yaml().safe_dump(content, sort_keys=False))


def _joint_motion(link) -> np.ndarray:
    axis = np.asarray(link.axis, dtype=np.float64)
    if link.type == "prismatic":
        return transform(None, axis * link.zero_offset)
    skew = np.array([[0.0, -axis[2], axis[1]], [axis[2], 0.0, -axis[0]], [-axis[1], axis[0], 0.0]])
    angle = link.zero_offset
    return transform(np.eye(3) + np.sin(angle) * skew + (1.0 - np.cos(angle)) * skew @ skew)


def write_corrected_urdf(path, urdf_chain: UrdfChain, corrected_chain) -> None:
    """The URDF with the corrected joint origins: each moving joint's origin becomes its corrected
    origin with its zero offset folded in, less the fixed joints merged before it."""
    robot = _urdf(urdf_chain.path)
    joints = {joint.name: joint for joint in robot.robot.joints}
    for name, prefix, link in zip(urdf_chain.joint_names, urdf_chain.prefixes, corrected_chain.links):
        values = np.asarray(link.values, dtype=np.float64)
        merged = transform_from_xyz_rpy(values[:3], values[3:]) @ _joint_motion(link)
        joints[name].origin = np.linalg.inv(prefix) @ merged
    from lxml import etree

    safe_files.write_bytes(path, etree.tostring(robot.write_xml(), xml_declaration=True, pretty_print=True))
