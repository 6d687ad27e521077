"""Which pinhole distortion model the pictures support: the nested models k1; k1 k2; k1 k2 p1 p2; k1 k2 p1 p2 k3 and
the rational model, each calibrated and judged by how well it predicts every picture from a calibration solved
without that picture (the held-out validation of ``IntrinsicCalibrator.calibrate(images, validate=True)``).

The simplest model is kept unless a richer one predicts the held-out pictures clearly better: by at least
:data:`CLEAR_IMPROVEMENT` of the held-out RMS, on the pictures every candidate predicted. A term the lens does not
have costs held-out accuracy or gains almost nothing, while a term it has gains far more (``bench/distortion_model_
choice.py`` measures both on rendered views). A candidate whose distortion has no inverse at the picture's corners
(no ray maps there: the model folds back inside the picture) cannot describe the lens there and is passed over, unless
it predicts the held-out views clearly better than every model that maps the corners.

The fisheye model keeps its own four terms; the choice is among the pinhole models alone.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from .distortion_field import maps_picture_corners

# calibrateCamera's flags (OpenCV's calib3d), by value: the core binds no constants for them.
CALIB_ZERO_TANGENT_DIST = 8
CALIB_FIX_K1 = 32
CALIB_FIX_K2 = 64
CALIB_FIX_K3 = 128
CALIB_RATIONAL_MODEL = 16384
#: Every flag bit that says which distortion terms calibrateCamera solves for; a model replaces them all.
DISTORTION_FLAG_BITS = CALIB_ZERO_TANGENT_DIST | CALIB_FIX_K1 | CALIB_FIX_K2 | CALIB_FIX_K3 | CALIB_RATIONAL_MODEL

#: A richer model is taken only when its held-out RMS is at least this share below the simpler model's.
CLEAR_IMPROVEMENT = 0.03


@dataclass(frozen=True)
class DistortionModel:
    """A pinhole distortion model: its name on the command line, the terms it solves for and the calibrateCamera
    flags that fix all others."""

    name: str
    terms: tuple[str, ...]
    flags: int

    @property
    def label(self) -> str:
        """The terms as the command line prints them ("k1 k2 p1 p2")."""
        return " ".join(self.terms)


#: The nested candidates, simplest first.
DISTORTION_MODELS = (
    DistortionModel("k1", ("k1",), CALIB_FIX_K2 | CALIB_FIX_K3 | CALIB_ZERO_TANGENT_DIST),
    DistortionModel("k1k2", ("k1", "k2"), CALIB_FIX_K3 | CALIB_ZERO_TANGENT_DIST),
    DistortionModel("k1k2p", ("k1", "k2", "p1", "p2"), CALIB_FIX_K3),
    DistortionModel("k1k2pk3", ("k1", "k2", "p1", "p2", "k3"), 0),
    DistortionModel("rational", ("k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6"), CALIB_RATIONAL_MODEL),
)
MODEL_NAMES = tuple(model.name for model in DISTORTION_MODELS)
#: The model IntrinsicCalibrator solves with its default options (calibrateCamera without flags).
DEFAULT_MODEL = "k1k2pk3"


def distortion_model(name: str) -> DistortionModel:
    """The candidate of that name (see MODEL_NAMES)."""
    for model in DISTORTION_MODELS:
        if model.name == name:
            return model
    raise ValueError(f"distortion model must be one of {', '.join(MODEL_NAMES)}; got {name!r}")


def model_flags(base_flags: int, model: DistortionModel) -> int:
    """calibrateCamera flags of ``base_flags`` with its distortion terms replaced by the model's."""
    return (int(base_flags) & ~DISTORTION_FLAG_BITS) | model.flags


def calibrator_for(target, model: DistortionModel, options=None):
    """An IntrinsicCalibrator solving for the model's terms; ``options`` (IntrinsicOptions) is left as it was."""
    import _velk

    options = options if options is not None else _velk.IntrinsicOptions()
    given = options.calibrate_camera_flags
    options.calibrate_camera_flags = model_flags(given, model)
    try:
        return _velk.IntrinsicCalibrator(target, options)  # the calibrator keeps its own copy of the options
    finally:
        options.calibrate_camera_flags = given


@dataclass
class Candidate:
    """One model calibrated with held-out validation."""

    model: DistortionModel
    calibrator: object
    result: object

    @property
    def held_out_by_frame(self) -> dict:
        """Held-out RMS (px) by frame of the views validated; empty when the model was not validated."""
        validation = self.result.validation
        if not self.result.ok or validation is None or not validation.validated:
            return {}
        return {f: e for f, e in zip(validation.frames, validation.held_out_rms_px) if math.isfinite(e)}


