"""The verdicts of velk hand-eye and velk check."""

from __future__ import annotations

import math

import numpy as np

from .given_intrinsics import given_intrinsics_causes, given_intrinsics_check
from .hand_eye_checks import (
    board_size_cause,
    board_size_check,
    chain_held_out_check,
    consistency_check,
    distance_check,
    explained_spread_mm,
    held_out_check,
    mount_component_causes,
    mount_component_check,
    rms_check,
    robot_noise_check,
    rotation_check,
    solver_check,
)
from .judgement import Check, Verdict
from .likely_causes import pose_causes, unit_causes
from .limits import CONSISTENCY_FACTOR


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

    rotations = rotation_check(diagnostics.analyze_rotation_variety(cameras) if len(cameras) > 1 else None)
    mount = mount_component_check(result.refinement)
    if mount is not None and mount.passed:
        # The turns about too few axes leave components undetermined; those are given.
        rotations = Check(rotations.name, None, rotations.figures + "; what the turns leave undetermined is given")
    verdict.checks.append(rotations)
    if mount is not None:
        verdict.checks.append(mount)
        if not mount.passed:
            verdict.causes += mount_component_causes(result.refinement)
    if method_results is not None:
        motion = diagnostics.restricted_motion(list(result.valid_robot_T_tcp_list))
        verdict.checks.append(solver_check(method_results, motion))
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
    from _velk import diagnostics

    motion = diagnostics.restricted_motion(list(robot_T_tcp_list))
    verdict.checks.append(solver_check(method_results, motion))
    flange = "tcp_T_target" if eye_to_hand else "tcp_T_camera"
    if motion == "one axis":
        verdict.causes.append(f"every turn of the robot is about one axis, so the offset of {flange} along it "
                              "cannot be determined: measure it and give it to velk hand-eye with --fix or --prior")
    elif motion == "no turn":
        verdict.causes.append(f"the robot does not turn, so the offset of {flange} cannot be determined: measure "
                              "tx, ty and tz and give them to velk hand-eye with --fix or --prior")
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
