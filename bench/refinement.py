"""Accuracy, honesty of the uncertainty and cost of the joint reprojection-error refinement.

Eye-in-hand: 12 views of projected board corners with Gaussian noise, intrinsics from the same
views (calibrateCamera), over many seeds: median tcp_T_camera error of every closed-form solver
and of the refinement started from TSAI, and the predicted 1-sigma against the observed spread.
Rig: 3 cameras, 15 frames, the same comparison against the pairwise stereoCalibrate step.
Robot pose error: both set-ups (eye-in-hand and eye-to-hand) with the reported flange poses off by
a random motion per pose at several levels; every closed-form solver, the refinement with the robot
poses taken as exact (as it was before the robot's error was modelled) and the default refinement,
which models the robot's error and estimates both noise levels from the data, against their targets.
Configuration-dependent robot error: a 6-axis arm whose joint zero offsets are slightly off reports
its flange poses from its nominal model; what that does to the closed form and the refinement.
Cost: one 15-view image-based eye-in-hand calibration with and without refinement, best of several runs.
Each rotation comparison also prints the information limit: the RMS error below which no unbiased
estimator can go on those data, from the refinement's covariance.

    python bench/refinement.py [--seeds N] [--noise PX] [--arm-seeds N] [--repeats N] [--quick]
"""

import argparse
import contextlib
import dataclasses
import math
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import _velk  # noqa: E402
import projected_corners as pc  # noqa: E402
from quorvane.velk import demo, synthetic  # noqa: E402


@contextlib.contextmanager
def quiet():
    """Silences the library's log lines and reports (file descriptors 1 and 2)."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
        os.dup2(null.fileno(), 2)
        try:
            yield
        finally:
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            for fd in saved:
                os.close(fd)


def information_limit(sigmas):
    """RMS rotation or translation error that no unbiased estimator can beat on these data: the
    Cramer-Rao bound, read off the refinement's covariance as the RMS norm of its predicted 1-sigma."""
    return float(np.sqrt(np.mean(np.sum(np.square(sigmas), axis=1))))


def rms_norm(errors):
    return float(np.sqrt(np.mean(np.square(errors))))


def principal_point_error(K):
    return float(np.hypot(K[0, 2] - pc.EYE_IN_HAND_K[0, 2], K[1, 2] - pc.EYE_IN_HAND_K[1, 2]))


def eye_in_hand(seeds, noise, flags=0, given_intrinsics=False):
    """flags: calibrateCamera flags of the intrinsics from the views (and of their refinement);
    given_intrinsics: the true intrinsics instead, held fixed, with one solvePnP pose per view."""
    methods = list(pc.CLOSED_FORM_METHODS)
    closed = {m: [] for m in methods}
    refined, tally = [], pc.SigmaTally()
    principal_points = {"closed": [], "refined": []}
    failures = 0
    for seed in range(seeds):
        scene = pc.eye_in_hand_corners(num_views=12, noise_px=noise, seed=seed)
        if given_intrinsics:
            K, D = pc.EYE_IN_HAND_K, pc.EYE_IN_HAND_D.reshape(1, -1)
            poses = pc.poses_with_intrinsics(scene, K, D)
        else:
            K, D, poses = pc.intrinsics_from_views(scene, flags)
        for method in methods:
            closed[method].append(pc.transform_error(pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, poses,
                                                                                  method), scene.tcp_T_camera))
        start = pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, poses, "TSAI")
        problem = pc.eye_in_hand_problem(scene, start, K, D, refine_intrinsics=not given_intrinsics)
        problem.calibration_flags = flags
        with quiet():
            refinement = _velk.refine_hand_eye(problem)
        if not refinement.refined:
            failures += 1
            continue
        principal_points["closed"].append(principal_point_error(K))
        principal_points["refined"].append(principal_point_error(refinement.intrinsic_matrix))
        estimate = refinement.camera_mount_T_camera
        refined.append(pc.transform_error(estimate, scene.tcp_T_camera))
        tally.add(estimate, scene.tcp_T_camera, refinement.camera_sigma)
    medians = {m: np.median(np.array(v), axis=0) for m, v in closed.items()}
    best = min(medians, key=lambda m: medians[m][0])
    refined_median = np.median(np.array(refined), axis=0)
    best_rotation_rms = min(rms_norm(np.array(v)[:, 1]) for v in closed.values())
    return {
        "rotation_limit": information_limit(np.array(tally.sigmas["rotation"])),
        "rotation_rms": {"closed": best_rotation_rms, "refined": rms_norm(np.array(refined)[:, 1])},
        "closed": medians, "best": best, "refined": refined_median, "failures": failures,
        "translation_ratio": refined_median[0] / medians[best][0],
        "rotation_ratio": refined_median[1] / min(v[1] for v in medians.values()),
        "translation_honesty": tally.honesty("translation"), "rotation_honesty": tally.honesty("rotation"),
        "principal_point": {k: float(np.median(v)) for k, v in principal_points.items()},
    }


