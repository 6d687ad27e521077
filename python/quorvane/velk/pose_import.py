"""Robot flange poses exported by a robot controller, read into 4 x 4 matrices ``robot_T_tcp``.

Files are CSV (comma, semicolon, tab or blank separated, an optional header line,
``#`` comments) or JSON (a list of rows, or ``{"poses": [...]}``; a row is a list of
numbers or an object with named fields). Every pose is one row in one of these formats:

* ``xyz-quat``: x y z and a unit quaternion, in the order given by ``quat_order``
  (``wxyz`` or ``xyzw``); JSON objects name them x, y, z, qw, qx, qy, qz.
* ``xyz-rotvec``: x y z and a rotation vector in radians (rx ry rz); a vector longer than pi
  (a half turn) is noted, since it suggests degrees.
* ``xyz-rotvec-deg``: the same with the rotation vector in degrees.
* ``xyz-euler-deg``: x y z and extrinsic x-y-z Euler angles in degrees (rx ry rz),
  the library's pose vector; ``euler_order`` names another sequence (``ZYX``: about z, the
  new y, the newest x; see :data:`geometry.EULER_ORDERS`), its three angles in its order.
* ``matrix``: the 4 x 4 matrix row by row (16 numbers, or 12 without the last row);
  JSON objects hold it under ``matrix``, flat or nested.

Translations are in ``units`` (m or mm). Every error names its row: the line number
in a CSV file, the position (from 1) in a JSON list.
"""

from __future__ import annotations

import csv
import io
import json
import re
from pathlib import Path

import numpy as np

from . import geometry
from .input_values import short_repr as _short

FORMATS = ("xyz-quat", "xyz-rotvec", "xyz-rotvec-deg", "xyz-euler-deg", "matrix")
QUATERNION_ORDERS = ("wxyz", "xyzw")
UNITS = {"m": 1.0, "mm": 0.001}
#: Largest accepted distance of a quaternion's norm from 1 (controllers print few decimals).
QUATERNION_NORM_TOLERANCE = 0.01
#: Largest accepted deviation of a pose matrix's rotation block from a rotation.
ROTATION_TOLERANCE = 1e-3
#: Largest magnitude of any value in a pose row (metres, millimetres, radians or degrees).
MAX_MAGNITUDE = 1e9
#: How far past pi (a half turn) a rotation vector in radians may reach before it is noted as degrees-like.
ROTVEC_SLACK = 1e-3

_COLUMNS = {"xyz-quat": (7,), "xyz-rotvec": (6,), "xyz-rotvec-deg": (6,), "xyz-euler-deg": (6,), "matrix": (16, 12)}
_JSON_FIELDS = {
    "xyz-quat": ("x", "y", "z", "qw", "qx", "qy", "qz"),
    "xyz-rotvec": ("x", "y", "z", "rx", "ry", "rz"),
    "xyz-rotvec-deg": ("x", "y", "z", "rx", "ry", "rz"),
    "xyz-euler-deg": ("x", "y", "z", "rx", "ry", "rz"),
}


class PoseImportError(ValueError):
    """A pose file that cannot be read; the message names the file and the row."""


