"""Whether a calibration result can be trusted, judged from what the library measured.

A :class:`Verdict` holds an exit code (0 good, 1 not trustworthy), one line of text and the
checks it was judged on, each with its figures and limit. Where a failure has a likely
cause (robot poses shifted against the pictures, a wrong quaternion order, lengths in the
wrong unit, the wrong board) the line names it.

The limits (see the module constants) were set on rendered data: clean captures with a
robot that reports its flange to 0.5 mm / 0.05 deg per axis pass with a wide margin, and
poses shifted by one picture, a swapped quaternion order or a square length in millimetres
fail every time.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from .capture_spread import board_tilts_deg, corner_reach
from .distortion_field import EXTRAPOLATION_WARNING_PX, extrapolation
from .distortion_model_choice import simpler_model_without
from .geometry import (
    euler_deg_from_rotation,
    quaternion_from_rotation,
    rotation_angle_deg,
    rotation_from_euler_order_deg,
    rotation_from_quaternion,
)
from .given_intrinsics import CAMERA_MATRIX_NAMES
from .intrinsic_sigmas import camera_parameters, corner_shift_px, distortion_parameters

EXIT_OK = 0
EXIT_NOT_TRUSTWORTHY = 1

#: Robot pose error taken as explained by an ordinary robot (per axis, 1-sigma), mm and deg.
NOMINAL_ROBOT_NOISE_MM = 1.0
NOMINAL_ROBOT_NOISE_DEG = 0.1
#: How many times the spread the nominal robot noise explains the target consistency may reach.
CONSISTENCY_FACTOR = 4.0
#: Largest reprojection RMS of a trusted result, px.
MAX_RMS_PX = 3.0
#: Largest robot noise the refinement may estimate for a trusted result (per axis, 1-sigma).
MAX_ROBOT_NOISE_MM = 5.0
MAX_ROBOT_NOISE_DEG = 1.0
#: Largest median held-out error of a trusted result.
MAX_HELD_OUT_MM = 10.0
MAX_HELD_OUT_DEG = 1.0
#: Smallest axis-spread ratio of the rotations between views (below it one axis is unobserved).
MIN_AXIS_SPAN_RATIO = 0.15
#: Largest spread of the solvers' results (rz in deg after wrapping, translation in mm).
MAX_SOLVER_SPREAD_DEG = 1.5
MAX_SOLVER_SPREAD_MM = 10.0
#: Camera-to-target distances beyond this (m) mean lengths in the wrong unit.
MAX_PLAUSIBLE_DISTANCE_M = 20.0
#: A focal length beyond this many picture widths means intrinsics the pictures could not determine.
MAX_FOCAL_OVER_WIDTH = 20.0
#: Largest mean error of a kinematic model over the poses it was calibrated on (measured-pose data).
MAX_KINEMATIC_MEAN_MM = 2.0
MAX_KINEMATIC_MEAN_DEG = 0.2
#: How much worse than the nominal chain (both fitted with their two transforms) the calibrated chain may
#: predict held-out poses, as a factor on the mean errors: beyond it the corrections fit noise.
MAX_KINEMATIC_HELD_OUT_FACTOR = 1.05
#: An alternative pairing or reading of the poses is named as the cause when it shrinks the
#: target consistency spread by at least this factor.
CAUSE_IMPROVEMENT = 4.0


@dataclass
class Check:
    """One judged figure: ``passed`` is None when the figure was not measured."""

    name: str
    passed: bool | None
    figures: str
    limit: str = ""

    @property
    def detail(self) -> str:
        """The figures with the limit they are held to, as the report's table shows them."""
        return self.figures + (f" (limit {self.limit})" if self.limit else "")

    def line(self) -> str:
        mark = {True: "pass", False: "FAIL", None: "n/a"}[self.passed]
        return f"  [{mark}] {self.name}: {self.figures}" + (f" (limit {self.limit})" if self.limit else "")

    def to_json(self) -> dict:
        return {"name": self.name, "passed": self.passed, "figures": self.figures, "limit": self.limit}


@dataclass
class Verdict:
    """The judgement of one calibration: ``code`` is the exit code, ``text`` the verdict line."""

    checks: list = field(default_factory=list)
    causes: list = field(default_factory=list)
    subject: str = "calibration"

    @property
    def ok(self) -> bool:
        return not self.failed()

    @property
    def code(self) -> int:
        return EXIT_OK if self.ok else EXIT_NOT_TRUSTWORTHY

    def failed(self) -> list:
        return [check for check in self.checks if check.passed is False]

    def _noun(self) -> str:
        return "the dataset" if self.subject == "dataset" else f"the {self.subject} result"

    def reason(self) -> str:
        """The failed checks and the likely cause, without the verdict's opening words."""
        reason = "failed checks: " + ", ".join(check.name for check in self.failed())
        return reason + ("; likely cause: " + "; ".join(self.causes) if self.causes else "")

    @property
    def text(self) -> str:
        judged = [check for check in self.checks if check.passed is not None]
        if self.ok:
            return f"Verdict: PASS - {self._noun()} passes all {len(judged)} checks"
        failed = ", ".join(check.name for check in self.failed())
        line = f"Verdict: FAIL - {self._noun()} is not trustworthy ({failed})"
        if self.causes:
            line += "; likely cause: " + "; ".join(self.causes)
        return line

    def summary(self) -> str:
        """The checks, one a line, then the verdict line."""
        return "\n".join([check.line() for check in self.checks] + [self.text]) + "\n"

    def to_json(self) -> dict:
        return {"passed": self.ok, "text": self.text, "causes": list(self.causes),
                "checks": [check.to_json() for check in self.checks]}