def print_eye_in_hand(hand_eye, args, label):
    print(f"Eye-in-hand, 12 views, {args.noise} px, {label}, {args.seeds} seeds "
          f"({hand_eye['failures']} refinements kept the closed form)")
    print(f"  {'solver':<12} {'median mm':>10} {'median deg':>11}")
    for method, (mm, deg) in hand_eye["closed"].items():
        print(f"  {method:<12} {mm * 1000:>10.3f} {deg:>11.4f}")
    mm, deg = hand_eye["refined"]
    print(f"  {'refined':<12} {mm * 1000:>10.3f} {deg:>11.4f}")
    print(f"  refined / best closed form ({hand_eye['best']}): translation {hand_eye['translation_ratio']:.2f}, "
          f"rotation {hand_eye['rotation_ratio']:.2f} (target <= 0.5)")
    print(f"  predicted sigma / observed spread: translation {hand_eye['translation_honesty']:.2f}, "
          f"rotation {hand_eye['rotation_honesty']:.2f} (target 0.7-1.3)")
    print_rotation_limit(hand_eye)
    pp = hand_eye["principal_point"]
    print(f"  median principal-point error: {pp['closed']:.2f} px from the views, {pp['refined']:.2f} px refined")


def print_rotation_limit(figures, reference="best closed form", target_ratio=0.5):
    rms = figures["rotation_rms"]
    print(f"  RMS rotation error: {reference} {rms['closed']:.4f} deg, refined {rms['refined']:.4f} deg; "
          f"information limit {figures['rotation_limit']:.4f} deg against {target_ratio} x the {reference}, "
          f"{rms['closed'] * target_ratio:.4f} deg")


def rig(seeds, noise, given_intrinsics=False):
    """given_intrinsics: the true intrinsics, held fixed, instead of calibrateCamera per camera."""
    pairwise, refined, tally = [], [], pc.SigmaTally()
    failures = 0
    for seed in range(seeds):
        scene = pc.rig_corners(num_cameras=3, num_frames=15, noise_px=noise, seed=seed)
        if given_intrinsics:
            matrices, distortions = scene.camera_matrices, [np.reshape(d, (1, -1)) for d in scene.distortions]
        else:
            matrices, distortions = pc.rig_intrinsics(scene)
        start = pc.pairwise_rig(scene, matrices, distortions)
        with quiet():
            refinement = _velk.refine_rig(pc.rig_problem(scene, start, matrices, distortions,
                                                         refine_intrinsics=not given_intrinsics))
        if not refinement.refined:
            failures += 1
            continue
        for k in (1, 2):
            truth = scene.reference_T_camera[k]
            pairwise.append(pc.transform_error(start[k], truth))
            estimate = refinement.reference_T_camera_list[k]
            refined.append(pc.transform_error(estimate, truth))
            tally.add(estimate, truth, refinement.camera_sigmas[k])
    pairwise_median = np.median(np.array(pairwise), axis=0)
    refined_median = np.median(np.array(refined), axis=0)
    return {
        "rotation_limit": information_limit(np.array(tally.sigmas["rotation"])),
        "rotation_rms": {"closed": rms_norm(np.array(pairwise)[:, 1]), "refined": rms_norm(np.array(refined)[:, 1])},
        "pairwise": pairwise_median, "refined": refined_median, "failures": failures,
        "translation_ratio": refined_median[0] / pairwise_median[0],
        "rotation_ratio": refined_median[1] / pairwise_median[1],
        "translation_honesty": tally.honesty("translation"), "rotation_honesty": tally.honesty("rotation"),
    }


# Robot pose error: flange poses reported with a random error per pose, both set-ups.

ROBOT_ERROR_LEVELS = ((0.0, 0.0), (0.2, 0.02), (0.5, 0.05), (1.0, 0.1))  # per flange axis: mm, deg


@dataclasses.dataclass(frozen=True)
class Setup:
    name: str
    corners: Callable  # (num_views, noise_px, seed, robot_error) -> scene
    closed_form: Callable  # (robot_T_tcp_list, camera_T_target_list, method) -> camera transform
    problem: Callable  # (scene, start, K, D, refine_intrinsics) -> HandEyeRefinementProblem
    truth: str  # the scene's true camera transform


