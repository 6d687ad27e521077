"""Robot flange poses ``robot_T_tcp`` stored one file per picture: a folder (or a glob pattern) of YAML or JSON
files, taken in the order of the number in their names (pose_2 before pose_10).

A file holds a mapping (optionally under ``pose``) with

* a translation under one of :data:`TRANSLATION_KEYS`, as [x, y, z] or {x, y, z}, and a rotation under one of
  :data:`ROTATION_KEYS`, told apart by its shape: 3 numbers or {x, y, z} a rotation vector (radians, degrees with
  ``rotvec_degrees``), 4 numbers a quaternion in ``quat_order`` (wxyz unless given) or {x, y, z, w} one whose
  names give the order, 9 numbers or 3 rows a rotation matrix; or
* the plain keys ``x``, ``y``, ``z`` with the quaternion ``qx``, ``qy``, ``qz``, ``qw`` side by side; or
* a 4 x 4 matrix (16 numbers, 4 rows, or 12 numbers / 3 rows without the last) under one of :data:`MATRIX_KEYS`,
  or as the whole file.

Translations are in ``units`` (m or mm). Every error names the file; the keys each file was read from are part
of the result.
"""

from __future__ import annotations

import glob
import json
import re
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .input_values import short_repr as _short
from .pose_import import PoseImportError, RowReader, degrees_note

TRANSLATION_KEYS = ("position", "translation", "t", "xyz", "pos")
ROTATION_KEYS = ("orientation", "rotation", "quaternion", "quat", "q", "rotvec", "rotation_vector", "rvec", "r", "R",
                 "rotation_matrix")
MATRIX_KEYS = ("matrix", "transform", "T", "pose")
SUFFIXES = (".yaml", ".yml", ".json")
#: The quaternion order of a rotation given by component names.
NAMED = "named"
_QUATERNION_NAMES = (("w", "x", "y", "z"), ("qw", "qx", "qy", "qz"))
_VECTOR_NAMES = (("x", "y", "z"), ("rx", "ry", "rz"))


@dataclass
class PoseFiles:
    """The poses of a folder of pose files in their order, with the files, the keys each was read from and what
    the values suggest without being wrong (rotation vectors that look like degrees)."""

    poses: list = field(default_factory=list)
    files: list = field(default_factory=list)
    keys: list = field(default_factory=list)
    notes: list = field(default_factory=list)

    def keys_summary(self) -> list[str]:
        """The distinct key sets read, each with the number of files that use it, in the order first met."""
        return [f"{keys} ({self.keys.count(keys)} of {len(self.keys)} files)" for keys in dict.fromkeys(self.keys)]


def _order_key(path: Path):
    return [(0, int(part), "") if part.isdigit() else (1, 0, part) for part in re.split(r"(\d+)", path.name) if part]


def is_pose_folder(source) -> bool:
    """True for a folder or a glob pattern (rather than one pose table)."""
    text = str(source)
    return Path(text).is_dir() or (not Path(text).is_file() and any(c in text for c in "*?["))


def pose_file_paths(source) -> list[Path]:
    """The YAML and JSON files of a folder, or those a glob pattern matches, by the number in their names."""
    if Path(source).is_dir():
        paths = [p for p in Path(source).iterdir() if p.is_file() and p.suffix.lower() in SUFFIXES]
    else:
        paths = [Path(p) for p in glob.glob(str(source)) if Path(p).is_file()]
    if not paths:
        raise PoseImportError(f"poses: no pose files (.yaml, .yml, .json) in {source}")
    return sorted(paths, key=_order_key)


