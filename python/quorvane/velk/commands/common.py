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


#: Dictionaries tried when a board's own finds no marker: the large ones hold the smaller of their family.
_OTHER_DICTIONARIES = ("DICT_4X4_1000", "DICT_5X5_1000", "DICT_6X6_1000", "DICT_7X7_1000", "DICT_ARUCO_ORIGINAL",
                       "DICT_APRILTAG_36h11")
#: Pictures searched for markers of other dictionaries.
_HINT_PICTURES = 6


def markers_found(dictionary_name: str, images) -> list[int]:
    """How many markers of the dictionary each picture shows."""
    import cv2

    dictionary = cv2.aruco.getPredefinedDictionary(_velk.aruco_dictionary_id_map()[dictionary_name])
    detector = cv2.aruco.ArucoDetector(dictionary, cv2.aruco.DetectorParameters())
    counts = []
    for image in images:
        grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY) if image.ndim == 3 else image
        _, ids, _ = detector.detectMarkers(grey)
        counts.append(0 if ids is None else len(ids))
    return counts


def _sample(images) -> list:
    return images[:: max(1, len(images) // _HINT_PICTURES)][:_HINT_PICTURES]


def missing_dictionary_hint(printed, images) -> str | None:
    """Before a calibration: one hint when a marker board's dictionary matches nothing in the pictures but another
    one does (the one that finds the most markers is named). A few pictures are looked at first; all of them only
    when those show none of the board's markers."""
    if printed.kind not in ("charuco", "aruco") or not images:
        return None
    if sum(markers_found(printed.dictionary, _sample(images))) > 0 or sum(markers_found(printed.dictionary, images)):
        return None
    known = _velk.aruco_dictionary_id_map()
    found = {name: sum(markers_found(name, _sample(images))) for name in _OTHER_DICTIONARIES
             if name != printed.dictionary and name in known}
    best = max(found, key=found.get, default=None)
    if best is None or found[best] == 0:
        return None
    return (f"no markers of dictionary {printed.dictionary} found in any picture; check the target's dictionary "
            f"(the pictures show markers of {best})")
