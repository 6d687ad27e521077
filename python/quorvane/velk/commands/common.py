"""Options and steps the calibration commands share."""

from __future__ import annotations

import argparse
from pathlib import Path

import _velk

from ..progress import Progress
from ..target_file import load_target_file
from .errors import CalibrationFailed


def add_target_option(parser) -> None:
    parser.add_argument("--target", required=True, metavar="TARGET_JSON",
                        help="target file written by velk board (kind, sizes in metres, dictionary)")


def add_threshold_option(parser, default: float) -> None:
    parser.add_argument("--per-view-error-threshold", type=float, default=default, metavar="PX",
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
