"""Given intrinsics against the pictures' own."""

from __future__ import annotations

import math

from ..given_intrinsics import CAMERA_MATRIX_NAMES
from .judgement import Check

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
    figures = (f"{source}: held-out {comparison.given_held_out_px:.3f} px against {comparison.own_held_out_px:.3f} px "
               f"with the pictures' own ({comparison.held_out_ratio:.2f}x), radial pattern "
               f"{100.0 * comparison.radial_share:.1f} % ({comparison.radial_px:.2f} px), ")
    if comparison.parameters_determined:
        worst = max(comparison.parameters, key=lambda p: (parameter_differs(p), p.sigmas))
        figures += f"largest difference {worst.name} {worst.sigmas:.1f} sigma (moves a corner {worst.effect_px:.1f} px)"
    else:
        figures += (f"parameters not compared (the board planes turn {comparison.board_plane_turn_deg:.1f} deg "
                    "against one another)")
    passed = not (held_out_worse(comparison) or radial_pattern(comparison) or _judged_differences(comparison))
    return Check("given intrinsics", passed, figures,
                 f"{MAX_GIVEN_HELD_OUT_RATIO:g}x and {MIN_GIVEN_HELD_OUT_EXCESS_PX:g} px; {100 * MAX_RADIAL_SHARE:g} % "
                 f"and {MIN_RADIAL_PX:g} px; {MAX_PARAMETER_SIGMAS:g} sigma and {MIN_PARAMETER_EFFECT_PX:g} px")


def _judged_differences(comparison) -> list:
    """The parameters that differ beyond the limits, where the pictures determine their own."""
    if not comparison.parameters_determined:
        return []
    return sorted((p for p in comparison.parameters if parameter_differs(p)), key=lambda p: -p.sigmas)


def _against(parameter, source: str) -> str:
    """"fx 1043.0 px in intrinsics.json against 1021.3 +- 2.1 px from the pictures"."""
    return (f"{parameter.name} {parameter.given_text()} in {source} against {parameter.estimate_text()} from the "
            "pictures")


def given_intrinsics_causes(comparison, source: str) -> list[str]:
    """What is wrong with the given intrinsics and the fix, when their check fails."""
    if not comparison.compared:
        return []
    fix = "calibrate the intrinsics from the pictures (omit --intrinsics) or give"
    differing = _judged_differences(comparison)
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
