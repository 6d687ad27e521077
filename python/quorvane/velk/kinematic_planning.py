"""Planning the joint configurations of a hand-eye calibration through the arm's kinematic chain.

Candidate configurations are drawn about a home configuration within per-joint ranges (seeded, so a plan
repeats), kept where the board is well in view through the nominal chain (the plan scene's visibility limits and
corner share, as the plan of flange poses judges them), and chosen greedily by the information their corners carry on
the chain's corrections (the joints' zero offsets, or with ``mode="full"`` every link value) and the two
mounts.

Each candidate's information comes from the derivatives of its predicted corners (central differences of
the forward kinematics and the projection) with respect to the corrections, the camera's mount and the
board's mount. Each view's own robot error (the arm's repeatability, per flange axis) is a nuisance with a
prior that is folded into the view's information, as the refinement through the chain models it. The
corrections the set cannot determine (absorbed by a mount or by other corrections, or never moved) are
found by the same test the refinement applies (column-scaled, the mounts projected out, then pivoted by
what remains of each) and reported as undetermined with the reason rather than with a sigma.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

import _velk
from _velk import kinematics as _kinematics

from .geometry import rotation_from_rotvec
from .kinematic_models import UrdfChain

#: Finite-difference step of every parameter (rad or m).
_STEP = 1e-6
#: Weak prior information (in units of the robot noise) that keeps the greedy criterion finite before a
#: set determines everything it can.
_RIDGE = 1e-6
_MOUNT_COLUMNS = 12
_FEWEST_CORNERS = 6


def _chain(chain):
    return chain.chain if isinstance(chain, UrdfChain) else chain


@dataclass
class PoseSigmas:
    """1-sigma of a transform in its parent frame, per axis (mm, deg)."""

    translation_mm: np.ndarray
    rotation_deg: np.ndarray


@dataclass
class PlannedParameter:
    """A correction of the chain: its predicted 1-sigma (rad or m) when the set determines it, otherwise
    ``determined`` false and the reason."""

    name: str
    angular: bool
    determined: bool
    sigma: float = 0.0
    reason: str = ""


@dataclass
class KinematicPlan:
    """Joint configurations chosen in the order added, their flange poses through the nominal chain,
    the corners each sees, and the predicted 1-sigma after the whole set."""

    joints: np.ndarray  # configurations x joints (rad, m)
    robot_T_tcp: list
    corners_seen: list
    candidates: int  # drawn
    usable_candidates: int
    parameters: list[PlannedParameter]
    camera_sigma: PoseSigmas  # tcp_T_camera (eye-in-hand) or robot_T_camera (eye-to-hand)
    target_sigma: PoseSigmas  # world_T_target (eye-in-hand) or tcp_T_target (eye-to-hand)


@dataclass
class ViewInformation:
    """What one configuration's corners tell about [corrections, camera mount (w, v), target mount (w, v)]:
    the information with the view's own robot error folded in, and the diagonal without it (the squared
    norms of the weighted jacobian's columns, which scale the determinacy test)."""

    information: np.ndarray
    column_squares: np.ndarray


def joint_ranges(home, spread=None, lower=None, upper=None) -> tuple[np.ndarray, np.ndarray]:
    """The lowest and highest value of every joint: home -+ spread (one value or one per joint), clipped
    to the limits when given; or the limits alone."""
    home = np.asarray(home, dtype=np.float64)
    if spread is None and (lower is None or upper is None):
        raise ValueError("joint ranges need a spread about home or both limits")
    low = np.full_like(home, -np.inf) if lower is None else np.broadcast_to(np.asarray(lower, np.float64), home.shape)
    high = np.full_like(home, np.inf) if upper is None else np.broadcast_to(np.asarray(upper, np.float64), home.shape)
    if spread is not None:
        spread = np.broadcast_to(np.abs(np.asarray(spread, dtype=np.float64)), home.shape)
        low, high = np.maximum(low, home - spread), np.minimum(high, home + spread)
    if np.any(low > high):
        raise ValueError("a joint's range is empty (home lies outside its limits)")
    return np.array(low), np.array(high)


def draw_configurations(low, high, count: int, seed: int = 0) -> np.ndarray:
    """``count`` configurations drawn uniformly within the ranges, the same for the same seed."""
    rng = np.random.default_rng(seed)
    return rng.uniform(np.asarray(low), np.asarray(high), size=(count, len(low)))


def flange_poses(chain, joints) -> list:
    """robot_T_tcp of every configuration through the chain."""
    return [np.asarray(_kinematics.forward_kinematics(_chain(chain), list(map(float, q)))) for q in joints]