SETUPS = (
    Setup("eye-in-hand", pc.eye_in_hand_corners, pc.closed_form_tcp_T_camera, pc.eye_in_hand_problem, "tcp_T_camera"),
    Setup("eye-to-hand", pc.eye_to_hand_corners, pc.closed_form_robot_T_camera, pc.eye_to_hand_problem,
          "robot_T_camera"),
)


def level_label(level):
    return "none" if level == (0.0, 0.0) else f"{level[0]:g} mm/{level[1]:g} deg"


def ratio_targets(level):
    """Ceilings of the default refinement's median error over the best closed form's and over TSAI's,
    (translation, rotation); None: no target."""
    if level[0] == 0.0:
        return {"best": (0.5, 1.0), "tsai": None}
    if level[0] <= 0.2:
        return {"best": (0.8, 1.0), "tsai": None}
    return {"best": (1.1, 1.1), "tsai": (0.9, 0.9)}


def refine(problem, robot_exact=False):
    """robot_exact: robot poses taken as exact (the refinement before robot error was modelled);
    otherwise the default, both noise levels estimated from the data."""
    options = _velk.RefinementOptions()
    if robot_exact:
        options.robot_translation_sigma_mm = 0.0
        options.robot_rotation_sigma_deg = 0.0
    with quiet():
        return _velk.refine_hand_eye(problem, options)


def fx_error(K):
    return float(abs(K[0, 0] - pc.EYE_IN_HAND_K[0, 0]))


class RefinementRuns:
    """What one kind of refinement gave over the seeds."""

    def __init__(self):
        self.errors, self.tally = [], pc.SigmaTally()
        self.runs = self.kept = self.nonfinite = self.flagged = self.unsettled = self.warned = 0
        self.robot_noise, self.pixel_noise = [], []
        self.intrinsics = {"fx": [], "principal_point": []}

    def add(self, refinement, truth, seed):
        self.runs += 1
        if not refinement.refined:
            self.kept += 1
            return
        estimate = np.asarray(refinement.camera_mount_T_camera)
        sigma = refinement.camera_sigma
        figures = np.concatenate([estimate.ravel(), sigma.translation_mm, sigma.rotation_deg,
                                  np.ravel(refinement.intrinsic_matrix)])
        if not np.all(np.isfinite(figures)):
            self.nonfinite += 1
            print(f"  !! seed {seed}: non-finite refinement result", file=sys.stderr)
            return
        self.errors.append(pc.transform_error(estimate, truth))
        self.tally.add(estimate, truth, sigma)
        self.intrinsics["fx"].append(fx_error(refinement.intrinsic_matrix))
        self.intrinsics["principal_point"].append(principal_point_error(refinement.intrinsic_matrix))
        self.flagged += bool(len(refinement.suspect_poses))
        self.warned += bool(refinement.noise_warning)
        if refinement.noise_estimated:
            self.unsettled += not refinement.noise_settled
            self.robot_noise.append((refinement.robot_translation_noise_mm, refinement.robot_rotation_noise_deg))
            self.pixel_noise.append(refinement.pixel_noise_px)

    def median(self):
        return np.median(np.array(self.errors), axis=0) if self.errors else np.full(2, np.nan)

    def rms(self):
        return np.sqrt(np.mean(np.square(self.errors), axis=0)) if self.errors else np.full(2, np.nan)

    def median_noise(self):
        return np.median(np.array(self.robot_noise), axis=0) if self.robot_noise else np.full(2, np.nan)


class Comparison:
    """Every closed-form solver, the refinement with exact robot poses and the default one, over scenes."""

    def __init__(self):
        self.closed = {m: [] for m in pc.CLOSED_FORM_METHODS}
        self.today, self.new = RefinementRuns(), RefinementRuns()
        self.views = {"fx": [], "principal_point": []}  # calibrateCamera's intrinsics

    def add(self, setup, scene, seed):
        K, D, poses = pc.intrinsics_from_views(scene)
        truth = getattr(scene, setup.truth)
        for method in self.closed:
            self.closed[method].append(pc.transform_error(setup.closed_form(scene.robot_T_tcp_list, poses, method),
                                                          truth))
        self.views["fx"].append(fx_error(K))
        self.views["principal_point"].append(principal_point_error(K))
        start = setup.closed_form(scene.robot_T_tcp_list, poses, "TSAI")
        problem = setup.problem(scene, start, K, D, refine_intrinsics=True)
        self.today.add(refine(problem, robot_exact=True), truth, seed)
        self.new.add(refine(problem), truth, seed)

    def closed_medians(self):
        return {m: np.median(np.array(v), axis=0) for m, v in self.closed.items()}

    def closed_rms(self):
        return {m: np.sqrt(np.mean(np.square(v), axis=0)) for m, v in self.closed.items()}


