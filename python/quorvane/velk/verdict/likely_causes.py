"""Likely causes of a failed hand-eye result: poses paired with the wrong pictures, other readings of
the rotations, lengths in the wrong unit."""

from __future__ import annotations

import math

import numpy as np

from ..geometry import (
    euler_deg_from_rotation,
    quaternion_from_rotation,
    rotation_from_euler_order_deg,
    rotation_from_quaternion,
)
from .limits import CAUSE_IMPROVEMENT, MAX_FOCAL_OVER_WIDTH, MAX_PLAUSIBLE_DISTANCE_M


def _reordered(poses, order) -> list:
    """The poses as they would read had the file's quaternion components been taken in the other order."""
    moved = []
    for pose in poses:
        q = quaternion_from_rotation(pose)
        fixed = np.array(pose, dtype=np.float64)
        fixed[:3, :3] = rotation_from_quaternion(q[list(order)])
        moved.append(fixed)
    return moved


def pairing_deviations_mm(robot_T_tcp_list, camera_T_target_list, eye_to_hand: bool):
    """Each pair's distance (mm) from the mean target position under a closed-form (TSAI) hand-eye solve of these
    pairs, or the closed form for poses that turn about one axis or not at all (the offset it cannot find moves
    every target alike); None if it cannot solve."""
    import _velk

    if len(robot_T_tcp_list) < 3:
        return None
    robots = [np.asarray(p, dtype=np.float64) for p in robot_T_tcp_list]
    cameras = [np.asarray(c, dtype=np.float64) for c in camera_T_target_list]
    try:
        solution = _velk.solve_hand_eye(robots, cameras, "TSAI", "eye-to-hand" if eye_to_hand else "eye-in-hand",
                                        restricted_motions=True)
    except RuntimeError:  # the solver refuses poses it cannot work with
        return None
    if solution is None:
        return None
    mount = solution[0]
    flange = [np.linalg.inv(p) for p in robots] if eye_to_hand else robots
    targets = np.array([(f @ mount @ c)[:3, 3] for f, c in zip(flange, cameras)])
    return np.linalg.norm(targets - targets.mean(axis=0), axis=1) * 1000.0


def pairing_spread_mm(robot_T_tcp_list, camera_T_target_list, eye_to_hand: bool) -> float:
    """Mean target-position spread (mm) of a closed-form (TSAI) hand-eye solve of these pairs; NaN if it cannot
    solve."""
    deviations = pairing_deviations_mm(robot_T_tcp_list, camera_T_target_list, eye_to_hand)
    return float("nan") if deviations is None else float(deviations.mean())


def _shifted_pairs(robot_T_tcp_list, camera_T_target_list, positions, shift):
    robots, cameras, kept = [], [], []
    for view, (camera, position) in enumerate(zip(camera_T_target_list, positions)):
        if 0 <= position + shift < len(robot_T_tcp_list):
            robots.append(robot_T_tcp_list[position + shift])
            cameras.append(camera)
            kept.append(view)
    return robots, cameras, kept


def _shift_example(names, pose_numbers, positions, kept, shifted, as_given, shift) -> str:
    """The first picture that the shifted pairing fits far better than the pairing as given, with the pose it
    then matches, and how many pictures do so."""
    fits = [view for view, deviation in zip(kept, shifted)
            if deviation * CAUSE_IMPROVEMENT <= as_given[view] and positions[view] < len(names)]
    if not fits:
        return ""
    first = positions[fits[0]]
    return (f"{names[first]} matches pose {pose_numbers[first + shift]}, not pose {pose_numbers[first]}; "
            f"{len(fits)} of {len(positions)} pictures fit the shift")


def _scaled_translations(poses, factor: float) -> list:
    scaled = [np.array(p, dtype=np.float64) for p in poses]
    for pose in scaled:
        pose[:3, 3] *= factor
    return scaled


#: The Euler sequences robot controllers commonly use, tried when the poses fit the pictures badly.
OTHER_EULER_ORDERS = ("XYZ", "ZYX", "zyx", "ZYZ")


def _reread_euler(poses, order: str) -> list:
    """The poses as they would read had each row's three Euler angles been taken in ``order`` rather than as the
    pose vector's extrinsic x-y-z angles."""
    moved = []
    for pose in poses:
        fixed = np.array(pose, dtype=np.float64)
        fixed[:3, :3] = rotation_from_euler_order_deg(euler_deg_from_rotation(fixed[:3, :3]), order)
        moved.append(fixed)
    return moved


def _euler_words(order: str) -> str:
    return ("intrinsic " if order.isupper() else "extrinsic ") + "-".join(order.lower())


