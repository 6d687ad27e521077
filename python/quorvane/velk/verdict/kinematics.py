"""The verdict of velk kinematics."""

from __future__ import annotations

from .judgement import Check, Verdict
from .limits import (
    MAX_KINEMATIC_HELD_OUT_FACTOR,
    MAX_KINEMATIC_MEAN_DEG,
    MAX_KINEMATIC_MEAN_MM,
)


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