# --- figures shared by the checks -------------------------------------------------------------------------------

def rms_check(rms_px: float | None, what: str = "reprojection RMS") -> Check:
    if rms_px is None or not math.isfinite(rms_px):
        return Check(what, None, "not measured")
    return Check(what, rms_px <= MAX_RMS_PX, f"{rms_px:.3f} px", f"{MAX_RMS_PX:g} px")


def rotation_check(stats) -> Check:
    if stats is None:
        return Check("rotation variety", False, "no rotation between the views", f"ratio {MIN_AXIS_SPAN_RATIO:g}")
    return Check("rotation variety", stats.axis_span_ratio >= MIN_AXIS_SPAN_RATIO,
                 f"axis-spread ratio {stats.axis_span_ratio:.3f}, mean turn {stats.angle_mean_deg:.1f} deg",
                 f"ratio {MIN_AXIS_SPAN_RATIO:g}")


def _solved_transform(result) -> np.ndarray:
    """The camera transform a solver of a method comparison found, either set-up: from its pose vector."""
    from _velk import tf

    return np.asarray(tf.pose_to_transformation_matrix(list(result.pose_deg)), dtype=np.float64)


def solver_check(method_results) -> Check:
    """Agreement of the solvers of a method comparison (None entries are failed solves). The solver closest to
    all others is the centre; a solver farther from it than the limits (translation, rotation angle) is an
    outlier, and more than one outlier is no consensus, as the comparison's own verdict reads it."""
    solved = {name: _solved_transform(r) for name, r in method_results.items() if r is not None}
    failed = [name for name, r in method_results.items() if r is None]
    if len(solved) < 2:
        return Check("solver agreement", False, f"{len(solved)} solver(s) gave a result", "2 solvers")
    transforms = list(solved.values())

    def distance(a, b):
        return (np.linalg.norm(a[:3, 3] - b[:3, 3]) * 1000.0 / MAX_SOLVER_SPREAD_MM
                + rotation_angle_deg(a, b) / MAX_SOLVER_SPREAD_DEG)

    centre = min(transforms, key=lambda a: sum(distance(a, b) for b in transforms))
    off_mm = np.array([np.linalg.norm(t[:3, 3] - centre[:3, 3]) * 1000.0 for t in transforms])
    off_deg = np.array([rotation_angle_deg(t, centre) for t in transforms])
    outliers = [name for name, mm, deg in zip(solved, off_mm, off_deg)
                if not (mm <= MAX_SOLVER_SPREAD_MM and deg <= MAX_SOLVER_SPREAD_DEG)]
    figures = (f"largest distance from the consensus {off_mm.max():.2f} mm, {off_deg.max():.3f} deg over "
               f"{len(solved)} solvers; outliers: {', '.join(outliers) or 'none'}")
    if failed:
        figures += f"; failed: {', '.join(failed)}"
    return Check("solver agreement", len(outliers) <= 1 and len(solved) - len(outliers) >= 2, figures,
                 f"{MAX_SOLVER_SPREAD_MM:g} mm, {MAX_SOLVER_SPREAD_DEG:g} deg, at most one outlier")


def explained_spread_mm(distances_m) -> float:
    """Mean target-position spread (mm) a robot with the nominal noise explains at these camera distances:
    the flange's own error plus its rotation error times the lever arm, over three axes."""
    distance = float(np.mean(distances_m)) if len(distances_m) else 0.5
    return math.sqrt(3.0) * (NOMINAL_ROBOT_NOISE_MM + distance * 1000.0 * math.radians(NOMINAL_ROBOT_NOISE_DEG))


def consistency_check(consistency) -> Check:
    explained = explained_spread_mm(consistency.distances_m)
    mean_mm = consistency.mean_translation_m * 1000.0
    limit = CONSISTENCY_FACTOR * explained
    return Check("target consistency", mean_mm <= limit,
                 f"mean spread {mean_mm:.2f} mm, {consistency.mean_rotation_deg:.3f} deg; the robot noise "
                 f"explains about {explained:.1f} mm", f"{limit:.1f} mm")


def distance_check(distances_m) -> Check:
    distance = float(np.median(distances_m)) if len(distances_m) else float("nan")
    return Check("camera distance", math.isfinite(distance) and distance <= MAX_PLAUSIBLE_DISTANCE_M,
                 f"median {distance:.3f} m", f"{MAX_PLAUSIBLE_DISTANCE_M:g} m")


def robot_noise_check(refinement) -> Check:
    if refinement is None or not refinement.refined or not refinement.noise_estimated:
        return Check("estimated robot noise", None, "not estimated")
    mm, deg = refinement.robot_translation_noise_mm, refinement.robot_rotation_noise_deg
    return Check("estimated robot noise", mm <= MAX_ROBOT_NOISE_MM and deg <= MAX_ROBOT_NOISE_DEG,
                 f"{mm:.2f} mm, {deg:.3f} deg per axis", f"{MAX_ROBOT_NOISE_MM:g} mm, {MAX_ROBOT_NOISE_DEG:g} deg")