class RowReader:
    """Turns the numbers of one row into a pose matrix, with the row's name in every error."""

    def __init__(self, fmt: str, units: str, quat_order: str | None, euler_order: str = "xyz"):
        if fmt not in FORMATS:
            raise PoseImportError(f"poses: unknown format '{fmt}' (use one of {', '.join(FORMATS)})")
        if units not in UNITS:
            raise PoseImportError(f"poses: unknown units '{units}' (use m or mm)")
        if quat_order is not None and quat_order not in QUATERNION_ORDERS:
            raise PoseImportError(f"poses: unknown quaternion order '{quat_order}' (use wxyz or xyzw)")
        if euler_order not in geometry.EULER_ORDERS:
            raise PoseImportError(f"poses: unknown Euler order '{euler_order}' (use one of "
                                  f"{', '.join(geometry.EULER_ORDERS)})")
        self.fmt, self.scale, self.quat_order = fmt, UNITS[units], quat_order or "wxyz"
        self.euler_order = euler_order
        self.given_order = quat_order
        self.named = False
        self.long_rotvecs: list[tuple[str, float]] = []  # rows whose radian rotation vector exceeds a half turn

    def take_header_order(self, columns: list[int], where: str) -> None:
        """The header named every column: values arrive as x y z qw qx qy qz, whatever the file's order."""
        if self.fmt == "xyz-quat":
            order = header_quaternion_order(columns)
            if self.given_order is not None and self.given_order != order:
                raise PoseImportError(f"{where}: the header puts the quaternion in {order} order but "
                                      f"--quat-order {self.given_order} was given")
        self.named = True

    def pose(self, values: list[float], where: str) -> np.ndarray:
        expected = _COLUMNS[self.fmt]
        if len(values) not in expected:
            wanted = " or ".join(str(n) for n in expected)
            raise PoseImportError(f"{where}: expected {wanted} columns for {self.fmt}, got {len(values)}")
        numbers = np.array(values, dtype=np.float64)
        if not np.all(np.isfinite(numbers)) or np.abs(numbers).max() > MAX_MAGNITUDE:
            raise PoseImportError(f"{where}: values must be finite numbers of at most {MAX_MAGNITUDE:g}")
        if self.fmt == "matrix":
            return self._matrix_pose(numbers, where)
        pose = np.eye(4)
        pose[:3, 3] = numbers[:3] * self.scale
        pose[:3, :3] = self._rotation(numbers[3:], where)
        if not np.all(np.isfinite(pose)):
            raise PoseImportError(f"{where}: the values do not make a pose")
        return pose

    def _rotation(self, values: np.ndarray, where: str) -> np.ndarray:
        if self.fmt == "xyz-rotvec":
            length = float(np.linalg.norm(values))
            if length > np.pi + ROTVEC_SLACK:
                self.long_rotvecs.append((where, length))
            return geometry.rotation_from_rotvec(values)
        if self.fmt == "xyz-rotvec-deg":
            return geometry.rotation_from_rotvec(np.radians(values))
        if self.fmt == "xyz-euler-deg":
            return geometry.rotation_from_euler_order_deg(values, self.euler_order)
        quaternion = values if self.named or self.quat_order == "wxyz" else values[[3, 0, 1, 2]]
        norm = float(np.linalg.norm(quaternion))
        if abs(norm - 1.0) > QUATERNION_NORM_TOLERANCE:
            hint = "" if self.named else f" (is --quat-order {self.quat_order} right?)"
            raise PoseImportError(f"{where}: quaternion norm {norm:.4f} is far from 1{hint}")
        return geometry.rotation_from_quaternion(quaternion)

    def _matrix_pose(self, numbers: np.ndarray, where: str) -> np.ndarray:
        pose = np.eye(4)
        pose[:len(numbers) // 4] = numbers.reshape(-1, 4)
        if not np.allclose(pose[3], [0, 0, 0, 1], atol=1e-9):
            raise PoseImportError(f"{where}: the last matrix row must be 0 0 0 1")
        rotation = pose[:3, :3]
        if (np.abs(rotation.T @ rotation - np.eye(3)).max() > ROTATION_TOLERANCE
                or np.linalg.det(rotation) <= 0):
            raise PoseImportError(f"{where}: the top-left 3 x 3 block is not a rotation matrix")
        pose[:3, 3] *= self.scale
        return pose


def _number(text: str, where: str, column: int) -> float:
    try:
        return float(text)
    except ValueError:
        raise PoseImportError(f"{where}: column {column} is not a number: {text.strip()!r}") from None


def _looks_numeric(text: str) -> bool:
    try:
        float(text)
        return True
    except ValueError:
        return False


def _split(line: str) -> list[str]:
    for separator in (",", ";", "\t"):
        if separator in line:
            return [cell.strip() for cell in next(csv.reader(io.StringIO(line), delimiter=separator))]
    return line.split()


#: Header names of the columns, after lower-casing and dropping units ("x [mm]") and punctuation.
_HEADER_NAMES = {
    "x": ("x", "px", "tx", "posx", "positionx"),
    "y": ("y", "py", "ty", "posy", "positiony"),
    "z": ("z", "pz", "tz", "posz", "positionz"),
    "qw": ("qw", "w", "quatw", "orientationw", "rotationw"),
    "qx": ("qx", "quatx", "orientationx", "rotationx"),
    "qy": ("qy", "quaty", "orientationy", "rotationy"),
    "qz": ("qz", "quatz", "orientationz", "rotationz"),
    "rx": ("rx", "rotx"),
    "ry": ("ry", "roty"),
    "rz": ("rz", "rotz"),
}
_FIELD_BY_HEADER = {alias: name for name, aliases in _HEADER_NAMES.items() for alias in aliases}


_UNIT_SUFFIX = re.compile(r"\[[^\]]*\]|\([^)]*\)")
_PUNCTUATION = re.compile(r"[^a-z0-9]")
#: Longest header cell read as a column name.
_MAX_NAME = 64


def _header_field(cell: str) -> str | None:
    if len(cell) > _MAX_NAME:
        return None
    return _FIELD_BY_HEADER.get(_PUNCTUATION.sub("", _UNIT_SUFFIX.sub("", cell.lower())))


def header_columns(cells: list[str], fmt: str) -> list[int] | None:
    """Positions of the fields of ``fmt`` (in the order of _JSON_FIELDS) named by a header line, or None when
    the header does not name them all."""
    if fmt not in _JSON_FIELDS:
        return None
    fields = [_header_field(cell) for cell in cells]
    wanted = _JSON_FIELDS[fmt]
    if not all(name in fields for name in wanted) or any(fields.count(name) > 1 for name in wanted):
        return None
    return [fields.index(name) for name in wanted]


def header_quaternion_order(columns: list[int]) -> str:
    """wxyz or xyzw: where the header puts qw against qx (columns in the order x y z qw qx qy qz)."""
    return "wxyz" if columns[3] < columns[4] else "xyzw"


def _csv_lines(text: str, name: str):
    """(where, cells) of every line that is not blank or a comment."""
    for number, line in enumerate(text.splitlines(), start=1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        try:
            cells = _split(stripped)
        except csv.Error as error:
            raise PoseImportError(f"{name}: row {number}: cannot be split into columns ({error})") from None
        if cells and cells[-1] == "":  # a trailing separator
            cells = cells[:-1]
        yield f"{name}: row {number}", cells


def _csv_rows(text: str, name: str, fmt: str = "matrix", reader=None):
    """(where, values) for every data line; a first line without any number is a header. A header that names
    the columns of ``fmt`` decides their order: the values come out in the order x y z, then qw qx qy qz or
    rx ry rz."""
    columns, width = None, 0
    first = True
    for where, cells in _csv_lines(text, name):
        if first and not any(_looks_numeric(cell) for cell in cells):
            first = False
            columns, width = header_columns(cells, fmt), len(cells)
            if columns is not None and reader is not None:
                reader.take_header_order(columns, where)
            continue
        first = False
        values = [_number(cell, where, k + 1) for k, cell in enumerate(cells)]
        if columns is not None:
            if len(values) != width:
                raise PoseImportError(f"{where}: expected {width} columns as the header names, got {len(values)}")
            values = [values[k] for k in columns]
        yield where, values


def _json_values(entry, fmt: str, where: str) -> list[float]:
    if isinstance(entry, dict):
        if fmt == "matrix":
            if "matrix" not in entry:
                raise PoseImportError(f"{where}: missing field 'matrix'")
            entry = _flattened(entry["matrix"], where)
        else:
            missing = [key for key in _JSON_FIELDS[fmt] if key not in entry]
            if missing:
                raise PoseImportError(f"{where}: missing field(s) {', '.join(missing)}")
            entry = [entry[key] for key in _JSON_FIELDS[fmt]]
    if not isinstance(entry, list):
        raise PoseImportError(f"{where}: expected a list of numbers or an object, got {type(entry).__name__}")
    values = []
    for column, value in enumerate(entry, start=1):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise PoseImportError(f"{where}: column {column} is not a number: {_short(value)}")
        try:
            values.append(float(value))
        except OverflowError:
            raise PoseImportError(f"{where}: column {column} is too large a number") from None
    return values


def _flattened(matrix, where: str) -> list:
    """The numbers of a matrix given flat or as a list of rows."""
    if not isinstance(matrix, list):
        raise PoseImportError(f"{where}: 'matrix' must be a list of numbers or of rows")
    flat = []
    for item in matrix:
        if isinstance(item, list):
            if any(isinstance(inner, list) for inner in item):
                raise PoseImportError(f"{where}: 'matrix' nests deeper than rows")
            flat.extend(item)
        else:
            flat.append(item)
    return flat


def _json_rows(text: str, name: str, fmt: str):
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise PoseImportError(f"{name}: not valid JSON ({error.msg}, line {error.lineno})") from None
    except (RecursionError, ValueError) as error:  # nesting too deep, an integer too long to read
        raise PoseImportError(f"{name}: cannot be read as JSON ({_short(str(error))})") from None
    if isinstance(document, dict) and "poses" in document:
        document = document["poses"]
    if not isinstance(document, list):
        raise PoseImportError(f"{name}: expected a list of poses or an object with 'poses'")
    for number, entry in enumerate(document, start=1):
        where = f"{name}: row {number}"
        yield where, _json_values(entry, fmt, where)


def read_pose_file(path, fmt: str, units: str = "m", quat_order: str | None = None,
                   notes: list | None = None, euler_order: str = "xyz") -> list[np.ndarray]:
    """All poses of a CSV or JSON export, as 4 x 4 float64 matrices in metres.

    ``quat_order`` None takes the order a CSV header names (x,y,z,qx,qy,qz,qw or x,y,z,qw,qx,qy,qz), else
    wxyz; a header that contradicts a given order is an error. Every failure is a PoseImportError. What the
    values suggest without being wrong (rotation vectors that look like degrees) is added to ``notes``."""
    path = Path(path)
    try:
        data = path.read_bytes()
    except OSError as error:
        raise PoseImportError(f"poses: cannot read {path}: {error.strerror or error}") from None
    return read_pose_bytes(data, path.name, fmt, units, quat_order, is_json=path.suffix.lower() == ".json",
                           notes=notes, euler_order=euler_order)


def read_pose_bytes(data: bytes, name: str, fmt: str, units: str = "m", quat_order: str | None = None,
                    is_json: bool = False, notes: list | None = None, euler_order: str = "xyz") -> list[np.ndarray]:
    """The poses of a file's contents (see :func:`read_pose_file`); ``name`` names the file in errors, and
    ``is_json`` reads it as JSON whatever it starts with."""
    reader = RowReader(fmt, units, quat_order, euler_order)
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise PoseImportError(f"poses: {name} is not a UTF-8 text file") from None
    is_json = is_json or text.lstrip()[:1] in ("[", "{")
    rows = _json_rows(text, name, fmt) if is_json else _csv_rows(text, name, fmt, reader)
    poses = [reader.pose(values, where) for where, values in rows]
    if not poses:
        raise PoseImportError(f"poses: no poses in {name}")
    if notes is not None and reader.long_rotvecs:
        notes.append(degrees_note(reader.long_rotvecs, len(poses)))
    return poses


#: Most rows a note names one by one.
NAMED_ROWS = 10


def _row_names(wheres: list[str]) -> str:
    """The rows, their common file named once: "poses.csv: row 2, row 5 and 3 more"."""
    prefix = wheres[0].split(": ")[0] + ": " if ": " in wheres[0] else ""
    if prefix and all(where.startswith(prefix) for where in wheres):
        names = [where[len(prefix):] for where in wheres]
    else:
        prefix, names = "", wheres
    more = f" and {len(names) - NAMED_ROWS} more" if len(names) > NAMED_ROWS else ""
    return prefix + ", ".join(names[:NAMED_ROWS]) + more


def degrees_note(long_rotvecs, count: int) -> str:
    """The note on rotation vectors in radians longer than pi (a half turn): they look like degrees."""
    longest = max(length for _, length in long_rotvecs)
    return (f"{len(long_rotvecs)} of {count} rotation vectors are longer than pi (up to {longest:.1f}) at "
            f"{_row_names([where for where, _ in long_rotvecs])}: the format reads radians, and a rotation vector "
            "in radians is at most 3.14 long, so these look like degrees (import with --format xyz-rotvec-deg)")
