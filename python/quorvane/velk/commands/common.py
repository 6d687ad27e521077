"""Options and steps the calibration commands share."""

from __future__ import annotations

import argparse
from pathlib import Path

import _velk

from ..distortion_model_choice import (
    MODEL_NAMES,
    ModelChoice,
    calibrator_for,
    choose_distortion_model,
    distortion_model,
    model_flags,
)
from ..progress import Progress
from ..target_file import load_target_file
from . import numbers
from .errors import CalibrationFailed, UsageError


def add_target_option(parser) -> None:
    parser.add_argument("--target", required=True, metavar="TARGET_JSON",
                        help="target file written by velk board (kind, sizes in metres, dictionary)")


def add_threshold_option(parser, default: float) -> None:
    parser.add_argument("--per-view-error-threshold", type=numbers.positive, default=default, metavar="PX",
                        help="views above this reprojection error are not used (default: %(default)g px)")


def add_report_option(parser) -> None:
    parser.add_argument("--report", metavar="REPORT_HTML", help="also write a self-contained HTML report")


def add_refine_option(parser) -> None:
    parser.add_argument("--refine", action=argparse.BooleanOptionalAction, default=True,
                        help="refine the closed-form result by reprojection error over every corner, "
                             "with 1-sigma uncertainties (default: on; --no-refine for the closed form alone)")


def add_validate_option(parser) -> None:
    parser.add_argument("--validate", action=argparse.BooleanOptionalAction, default=True,
                        help="predict every picture from a calibration without it, to show the accuracy to expect "
                             "on new pictures (default: on; --no-validate skips it)")


def add_camera_model_option(parser) -> None:
    parser.add_argument("--camera-model", choices=("pinhole", "fisheye"), default=None,
                        help="lens model: pinhole (radial-tangential distortion, the default) or fisheye (the "
                             "equidistant model, for lenses of about 120 degrees and wider)")


AUTO_DISTORTION_MODEL = "auto"


def add_distortion_model_option(parser) -> None:
    parser.add_argument("--distortion-model", choices=(AUTO_DISTORTION_MODEL, *MODEL_NAMES),
                        default=AUTO_DISTORTION_MODEL,
                        help="distortion terms of the pinhole model when its intrinsics are calibrated from the "
                             "pictures: k1; k1k2; k1k2p (k1 k2 p1 p2); k1k2pk3 (k1 k2 p1 p2 k3, the library's "
                             "default); rational (k1..k6, p1, p2); auto (the default) calibrates each, predicting "
                             "every picture from the others (whatever --no-validate says), and keeps the simplest one "
                             "that no richer one predicts clearly better. The fisheye model keeps its k1..k4.")


def chooses_distortion_model(args) -> bool:
    """Whether the pinhole distortion terms are chosen from the pictures (--distortion-model auto)."""
    return (getattr(args, "camera_model", None) or "pinhole") == "pinhole" and getattr(
        args, "distortion_model", AUTO_DISTORTION_MODEL) == AUTO_DISTORTION_MODEL


def check_distortion_model(args, command: str) -> None:
    """Refuses a pinhole distortion model given with the fisheye model, which has terms of its own."""
    model = getattr(args, "distortion_model", AUTO_DISTORTION_MODEL)
    if getattr(args, "camera_model", None) == "fisheye" and model != AUTO_DISTORTION_MODEL:
        raise UsageError(f"{command}: --distortion-model {model} names pinhole distortion terms; the fisheye model "
                         "has its own (k1..k4): leave --distortion-model out")


def distortion_candidates(args) -> int:
    """How many calibrations the distortion model takes (each detects the pictures again)."""
    return len(MODEL_NAMES) if chooses_distortion_model(args) else 1


def calibrate_intrinsics(args, target, images, options):
    """(calibrator, result, ModelChoice or None) of the pictures: the distortion model chosen from them with
    --distortion-model auto (every candidate then validated), else the one given, validated with --validate."""
    if chooses_distortion_model(args):
        choice = choose_distortion_model(target, images, options)
        if choice is not None:
            # The choice validated every candidate; --no-validate still leaves the result without it.
            result = choice.result if args.validate else choice.calibrator.calibrate(images, validate=False)
            return choice.calibrator, result, choice
        calibrator = _velk.IntrinsicCalibrator(target, options)
        return calibrator, calibrator.calibrate(images, validate=False), None
    model = getattr(args, "distortion_model", AUTO_DISTORTION_MODEL)
    calibrator = (calibrator_for(target, distortion_model(model), options) if model != AUTO_DISTORTION_MODEL
                  else _velk.IntrinsicCalibrator(target, options))
    return calibrator, calibrator.calibrate(images, validate=args.validate), None


