"""The verdict of velk cell: every camera's residual, the robot's noise, the poses the cameras share and, when
validated, every camera's held-out error."""

from __future__ import annotations

from .hand_eye_checks import held_out_check, rms_check
from .judgement import Check, Verdict
from .limits import MAX_ROBOT_NOISE_DEG, MAX_ROBOT_NOISE_MM

#: Fewer robot poses than this pictured by a camera and another: their relative pose comes through the robot.
MIN_SHARED_POSES = 3


def shared_pose_counts(result) -> list[int]:
    """Per camera, how many of its robot poses another camera pictured too."""
    counts = list(result.refinement.pose_camera_counts)
    return [sum(1 for pose in start.poses if counts[pose] > 1) for start in result.starts]


def shared_pose_check(result, names) -> Check:
    if len(names) < 2:
        return Check("shared robot poses", None, "one camera")
    shared = shared_pose_counts(result)
    alone = [name for name, count in zip(names, shared) if count < MIN_SHARED_POSES]
    figures = ", ".join(f"{name} {count}" for name, count in zip(names, shared))
    if alone:
        figures += (f"; {', '.join(alone)} share(s) fewer than {MIN_SHARED_POSES} poses with another camera: their "
                    "pose to the others rests on the robot's accuracy (larger sigma)")
    return Check("shared robot poses", None, figures)


def robot_noise_check(refinement, estimated: bool) -> Check:
    if not estimated:
        return Check("estimated robot noise", None, "given")
    mm, deg = refinement.robot_translation_noise_mm, refinement.robot_rotation_noise_deg
    figures = f"{mm:.2f} mm, {deg:.3f} deg per axis" + ("" if refinement.noise_settled else " (not settled)")
    return Check("estimated robot noise", mm <= MAX_ROBOT_NOISE_MM and deg <= MAX_ROBOT_NOISE_DEG, figures,
                 f"{MAX_ROBOT_NOISE_MM:g} mm, {MAX_ROBOT_NOISE_DEG:g} deg")


def judge_cell(result, noise_estimated: bool = True) -> Verdict:
    verdict = Verdict(subject="cell")
    names = list(result.camera_names)
    if not result.ok:
        verdict.checks.append(Check("calibration", False, result.reason))
        return verdict
    refinement = result.refinement
    for name, rms in zip(names, refinement.camera_rms_px):
        verdict.checks.append(rms_check(float(rms), f"reprojection RMS, {name}"))
    verdict.checks.append(robot_noise_check(refinement, noise_estimated))
    verdict.checks.append(shared_pose_check(result, names))
    for name, validation in zip(names, result.validations):
        check = held_out_check(validation)
        check.name = f"{check.name}, {name}"
        verdict.checks.append(check)
    return verdict