def robot_error_level(setup, level, seeds, noise):
    comparison = Comparison()
    for seed in range(seeds):
        comparison.add(setup, setup.corners(num_views=12, noise_px=noise, seed=seed, robot_error=level), seed)
    return comparison


class Verdicts:
    """Targets met and missed, for the closing list."""

    def __init__(self):
        self.missed = []

    def ceiling(self, value, limit, where):
        if not np.isfinite(value) or value > limit:
            self.missed.append(f"{where}: {value:.4g} against <= {limit:g} ({100 * (value / limit - 1):.0f} % over)")
            return "MISS"
        return "ok"

    def band(self, value, low, high, where):
        if not np.isfinite(value) or not low <= value <= high:
            gap = value / low - 1 if value < low else value / high - 1
            self.missed.append(f"{where}: {value:.4g} against {low:g}-{high:g} ({100 * gap:+.0f} % beyond the band)")
            return "MISS"
        return "ok"


LABEL_WIDTH, CELL_WIDTH = 44, 21


def table_row(label, cells):
    print(f"  {label:<{LABEL_WIDTH}}" + "".join(f"{c:>{CELL_WIDTH}}" for c in cells))


def print_robot_error(setup, comparisons, args, verdicts):
    """One table per set-up, a column per robot error level."""
    levels = list(comparisons)
    print(f"Robot pose error, {setup.name}, 12 views, {args.noise} px, intrinsics from the views, "
          f"{args.seeds} seeds per level; {setup.truth} error, median over seeds")
    table_row("robot error per flange axis (simulated)", [level_label(lv) for lv in levels])
    closed = {lv: c.closed_medians() for lv, c in comparisons.items()}
    for method in pc.CLOSED_FORM_METHODS:
        table_row(f"{method} mm / deg", [f"{closed[lv][method][0] * 1000:.3f} / {closed[lv][method][1]:.4f}"
                                         for lv in levels])
    for name, attribute in (("refined, robot poses exact", "today"), ("refined, robot error modelled", "new")):
        medians = [getattr(comparisons[lv], attribute).median() for lv in levels]
        table_row(f"{name} mm / deg", [f"{m[0] * 1000:.3f} / {m[1]:.4f}" for m in medians])
    best = {lv: [min(closed[lv], key=lambda m, k=k: closed[lv][m][k]) for k in (0, 1)] for lv in levels}
    table_row("best closed form, translation / rotation", [f"{b[0]} / {b[1]}" for b in best.values()])

    for k, measure in enumerate(("translation", "rotation")):
        cells = []
        for lv in levels:
            ratio = comparisons[lv].new.median()[k] / closed[lv][best[lv][k]][k]
            limit = ratio_targets(lv)["best"][k]
            where = f"{setup.name}, {level_label(lv)}, {measure} / best closed form"
            cells.append(f"{ratio:.2f} <={limit:g} {verdicts.ceiling(ratio, limit, where)}")
        table_row(f"modelled / best closed form, {measure}", cells)
    # Medians favour the closed forms' long-tailed errors; the RMS weighs every seed.
    for k, measure in enumerate(("translation", "rotation")):
        cells = []
        for lv in levels:
            rms = comparisons[lv].closed_rms()
            best_rms = min(value[k] for value in rms.values())
            cells.append(f"{comparisons[lv].new.rms()[k] / best_rms:.2f}")
        table_row(f"  RMS: modelled / best closed form, {measure}", cells)
    for k, measure in enumerate(("translation", "rotation")):
        cells = []
        for lv in levels:
            ratio = comparisons[lv].new.median()[k] / closed[lv]["TSAI"][k]
            targets = ratio_targets(lv)["tsai"]
            if targets is None:
                cells.append(f"{ratio:.2f}")
            else:
                where = f"{setup.name}, {level_label(lv)}, {measure} / TSAI"
                cells.append(f"{ratio:.2f} <={targets[k]:g} {verdicts.ceiling(ratio, targets[k], where)}")
        table_row(f"modelled / TSAI, {measure}", cells)

    for measure in ("translation", "rotation"):
        cells = []
        for lv in levels:
            honesty = comparisons[lv].new.tally.honesty(measure)
            where = f"{setup.name}, {level_label(lv)}, predicted / observed {measure}"
            cells.append(f"{honesty:.2f} {verdicts.band(honesty, 0.7, 1.3, where)}")
        table_row(f"predicted / observed, {measure} (0.7-1.3)", cells)
    table_row("  robot exact: translation / rotation", [
        f"{comparisons[lv].today.tally.honesty('translation'):.2f} / "
        f"{comparisons[lv].today.tally.honesty('rotation'):.2f}" for lv in levels])

    for k, (measure, unit, ceiling) in enumerate((("translation", "mm", 0.05), ("rotation", "deg", 0.005))):
        cells = []
        for lv in levels:
            estimate = comparisons[lv].new.median_noise()[k]
            where = f"{setup.name}, {level_label(lv)}, estimated robot {measure} noise"
            if lv[k] == 0.0:
                cells.append(f"{estimate:.4g} <={ceiling:g} {verdicts.ceiling(estimate, ceiling, where)}")
            else:
                ratio = estimate / lv[k]
                cells.append(f"{estimate:.4g} ={ratio:.2f}x {verdicts.band(ratio, 0.7, 1.3, where + ' / simulated')}")
        table_row(f"estimated robot noise, {unit} (x 0.7-1.3)", cells)
    table_row(f"estimated corner noise, px ({args.noise} simulated)",
              [f"{np.median(comparisons[lv].new.pixel_noise):.3f}" for lv in levels])

    for key, name in (("fx", "|fx error|"), ("principal_point", "principal-point error")):
        cells = []
        for lv in levels:
            views = float(np.median(comparisons[lv].views[key]))
            refined = float(np.median(comparisons[lv].new.intrinsics[key]))
            where = (f"{setup.name}, {level_label(lv)}, {name}: refined {refined:.3f} px against calibrateCamera "
                     f"{views:.3f} px, ratio")
            cells.append(f"{views:.2f} / {refined:.2f} {verdicts.ceiling(refined / views, 1.0, where)}")
        table_row(f"{name} px, views / modelled", cells)

    table_row("kept the closed form, exact / modelled",
              [f"{comparisons[lv].today.kept} / {comparisons[lv].new.kept}" for lv in levels])
    table_row("runs: poses flagged / unsettled / warning",
              [f"{comparisons[lv].new.flagged} / {comparisons[lv].new.unsettled} / {comparisons[lv].new.warned}"
               for lv in levels])
    nonfinite = sum(c.today.nonfinite + c.new.nonfinite for c in comparisons.values())
    if nonfinite:
        print(f"  non-finite refinement results (left out): {nonfinite}")