def _other_readings(poses, eye_to_hand: bool):
    """The usual misreadings of robot poses, each as (the poses read so, the set-up, what to do about it)."""
    yield (_reordered(poses, (3, 0, 1, 2)), eye_to_hand,
           "the quaternions are x, y, z, w but were read as w, x, y, z (import with --quat-order xyzw)")
    yield (_reordered(poses, (1, 2, 3, 0)), eye_to_hand,
           "the quaternions are w, x, y, z but were read as x, y, z, w (import with --quat-order wxyz)")
    yield (_scaled_translations(poses, 1000.0), eye_to_hand,
           "the translations are in metres but were imported as millimetres (import with --units m)")
    for order in OTHER_EULER_ORDERS:
        yield (_reread_euler(poses, order), eye_to_hand,
               f"the Euler angles are {_euler_words(order)} ({order}) but were read as extrinsic x-y-z "
               f"(import with --format xyz-euler-deg --euler-order {order})")
    # Each pose inverted reads exactly as the other set-up does: the pictures cannot tell the two apart.
    other = ("the camera rides on the flange (leave out --eye-to-hand)" if eye_to_hand else
             "the camera stands still and the board rides on the flange (add --eye-to-hand)")
    yield (poses, not eye_to_hand,
           f"either {other}, or the poses are the base in the flange frame, tcp_T_robot, instead of the flange in "
           "the base frame (import them with --invert)")


def pose_causes(robot_T_tcp_list, camera_T_target_list, positions, eye_to_hand: bool, names=None,
                pose_numbers=None) -> list[str]:
    """Likely causes of an inconsistent result: the robot poses paired with the pictures one off, or read with
    the quaternion components in the wrong order, when that reading fits the pictures far better.

    ``positions`` gives, for every camera pose, the index of its picture (and pose) in ``robot_T_tcp_list``;
    ``names`` the picture names by the same index and ``pose_numbers`` the number of each pose in the pose file
    (its index when not given)."""
    names = names or [f"picture {k}" for k in range(len(robot_T_tcp_list))]
    pose_numbers = list(pose_numbers) if pose_numbers is not None else list(range(len(robot_T_tcp_list)))
    used = [robot_T_tcp_list[p] for p in positions]
    given_deviations = pairing_deviations_mm(used, camera_T_target_list, eye_to_hand)
    if given_deviations is None:
        return []
    # Medians: a pairing right for most pictures (a shift from a lost picture on) still stands out.
    as_given = float(np.median(given_deviations))
    candidates = []
    for shift in (1, -1, 2, -2):
        robots, cameras, kept = _shifted_pairs(robot_T_tcp_list, camera_T_target_list, positions, shift)
        if len(robots) >= max(4, len(positions) - abs(shift) - 1):
            deviations = pairing_deviations_mm(robots, cameras, eye_to_hand)
            spread = float("nan") if deviations is None else float(np.median(deviations))
            example = ("" if deviations is None else
                       _shift_example(names, pose_numbers, positions, kept, deviations, given_deviations, shift))
            candidates.append((spread, f"the robot poses are shifted by {abs(shift)} picture(s) against the "
                                       f"pictures ({example}; median spread {spread:.1f} mm so paired against "
                                       f"{as_given:.1f} mm as given)"))
    for robots, other_setup, hint in _other_readings(used, eye_to_hand):
        deviations = pairing_deviations_mm(robots, camera_T_target_list, other_setup)
        spread = float("nan") if deviations is None else float(np.median(deviations))
        candidates.append((spread, f"{hint}: median spread {spread:.1f} mm read so, against {as_given:.1f} mm"))
    finite = [c for c in candidates if math.isfinite(c[0])]
    if not finite:
        return []
    best = min(finite, key=lambda c: c[0])
    return [best[1]] if best[0] * CAUSE_IMPROVEMENT <= as_given else []


def unit_causes(distances_m, robot_T_tcp_list, intrinsic_matrix=None) -> list[str]:
    """Lengths in the wrong unit, or intrinsics that pictures too alike could not determine."""
    causes = []
    if intrinsic_matrix is not None and np.asarray(intrinsic_matrix).shape == (3, 3):
        matrix = np.asarray(intrinsic_matrix, dtype=np.float64)
        focal, width = float(matrix[0, 0]), 2.0 * float(matrix[0, 2])
        if width > 0 and not focal <= MAX_FOCAL_OVER_WIDTH * width:
            causes.append(f"the intrinsics are implausible (focal length {focal:.0f} px for a picture about "
                          f"{width:.0f} px wide): the pictures are too alike to calibrate them; tilt the board "
                          f"between pictures or give --intrinsics")
            return causes
    if len(distances_m) and float(np.median(distances_m)) > MAX_PLAUSIBLE_DISTANCE_M:
        causes.append(f"the target's lengths are in the wrong unit: the board comes out "
                      f"{float(np.median(distances_m)):.0f} m from the camera (give square and marker lengths "
                      f"in metres in the target file, e.g. 0.03 for 30 mm)")
    reach = [float(np.linalg.norm(np.asarray(p)[:3, 3])) for p in robot_T_tcp_list]
    if reach and float(np.median(reach)) > MAX_PLAUSIBLE_DISTANCE_M:
        causes.append(f"the robot translations look like millimetres read as metres (median reach "
                      f"{float(np.median(reach)):.0f} m; import the poses with --units mm)")
    return causes
