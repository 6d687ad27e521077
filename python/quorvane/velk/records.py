"""intrinsics.json: the record ``velk intrinsics`` writes and ``--intrinsics`` reads."""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np

from . import intrinsics_files, safe_files

RECORD_NAME = "intrinsics.json"


class RecordError(ValueError):
    """An intrinsics record that cannot be used."""


def record_path(output) -> Path:
    """A file path as given, or intrinsics.json inside a folder (existing, or named with a trailing slash)."""
    path = Path(output)
    if path.is_dir() or str(output).endswith(("/", "\\")) or not path.suffix:
        return path / RECORD_NAME
    return path


def _number_or_none(value):
    return float(value) if math.isfinite(value) else None


def validation_document(validation) -> dict:
    """The "validation" member of an intrinsics record, as the library's result records store it."""
    return {
        "validated": bool(validation.validated),
        "reason": validation.reason,
        "frames": [int(f) for f in validation.frames],
        "held_out_rms_px": [_number_or_none(v) for v in validation.held_out_rms_px],
        "fitted_rms_px": [_number_or_none(v) for v in validation.fitted_rms_px],
        "median_px": _number_or_none(validation.median_px),
        "p90_px": _number_or_none(validation.p90_px),
        "worst_frames": [int(f) for f in validation.worst_frames],
        "skipped": list(validation.skipped),
    }


#: Lens models a record may name; a record without the member was written for the pinhole model.
CAMERA_MODELS = ("pinhole", "fisheye")


def save_intrinsics(output, result, image_size, image_names, target_document, members=None) -> Path:
    """Writes intrinsics.json in one write, with the optional ``members`` (units, verdict) beside the result."""
    path = record_path(output)
    path.parent.mkdir(parents=True, exist_ok=True)
    document = {
        "camera_model": getattr(result, "camera_model", "pinhole"),
        "image_size": [int(image_size[0]), int(image_size[1])],
        "camera_matrix": np.asarray(result.intrinsic_matrix).tolist(),
        "distortion_coefficients": np.ravel(result.distortion_coefficients).tolist(),
        "reprojection_error": float(result.reprojection_error),
        "per_view_errors": [float(e) for e in result.per_view_errors],
        "views": [image_names[k] for k in result.successful_indices],
        "low_view_error_indices": [int(k) for k in result.low_view_error_indices],
        "target": target_document,
    }
    if result.validation is not None:
        document["validation"] = validation_document(result.validation)
    document.update(members or {})
    safe_files.write_text(path, json.dumps(document, indent=2) + "\n")
    return path


def _camera_file(path):
    """The intrinsics of a ROS camera_info or OpenCV FileStorage file, None for any other file."""
    try:
        return intrinsics_files.read_camera_file(path)
    except intrinsics_files.CameraFileError as error:
        raise RecordError(str(error)) from None


def record_image_size(path) -> tuple[int, int] | None:
    """The picture size (width, height) an intrinsics record or camera file was calibrated at, None when it does
    not say."""
    try:
        given = _camera_file(path)
    except RecordError:
        return None
    if given is not None:
        return given.image_size
    try:
        return _image_size(json.loads(Path(path).read_text(encoding="utf-8")))
    except (OSError, ValueError):
        return None


def _image_size(document) -> tuple[int, int] | None:
    size = document.get("image_size") if isinstance(document, dict) else None
    if (isinstance(size, list) and len(size) == 2 and all(isinstance(v, int) and not isinstance(v, bool) and v > 0
                                                          for v in size)):
        return size[0], size[1]
    return None


def load_intrinsics(path) -> tuple[np.ndarray, np.ndarray]:
    """Camera matrix (3 x 3) and distortion coefficients (one row) of an intrinsics record."""
    matrix, distortion, _ = load_camera(path)
    return matrix, distortion


def load_camera(path) -> tuple[np.ndarray, np.ndarray, str]:
    """Camera matrix (3 x 3), distortion coefficients (one row) and lens model ("pinhole" or "fisheye") of an
    intrinsics record, a ROS camera_info YAML or an OpenCV FileStorage file (YAML or XML); a record without
    "camera_model" is a pinhole record."""
    path = Path(path)
    given = _camera_file(path)
    if given is not None:
        return checked_camera(path, given.matrix, given.distortion, given.model, image_size=given.image_size)
    try:
        document = json.loads(path.read_text(encoding="utf-8"))
        matrix = np.array(document["camera_matrix"], dtype=np.float64)
        distortion = np.array(document["distortion_coefficients"], dtype=np.float64).reshape(1, -1)
    except OSError as error:
        raise RecordError(f"intrinsics: cannot read {path}: {error.strerror or error}") from None
    except (json.JSONDecodeError, KeyError, TypeError, ValueError) as error:
        raise RecordError(f"intrinsics: {path} is not an intrinsics record ({error})") from None
    model = document.get("camera_model", "pinhole") if isinstance(document, dict) else "pinhole"
    if model not in CAMERA_MODELS:
        raise RecordError(f"intrinsics: {path} has an unknown camera_model {model!r} (it must be 'pinhole' or "
                          "'fisheye')")
    return checked_camera(path, matrix, distortion, model, document)