# Configuration-dependent robot error: a 6-axis arm with slightly wrong joint zero offsets.

#: A generic 6-axis arm with a spherical wrist, standard DH rows (d, a, alpha) in metres and radians;
#: 0.98 m from the first joint's axis to the wrist centre at full stretch.
ARM_DH = np.array([
    [0.40, 0.10, math.pi / 2],
    [0.0, 0.45, 0.0],
    [0.0, 0.035, math.pi / 2],
    [0.43, 0.0, -math.pi / 2],
    [0.0, 0.0, math.pi / 2],
    [0.08, 0.0, 0.0],
])
#: Where the board's centre lies in the arm's base frame: 0.55 m out, 0.2 m below the base (the arm on a pedestal).
ARM_BOARD_CENTRE = np.array([0.55, 0.0, -0.20])
#: Starting joint angles of the inverse kinematics, after the first joint is turned towards the wrist centre.
ARM_IK_STARTS = ([1.0, 0.5, 0.0, 1.0, 0.0], [0.5, 1.0, 0.0, -1.0, 0.0], [1.5, -0.5, 0.0, 1.0, 0.0],
                 [1.0, 0.5, math.pi, -1.0, 0.0])
JOINT_OFFSET_RANGE_DEG = (0.02, 0.05)


def dh_link(theta, d, a, alpha):
    ct, st, ca, sa = math.cos(theta), math.sin(theta), math.cos(alpha), math.sin(alpha)
    return np.array([[ct, -st * ca, st * sa, a * ct], [st, ct * ca, -ct * sa, a * st], [0.0, sa, ca, d],
                     [0.0, 0.0, 0.0, 1.0]])


def arm_frames(q, offsets):
    """base_T_link for the base and every link; joint i turns by q_i + offsets_i."""
    frames = [np.eye(4)]
    for (d, a, alpha), angle, offset in zip(ARM_DH, q, offsets):
        frames.append(frames[-1] @ dh_link(angle + offset, d, a, alpha))
    return frames


def arm_flange(q, offsets=np.zeros(6)):
    return arm_frames(q, offsets)[-1]


