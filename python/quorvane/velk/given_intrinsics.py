"""How well intrinsics given with a dataset fit its pictures, against intrinsics the pictures give of their own.

A hand-eye solve takes given intrinsics as exact: a lens whose distortion is left out, or the focal length or
principal point of another camera, shows up downstream as robot noise and a shifted transform. When the
pictures hold enough views of the target to calibrate intrinsics themselves (:data:`MIN_VIEWS`), three figures
compare the two:

- held-out error: every picture posed from its own corners with the given intrinsics (RMS over its corners),
  against the same with intrinsics calibrated without that picture (the intrinsic calibration's held-out
  validation); the median over the same pictures of each, so that neither side has seen the picture it is
  judged on;
- radial pattern: the share of the residual under the given intrinsics that two more radial terms (k1 and k2
  added to the given ones, focal length and principal point held, every picture posed again) take away;
- parameters: each given value against the pictures' estimate and its 1-sigma, with the pixels the difference
  moves the detected corner it moves most (the distortion terms as a whole). Only where the pictures see the
  board in planes that turn against one another (:data:`MIN_BOARD_PLANE_TURN_DEG`): in parallel planes, as an arm
  that cannot tilt the board against the camera takes them (a SCARA, a gantry), the focal length trades off
  against the distance and the distortion, and the estimate's 1-sigma understates its error many times over.

The estimate uses the lens model and the distortion terms of the given record, so that like is compared with
like. Every step is deterministic: OpenCV runs on one thread here and the held-out folds are the library's
fixed ones.
"""

from __future__ import annotations

import contextlib
import math
from dataclasses import dataclass, field

import numpy as np

import _velk

from . import lens

#: Fewest pictures with the target for an estimate of the pictures' own: leaving one out keeps seven views
#: for the four camera-matrix terms and up to five distortion terms, and their 1-sigma means something.
MIN_VIEWS = 8

#: Names of the distortion terms in OpenCV's order, per lens model.
DISTORTION_NAMES = {
    "pinhole": ("k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6", "s1", "s2", "s3", "s4", "tx", "ty"),
    "fisheye": ("k1", "k2", "k3", "k4"),
}
CAMERA_MATRIX_NAMES = ("fx", "fy", "cx", "cy")
#: Below this largest turn between the planes the pictures see the board in, their own camera matrix is not
#: determined and the parameters are not compared. A rendered 15-view gantry capture (every plane parallel)
#: estimated fy 308 px off at 10 sigma; hand-held and 6-axis captures turn the board by tens of degrees.
MIN_BOARD_PLANE_TURN_DEG = 5.0


@dataclass(frozen=True)
class ParameterComparison:
    """One intrinsic parameter: the given value, the pictures' estimate with its 1-sigma, and how far (px) the
    difference moves the detected corner it moves most."""

    name: str
    given: float
    estimate: float
    sigma: float
    effect_px: float

    @property
    def sigmas(self) -> float:
        """The difference in units of the estimate's 1-sigma (infinite for a held term that differs)."""
        difference = abs(self.given - self.estimate)
        if self.sigma > 0.0:
            return difference / self.sigma
        return 0.0 if difference == 0.0 else math.inf

    def given_text(self) -> str:
        """The given value as the text shows it: pixels to a tenth, distortion terms to four digits."""
        given = self.given + 0.0  # no "-0"
        return f"{given:.1f} px" if self.name in CAMERA_MATRIX_NAMES else f"{given:.4g}"

    def estimate_text(self) -> str:
        """"1021.3 +- 2.1 px", "-0.145 +- 0.013"."""
        if self.name in CAMERA_MATRIX_NAMES:
            return f"{self.estimate:.1f} +- {self.sigma:.1f} px"
        return f"{self.estimate:.4g} +- {self.sigma:.2g}"


