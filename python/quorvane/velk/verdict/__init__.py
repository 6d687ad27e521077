"""Whether a calibration result can be trusted, judged from what the library measured.

A :class:`Verdict` holds an exit code (0 good, 1 not trustworthy), one line of text and the
checks it was judged on, each with its figures and limit. Where a failure has a likely
cause (robot poses shifted against the pictures, a wrong quaternion order, lengths in the
wrong unit, the wrong board) the line names it.

The limits (``limits``, and beside the given intrinsics' checks) were set on rendered data: clean captures with a
robot that reports its flange to 0.5 mm / 0.05 deg per axis pass with a wide margin, and
poses shifted by one picture, a swapped quaternion order or a square length in millimetres
fail every time.

The checks live beside the verdict of each command: ``hand_eye`` (velk hand-eye, velk check) with its checks
(``hand_eye_checks``) and likely causes (``likely_causes``), ``given_intrinsics``, ``intrinsics``, ``rig``, ``cell`` and
``kinematics``; ``limits`` holds every limit, ``judgement`` the Check and the Verdict.
"""

from .cell import judge_cell
from .given_intrinsics import MAX_PARAMETER_SIGMAS, given_intrinsics_causes, given_intrinsics_check
from .hand_eye import judge_check, judge_hand_eye, kinematic_model_check
from .hand_eye_checks import solver_check
from .intrinsics import held_out_ratio, judge_intrinsics
from .judgement import Check, Verdict
from .kinematics import judge_kinematics
from .likely_causes import pairing_spread_mm, pose_causes, unit_causes
from .limits import (
    EXIT_NOT_TRUSTWORTHY,
    EXIT_OK,
    MAX_EXTRAPOLATION_GROWTH,
    MAX_HELD_OUT_OVER_FITTED,
)
from .rig import judge_rig

__all__ = [
    "EXIT_NOT_TRUSTWORTHY", "EXIT_OK", "MAX_EXTRAPOLATION_GROWTH", "MAX_HELD_OUT_OVER_FITTED", "MAX_PARAMETER_SIGMAS",
    "Check", "Verdict", "given_intrinsics_causes", "given_intrinsics_check", "held_out_ratio", "judge_check",
    "judge_cell", "judge_hand_eye", "judge_intrinsics", "judge_kinematics", "judge_rig", "kinematic_model_check",
    "pairing_spread_mm", "pose_causes", "solver_check", "unit_causes",
]