def rotation_log(R):
    """Rotation vector of R, exact down to the smallest angles."""
    w = 0.5 * np.array([R[2, 1] - R[1, 2], R[0, 2] - R[2, 0], R[1, 0] - R[0, 1]])
    s = np.linalg.norm(w)
    return w if s == 0.0 else w * (math.atan2(s, 0.5 * (np.trace(R) - 1.0)) / s)


def pose_residual(goal, pose):
    """Translation and rotation vector taking pose to goal, in the base frame."""
    return np.concatenate([goal[:3, 3] - pose[:3, 3], rotation_log(goal[:3, :3] @ pose[:3, :3].T)])


def arm_jacobian(q, offsets):
    frames = arm_frames(q, offsets)
    flange = frames[-1][:3, 3]
    jacobian = np.zeros((6, 6))
    for i in range(6):
        axis, origin = frames[i][:3, 2], frames[i][:3, 3]
        jacobian[:3, i] = np.cross(axis, flange - origin)
        jacobian[3:, i] = axis
    return jacobian


def damped_gauss_newton(goal, offsets, q, iterations=100, damping=1e-2, max_step=0.5):
    q = np.array(q, dtype=float)
    for _ in range(iterations):
        residual = pose_residual(goal, arm_flange(q, offsets))
        if np.linalg.norm(residual) < 1e-13:
            break
        jacobian = arm_jacobian(q, offsets)
        damping_squared = (damping * min(1.0, np.linalg.norm(residual))) ** 2
        step = jacobian.T @ np.linalg.solve(jacobian @ jacobian.T + damping_squared * np.eye(6), residual)
        q += step * min(1.0, max_step / np.linalg.norm(step))
    residual = pose_residual(goal, arm_flange(q, offsets))
    return q, float(np.linalg.norm(residual[:3])), float(np.linalg.norm(residual[3:]))


def arm_ik(goal, offsets):
    """Joint angles that put the flange at goal (base frame), or None; with the residual (m, rad)."""
    wrist = goal[:3, 3] - ARM_DH[5, 0] * goal[:3, 2]
    residuals = (np.inf, np.inf)
    for start in ARM_IK_STARTS:
        q, position, rotation = damped_gauss_newton(goal, offsets, [math.atan2(wrist[1], wrist[0]), *start])
        if position < 1e-9 and rotation < 1e-9:
            return q, (position, rotation)
        residuals = min(residuals, (position, rotation))
    return None, residuals


def arm_T_scene():
    """The scene's robot frame in the arm's base frame: the scene's cameras look up its z axis at the board,
    so it is turned half a turn about x, and shifted to put the board's centre at ARM_BOARD_CENTRE."""
    target = _velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100")
    world_T_target = _velk.tf.pose_to_transformation_matrix(demo.WORLD_T_TARGET_POSE)
    centre = (world_T_target @ np.append(synthetic.board_center(target), 1.0))[:3]
    transform = np.eye(4)
    transform[:3, :3] = np.diag([1.0, -1.0, -1.0])
    transform[:3, 3] = ARM_BOARD_CENTRE - transform[:3, :3] @ centre
    return transform


def joint_offsets(seed):
    """True joint zero offsets of a seed [rad]: 0.02-0.05 deg each, random sign."""
    rng = np.random.default_rng([seed, 2])
    return np.radians(rng.uniform(*JOINT_OFFSET_RANGE_DEG, 6) * rng.choice([-1.0, 1.0], 6))


def keep_views(scene, keep):
    return dataclasses.replace(scene, **{f.name: [getattr(scene, f.name)[k] for k in keep]
                                         for f in dataclasses.fields(scene) if f.name.endswith(("_points", "_list"))})


def arm_reported_scene(scene, offsets, placement):
    """The eye-in-hand scene with the flange poses the arm reports from its nominal model while standing at
    the true ones (joint angles by inverse kinematics on the true model); views the arm cannot reach are
    dropped. Also the largest IK residual, and the true flange poses without the first and last joints'
    offsets: a fixed turn of the base and of the flange, which the hand-eye unknowns absorb."""
    scene_T_arm = np.linalg.inv(placement)
    inner_offsets = np.concatenate([[0.0], offsets[1:5], [0.0]])
    reported, varying, keep, worst = [], [], [], (0.0, 0.0)
    for k, true_pose in enumerate(scene.true_robot_T_tcp_list):
        q, residual = arm_ik(placement @ true_pose, offsets)
        if q is None:
            print(f"  IK failed for view {k}: residual {residual[0]:.2e} m, {residual[1]:.2e} rad", file=sys.stderr)
            continue
        worst = max(worst[0], residual[0]), max(worst[1], residual[1])
        reported.append(scene_T_arm @ arm_flange(q))
        varying.append(scene_T_arm @ arm_flange(q, inner_offsets))
        keep.append(k)
    return dataclasses.replace(keep_views(scene, keep), robot_T_tcp_list=reported), worst, varying


