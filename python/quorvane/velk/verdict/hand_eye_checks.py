"""The checks of a hand-eye result: reprojection, consistency, distance, rotations, solvers, robot noise,
held-out error and the board's size."""

from __future__ import annotations

import math

import numpy as np

from ..solver_agreement import SOLVER_LIMIT, SolverAgreement, solver_agreement  # noqa: F401 (re-exported)
from .judgement import Check
from .limits import (
    CONSISTENCY_FACTOR,
    MAX_HELD_OUT_DEG,
    MAX_HELD_OUT_MM,
    MAX_PLAUSIBLE_DISTANCE_M,
    MAX_RMS_PX,
    MAX_ROBOT_NOISE_DEG,
    MAX_ROBOT_NOISE_MM,
    MIN_AXIS_SPAN_RATIO,
    NOMINAL_ROBOT_NOISE_DEG,
    NOMINAL_ROBOT_NOISE_MM,
)

UNDEFINED_SOLVERS = {
    "one axis": "undefined: every turn of the robot is about one axis, where the general closed forms return an "
                "arbitrary value along it",
    "no turn": "undefined: the robot does not turn, where the general closed forms return an arbitrary value",
}


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


def solver_check(method_results, motion: str | None = None) -> Check:
    """The solver agreement of a method comparison as a check (see :func:`solver_agreement`); not judged when
    ``motion`` (``diagnostics.restricted_motion``) is "one axis" (every turn of the robot is about one axis) or
    "no turn", where the general closed forms are undefined."""
    if motion in UNDEFINED_SOLVERS:
        return Check("solver agreement", None, UNDEFINED_SOLVERS[motion])
    agreement = solver_agreement(method_results)
    if len(agreement.solved) < 2:
        return Check("solver agreement", False, f"{len(agreement.solved)} solver(s) gave a result", "2 solvers")
    figures = (f"largest distance from the consensus {agreement.largest_mm:.2f} mm, {agreement.largest_deg:.3f} deg "
               f"over {len(agreement.solved)} solvers; outliers: {', '.join(agreement.outliers) or 'none'}")
    if agreement.failed:
        figures += f"; failed: {', '.join(agreement.failed)}"
    return Check("solver agreement", agreement.passed, figures, SOLVER_LIMIT)


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


def _component_names(outcomes) -> str:
    return ", ".join(f"{o.component} of {o.transform}" for o in outcomes)


def mount_component_check(refinement) -> Check | None:
    """Whether every component the robot's motions leave undetermined was given (--fix, --prior): a failure while
    one is held where the closed form put it; None when the motions determine every component."""
    outcomes = [] if refinement is None else list(refinement.mount_components)
    undetermined = [o for o in outcomes if o.undetermined]
    if not undetermined:
        return None
    held = [o for o in undetermined if o.source == "held"]
    if held:
        return Check("undetermined components", False,
                     f"{_component_names(held)} not determined by the robot's motions; held where the closed form "
                     "put it, not measured", "each given with --fix or --prior")
    return Check("undetermined components", True,
                 ", ".join(f"{o.component} of {o.transform} {o.source}" for o in undetermined) + " (given)",
                 "each given with --fix or --prior")


def mount_component_causes(refinement) -> list[str]:
    """What completes each held component: its sentence, the measurement and the option that gives it."""
    causes = []
    for o in refinement.mount_components:
        if o.source != "held":
            continue
        option = ("" if o.component.startswith("r") else
                  f", and give it with --fix {o.component}=M or --prior {o.component}=M:SIGMA (metres)")
        causes.append(f"{o.sentence}; {o.measurement}{option}")
    return causes