@dataclass
class GivenIntrinsicsComparison:
    """The given intrinsics against the pictures' own; ``compared`` False (with ``reason``) when the pictures do
    not allow an estimate. Pixels throughout; ``radial_share`` is a fraction of the residual's sum of squares."""

    compared: bool
    reason: str = ""
    views: int = 0
    given_held_out_px: float = math.nan
    own_held_out_px: float = math.nan
    radial_share: float = math.nan
    radial_px: float = math.nan
    parameters: list = field(default_factory=list)
    given_distortion_free: bool = False
    camera_model: str = "pinhole"
    #: The largest angle (deg) between the board planes of two pictures.
    board_plane_turn_deg: float = math.nan

    @property
    def parameters_determined(self) -> bool:
        """Whether the board planes turn enough against one another for the pictures' own camera matrix to be
        compared with the given one."""
        return not self.board_plane_turn_deg < MIN_BOARD_PLANE_TURN_DEG  # unmeasured (NaN): compared

    @property
    def held_out_ratio(self) -> float:
        """How many times the pictures' own held-out error the given intrinsics' is."""
        if self.own_held_out_px > 0.0:
            return self.given_held_out_px / self.own_held_out_px
        return math.nan

    def lines(self, source: str) -> list[str]:
        """The figures as the commands print them, naming the given intrinsics by ``source``."""
        if not self.compared:
            return [f"Given intrinsics ({source}) not compared with the pictures: {self.reason}"]
        lines = [f"Given intrinsics ({source}) against the pictures' own ({self.views} pictures):",
                 f"  held-out error: {self.given_held_out_px:.3f} px with them, {self.own_held_out_px:.3f} px with "
                 f"intrinsics calibrated without each picture ({self.held_out_ratio:.2f}x; medians)",
                 f"  radial pattern: {100.0 * self.radial_share:.1f} % of the residual with them "
                 f"({self.radial_px:.3f} px RMS) goes with two more radial terms"]
        if not self.parameters_determined:
            lines.append(f"  the pictures see the board in planes within {self.board_plane_turn_deg:.1f} deg of one "
                         "another: their own intrinsics are not determined, and the values below are not judged")
        distortion_effect_px = None
        for p in self.parameters:
            line = (f"  {p.name:<3} {p.given_text():>12} given, {p.estimate_text():>22} from the pictures "
                    f"({p.sigmas:.1f} sigma")
            if p.name in CAMERA_MATRIX_NAMES:
                line += f"; moves a corner {p.effect_px:.2f} px"
            else:
                distortion_effect_px = p.effect_px
            lines.append(line + ")")
        if distortion_effect_px is not None:
            lines.append(f"  the given distortion as a whole moves a corner {distortion_effect_px:.2f} px")
        return lines


def compare_given_intrinsics(target, images, camera_matrix, distortion, options=None) -> GivenIntrinsicsComparison:
    """The given intrinsics (camera matrix, distortion of ``options.camera_model``) against intrinsics calibrated
    from ``images`` with ``options`` (detection settings, lens model, picture names; not changed)."""
    base = options if options is not None else _velk.IntrinsicOptions()
    model = base.camera_model
    given_matrix = np.asarray(camera_matrix, np.float64)
    given_distortion = np.ravel(np.asarray(distortion, np.float64))
    calibrator = _velk.IntrinsicCalibrator(target, _estimate_options(base, given_distortion.size))
    with _one_thread():
        result = calibrator.calibrate(images, validate=True)
    reason = _why_not_compared(result)
    if reason:
        return GivenIntrinsicsComparison(False, reason, camera_model=model)
    views = _validated_views(calibrator.detections(), result.validation)
    estimate = (np.asarray(result.intrinsic_matrix, np.float64),
                np.ravel(np.asarray(result.distortion_coefficients, np.float64)))
    with _one_thread():
        given_rms, radial_share, radial_px = _given_fit(views, given_matrix, given_distortion,
                                                        images[0].shape[1::-1], model)
        plane_turn_deg = _board_plane_turn_deg(views, given_matrix, given_distortion, model)
    return GivenIntrinsicsComparison(
        True, views=len(views), given_held_out_px=float(np.median(given_rms)),
        own_held_out_px=float(np.median([v.own_held_out_px for v in views])),
        radial_share=radial_share, radial_px=radial_px,
        parameters=_parameter_comparisons(views, (given_matrix, given_distortion), estimate,
                                          np.ravel(result.std_deviations_intrinsics), model),
        given_distortion_free=not np.any(given_distortion), camera_model=model, board_plane_turn_deg=plane_turn_deg)


def _given_fit(views, camera_matrix, distortion, image_size, model):
    """Per picture the RMS (px) of its corners posed with the given intrinsics; the share of their squared
    residuals that two more radial terms take away, and the RMS (px) of what they take."""
    rms, squares = _posed_residuals(views, camera_matrix, distortion, model)
    refitted = _with_radial_terms(views, camera_matrix, distortion, image_size, model)
    if refitted is None or not squares > 0.0:
        return rms, math.nan, math.nan
    share = max(0.0, 1.0 - _posed_residuals(views, camera_matrix, refitted, model)[1] / squares)
    corners = sum(len(v.image_points) for v in views)
    return rms, share, math.sqrt(share * squares / corners)