def choose_hand_eye_distortion_model(args, target, images, options) -> ModelChoice | None:
    """With --distortion-model auto and no --intrinsics, the distortion model the pictures support, set on
    ``options`` for the calibration that follows; a model given is set likewise. None unless chosen here."""
    if getattr(args, "intrinsics", None) or (getattr(args, "camera_model", None) or "pinhole") != "pinhole":
        return None
    model = getattr(args, "distortion_model", AUTO_DISTORTION_MODEL)
    choice = None
    if model == AUTO_DISTORTION_MODEL:
        choice = choose_distortion_model(target, images, options)
        if choice is None:
            return None
        model = choice.model.name
    options.calibrate_camera_flags = model_flags(options.calibrate_camera_flags, distortion_model(model))
    return choice


def distortion_model_line(choice: ModelChoice | None, args) -> str:
    """The printed line on the distortion model: which one and why."""
    if choice is not None:
        return "Chose the " + choice.sentence()
    model = getattr(args, "distortion_model", AUTO_DISTORTION_MODEL)
    if (getattr(args, "camera_model", None) or "pinhole") == "fisheye":
        return "Distortion model: the fisheye model's k1 k2 k3 k4"
    if model == AUTO_DISTORTION_MODEL:
        return "Distortion model: not chosen (no model could be calibrated)"
    return f"Distortion model {distortion_model(model).label}, as given"


def held_out_lines(validation, image_names=()) -> list[str]:
    """The printed lines of a held-out validation: its sentence and the skipped pictures, or why not. Pictures are
    named as the library names them, through ``image_names`` (the names given with the pictures)."""
    if validation is None:
        return []
    if not validation.validated:
        lines = [f"Held-out validation not done: {validation.reason}"]
    else:
        names = list(image_names)
        lines = [validation.sentence() + ". Worst: "
                 + ", ".join(f"frame {_velk.picture_label(names, f)}" for f in validation.worst_frames)]
    return lines + [f"  skipped {entry}" for entry in validation.skipped]


def load_target(args):
    """(description, library target) of --target."""
    printed = load_target_file(args.target)
    return printed, printed.build()


def intrinsic_options(args, base=None, names=None):
    """The options of --per-view-error-threshold and --camera-model; with ``names`` (the pictures' file names, in the
    order they are given) the library names pictures by them in its lines and reports."""
    options = base if base is not None else _velk.IntrinsicOptions()
    options.per_view_error_threshold = args.per_view_error_threshold
    if names is not None:
        options.image_names = list(names)
    model = getattr(args, "camera_model", None)
    if model is not None:
        options.camera_model = model
    return options


def progress_for(args) -> Progress:
    return Progress.for_stderr(args.quiet)


def fail(verdict: str) -> None:
    """Ends the command with exit code 1, printing the verdict on standard output first."""
    print(f"Calibration failed: {verdict}")
    raise CalibrationFailed(verdict)


def take_warnings(verdict, sections) -> None:
    """Gives ``verdict`` the warnings of the report's ``sections`` (built whether or not a report is written;
    their figures are drawn only for one), so that the console, the record and the report state one verdict."""
    from ..report.document import lifted_warnings

    verdict.warnings = lifted_warnings(sections)


def write_report(path, title: str, sections) -> None:
    from ..report.document import write_document

    written = write_document(Path(path), title, sections)
    print(f"Report written to {written}")


def marker_hint(printed, images) -> str | None:
    """What the pictures show when the target file's markers are not among them (see marker_survey)."""
    from ..marker_survey import target_marker_hint

    return target_marker_hint(printed, images)


def scale_note(printed) -> str:
    """Why the target file's lengths are taken as they stand: pictures alone cannot tell a board from a larger one
    farther away."""
    what, length_m = printed.scale_length()
    return (f"target size: {what} of {length_m * 1000:.2f} mm as the target file says; pictures alone cannot measure "
            "it (a hand-eye calibration measures it from the robot's motion)")