def corners_in_view(scene, robot_T_tcp) -> list[int]:
    """The corners a flange pose sees under the scene, or none when too few to count."""
    seen = list(_velk.plan_visible_corners(scene, np.asarray(robot_T_tcp, dtype=np.float64)))
    needed = max(_FEWEST_CORNERS, math.ceil(scene.min_corner_share * len(scene.object_points)))
    return seen if len(seen) >= needed else []


def _moved(pose, twist) -> np.ndarray:
    """pose with its rotation turned by twist[:3] and its translation moved by twist[3:], both in the parent
    frame (the frame a PoseSigma is given in)."""
    moved = np.array(pose, dtype=np.float64)
    moved[:3, :3] = rotation_from_rotvec(twist[:3]) @ moved[:3, :3]
    moved[:3, 3] += twist[3:]
    return moved


def _error(twist) -> np.ndarray:
    error = np.eye(4)
    error[:3, :3] = rotation_from_rotvec(twist[:3])
    error[:3, 3] = twist[3:]
    return error


def _corner_pixels(scene, camera_T_target_stack, corners) -> np.ndarray:
    """Pixels (poses x corners x 2) of the corners through each pose, projected as the library projects."""
    points = np.asarray(scene.object_points)[corners]
    stack = np.asarray(camera_T_target_stack)
    in_camera = np.einsum("pij,nj->pni", stack[:, :3, :3], points) + stack[:, None, :3, 3]
    pixels = _velk.project_points(in_camera.reshape(-1, 3), np.eye(4), scene.intrinsic_matrix,
                                  scene.distortion_coefficients)
    return np.asarray(pixels).reshape(len(stack), len(corners), 2)


class Perturbations:
    """The chain's corrections (names, whether angles) and the chains with one correction moved by -+ the
    finite-difference step, made once for every candidate."""

    def __init__(self, chain, mode: str):
        self.chain = _chain(chain)
        self.names = list(_kinematics.correction_names(self.chain, mode))
        self.angular = self._angular()
        self.moved = []
        for k in range(len(self.names)):
            for sign in (-1.0, 1.0):
                corrections = np.zeros(len(self.names))
                corrections[k] = sign * _STEP
                self.moved.append(_kinematics.corrected_chain(self.chain, mode, corrections.tolist()))

    def _angular(self) -> list[bool]:
        # The zero offsets come first, one per joint: an angle for a revolute joint. Full mode's link values
        # follow, named by what they are: theta, alpha and an origin's roll, pitch, yaw are angles.
        links = list(self.chain.links)
        offsets = [link.type == "revolute" for link in links]
        values = [name.rsplit(" ", 1)[-1] in ("theta", "alpha", "roll", "pitch", "yaw")
                  for name in self.names[len(links):]]
        return offsets + values