@dataclass(frozen=True)
class _View:
    object_points: np.ndarray
    image_points: np.ndarray
    own_held_out_px: float


def _why_not_compared(result) -> str:
    if not result.ok:
        return "the pictures could not be calibrated on their own"
    found = len(result.successful_indices)
    if found < MIN_VIEWS:
        return f"only {found} pictures show the target; an estimate of their own needs at least {MIN_VIEWS}"
    validation = result.validation
    if validation is None or not validation.validated or len(validation.frames) < MIN_VIEWS:
        return "too few pictures could be predicted by intrinsics calibrated without them"
    sigmas = np.ravel(result.std_deviations_intrinsics)
    if sigmas.size < 4 or not np.all(np.isfinite(sigmas)):
        return "the pictures do not determine intrinsics of their own"
    return ""


def _validated_views(detections, validation) -> list:
    """The pictures the held-out validation predicted, in frame order, with their corners."""
    position = {int(frame): k for k, frame in enumerate(detections.successful_indices)}
    views = []
    for frame, held_out in zip(validation.frames, validation.held_out_rms_px):
        k = position[int(frame)]
        views.append(_View(np.asarray(detections.object_points[k], np.float64).reshape(-1, 3),
                           np.asarray(detections.image_points[k], np.float64).reshape(-1, 2), float(held_out)))
    return views


def _estimate_options(base, distortion_terms: int):
    """A copy of ``base`` whose pinhole calibration solves the distortion terms a record of that many holds."""
    import cv2

    options = _velk.IntrinsicOptions()
    for name, attribute in vars(type(base)).items():
        if isinstance(attribute, property) and attribute.fset is not None:
            setattr(options, name, getattr(base, name))
    if options.camera_model == "pinhole":
        options.calibrate_camera_flags = {
            4: cv2.CALIB_FIX_K3,
            8: cv2.CALIB_RATIONAL_MODEL,
            12: cv2.CALIB_RATIONAL_MODEL | cv2.CALIB_THIN_PRISM_MODEL,
            14: cv2.CALIB_RATIONAL_MODEL | cv2.CALIB_THIN_PRISM_MODEL | cv2.CALIB_TILTED_MODEL,
        }.get(distortion_terms, 0)
    return options


@contextlib.contextmanager
def _one_thread():
    """OpenCV's solvers on one thread, so that the figures are the same on every machine."""
    import cv2

    threads = cv2.getNumThreads()
    cv2.setNumThreads(1)
    try:
        yield
    finally:
        cv2.setNumThreads(threads)


def _posed_residuals(views, camera_matrix, distortion, model):
    """Per picture the RMS (px) of its corners posed from themselves through these intrinsics, and the sum of
    squared residuals over all pictures."""
    rms, total = [], 0.0
    for view in views:
        ok, rvec, tvec = lens.solve_pose(view.object_points, view.image_points, camera_matrix, distortion, model)
        if not ok:
            rms.append(math.inf)
            continue
        projected = lens.project_points(view.object_points, rvec, tvec, camera_matrix, distortion, model)
        squares = float(np.sum((projected - view.image_points) ** 2))
        rms.append(math.sqrt(squares / len(view.image_points)))
        total += squares
    return np.asarray(rms), total


def _board_plane_turn_deg(views, camera_matrix, distortion, model) -> float:
    """The largest angle (deg) between the board's normals in two pictures, each posed through these intrinsics."""
    import cv2

    normals = []
    for view in views:
        ok, rvec, _ = lens.solve_pose(view.object_points, view.image_points, camera_matrix, distortion, model)
        if ok:
            normals.append(cv2.Rodrigues(np.asarray(rvec, np.float64))[0][:, 2])
    if len(normals) < 2:
        return math.nan
    cosines = np.clip(np.asarray(normals) @ np.asarray(normals).T, -1.0, 1.0)
    return float(np.degrees(np.arccos(np.min(cosines))))