def board_size_sentence(refinement, scale_length) -> str:
    """"The board's squares measure 23.61 +- 0.05 mm in these pictures; the target file says 25.00 mm", from the
    size the refinement measured and the target file's (name, length in m)."""
    what, length_m = scale_length
    measured_mm = refinement.target_scale * length_m * 1000
    sigma_mm = refinement.target_scale_sigma * length_m * 1000
    return (f"The board's {what} measure {measured_mm:.2f} +- {sigma_mm:.2f} mm in these pictures; "
            f"the target file says {length_m * 1000:.2f} mm")


def board_size_check(refinement, scale_length) -> Check:
    """The board's size the robot's motion measured against the target file's: off by more than 3 sigma (the robot's
    own length scale, good to about 0.2 %, included) and more than 0.3 % fails, unless the result was solved at the
    measured size (--fit-board-scale)."""
    if refinement is None or not refinement.refined or not refinement.target_scale_measured or scale_length is None:
        reason = refinement.target_scale_reason if refinement is not None else ""
        return Check("board size", None, "not measured" + (f": {reason}" if reason else ""))
    figures = board_size_sentence(refinement, scale_length)
    if refinement.target_scale_applied:
        return Check("board size", True, figures + "; the result is solved at the measured size")
    return Check("board size", not refinement.target_scale_differs, figures,
                 "3 sigma with 0.2 % for the robot's own lengths, and 0.3 % of the target file's size")


def board_size_cause(refinement, scale_length) -> str:
    return (board_size_sentence(refinement, scale_length) + ": correct the target file (measure a printed square "
            "with a ruler) or solve at the measured size with --fit-board-scale")


def held_out_check(validation) -> Check:
    if validation is None or not validation.validated:
        return Check("held-out error", None, "not validated")
    mm, deg = validation.median_mm, validation.median_deg
    return Check("held-out error", mm <= MAX_HELD_OUT_MM and deg <= MAX_HELD_OUT_DEG,
                 f"median {mm:.2f} mm, {deg:.3f} deg, {validation.median_px:.2f} px",
                 f"{MAX_HELD_OUT_MM:g} mm, {MAX_HELD_OUT_DEG:g} deg")


def chain_held_out_check(prediction) -> Check:
    """The held-out error of a result solved through the calibrated kinematic chain (a KinematicPredictionRecord)."""
    mm, deg = prediction.calibrated_mm, prediction.calibrated_deg
    return Check("held-out error", mm <= MAX_HELD_OUT_MM and deg <= MAX_HELD_OUT_DEG,
                 f"median {mm:.2f} mm, {deg:.3f} deg, {prediction.calibrated_px:.2f} px RMS through the calibrated "
                 "chain", f"{MAX_HELD_OUT_MM:g} mm, {MAX_HELD_OUT_DEG:g} deg")