@dataclass
class ModelChoice:
    """The chosen model with its calibrator and result, and every candidate's held-out RMS (px) over the pictures
    all of them predicted (NaN for a candidate that could not be validated)."""

    model: DistortionModel
    calibrator: object
    result: object
    held_out_rms_px: dict = field(default_factory=dict)
    passed_over: list = field(default_factory=list)  # names of models that fold back inside the picture

    def sentence(self) -> str:
        """Which model and why, with the held-out RMS of the others."""
        own = self.held_out_rms_px.get(self.model.name, float("nan"))
        others = [f"{_shown(rms)} for {distortion_model(name).label}" for name, rms in self.held_out_rms_px.items()
                  if name != self.model.name]
        text = f"distortion model {self.model.label}: held-out {_shown(own)}"
        if others:
            text += " against " + _joined(others)
        if self.passed_over:
            text += ("; passed over as folding back inside the picture: "
                     + ", ".join(distortion_model(name).label for name in self.passed_over))
        return text


def _shown(rms_px: float) -> str:
    return f"{rms_px:.3f} px" if math.isfinite(rms_px) else "not validated"


def _joined(parts: list) -> str:
    return parts[0] if len(parts) == 1 else ", ".join(parts[:-1]) + " and " + parts[-1]


def calibrate_candidates(target, images, options=None, models=DISTORTION_MODELS) -> list:
    """Every model calibrated from the pictures with held-out validation, in the order given."""
    candidates = []
    for model in models:
        calibrator = calibrator_for(target, model, options)
        candidates.append(Candidate(model, calibrator, calibrator.calibrate(images, validate=True)))
    return candidates


def common_held_out_rms_px(candidates) -> dict:
    """Each candidate's held-out RMS (px) over the pictures that every validated candidate predicted."""
    by_frame = {c.model.name: c.held_out_by_frame for c in candidates}
    validated = [frames for frames in by_frame.values() if frames]
    shared = sorted(set.intersection(*(set(frames) for frames in validated))) if validated else []
    rms = {}
    for name, frames in by_frame.items():
        errors = np.array([frames[f] for f in shared]) if frames and shared else np.array([])
        rms[name] = float(np.sqrt(np.mean(errors ** 2))) if errors.size else float("nan")
    return rms


def clearly_better(richer_px: float, simpler_px: float) -> bool:
    """Whether a held-out RMS is at least CLEAR_IMPROVEMENT below another (or the other was not measured)."""
    return math.isfinite(richer_px) and (not math.isfinite(simpler_px)
                                         or richer_px <= (1.0 - CLEAR_IMPROVEMENT) * simpler_px)


def _lowest(candidates, rms_px: dict) -> float:
    finite = [rms_px[c.model.name] for c in candidates if math.isfinite(rms_px[c.model.name])]
    return min(finite) if finite else float("nan")


def candidate_pool(candidates, rms_px: dict, image_size) -> tuple:
    """(the candidates to choose among, names passed over): the models that map the picture's corners, unless one
    that folds back before them predicts the held-out views clearly better than all of them."""
    usable = [c for c in candidates if c.result.ok]
    unfolded = [c for c in usable if maps_picture_corners(c.result.intrinsic_matrix,
                                                           c.result.distortion_coefficients, image_size)]
    if not unfolded or clearly_better(_lowest(usable, rms_px), _lowest(unfolded, rms_px)):
        return usable, []
    return unfolded, [c.model.name for c in usable if c not in unfolded]


def chosen_candidate(candidates, rms_px: dict, image_size) -> tuple:
    """(the candidate, names passed over): simplest first, each richer model taken when it is clearly better than
    the one chosen so far, among the pool of :func:`candidate_pool`; None when no model could be calibrated."""
    pool, passed_over = candidate_pool(candidates, rms_px, image_size)
    if not pool:
        return None, []
    chosen = pool[0]
    for candidate in pool[1:]:
        if clearly_better(rms_px[candidate.model.name], rms_px[chosen.model.name]):
            chosen = candidate
    return chosen, passed_over


def choose_distortion_model(target, images, options=None, models=DISTORTION_MODELS) -> ModelChoice | None:
    """Calibrates the pictures with each pinhole model and keeps the one the held-out pictures support (see the
    module's help); None when no model could be calibrated. ``options`` (IntrinsicOptions) gives everything but the
    distortion terms; its own calibrate_camera_flags keep their other bits."""
    images = list(images)
    candidates = calibrate_candidates(target, images, options, models)
    rms_px = common_held_out_rms_px(candidates)
    image_size = images[0].shape[1::-1] if images else (0, 0)
    chosen, passed_over = chosen_candidate(candidates, rms_px, image_size)
    if chosen is None:
        return None
    return ModelChoice(chosen.model, chosen.calibrator, chosen.result, rms_px, passed_over)


def simpler_model_without(terms) -> DistortionModel | None:
    """The richest candidate that solves for none of ``terms``; None when none is named or none is left."""
    if not terms:
        return None
    fitting = [model for model in DISTORTION_MODELS if not set(terms) & set(model.terms)]
    return fitting[-1] if fitting else None