def view_information(scene, perturbations: Perturbations, joints, corners) -> ViewInformation:
    """The information of one configuration's corners on [corrections, camera mount, target mount]."""
    q = list(map(float, joints))
    eye_to_hand = scene.eye_to_hand
    camera = np.asarray(scene.camera_mount_T_camera)
    target = np.asarray(scene.target_mount_T_target)

    def known(flange):
        return flange if eye_to_hand else np.linalg.inv(flange)

    def camera_T_target(mount, camera_mount=camera, target_mount=target, error=None):
        # The view's own robot error acts in the flange frame on either side.
        error = np.eye(4) if error is None else error
        path = mount @ error if eye_to_hand else error @ mount
        return np.linalg.inv(camera_mount) @ path @ target_mount

    mount = known(np.asarray(_kinematics.forward_kinematics(perturbations.chain, q)))
    stack = [camera_T_target(known(np.asarray(_kinematics.forward_kinematics(moved, q))))
             for moved in perturbations.moved]
    for block in range(3):  # camera mount, target mount, the view's own error
        for k in range(6):
            for sign in (-1.0, 1.0):
                twist = np.zeros(6)
                twist[k] = sign * _STEP
                if block == 0:
                    stack.append(camera_T_target(mount, camera_mount=_moved(camera, twist)))
                elif block == 1:
                    stack.append(camera_T_target(mount, target_mount=_moved(target, twist)))
                else:
                    stack.append(camera_T_target(mount, error=_error(twist)))
    pixels = _corner_pixels(scene, stack, corners)
    jacobian = ((pixels[1::2] - pixels[0::2]) / (2.0 * _STEP)).reshape(len(stack) // 2, -1).T / scene.pixel_noise_px
    shared, own = jacobian[:, :-6], jacobian[:, -6:]
    prior = np.concatenate([np.full(3, math.radians(scene.robot_rotation_noise_deg)),
                            np.full(3, scene.robot_translation_noise_mm / 1000.0)]) ** -2
    cross = shared.T @ own
    information = shared.T @ shared - cross @ np.linalg.solve(own.T @ own + np.diag(prior), cross.T)
    return ViewInformation(0.5 * (information + information.T), np.sum(shared**2, axis=0))


def _schur(matrix, keep, out) -> np.ndarray:
    """The information on ``keep`` with ``out`` projected out."""
    if len(out) == 0:
        return matrix[np.ix_(keep, keep)]
    inner = matrix[np.ix_(out, out)]
    cross = matrix[np.ix_(keep, out)]
    return matrix[np.ix_(keep, keep)] - cross @ np.linalg.pinv(inner, hermitian=True) @ cross.T


def _shares(information, column_squares, columns, projected) -> np.ndarray:
    """What remains of each column's norm once the projected columns are taken out (1 when independent)."""
    scale = np.sqrt(np.where(column_squares > 0, column_squares, 1.0))
    scaled = information / np.outer(scale, scale)
    remaining = np.diag(_schur(scaled, list(columns), list(projected)))
    return np.sqrt(np.clip(remaining, 0.0, None))


def determined_corrections(information, column_squares, count: int, tolerance: float, names: list[str],
                           eye_to_hand: bool) -> tuple[list[int], dict[int, str]]:
    """Which of the first ``count`` columns (the corrections) the information determines beside the mounts,
    and why each other one is not: pivoted on what remains of each column once the mounts and the
    corrections taken before it are projected out."""
    mounts = list(range(count, count + _MOUNT_COLUMNS))
    mount_names = ("robot_T_camera", "tcp_T_target") if eye_to_hand else ("tcp_T_camera", "world_T_target")
    taken, held = [], {}
    left = [k for k in range(count) if column_squares[k] > 0]
    for k in range(count):
        if column_squares[k] <= 0:
            held[k] = "not moved by the joint configurations"
    while left:
        shares = _shares(information, column_squares, left, mounts + taken)
        best = int(np.argmax(shares))
        if shares[best] < tolerance:
            break
        taken.append(left.pop(best))
    for k in left:
        held[k] = _absorbed_reason(information, column_squares, k, mounts, taken, mount_names, names)
    return sorted(taken), held


def _absorbed_reason(information, column_squares, column, mounts, taken, mount_names, names) -> str:
    """Which mounts and corrections reproduce the column: those that carry at least a third of the largest
    part of its least-squares fit by the mounts and the corrections determined."""
    scale = np.sqrt(np.where(column_squares > 0, column_squares, 1.0))
    scaled = information / np.outer(scale, scale)
    basis = mounts + taken
    coefficients = np.linalg.lstsq(scaled[np.ix_(basis, basis)], scaled[basis, column], rcond=None)[0]
    groups = [(mount_names[0], list(range(6))), (mount_names[1], list(range(6, 12)))]
    groups += [(names[k], [_MOUNT_COLUMNS + i]) for i, k in enumerate(taken)]
    parts = []
    for label, members in groups:
        part = coefficients[members]
        block = scaled[np.ix_([basis[m] for m in members], [basis[m] for m in members])]
        parts.append((label, math.sqrt(max(float(part @ block @ part), 0.0))))
    largest = max(norm for _, norm in parts)
    absorbing = [label for label, norm in parts if largest > 0 and norm >= largest / 3.0]
    if not absorbing:
        return "not determined by the joint configurations"
    return "absorbed by " + (absorbing[0] if len(absorbing) == 1 else
                             ", ".join(absorbing[:-1]) + " and " + absorbing[-1])


def _unit_scales(angular, rotation_rad, translation_m) -> np.ndarray:
    """Per parameter, the robot noise in its unit: the greedy criterion weighs parameters in those units."""
    mounts = [rotation_rad] * 3 + [translation_m] * 3
    return np.array([rotation_rad if a else translation_m for a in angular] + mounts + mounts)


def _criterion(information_stack, scales, columns, weighed) -> np.ndarray:
    """Trace of the covariance (in units of the robot noise, with the weak ridge) of the weighed columns."""
    scaled = information_stack[:, columns][:, :, columns] * np.outer(scales[columns], scales[columns])
    scaled = scaled + _RIDGE * np.eye(len(columns))
    covariance = np.linalg.inv(scaled)
    return np.trace(covariance[:, weighed][:, :, weighed], axis1=1, axis2=2)


def choose_greedily(informations, count: int, scales, columns, weighed) -> list[int]:
    """``count`` candidates, each the one that most lowers the criterion after those chosen before."""
    stack = np.array([v.information for v in informations])
    total = np.zeros_like(stack[0])
    chosen = []
    for _ in range(min(count, len(stack))):
        values = _criterion(total[None] + stack, scales, columns, weighed)
        values[chosen] = np.inf
        best = int(np.argmin(values))
        chosen.append(best)
        total = total + stack[best]
    return chosen


def _pose_sigmas(covariance) -> PoseSigmas:
    sigma = np.sqrt(np.clip(np.diag(covariance), 0.0, None))
    return PoseSigmas(1000.0 * sigma[3:], np.degrees(sigma[:3]))


def predicted_sigmas(informations, perturbations: Perturbations, eye_to_hand: bool, tolerance: float):
    """The corrections (determined with their 1-sigma, or not with the reason) and the mounts' 1-sigma
    after the views together."""
    information = sum(v.information for v in informations)
    column_squares = sum(v.column_squares for v in informations)
    count = len(perturbations.names)
    taken, held = determined_corrections(information, column_squares, count, tolerance, perturbations.names,
                                         eye_to_hand)
    columns = taken + list(range(count, count + _MOUNT_COLUMNS))
    covariance = np.linalg.pinv(information[np.ix_(columns, columns)], hermitian=True)
    sigma = dict(zip(columns, np.sqrt(np.clip(np.diag(covariance), 0.0, None))))
    parameters = [PlannedParameter(name, angular, k in sigma, float(sigma.get(k, 0.0)), held.get(k, ""))
                  for k, (name, angular) in enumerate(zip(perturbations.names, perturbations.angular))]
    mounts = covariance[-_MOUNT_COLUMNS:, -_MOUNT_COLUMNS:]
    return parameters, _pose_sigmas(mounts[:6, :6]), _pose_sigmas(mounts[6:, 6:])


def _choose(informations, count: int, perturbations: Perturbations, scene, tolerance: float) -> list[int]:
    """The greedy choice over the corrections that all candidates together determine and the two mounts,
    weighing the corrections and the camera's mount."""
    names = perturbations.names
    total = sum(v.information for v in informations)
    squares = sum(v.column_squares for v in informations)
    determinable, _ = determined_corrections(total, squares, len(names), tolerance, names, scene.eye_to_hand)
    columns = determinable + list(range(len(names), len(names) + _MOUNT_COLUMNS))
    weighed = list(range(len(determinable) + 6))
    scales = _unit_scales(perturbations.angular, math.radians(scene.robot_rotation_noise_deg),
                          scene.robot_translation_noise_mm / 1000.0)
    return choose_greedily(informations, count, scales, columns, weighed)


def plan_configurations(chain, scene, low, high, count: int, mode: str = "offsets", candidates: int = 400,
                        seed: int = 0, tolerance: float | None = None) -> KinematicPlan:
    """``count`` configurations chosen greedily from ``candidates`` drawn within [low, high] (rad, m) for the
    calibration through the chain in ``mode``, with the predicted 1-sigma after them.

    ``scene`` is a plan scene (:func:`planning.make_scene`): camera, board corners, set-up, the approximate
    camera and board mounts, the corner and robot noise levels."""
    if count < 3:
        raise ValueError("a plan needs at least 3 configurations")
    tolerance = _kinematics.KinematicHandEyeOptions().rank_tolerance if tolerance is None else tolerance
    perturbations = Perturbations(chain, mode)
    drawn = draw_configurations(low, high, candidates, seed)
    usable = [(q, pose, corners) for q, pose in zip(drawn, flange_poses(chain, drawn))
              if (corners := corners_in_view(scene, pose))]
    if len(usable) < count:
        raise ValueError(f"only {len(usable)} of {candidates} drawn configurations see enough of the board; "
                         f"{count} are needed (widen the joint ranges or draw more)")
    informations = [view_information(scene, perturbations, q, corners) for q, _, corners in usable]
    chosen = _choose(informations, count, perturbations, scene, tolerance)
    parameters, camera_sigma, target_sigma = predicted_sigmas([informations[k] for k in chosen], perturbations,
                                                              scene.eye_to_hand, tolerance)
    return KinematicPlan(np.array([usable[k][0] for k in chosen]), [usable[k][1] for k in chosen],
                         [len(usable[k][2]) for k in chosen], candidates, len(usable), parameters, camera_sigma,
                         target_sigma)