# --- likely causes ----------------------------------------------------------------------------------------------

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
    pairs; None if it cannot solve."""
    import _velk

    if len(robot_T_tcp_list) < 3:
        return None
    robots = [np.asarray(p, dtype=np.float64) for p in robot_T_tcp_list]
    cameras = [np.asarray(c, dtype=np.float64) for c in camera_T_target_list]
    try:
        solution = _velk.solve_hand_eye(robots, cameras, "TSAI", "eye-to-hand" if eye_to_hand else "eye-in-hand")
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


# --- given intrinsics against the pictures ------------------------------------------------------------------------

#: Given intrinsics fit the pictures clearly worse than intrinsics of their own when their held-out error is this
#: many times the pictures' own and this many pixels above it. On 30 rendered scenes (bench/given_intrinsics.py)
#: the lens's own intrinsics give 1.00 to 1.02x and intrinsics calibrated from other pictures of the lens up to
#: 1.31x, a few hundredths of a pixel above; the lens's distortion left out gives 10x (median), fx 3 % off 33x.
MAX_GIVEN_HELD_OUT_RATIO = 1.5
MIN_GIVEN_HELD_OUT_EXCESS_PX = 0.1
#: A radial pattern in the residuals under the given intrinsics: the share two more radial terms take away, and
#: the RMS of what they take. Two terms take about 2 over twice the corner count of pure noise: the lens's own
#: intrinsics give at most 0.003 on the rendered scenes, intrinsics from other pictures up to 0.10 of residuals
#: of a few hundredths of a pixel (hence the pixel floor); the distortion left out gives 0.99, and the
#: eye-to-hand photographs with the distortion-free intrinsics given with them 0.44 (0.48 px).
MAX_RADIAL_SHARE = 0.1
MIN_RADIAL_PX = 0.1
#: A given value this many of the estimate's 1-sigma from it, whose difference moves a corner this many pixels.
#: The 1-sigma holds the corners' noise alone, not the small bias of every corner finder: on the rendered scenes
#: the lens's own values lie up to 7 sigma from the estimate and values from other pictures up to 13 sigma, but
#: none of those differences moves a corner 1 px; fx 3 % off or the distortion left out move one 10 px and more.
MAX_PARAMETER_SIGMAS = 5.0
MIN_PARAMETER_EFFECT_PX = 3.0


def held_out_worse(comparison) -> bool:
    return (comparison.held_out_ratio >= MAX_GIVEN_HELD_OUT_RATIO
            and comparison.given_held_out_px - comparison.own_held_out_px >= MIN_GIVEN_HELD_OUT_EXCESS_PX)


def radial_pattern(comparison) -> bool:
    return comparison.radial_share >= MAX_RADIAL_SHARE and comparison.radial_px >= MIN_RADIAL_PX


def parameter_differs(parameter) -> bool:
    return parameter.sigmas >= MAX_PARAMETER_SIGMAS and parameter.effect_px >= MIN_PARAMETER_EFFECT_PX


def given_intrinsics_check(comparison, source: str) -> Check:
    """The given intrinsics (named ``source``) against the pictures' own (a given_intrinsics comparison)."""
    if not comparison.compared:
        return Check("given intrinsics", None, f"{source} not compared: {comparison.reason}")
    worst = max(comparison.parameters, key=lambda p: (parameter_differs(p), p.sigmas))
    passed = not (held_out_worse(comparison) or radial_pattern(comparison) or parameter_differs(worst))
    figures = (f"{source}: held-out {comparison.given_held_out_px:.3f} px against {comparison.own_held_out_px:.3f} px "
               f"with the pictures' own ({comparison.held_out_ratio:.2f}x), radial pattern "
               f"{100.0 * comparison.radial_share:.1f} % ({comparison.radial_px:.2f} px), largest difference "
               f"{worst.name} {worst.sigmas:.1f} sigma (moves a corner {worst.effect_px:.1f} px)")
    return Check("given intrinsics", passed, figures,
                 f"{MAX_GIVEN_HELD_OUT_RATIO:g}x and {MIN_GIVEN_HELD_OUT_EXCESS_PX:g} px; {100 * MAX_RADIAL_SHARE:g} % "
                 f"and {MIN_RADIAL_PX:g} px; {MAX_PARAMETER_SIGMAS:g} sigma and {MIN_PARAMETER_EFFECT_PX:g} px")


def _against(parameter, source: str) -> str:
    """"fx 1043.0 px in intrinsics.json against 1021.3 +- 2.1 px from the pictures"."""
    return (f"{parameter.name} {parameter.given_text()} in {source} against {parameter.estimate_text()} from the "
            "pictures")


def given_intrinsics_causes(comparison, source: str) -> list[str]:
    """What is wrong with the given intrinsics and the fix, when their check fails."""
    if not comparison.compared:
        return []
    fix = "calibrate the intrinsics from the pictures (omit --intrinsics) or give"
    differing = sorted((p for p in comparison.parameters if parameter_differs(p)), key=lambda p: -p.sigmas)
    lens_terms = [p for p in differing if p.name not in CAMERA_MATRIX_NAMES]
    matrix_terms = [p for p in differing if p.name in CAMERA_MATRIX_NAMES]
    # A camera-matrix term far off leaves a pattern of its own in the residuals, part of it radial: named first.
    causes = [f"{_against(matrix_terms[0], source)}: {fix} this camera's intrinsics"] if matrix_terms else []
    if radial_pattern(comparison) or lens_terms:
        better = 1.0 / math.sqrt(max(1.0 - comparison.radial_share, 1e-12))
        evidence = (f"the pictures fit {better:.1f}x better with radial distortion terms"
                    if radial_pattern(comparison) else "the pictures show other terms")
        if lens_terms:
            evidence += f" ({_against(lens_terms[0], source)})"
        if comparison.given_distortion_free:
            causes.append(f"{source} holds no distortion terms, but {evidence}: {fix} the lens's distortion")
        else:
            causes.append(f"the distortion in {source} does not fit the pictures: {evidence}: {fix} this lens's "
                          "distortion")
    if not causes and held_out_worse(comparison):
        causes.append(f"the pictures fit {comparison.held_out_ratio:.1f}x better with intrinsics of their own than "
                      f"with {source} (held-out {comparison.given_held_out_px:.2f} against "
                      f"{comparison.own_held_out_px:.2f} px): {fix} this camera's intrinsics")
    return causes


# --- verdicts of the commands -----------------------------------------------------------------------------------

def _rms_of(result) -> float | None:
    refinement = result.refinement
    if refinement is not None and refinement.refined:
        return float(refinement.rms_px)
    return None