def _document(path: Path):
    try:
        text = path.read_text(encoding="utf-8-sig")
    except OSError as error:
        raise PoseImportError(f"poses: cannot read {path}: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise PoseImportError(f"poses: {path.name} is not a UTF-8 text file") from None
    if path.suffix.lower() == ".json":
        try:
            return json.loads(text)
        except (RecursionError, ValueError) as error:
            raise PoseImportError(f"{path.name}: not valid JSON ({_short(str(error))})") from None
    import yaml

    try:
        return yaml.safe_load(text)
    except yaml.YAMLError as error:
        raise PoseImportError(f"{path.name}: not valid YAML ({_short(str(error))})") from None


def _number(value, where: str, key: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise PoseImportError(f"{where}: {key} holds {_short(value)}, not a number")
    return float(value)


def _flat(value, where: str, key: str) -> tuple[list[float], str]:
    """The numbers of a list (flat or of rows) and its shape's name."""
    if not isinstance(value, list):
        raise PoseImportError(f"{where}: {key} must be a list of numbers or of rows, or a mapping")
    if value and all(isinstance(row, list) for row in value):
        widths = {len(row) for row in value}
        if len(widths) != 1:
            raise PoseImportError(f"{where}: the rows of {key} differ in length")
        return [_number(v, where, key) for row in value for v in row], f"{len(value)} x {widths.pop()}"
    return [_number(v, where, key) for v in value], str(len(value))


def _named(value: dict, names_options, where: str, key: str) -> tuple[list[float], tuple[str, ...]] | None:
    for names in names_options:
        if all(name in value for name in names):
            return [_number(value[name], where, f"{key}.{name}") for name in names], names
    return None


def _translation(value, where: str, key: str) -> tuple[list[float], str]:
    if isinstance(value, dict):
        found = _named(value, _VECTOR_NAMES, where, key)
        if found is None:
            raise PoseImportError(f"{where}: {key} needs x, y and z (it holds: {', '.join(map(str, value))})")
        return found[0], f"{key} {{{', '.join(found[1])}}}"
    numbers, shape = _flat(value, where, key)
    if len(numbers) != 3:
        raise PoseImportError(f"{where}: {key} holds {len(numbers)} numbers, not 3")
    return numbers, f"{key} [{shape}]"


def _rotation(value, where: str, key: str, quat_order: str | None) -> tuple[str, list[float], str | None, str]:
    """(format of the row reader, its rotation values, quaternion order or NAMED, description) of a rotation
    entry."""
    if isinstance(value, dict):
        quaternion = _named(value, _QUATERNION_NAMES, where, key)
        if quaternion is not None:
            return "xyz-quat", quaternion[0], NAMED, f"{key} {{{', '.join(quaternion[1])}}} quaternion"
        vector = _named(value, _VECTOR_NAMES, where, key)
        if vector is None:
            raise PoseImportError(f"{where}: {key} needs x, y, z and w (a quaternion) or x, y and z (a rotation "
                                  f"vector); it holds: {', '.join(map(str, value))}")
        return "xyz-rotvec", vector[0], None, f"{key} {{{', '.join(vector[1])}}} rotation vector"
    numbers, shape = _flat(value, where, key)
    if len(numbers) == 3:
        return "xyz-rotvec", numbers, None, f"{key} [{shape}] rotation vector"
    if len(numbers) == 4:
        order = quat_order or "wxyz"
        return "xyz-quat", numbers, order, f"{key} [{shape}] quaternion {order}"
    if len(numbers) == 9:
        return "matrix", numbers, None, f"{key} [{shape}] rotation matrix"
    raise PoseImportError(f"{where}: {key} holds {len(numbers)} numbers: 3 (a rotation vector), 4 (a quaternion) "
                          "or 9 (a rotation matrix) are read")


def _present(document: dict, keys) -> list[str]:
    return [key for key in keys if key in document]


def _single(document: dict, keys, where: str, what: str) -> str | None:
    present = _present(document, keys)
    if len(present) > 1:
        raise PoseImportError(f"{where}: {' and '.join(present)} both give the {what}; keep one")
    return present[0] if present else None


class _Readers:
    """One row reader per format and quaternion order, shared by all files so that their notes add up."""

    def __init__(self, units: str, rotvec_degrees: bool):
        self.units, self.rotvec_degrees, self.readers = units, rotvec_degrees, {}

    def get(self, fmt: str, order: str | None) -> RowReader:
        if fmt == "xyz-rotvec" and self.rotvec_degrees:
            fmt = "xyz-rotvec-deg"
        if (fmt, order) not in self.readers:
            reader = RowReader(fmt, self.units, None if order == NAMED else order)
            reader.named = order == NAMED  # the values arrive as w, x, y, z, whatever the file's order
            self.readers[(fmt, order)] = reader
        return self.readers[(fmt, order)]

    def long_rotvecs(self) -> list:
        return [entry for reader in self.readers.values() for entry in reader.long_rotvecs]


def _matrix_pose(value, where: str, key: str, readers: _Readers) -> tuple[np.ndarray, str]:
    numbers, shape = _flat(value, where, key)
    return readers.get("matrix", None).pose(numbers, where), f"{key} [{shape}] matrix"


def _plain_keys_pose(document: dict, where: str, readers: _Readers) -> tuple[np.ndarray, str] | None:
    """A pose written as plain keys side by side (x, y, z, qx, qy, qz, qw); None when they are not all there."""
    xyz = _named(document, _VECTOR_NAMES[:1], where, "the file")
    quaternion = _named(document, _QUATERNION_NAMES[1:], where, "the file")
    if xyz is None or quaternion is None:
        return None
    return readers.get("xyz-quat", NAMED).pose(xyz[0] + quaternion[0], where), "x, y, z, qx, qy, qz, qw quaternion"


def _file_pose(document, where: str, quat_order: str | None, readers: _Readers) -> tuple[np.ndarray, str]:
    if isinstance(document, dict) and isinstance(document.get("pose"), dict):
        document = document["pose"]
    if isinstance(document, list):
        return _matrix_pose(document, where, "the file", readers)
    if not isinstance(document, dict):
        raise PoseImportError(f"{where}: expected a mapping of pose keys or a 4 x 4 matrix")
    translation_key = _single(document, TRANSLATION_KEYS, where, "translation")
    rotation_key = _single(document, ROTATION_KEYS, where, "rotation")
    matrix_key = _single(document, MATRIX_KEYS, where, "matrix")
    if matrix_key is not None and translation_key is None and rotation_key is None:
        return _matrix_pose(document[matrix_key], where, matrix_key, readers)
    plain = None if translation_key or rotation_key or matrix_key else _plain_keys_pose(document, where, readers)
    if plain is not None:
        return plain
    if translation_key is None or rotation_key is None or matrix_key is not None:
        raise PoseImportError(
            f"{where}: needs a translation ({', '.join(TRANSLATION_KEYS)}) with a rotation "
            f"({', '.join(ROTATION_KEYS)}), a 4 x 4 matrix ({', '.join(MATRIX_KEYS)}), or x, y, z with qx, qy, qz, "
            f"qw; it holds: "
            f"{', '.join(map(str, document)) or 'nothing'}")
    xyz, translation_text = _translation(document[translation_key], where, translation_key)
    fmt, rotation, order, rotation_text = _rotation(document[rotation_key], where, rotation_key, quat_order)
    if fmt == "matrix":
        rows = np.reshape(rotation, (3, 3))
        values = list(np.column_stack([rows, xyz]).ravel())
    else:
        values = xyz + rotation
    return readers.get(fmt, order).pose(values, where), f"{translation_text}, {rotation_text}"


def read_pose_folder(source, units: str = "m", quat_order: str | None = None,
                     rotvec_degrees: bool = False) -> PoseFiles:
    """The poses of the pose files of a folder or glob pattern (see the module's text), as 4 x 4 matrices in
    metres. Every failure is a PoseImportError naming the file."""
    readers = _Readers(units, rotvec_degrees)
    RowReader("matrix", units, quat_order)  # refuses unknown units and quaternion orders before any file is read
    result = PoseFiles()
    for path in pose_file_paths(source):
        pose, keys = _file_pose(_document(path), path.name, quat_order, readers)
        result.poses.append(pose)
        result.files.append(path)
        result.keys.append(keys)
    long_rotvecs = readers.long_rotvecs()
    if long_rotvecs:
        result.notes.append(degrees_note(long_rotvecs, len(result.poses)))
    return result