def flange_error_rms(true_poses, reported_poses):
    """RMS per flange axis of the reported flange poses' error (mm, deg), reported = true @ delta."""
    deltas = [pose_residual(np.linalg.inv(t) @ r, np.eye(4)) for t, r in zip(true_poses, reported_poses)]
    deltas = np.array(deltas)
    return rms_norm(deltas[:, :3]) * 1000, math.degrees(rms_norm(deltas[:, 3:]))


def arm_error(seeds, noise):
    """Eye-in-hand scenes as the arm with wrong joint zero offsets reports them."""
    setup, placement = SETUPS[0], arm_T_scene()
    comparison = Comparison()
    flange_errors, varying_errors, floors, worst, dropped = [], [], [], (0.0, 0.0), 0
    for seed in range(seeds):
        scene = pc.eye_in_hand_corners(num_views=12, noise_px=noise, seed=seed)
        offsets = joint_offsets(seed)
        scene, residual, varying = arm_reported_scene(scene, offsets, placement)
        dropped += 12 - len(scene.robot_T_tcp_list)
        worst = max(worst[0], residual[0]), max(worst[1], residual[1])
        flange_errors.append(flange_error_rms(scene.true_robot_T_tcp_list, scene.robot_T_tcp_list))
        varying_errors.append(flange_error_rms(varying, scene.robot_T_tcp_list))
        # The last joint's offset is a fixed turn of the flange about its axis: it moves the camera in the
        # reported flange frame, and no hand-eye solve can tell it apart from the camera's mounting.
        turn = np.eye(4)
        turn[:3, :3] = cv2.Rodrigues(np.array([0.0, 0.0, offsets[5]]))[0]
        floors.append(pc.transform_error(turn @ scene.tcp_T_camera, scene.tcp_T_camera))
        comparison.add(setup, scene, seed)
    return {"comparison": comparison, "flange_error": np.median(np.array(flange_errors), axis=0),
            "varying_error": np.median(np.array(varying_errors), axis=0),
            "floor": np.median(np.array(floors), axis=0), "worst_residual": worst, "dropped": dropped}


def print_arm_error(arm, args):
    comparison = arm["comparison"]
    reach = ARM_DH[0, 1] + ARM_DH[1, 1] + math.hypot(ARM_DH[2, 1], ARM_DH[3, 0])
    print(f"Configuration-dependent robot error (no target): 6-axis arm, {reach:.2f} m to the wrist centre, joint "
          f"zero offsets {JOINT_OFFSET_RANGE_DEG[0]}-{JOINT_OFFSET_RANGE_DEG[1]} deg each; eye-in-hand, 12 views, "
          f"{args.noise} px, intrinsics from the views, {args.arm_seeds} seeds")
    print(f"  board centre {np.hypot(*ARM_BOARD_CENTRE[:2]):.2f} m from the base axis, {-ARM_BOARD_CENTRE[2]:.2f} m "
          f"below the base; IK residual at most {arm['worst_residual'][0]:.1e} m, {arm['worst_residual'][1]:.1e} "
          f"rad; {arm['dropped']} views unreachable")
    print(f"  reported flange error, RMS per axis (median over seeds): {arm['flange_error'][0]:.3f} mm, "
          f"{arm['flange_error'][1]:.4f} deg; of which from joints 2-5, which varies with the arm's pose: "
          f"{arm['varying_error'][0]:.3f} mm, {arm['varying_error'][1]:.4f} deg")
    print(f"  last joint's offset alone, which no hand-eye solve can see: {arm['floor'][0] * 1000:.3f} mm, "
          f"{arm['floor'][1]:.4f} deg (median)")
    print(f"  {'solver':<32} {'median mm':>10} {'median deg':>11}")
    for method, (mm, deg) in comparison.closed_medians().items():
        print(f"  {method:<32} {mm * 1000:>10.3f} {deg:>11.4f}")
    for name, runs in (("refined, robot poses exact", comparison.today), ("refined, robot error modelled",
                                                                           comparison.new)):
        mm, deg = runs.median()
        print(f"  {name:<32} {mm * 1000:>10.3f} {deg:>11.4f}")
    noise = comparison.new.median_noise()
    print(f"  estimated robot noise (median): {noise[0]:.3f} mm, {noise[1]:.4f} deg; corner noise "
          f"{np.median(comparison.new.pixel_noise):.3f} px")
    print(f"  predicted / observed: translation {comparison.new.tally.honesty('translation'):.2f}, rotation "
          f"{comparison.new.tally.honesty('rotation'):.2f} (robot exact: "
          f"{comparison.today.tally.honesty('translation'):.2f}, {comparison.today.tally.honesty('rotation'):.2f})")
    print(f"  kept the closed form: {comparison.today.kept} exact, {comparison.new.kept} modelled; runs flagging "
          f"poses {comparison.new.flagged}, noise unsettled {comparison.new.unsettled}, noise warning "
          f"{comparison.new.warned}")