def judge_hand_eye(result, robot_T_tcp_list, eye_to_hand: bool, image_names=None, method_results=None,
                   rms_px: float | None = None, pose_numbers=None, intrinsics_comparison=None,
                   intrinsics_source: str = "the given intrinsics", scale_length=None, kinematics=None) -> Verdict:
    """The verdict on a hand-eye (or eye-to-hand) result calibrated from ``robot_T_tcp_list`` (all poses passed
    to the calibration, in order; ``pose_numbers`` their numbers in the pose file); ``method_results`` is a method
    comparison when one was run, ``rms_px`` the reprojection RMS when the result was not refined,
    ``intrinsics_comparison`` the given intrinsics (named ``intrinsics_source``) against the pictures' own when
    intrinsics were given, ``scale_length`` the target file's (name, length in m) of the length the board's
    size is judged by, ``kinematics`` the KinematicsRecord of a calibration through the arm's chain."""
    verdict = Verdict(subject="eye-to-hand" if eye_to_hand else "hand-eye")
    cameras = list(result.camera_T_target_list)
    distances = list(result.consistency.distances_m) if result.has_consistency else [
        float(np.linalg.norm(np.asarray(c)[:3, 3])) for c in cameras]
    rms = _rms_of(result) if rms_px is None else rms_px
    verdict.checks.append(rms_check(rms))
    if result.has_consistency:
        verdict.checks.append(consistency_check(result.consistency))
    verdict.checks.append(distance_check(distances))
    from _velk import diagnostics

    verdict.checks.append(rotation_check(diagnostics.analyze_rotation_variety(cameras) if len(cameras) > 1
                                         else None))
    if method_results is not None:
        verdict.checks.append(solver_check(method_results))
    verdict.checks.append(robot_noise_check(result.refinement))
    applied = kinematics is not None and kinematics.applied
    verdict.checks.append(chain_held_out_check(kinematics.held_out) if applied else held_out_check(result.validation))
    if scale_length is not None:
        size = board_size_check(result.refinement, scale_length)
        verdict.checks.append(size)
        if size.passed is False:
            verdict.causes.append(board_size_cause(result.refinement, scale_length))
    _judge_given_intrinsics(verdict, intrinsics_comparison, intrinsics_source)
    if kinematics is not None:
        verdict.checks.append(kinematic_model_check(kinematics))
    if not verdict.ok:
        causes = unit_causes(distances, robot_T_tcp_list, result.intrinsic_matrix)
        if not causes and len(cameras) == len(result.image_indices):
            causes += pose_causes(robot_T_tcp_list, cameras, list(result.image_indices), eye_to_hand, image_names,
                                  pose_numbers)
        verdict.causes += causes
    return verdict


def kinematic_model_check(kinematics) -> Check:
    """Whether the calibrated chain predicts held-out pictures clearly better than the nominal one: a pass when
    it does (the saved result is solved through it), nothing judged when it does not (the nominal chain's result
    is saved, as without the model)."""
    held_out = kinematics.held_out
    estimated = sum(1 for p in kinematics.parameters if p.estimated)
    figures = (f"held-out {held_out.calibrated_px:.3f} px with the calibrated chain ({estimated} corrections), "
               f"{held_out.nominal_px:.3f} px with the nominal one")
    if kinematics.helps:
        return Check("kinematic model", True, f"helps: {figures}")
    return Check("kinematic model", None, f"does not help: {figures}; the nominal chain's result is saved")


def _judge_given_intrinsics(verdict: Verdict, comparison, source: str) -> None:
    """Adds the check of given intrinsics, and its cause when it fails, to ``verdict`` (nothing without them)."""
    if comparison is None:
        return
    check = given_intrinsics_check(comparison, source)
    verdict.checks.append(check)
    if check.passed is False:
        verdict.causes += given_intrinsics_causes(comparison, source)


def judge_check(stats, method_results, consistency_spread_mm: float | None, distances_m, robot_T_tcp_list,
                camera_T_target_list, positions, eye_to_hand: bool, image_names=None,
                intrinsic_matrix=None, pose_numbers=None, intrinsics_comparison=None,
                intrinsics_source: str = "the given intrinsics") -> Verdict:
    """The verdict of ``velk check`` on a dataset: rotation variety, solver agreement and how consistently a
    closed-form solve places the target; with ``intrinsics_comparison``, how well the given intrinsics (named
    ``intrinsics_source``) fit the pictures."""
    verdict = Verdict(subject="dataset")
    verdict.checks.append(rotation_check(stats))
    verdict.checks.append(solver_check(method_results))
    if consistency_spread_mm is not None and math.isfinite(consistency_spread_mm):
        explained = explained_spread_mm(distances_m)
        limit = CONSISTENCY_FACTOR * explained
        verdict.checks.append(Check("target consistency", consistency_spread_mm <= limit,
                                    f"mean spread {consistency_spread_mm:.2f} mm; the robot noise explains "
                                    f"about {explained:.1f} mm", f"{limit:.1f} mm"))
    verdict.checks.append(distance_check(distances_m))
    _judge_given_intrinsics(verdict, intrinsics_comparison, intrinsics_source)
    if not verdict.ok:
        causes = unit_causes(distances_m, robot_T_tcp_list, intrinsic_matrix)
        if not causes:
            causes += pose_causes(robot_T_tcp_list, camera_T_target_list, positions, eye_to_hand, image_names,
                                  pose_numbers)
        verdict.causes += causes
    return verdict


