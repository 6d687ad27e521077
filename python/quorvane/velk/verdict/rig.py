"""The verdict of velk rig."""

from __future__ import annotations

import math

from .hand_eye_checks import rms_check
from .judgement import Check, Verdict
from .limits import MAX_RMS_PX


def judge_rig(result, pair_errors) -> Verdict:
    verdict = Verdict(subject="rig")
    errors = [e for e in pair_errors if math.isfinite(e)]
    verdict.checks.append(Check("stereo RMS", bool(errors) and max(errors) <= MAX_RMS_PX,
                                ", ".join(f"{e:.3f} px" for e in errors) or "none", f"{MAX_RMS_PX:g} px"))
    refinement = result.refinement
    if refinement is not None and refinement.refined:
        verdict.checks.append(rms_check(float(refinement.rms_px), "refined reprojection RMS"))
    return verdict