def cost(repeats):
    """Seconds of the whole calibration without and with refinement, the best of repeats runs of each
    (alternating, so that a busy machine slows both alike)."""
    scene = demo.simulate_eye_in_hand(num_poses=15, seed=7)
    times = {False: [], True: []}
    for _ in range(repeats):
        for refined in (False, True):
            calibrator = _velk.EyeInHandCalibrator(scene.target)
            with quiet():
                begin = time.perf_counter()
                result = calibrator.calibrate(scene.robot_T_tcp_list, scene.images, "TSAI", refine=refined)
                times[refined].append(time.perf_counter() - begin)
            assert result.ok and result.refined == refined
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=30)
    parser.add_argument("--noise", type=float, default=0.3, help="corner noise, pixels per axis")
    parser.add_argument("--arm-seeds", type=int, default=10, help="seeds of the configuration-dependent robot error")
    parser.add_argument("--repeats", type=int, default=5, help="runs of each calibration in the cost section")
    parser.add_argument("--quick", action="store_true", help="4 seeds, 2 arm seeds, 1 repeat: checks the script runs")
    args = parser.parse_args()
    if args.quick:
        args.seeds, args.arm_seeds, args.repeats = 4, 2, 1
    begin = time.perf_counter()

    print_eye_in_hand(eye_in_hand(args.seeds, args.noise), args, "intrinsics from the views")
    # What bounds the rotation: the principal point, which 12 views determine to about a pixel
    # and which a small camera rotation imitates. Fixing the tangential terms (a lens without
    # decentring) determines it better; the true intrinsics remove it.
    print()
    print_eye_in_hand(eye_in_hand(args.seeds, args.noise, flags=cv2.CALIB_ZERO_TANGENT_DIST), args,
                      "intrinsics from the views without tangential distortion")
    print()
    print_eye_in_hand(eye_in_hand(args.seeds, args.noise, given_intrinsics=True), args, "true intrinsics, fixed")

    for label, given in (("intrinsics per camera from its views", False), ("true intrinsics, fixed", True)):
        rigs = rig(args.seeds, args.noise, given_intrinsics=given)
        print(f"\nRig, 3 cameras, 15 frames, {args.noise} px, {label}, {args.seeds} seeds "
              f"({rigs['failures']} kept pairwise)")
        print(f"  pairwise median: {rigs['pairwise'][0] * 1000:.3f} mm {rigs['pairwise'][1]:.4f} deg")
        print(f"  refined median:  {rigs['refined'][0] * 1000:.3f} mm {rigs['refined'][1]:.4f} deg")
        print(f"  refined / pairwise: translation {rigs['translation_ratio']:.2f}, "
              f"rotation {rigs['rotation_ratio']:.2f} (target <= 0.7)")
        print(f"  predicted sigma / observed spread: translation {rigs['translation_honesty']:.2f}, "
              f"rotation {rigs['rotation_honesty']:.2f} (target 0.7-1.3)")
        print_rotation_limit(rigs, "pairwise", target_ratio=0.7)

    verdicts = Verdicts()
    for setup in SETUPS:
        print()
        print_robot_error(setup, {level: robot_error_level(setup, level, args.seeds, args.noise)
                                  for level in ROBOT_ERROR_LEVELS}, args, verdicts)

    print()
    print_arm_error(arm_error(args.arm_seeds, args.noise), args)

    times = {k: min(v) for k, v in cost(args.repeats).items()}
    print(f"\nCost, 15-view image-based eye-in-hand calibration, best of {args.repeats}: {times[False]:.2f} s without, "
          f"{times[True]:.2f} s with refinement ({100 * (times[True] / times[False] - 1):+.0f} %, target <= +50 %)")

    print(f"\nRobot pose error targets missed: {len(verdicts.missed) or 'none'}")
    for miss in verdicts.missed:
        print(f"  {miss}")
    print(f"\nBench time: {time.perf_counter() - begin:.0f} s")


if __name__ == "__main__":
    main()