def judge_intrinsics(result, image_count: int, square_size_m: float | None = None, image_size=None,
                     object_points=None) -> Verdict:
    """The verdict on an intrinsic result: its RMS and views, and, given the picture size (width, height), whether
    the pictures determine it (see :func:`determinacy_checks`). ``object_points`` (the detections' board points of
    the result's views) let the likely cause say how far the pictures tilt the board."""
    verdict = Verdict(subject="intrinsic")
    verdict.checks.append(rms_check(float(result.reprojection_error)))
    used = len(result.low_view_error_indices)
    verdict.checks.append(Check("views used", used >= MIN_INTRINSIC_VIEWS,
                                f"{used} of {image_count} pictures", f"at least {MIN_INTRINSIC_VIEWS}"))
    if square_size_m is not None and square_size_m > MAX_PLAUSIBLE_SQUARE_M:
        verdict.checks.append(Check("target lengths", False, f"square length {square_size_m:g} m",
                                    f"{MAX_PLAUSIBLE_SQUARE_M:g} m"))
        verdict.causes.append("the target's lengths look like millimetres; give them in metres (0.03 for 30 mm)")
    if image_size is not None and result.ok:
        checks = determinacy_checks(result, image_size)
        verdict.checks += checks
        if any(check.passed is False for check in checks):
            verdict.causes += determinacy_causes(result, image_size, object_points)
    return verdict


def focal_check(camera) -> Check:
    """The larger 1-sigma of fx and fy, as a share of the focal length (``camera``: camera_parameters)."""
    focal = [p for p in camera if p.name in ("fx", "fy")]
    worst = max(focal, key=lambda p: p.relative_sigma)
    return Check("focal length 1-sigma", worst.relative_sigma <= MAX_FOCAL_SIGMA_SHARE,
                 ", ".join(f"{p.name} = {p.value:.1f} +- {p.sigma:.2f} px (1-sigma {100 * p.relative_sigma:.2f} %)"
                           for p in focal), f"{100 * MAX_FOCAL_SIGMA_SHARE:g} %")


def principal_point_check(camera, width_px: float) -> Check:
    """The larger 1-sigma of cx and cy, as a share of the picture's width."""
    centre = [p for p in camera if p.name in ("cx", "cy")]
    worst = max(p.sigma for p in centre) / width_px
    return Check("principal point 1-sigma", worst <= MAX_PRINCIPAL_POINT_SIGMA_SHARE,
                 ", ".join(f"{p.name} = {p.value:.1f} +- {p.sigma:.2f} px" for p in centre)
                 + f" (1-sigma up to {100 * worst:.2f} % of the width)",
                 f"{100 * MAX_PRINCIPAL_POINT_SIGMA_SHARE:g} % of the width")


def undetermined_terms(result, image_size) -> list:
    """(parameter, px its 1-sigma moves the picture's corners) of each distortion term whose 1-sigma exceeds its
    value and matters there."""
    undetermined = []
    for parameter in distortion_parameters(result):
        if parameter.sigma > abs(parameter.value):
            shift = corner_shift_px(result, parameter, image_size)
            if shift >= MIN_UNDETERMINED_SHIFT_PX:
                undetermined.append((parameter, shift))
    return undetermined


def distortion_terms_check(result, image_size) -> Check:
    """Every distortion term solved for against its 1-sigma (see :func:`undetermined_terms`)."""
    terms = distortion_parameters(result)
    if result.camera_model == "fisheye" or any(p.name in RATIONAL_TERMS for p in terms):
        # The rational model's numerator and denominator trade off, and the fisheye model's higher terms are
        # near zero on most lenses: each term alone is loose while the distortion they make together is fitted
        # well, so the held-out and extrapolation checks judge it.
        model = "fisheye" if result.camera_model == "fisheye" else "rational"
        return Check("distortion terms", True, f"{model} model: its terms are judged together by the held-out "
                     "error and the growth beyond the observed corners")
    undetermined = undetermined_terms(result, image_size)
    if undetermined:
        figures = "; ".join(f"{p.text()}: the pictures do not determine it (1-sigma moves the picture's corners "
                            f"{shift:.1f} px)" for p, shift in undetermined)
    else:
        figures = ", ".join(p.text() for p in terms) or "no term solved for"
    return Check("distortion terms", not undetermined, figures,
                 f"1-sigma below the value, or moving the picture's corners less than {MIN_UNDETERMINED_SHIFT_PX:g} px")


def held_out_ratio(validation) -> float:
    """RMS of the held-out errors over RMS of the fitted errors of the pictures validated; NaN without them."""
    pairs = [(h, f) for h, f in zip(validation.held_out_rms_px, validation.fitted_rms_px)
             if math.isfinite(h) and math.isfinite(f)]
    if not pairs:
        return float("nan")
    held_out, fitted = np.array(pairs).T
    fitted_rms = float(np.sqrt(np.mean(fitted ** 2)))
    return float(np.sqrt(np.mean(held_out ** 2))) / fitted_rms if fitted_rms > 0 else float("inf")


def held_out_ratio_check(validation) -> Check:
    """How much worse the views are predicted without them than fitted with them; n/a without validation."""
    if validation is None or not validation.validated:
        return Check("held-out over fitted", None, "not validated")
    ratio = held_out_ratio(validation)
    return Check("held-out over fitted", math.isfinite(ratio) and ratio <= MAX_HELD_OUT_OVER_FITTED,
                 f"held-out RMS {ratio:.2f} x the fitted RMS (median held-out {validation.median_px:.3f} px)",
                 f"{MAX_HELD_OUT_OVER_FITTED:g} x")