def _with_radial_terms(views, camera_matrix, distortion, image_size, model):
    """The given distortion with its first two radial terms fitted to the pictures, everything else held; None
    when the fit fails."""
    import cv2

    objects = [v.object_points.reshape(-1, 1, 3) for v in views]
    points = [v.image_points.reshape(-1, 1, 2) for v in views]
    size = (int(image_size[0]), int(image_size[1]))
    criteria = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 100, np.finfo(float).eps)
    try:
        if model == "fisheye":
            flags = (cv2.fisheye.CALIB_USE_INTRINSIC_GUESS | cv2.fisheye.CALIB_RECOMPUTE_EXTRINSIC
                     | cv2.fisheye.CALIB_FIX_SKEW | cv2.fisheye.CALIB_FIX_K3 | cv2.fisheye.CALIB_FIX_K4
                     | cv2.fisheye.CALIB_FIX_FOCAL_LENGTH | cv2.fisheye.CALIB_FIX_PRINCIPAL_POINT)
            _, _, fitted, _, _ = cv2.fisheye.calibrate(objects, points, size, camera_matrix.copy(),
                                                       distortion.reshape(1, -1).copy(), flags=flags,
                                                       criteria=criteria)
        else:
            start, flags = _pinhole_start(distortion)
            _, _, fitted, _, _ = cv2.calibrateCamera([o.astype(np.float32) for o in objects],
                                                     [p.astype(np.float32) for p in points], size,
                                                     camera_matrix.copy(), start, flags=flags, criteria=criteria)
    except cv2.error:
        return None
    fitted = np.ravel(fitted)[:max(distortion.size, 4)]
    return fitted if np.all(np.isfinite(fitted)) else None


def _pinhole_start(distortion):
    """(start, calibrateCamera flags) that free k1 and k2 alone and keep every other term of ``distortion``."""
    import cv2

    flags = (cv2.CALIB_USE_INTRINSIC_GUESS | cv2.CALIB_FIX_FOCAL_LENGTH | cv2.CALIB_FIX_PRINCIPAL_POINT
             | cv2.CALIB_FIX_TANGENT_DIST | cv2.CALIB_FIX_K3 | cv2.CALIB_FIX_K4 | cv2.CALIB_FIX_K5
             | cv2.CALIB_FIX_K6 | cv2.CALIB_FIX_S1_S2_S3_S4 | cv2.CALIB_FIX_TAUX_TAUY)
    if distortion.size >= 8:
        flags |= cv2.CALIB_RATIONAL_MODEL
    if distortion.size >= 12:
        flags |= cv2.CALIB_THIN_PRISM_MODEL
    if distortion.size >= 14:
        flags |= cv2.CALIB_TILTED_MODEL
    start = np.zeros(max(distortion.size, 5))
    start[:distortion.size] = distortion
    return start.reshape(1, -1), flags


def _parameter_comparisons(views, given, estimate, sigmas, model) -> list:
    """fx, fy, cx, cy and each distortion term, given against estimated. The effect of a camera-matrix term is its
    own; the distortion terms share the effect of the given distortion as a whole, since the terms trade off
    against one another."""
    (given_matrix, given_distortion), (matrix, distortion) = given, estimate
    corners = np.vstack([v.image_points for v in views])
    rays = lens.normalized_points(corners, matrix, distortion, model)
    pixels = lens.pixels_of_normalized(rays, matrix, distortion, model)

    def moved(other_matrix, other_distortion) -> float:
        other = lens.pixels_of_normalized(rays, other_matrix, other_distortion, model)
        return float(np.max(np.linalg.norm(other - pixels, axis=1)))

    comparisons = []
    for k, (name, (row, column)) in enumerate(zip(CAMERA_MATRIX_NAMES, ((0, 0), (1, 1), (0, 2), (1, 2)))):
        replaced = matrix.copy()
        replaced[row, column] = given_matrix[row, column]
        comparisons.append(ParameterComparison(name, float(given_matrix[row, column]), float(matrix[row, column]),
                                               float(sigmas[k]), moved(replaced, distortion)))
    terms = given_distortion.size
    estimated = np.zeros(max(terms, distortion.size))
    estimated[:distortion.size] = distortion
    distortion_effect = moved(matrix, given_distortion)
    for k, name in enumerate(DISTORTION_NAMES[model][:terms]):
        sigma = float(sigmas[4 + k]) if 4 + k < sigmas.size else math.nan
        comparisons.append(ParameterComparison(name, float(given_distortion[k]), float(estimated[k]), sigma,
                                               distortion_effect))
    return comparisons
