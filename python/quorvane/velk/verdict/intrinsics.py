"""The verdict of velk intrinsics: fit, held-out error and whether the pictures determine every term."""

from __future__ import annotations

import math

import numpy as np

from ..capture_spread import board_tilts_deg, corner_reach
from ..distortion_field import EXTRAPOLATION_WARNING_PX, extrapolation
from ..distortion_model_choice import simpler_model_without
from ..intrinsic_sigmas import CAMERA_TERMS, camera_parameters, corner_shift_px, distortion_parameters
from .hand_eye_checks import rms_check
from .judgement import Check, Verdict
from .limits import (
    FEW_INTRINSIC_PICTURES,
    MAX_EXTRAPOLATION_GROWTH,
    MAX_FOCAL_SIGMA_SHARE,
    MAX_HELD_OUT_OVER_FITTED,
    MAX_PLAUSIBLE_SQUARE_M,
    MAX_PRINCIPAL_POINT_SIGMA_SHARE,
    MIN_INTRINSIC_VIEWS,
    MIN_UNDETERMINED_SHIFT_PX,
    RATIONAL_TERMS,
    SMALL_CORNER_REACH,
    SMALL_TILT_DEG,
)


def judge_intrinsics(result, image_count: int, square_size_m: float | None = None, image_size=None,
                     object_points=None) -> Verdict:
    """The verdict on an intrinsic result: its RMS and views, and, given the picture size (width, height), whether
    the pictures determine it (see :func:`determinacy_checks`). ``object_points`` (the detections' board points of
    the result's views) let the likely cause say how far the pictures tilt the board."""
    verdict = Verdict(subject="intrinsic")
    verdict.checks.append(_reprojection_check(result, object_points))
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


def corner_rms_px(result, object_points) -> float | None:
    """RMS over every corner of the result's views, from their per-view RMS and corner counts (``object_points``:
    the board points of each view); None without them."""
    errors = np.asarray(result.per_view_errors, np.float64)
    if object_points is None or len(object_points) != len(errors) or not len(errors):
        return None
    counts = np.array([len(np.asarray(points).reshape(-1, 3)) for points in object_points], np.float64)
    return float(np.sqrt(np.sum(errors ** 2 * counts) / counts.sum())) if counts.sum() else None


def _reprojection_check(result, object_points) -> Check:
    """The reprojection RMS over every corner, the figure the console and the report name so; without the views'
    corners, the library's reprojection_error (the mean over views of the error norm over the corner count), under
    its own name."""
    rms = corner_rms_px(result, object_points)
    if rms is not None:
        return rms_check(rms)
    return rms_check(float(result.reprojection_error), "reprojection_error (mean over views of |e|/N)")


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
        apart = [name for name in getattr(result, "undetermined_parameters", ()) if name not in CAMERA_TERMS]
        held = (f"; the pictures do not determine {', '.join(apart)} apart from the other terms (held at "
                f"{'its' if len(apart) == 1 else 'their'} value{'' if len(apart) == 1 else 's'} for the 1-sigma)"
                if apart else "")
        return Check("distortion terms", True, f"{model} model: its terms are judged together by the held-out "
                     f"error and the growth beyond the observed corners{held}")
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