def extrapolation_check(result, image_size) -> Check | None:
    """The pinhole distortion at the picture's corners against its growth from the observed corners; None for the
    fisheye model, whose lens mapping the report shows."""
    if result.camera_model == "fisheye":
        return None
    spread = extrapolation(result.intrinsic_matrix, result.distortion_coefficients, image_size, result.image_points)
    if spread is None:
        return Check("distortion extrapolation", None, "no corners")
    corner = (f"in the picture's corners {spread.corner_px:.0f} px" if math.isfinite(spread.corner_px)
              else "no ray reaches the picture's corners (the model folds back before them)")
    passed = spread.corner_px <= EXTRAPOLATION_WARNING_PX or spread.growth <= MAX_EXTRAPOLATION_GROWTH
    return Check("distortion extrapolation", passed,
                 f"{corner}; at most {spread.hull_px:.1f} px on the observed corners' edge, "
                 f"from which a lens growing with the cube of the radius reaches {spread.cubic_px:.0f} px",
                 f"{MAX_EXTRAPOLATION_GROWTH:g} x that, or {EXTRAPOLATION_WARNING_PX:g} px")


def determinacy_checks(result, image_size) -> list:
    """Whether the pictures determine the intrinsics: the 1-sigma of the focal length, the principal point and each
    distortion term, the held-out error against the fitted one, and the distortion beyond the observed corners."""
    checks = []
    camera = camera_parameters(result)
    if camera:
        checks += [focal_check(camera), principal_point_check(camera, float(image_size[0])),
                   distortion_terms_check(result, image_size)]
    else:
        checks.append(Check("parameter 1-sigma", None, "no standard deviations"))
    checks.append(held_out_ratio_check(result.validation))
    extrapolated = extrapolation_check(result, image_size)
    if extrapolated is not None:
        checks.append(extrapolated)
    return checks


def capture_shortcomings(result, image_size, object_points=None) -> list:
    """What of the capture most likely left the intrinsics undetermined: too few pictures, too little tilt, corners
    not reaching the picture's edges; each with its fix."""
    found = []
    views = len(result.successful_indices)
    if views < FEW_INTRINSIC_PICTURES:
        found.append(f"too few pictures ({views}; take {2 * FEW_INTRINSIC_PICTURES} or more)")
    if object_points is not None:
        tilts = board_tilts_deg(object_points, result.image_points, result.intrinsic_matrix,
                                result.distortion_coefficients, result.camera_model)
        if tilts and max(tilts) < SMALL_TILT_DEG:
            found.append(f"too little tilt (the board at most {max(tilts):.0f} deg from facing the camera; tilt it "
                         f"by 20 to 45 deg, towards different sides)")
    reach = corner_reach(result.image_points, result.intrinsic_matrix, image_size)
    if math.isfinite(reach) and reach < SMALL_CORNER_REACH:
        found.append(f"corners not reaching the picture's edges (they reach {100 * reach:.0f} % of the way to the "
                     f"picture's corners; place the board in the corners and along the edges of the picture)")
    return found


def extrapolation_causes(result, image_size) -> list:
    """What a failed extrapolation check says of the model: it folds back before the picture's corners, or grows
    beyond the observed corners far faster than a lens does."""
    check = extrapolation_check(result, image_size)
    if check is None or check.passed is not False:
        return []
    spread = extrapolation(result.intrinsic_matrix, result.distortion_coefficients, image_size, result.image_points)
    terms = " ".join(p.name for p in distortion_parameters(result)) or "distortion"
    if not math.isfinite(spread.corner_px):
        return [f"the {terms} model folds back before the picture's corners (no ray reaches them): it cannot "
                f"describe this lens there; calibrate more distortion terms (--distortion-model auto chooses them)"]
    return [f"the {terms} model grows {spread.growth:.0f} x faster beyond the observed corners than a lens does: "
            "the picture's corners are extrapolated, not measured"]


def fewer_terms(result, undetermined: list) -> str:
    """The fix of calibrating fewer distortion terms, when a smaller pinhole model leaves out the undetermined ones;
    the rational model's numerator and denominator terms trade off against one another, so for them it is the model
    without the denominator."""
    if result.camera_model == "fisheye" or not undetermined:
        return ""
    if set(undetermined) & {"k4", "k5", "k6"}:
        return ("or calibrate without the rational terms, whose numerator and denominator trade off against one "
                "another (--distortion-model k1k2pk3)")
    simpler = simpler_model_without(undetermined)
    return f"or calibrate fewer distortion terms (--distortion-model {simpler.name})" if simpler is not None else ""


def determinacy_causes(result, image_size, object_points=None) -> list:
    """The likely cause of intrinsics the pictures do not determine: the undetermined parameters, what of the capture
    left them so, and the fix."""
    named = []
    camera = camera_parameters(result)
    focal = [p for p in camera if p.name in ("fx", "fy") and p.relative_sigma > MAX_FOCAL_SIGMA_SHARE]
    named += [f"{p.text(' px')} (1-sigma {100 * p.relative_sigma:.1f} %)" for p in focal]
    width = float(image_size[0])
    named += [p.text(" px") for p in camera
              if p.name in ("cx", "cy") and p.sigma > MAX_PRINCIPAL_POINT_SIGMA_SHARE * width]
    undetermined = undetermined_terms(result, image_size)
    named += [p.text() for p, _ in undetermined]
    shortcomings = capture_shortcomings(result, image_size, object_points)
    causes = []
    if named:
        causes.append(", ".join(named) + ": the pictures do not determine " + ("it" if len(named) == 1 else "them"))
    causes += extrapolation_causes(result, image_size)
    causes += shortcomings
    fewer = fewer_terms(result, [p.name for p, _ in undetermined])
    if fewer:
        causes.append(fewer)
    elif not shortcomings:
        causes.append("take more pictures, with the board tilted towards different sides and reaching the picture's "
                      "corners")
    return causes