def checked_camera(path, matrix, distortion, model, document=None, image_size=None) -> tuple[np.ndarray, np.ndarray,
                                                                                             str]:
    """The camera as given, or a RecordError naming ``path`` when the numbers do not fit its lens model or make no
    usable camera; ``document`` is the intrinsics record's JSON, ``image_size`` the picture size a camera file
    gives."""
    if matrix.shape != (3, 3) or distortion.size not in (4, 5, 8, 12, 14) or not (
            np.all(np.isfinite(matrix)) and np.all(np.isfinite(distortion))):
        raise RecordError(f"intrinsics: {path} needs a finite 3 x 3 camera_matrix and 4, 5, 8, 12 or 14 "
                          "distortion coefficients")
    if model == "fisheye" and distortion.size != 4:
        raise RecordError(f"intrinsics: {path} is a fisheye record and needs its 4 distortion coefficients "
                          f"(k1, k2, k3, k4), not {distortion.size}")
    problem = _camera_problem(document, matrix, image_size)
    if problem:
        raise RecordError(f"intrinsics: {path} {problem}")
    return matrix, distortion, model


def _has_boolean(value) -> bool:
    if isinstance(value, list):
        return any(_has_boolean(v) for v in value)
    return isinstance(value, bool)


def _camera_problem(document: dict | None, matrix: np.ndarray, image_size=None) -> str | None:
    """What makes a readable camera matrix unusable, None when nothing does: booleans among the numbers (of a JSON
    record), a focal length that is not above 0, a bottom row other than [0, 0, 1], a principal point outside the
    picture."""
    for member in ("camera_matrix", "distortion_coefficients") if document is not None else ():
        if _has_boolean(document[member]):
            return f"holds true or false in {member}, where numbers belong"
    (fx, _, cx), (_, fy, cy), bottom = matrix
    if not (fx > 0 and fy > 0):
        return f"has focal lengths fx {fx:g}, fy {fy:g} px; both must be above 0"
    if list(bottom) != [0.0, 0.0, 1.0]:
        return f"has the camera matrix's bottom row [{', '.join(f'{v:g}' for v in bottom)}]; it must be [0, 0, 1]"
    size = image_size if image_size is not None else (_image_size(document) if document is not None else None)
    if size is not None and not (0 <= cx <= size[0] and 0 <= cy <= size[1]):
        return (f"puts the principal point at ({cx:g}, {cy:g}) px, outside its {size[0]} x {size[1]} picture "
                "(image_size)")
    return None


#: Members the commands add to the records the library writes (hand_eye.json, eye_to_hand.json,
#: multi_camera_calibration.json, intrinsics.json). All are optional: a record without them, written by an
#: older version, loads as before and reads as None here.
OPTIONAL_MEMBERS = ("units", "intrinsics_used", "refinement_applied", "saved_method", "image_names", "verdict")


def add_record_members(path, members: dict) -> Path:
    """Adds ``members`` to the JSON record at ``path``, keeping every member it holds."""
    path = Path(path)
    document = json.loads(path.read_text(encoding="utf-8"))
    document.update(members)
    safe_files.write_text(path, json.dumps(document, indent=2) + "\n")
    return path


def record_members(path) -> dict:
    """The optional members of a record, None for those it does not hold."""
    path = Path(path)
    try:
        document = json.loads(path.read_text(encoding="utf-8"))
    except OSError as error:
        raise RecordError(f"record: cannot read {path}: {error.strerror or error}") from None
    except (json.JSONDecodeError, ValueError, RecursionError) as error:
        raise RecordError(f"record: {path} is not a JSON record ({error})") from None
    if not isinstance(document, dict):
        raise RecordError(f"record: {path} does not hold a JSON object")
    return {name: document.get(name) for name in OPTIONAL_MEMBERS}


def verdict_record(verdict):
    """The verdict as the library's result records store it (io.VerdictRecord)."""
    import _velk

    record = _velk.io.VerdictRecord()
    record.passed, record.text, record.causes = bool(verdict.ok), verdict.line, list(verdict.causes)
    checks = []
    for check in verdict.checks:
        entry = _velk.io.CheckRecord()
        entry.name, entry.passed, entry.figures, entry.limit = check.name, check.passed, check.figures, check.limit
        checks.append(entry)
    record.checks = checks
    record.warnings = list(verdict.warnings)
    return record


def annotated(record, members: dict):
    """``record`` (an io result record) with the annotations of ``members`` set: units (a dict), saved_method,
    image_names, verdict (a verdict.Verdict), intrinsics_used and refinement_applied (io records)."""
    for name, value in members.items():
        setattr(record, name, verdict_record(value) if name == "verdict" else value)
    return record


def matrix_list(matrix) -> list:
    return np.asarray(matrix, dtype=np.float64).tolist()