def judge_rig(result, pair_errors) -> Verdict:
    verdict = Verdict(subject="rig")
    errors = [e for e in pair_errors if math.isfinite(e)]
    verdict.checks.append(Check("stereo RMS", bool(errors) and max(errors) <= MAX_RMS_PX,
                                ", ".join(f"{e:.3f} px" for e in errors) or "none", f"{MAX_RMS_PX:g} px"))
    refinement = result.refinement
    if refinement is not None and refinement.refined:
        verdict.checks.append(rms_check(float(refinement.rms_px), "refined reprojection RMS"))
    return verdict


#: The denominator terms of the rational pinhole model.
RATIONAL_TERMS = ("k4", "k5", "k6")
#: Fewest pictures within the error threshold for trusted intrinsics.
MIN_INTRINSIC_VIEWS = 5
#: Largest 1-sigma of a trusted focal length, as a share of it.
MAX_FOCAL_SIGMA_SHARE = 0.01
#: Largest 1-sigma of a trusted principal point coordinate, as a share of the picture's width.
MAX_PRINCIPAL_POINT_SIGMA_SHARE = 0.02
#: A distortion term whose 1-sigma exceeds its value is undetermined when that 1-sigma moves a point seen in the
#: picture's corners by at least this many pixels; below it the term is too small to matter either way (a tangential
#: term of the stereo photographs' left camera, p2 = -0.0003 +- 0.0003, moves them 0.2 px, under their 0.4 px RMS).
MIN_UNDETERMINED_SHIFT_PX = 0.5
#: Largest ratio of the held-out RMS to the fitted RMS of trusted intrinsics. Rendered captures reaching the
#: picture's corners stay at 1.03 or below with 24 pictures and the chosen model (one of 100 reached 1.6 with 12), the
#: stereo photographs at 1.02; a few pictures of one small tag reach 1.2 to 23 (bench/distortion_model_choice.py).
MAX_HELD_OUT_OVER_FITTED = 1.5
#: Largest growth of the distortion from the observed corners' edge to the picture's corners, against a lens whose
#: displacement grows with the cube of the radius (see distortion_field.Extrapolation); displacements in the picture's
#: corners up to EXTRAPOLATION_WARNING_PX pass whatever their growth. The chosen models of rendered captures, the
#: demos and the stereo photographs grow by 2.5 at most; undetermined fits fold back before the corners (inf).
MAX_EXTRAPOLATION_GROWTH = 4.0
#: The causes named when the pictures do not determine the intrinsics: fewer pictures than this, a board tilted by
#: less than this from facing the camera in every picture, corners reaching less than this share of the way from the
#: principal point to the picture's corners (captures with the board in the picture's corners reach 0.6 to 0.75 with
#: the corners inside a chessboard's border, the stereo photographs 0.66; a board kept near the centre 0.35 to 0.5).
FEW_INTRINSIC_PICTURES = 10
SMALL_TILT_DEG = 20.0
SMALL_CORNER_REACH = 0.55
#: A printed square longer than this (m) is a length given in millimetres.
MAX_PLAUSIBLE_SQUARE_M = 1.0


def judge_kinematics(result) -> Verdict:
    """The verdict of ``velk kinematics``: the calibrated chain's mean pose error, and whether it predicts
    held-out poses at least as well as the nominal chain."""
    verdict = Verdict(subject="kinematic")
    fit = result.calibrated_fit
    verdict.checks.append(Check(
        "mean pose error", fit.mean_position_mm <= MAX_KINEMATIC_MEAN_MM and
        fit.mean_orientation_deg <= MAX_KINEMATIC_MEAN_DEG,
        f"{fit.mean_position_mm:.3f} mm, {fit.mean_orientation_deg:.4f} deg",
        f"{MAX_KINEMATIC_MEAN_MM:g} mm, {MAX_KINEMATIC_MEAN_DEG:g} deg"))
    nominal, calibrated = result.nominal_held_out, result.calibrated_held_out
    factor = MAX_KINEMATIC_HELD_OUT_FACTOR
    verdict.checks.append(Check(
        "held-out prediction", calibrated.mean_position_mm <= factor * nominal.mean_position_mm and
        calibrated.mean_orientation_deg <= factor * nominal.mean_orientation_deg,
        f"calibrated {calibrated.mean_position_mm:.3f} mm, {calibrated.mean_orientation_deg:.4f} deg; nominal "
        f"{nominal.mean_position_mm:.3f} mm, {nominal.mean_orientation_deg:.4f} deg",
        f"{factor:g} x nominal"))
    return verdict
