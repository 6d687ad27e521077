"""Target files: one small JSON document describing one printed calibration target.

A target file names the kind of board and gives its sizes in metres, the ArUco
dictionary by name and, for ChArUco boards, whether the board uses the legacy
marker layout. ``velk board`` writes one beside every board it draws, and every
calibration command reads one with ``--target``. Examples::

    {"kind": "chessboard", "cols": 9, "rows": 6, "square_size": 0.025}
    {"kind": "charuco", "squares_x": 9, "squares_y": 7, "square_length": 0.04,
     "marker_length": 0.03, "dictionary": "DICT_5X5_100", "legacy_pattern": false}
    {"kind": "aruco", "markers_x": 6, "markers_y": 5, "marker_length": 0.04,
     "marker_separation": 0.01, "dictionary": "DICT_4X4_1000"}
    {"kind": "aruco", "markers_x": 1, "markers_y": 1, "marker_length": 0.048,
     "marker_separation": 0.01, "dictionary": "DICT_APRILTAG_36H11", "first_marker_id": 10}
    {"kind": "circle_grid", "cols": 4, "rows": 11, "spacing": 0.02, "circle_diameter": 0.01,
     "asymmetric": true}
    {"kind": "circle_grid", "cols": 10, "rows": 10, "spacing": 0.0254, "circle_diameter": 0.01,
     "asymmetric": false, "origin_circle_diameter": 0.02, "polarity": "dark"}

``cols`` and ``rows`` of a chessboard count inner corners, as the library's
``ChessboardTarget`` does. An ArUco grid's markers carry the ids ``first_marker_id``
(0 when the field is absent), ``first_marker_id + 1``, ... row by row. ``cols`` of a circle
grid counts the circles in one row, ``rows`` the rows; ``spacing`` is the library's
``CircleGridTarget`` spacing. A circle grid's optional ``polarity`` says which circles it has: "dark" (on a
light ground), "light" (on a dark ground) or "either" (the default: detection looks for both, and the board
printer draws dark ones). A symmetric grid's optional ``origin_circle_diameter`` gives the larger circle that
marks its origin (bottom left as printed), which fixes the grid's frame and the numbering of its points.
"""

from __future__ import annotations

import difflib

import json
from dataclasses import asdict, dataclass
from pathlib import Path

import _velk

from . import safe_files
from .input_values import is_finite as _finite
from .input_values import short_repr as _short

KINDS = ("chessboard", "charuco", "aruco", "circle_grid")
#: The circles a circle grid may have (``polarity``); "either" lets detection find both kinds.
POLARITIES = ("either", "dark", "light")
#: Most squares, corners or markers along one side of a board.
MAX_COUNT = 1000
DEFAULT_DICTIONARY = "DICT_4X4_1000"

_FIELDS = {
    "chessboard": {"cols": int, "rows": int, "square_size": float},
    "charuco": {"squares_x": int, "squares_y": int, "square_length": float, "marker_length": float},
    "aruco": {"markers_x": int, "markers_y": int, "marker_length": float, "marker_separation": float},
    "circle_grid": {"cols": int, "rows": int, "spacing": float, "circle_diameter": float},
}
_MARKER_KINDS = ("charuco", "aruco")
# No predefined dictionary holds more than 1024 markers; larger ids are refused before they reach the library.
_LARGEST_MARKER_ID = 1023


class TargetFileError(ValueError):
    """A target file or target description that cannot be used."""


@dataclass(frozen=True)
class PrintedTarget:
    """The description of one printed target, as a target file holds it."""

    kind: str
    cols: int = 0
    rows: int = 0
    square_size: float = 0.0
    squares_x: int = 0
    squares_y: int = 0
    square_length: float = 0.0
    markers_x: int = 0
    markers_y: int = 0
    marker_length: float = 0.0
    marker_separation: float = 0.0
    dictionary: str = DEFAULT_DICTIONARY
    legacy_pattern: bool = False
    first_marker_id: int = 0
    spacing: float = 0.0
    circle_diameter: float = 0.0
    asymmetric: bool = False
    polarity: str = "either"
    origin_circle_diameter: float = 0.0

    def to_json(self) -> dict:
        """The target file's document: the kind, its own fields and, for marker boards, the dictionary."""
        document = {"kind": self.kind}
        values = asdict(self)
        for name in _FIELDS[self.kind]:
            document[name] = values[name]
        if self.kind == "aruco" and not self.marker_separation:
            del document["marker_separation"]  # a single tag's, which it needs not
        if self.kind in _MARKER_KINDS:
            document["dictionary"] = self.dictionary
        if self.kind == "charuco":
            document["legacy_pattern"] = self.legacy_pattern
        if self.kind == "aruco" and self.first_marker_id:
            document["first_marker_id"] = self.first_marker_id
        if self.kind == "circle_grid":
            document["asymmetric"] = self.asymmetric
            if self.polarity != "either":
                document["polarity"] = self.polarity
            if self.origin_circle_diameter:
                document["origin_circle_diameter"] = self.origin_circle_diameter
        return document

    def build(self):
        """The library's target object (ChessboardTarget, CharucoTarget, ArucoTarget or CircleGridTarget)."""
        if self.kind == "chessboard":
            return _velk.ChessboardTarget((self.cols, self.rows), self.square_size)
        if self.kind == "charuco":
            return _velk.CharucoTarget(self.squares_x, self.squares_y, self.square_length, self.marker_length,
                                       self.dictionary)
        if self.kind == "circle_grid":
            return _velk.CircleGridTarget((self.cols, self.rows), self.spacing, self.asymmetric, self.circle_diameter,
                                          self.polarity, self.origin_circle_diameter)
        return _velk.ArucoTarget((self.markers_x, self.markers_y), self.marker_length, self.grid_separation,
                                 self.dictionary, self.first_marker_id)

    @property
    def grid_separation(self) -> float:
        """The gap between markers as a grid board takes it: a single tag has no gap, and the library's grid
        board, which needs a positive one, is given the marker's side (it places no second marker by it)."""
        return self.marker_separation or self.marker_length

    def scale_length(self) -> tuple[str, float]:
        """The length a user measures on the printed board to check its scale, with what it is called in the
        plural: ("squares", 0.025) for a chessboard or ChArUco board, ("markers", ...) for an ArUco grid, ("circle
        spacings", ...) for a circle grid; metres."""
        if self.kind == "chessboard":
            return "squares", self.square_size
        if self.kind == "charuco":
            return "squares", self.square_length
        if self.kind == "circle_grid":
            return "circle spacings", self.spacing
        return "markers", self.marker_length

    def describe(self) -> str:
        """One line naming the board and its sizes in millimetres."""
        if self.kind == "chessboard":
            return (f"chessboard {self.cols} x {self.rows} inner corners, "
                    f"square {self.square_size * 1000:.2f} mm")
        if self.kind == "charuco":
            legacy = ", legacy pattern" if self.legacy_pattern else ""
            return (f"ChArUco {self.squares_x} x {self.squares_y} squares, square {self.square_length * 1000:.2f} mm, "
                    f"marker {self.marker_length * 1000:.2f} mm, {self.dictionary}{legacy}")
        if self.kind == "circle_grid":
            layout = "asymmetric" if self.asymmetric else "symmetric"
            origin = (f", origin circle {self.origin_circle_diameter * 1000:.2f} mm" if self.origin_circle_diameter
                      else "")
            ground = {"dark": ", dark circles on light", "light": ", light circles on dark"}.get(self.polarity, "")
            return (f"{layout} circle grid {self.cols} x {self.rows} circles, spacing {self.spacing * 1000:.2f} mm, "
                    f"circle {self.circle_diameter * 1000:.2f} mm{origin}{ground}")
        return (f"ArUco grid {self.markers_x} x {self.markers_y} markers, marker {self.marker_length * 1000:.2f} mm, "
                f"gap {self.marker_separation * 1000:.2f} mm, {self.dictionary}, first id {self.first_marker_id}")


def _field_value(document: dict, name: str, kind_of_value):
    if name not in document:
        raise TargetFileError(f"target: missing field '{name}'")
    value = document[name]
    if kind_of_value is int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise TargetFileError(f"target: field '{name}' must be an integer, got {_short(value)}")
        if not 1 <= value <= MAX_COUNT:
            raise TargetFileError(f"target: field '{name}' must lie between 1 and {MAX_COUNT}, got {_short(value)}")
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not _finite(value) or value <= 0:
        raise TargetFileError(f"target: field '{name}' must be a positive length in metres, got {_short(value)}")
    return float(value)


def _check_geometry(printed: PrintedTarget) -> None:
    if printed.kind == "chessboard" and (printed.cols < 2 or printed.rows < 2):
        raise TargetFileError("target: a chessboard needs at least 2 x 2 inner corners")
    if printed.kind in ("aruco", "circle_grid"):
        try:
            printed.build().validate()
        except ValueError as error:
            raise TargetFileError(f"target: {error}") from error
    if printed.kind == "charuco":
        if printed.squares_x < 2 or printed.squares_y < 2:
            raise TargetFileError("target: a ChArUco board needs at least 2 x 2 squares")
        if printed.marker_length >= printed.square_length:
            raise TargetFileError("target: the marker must be smaller than the square")
        if printed.legacy_pattern and printed.squares_y % 2 == 0:
            # The detector lays markers out in the current pattern; on boards with an even
            # number of rows the legacy layout differs and would be misread.
            raise TargetFileError("target: the legacy ChArUco pattern is only supported on boards with an odd "
                                  "number of rows (squares_y)")


def dictionary_name(name) -> str:
    """The library's name of an ArUco dictionary written in any case ("dict_apriltag_36h11", OpenCV's
    "DICT_APRILTAG_36h11"); an unknown name is refused with the nearest known ones ("did you mean ...")."""
    known = {key.upper(): key for key in _velk.aruco_dictionary_id_map()}
    if isinstance(name, str) and name.strip().upper() in known:
        return known[name.strip().upper()]
    message = f"target: unknown dictionary {_short(name)}"
    if isinstance(name, str):
        near = difflib.get_close_matches(name.strip().upper(), list(known), n=2, cutoff=0.75)
        if near:
            message += "; did you mean " + " or ".join(known[key] for key in near) + "?"
    raise TargetFileError(message)


def _dictionary(document: dict) -> str:
    return dictionary_name(document.get("dictionary", DEFAULT_DICTIONARY))


def _flag(document: dict, name: str) -> bool:
    value = document.get(name, False)
    if not isinstance(value, bool):
        raise TargetFileError(f"target: '{name}' must be true or false, got {_short(value)}")
    return value


def _polarity(document: dict) -> str:
    value = document.get("polarity", "either")
    if value not in POLARITIES:
        raise TargetFileError(f"target: 'polarity' must be one of {', '.join(POLARITIES)}, got {_short(value)}")
    return value


def _origin_circle_diameter(document: dict) -> float:
    return _field_value(document, "origin_circle_diameter", float) if "origin_circle_diameter" in document else 0.0


def _first_marker_id(document: dict) -> int:
    value = document.get("first_marker_id", 0)
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise TargetFileError(f"target: field 'first_marker_id' must be an integer of 0 or more, got {_short(value)}")
    if value > _LARGEST_MARKER_ID:
        raise TargetFileError(f"target: field 'first_marker_id' {_short(value)} is past the ids of every dictionary")
    return value


def _single_tag(document: dict) -> bool:
    """An ArUco "board" of one marker (markers_x and markers_y both 1)."""
    return document.get("kind") == "aruco" and document.get("markers_x") == 1 and document.get("markers_y") == 1


def printed_from_json(document) -> PrintedTarget:
    """Checks a parsed target file and returns its description."""
    if not isinstance(document, dict):
        raise TargetFileError("target: the file must hold a JSON object")
    kind = document.get("kind")
    if not isinstance(kind, str) or kind not in KINDS:
        raise TargetFileError(f"target: 'kind' must be one of {', '.join(KINDS)}, got {_short(kind)}")
    fields = dict(_FIELDS[kind])
    # One tag has no neighbour to keep apart from: its separation is 0 unless given.
    untold = _single_tag(document) and "marker_separation" not in document
    if untold:
        del fields["marker_separation"]
    values = {name: _field_value(document, name, kind_of_value) for name, kind_of_value in fields.items()}
    if untold:
        values["marker_separation"] = 0.0
    if kind in _MARKER_KINDS:
        values["dictionary"] = _dictionary(document)
    legacy = _flag(document, "legacy_pattern")
    if kind == "aruco":
        values["first_marker_id"] = _first_marker_id(document)
    if kind == "circle_grid":
        values["asymmetric"] = _flag(document, "asymmetric")
        values["polarity"] = _polarity(document)
        values["origin_circle_diameter"] = _origin_circle_diameter(document)
    printed = PrintedTarget(kind=kind, legacy_pattern=legacy if kind == "charuco" else False, **values)
    _check_geometry(printed)
    return printed


def load_target_file(path) -> PrintedTarget:
    """Reads and checks a target file; every failure is a TargetFileError."""
    path = Path(path)
    try:
        data = path.read_bytes()
    except OSError as error:
        raise TargetFileError(f"target: cannot read {path}: {error.strerror or error}") from error
    return target_from_bytes(data, str(path))


def target_from_bytes(data: bytes, name: str = "target file") -> PrintedTarget:
    """Checks the contents of a target file; ``name`` names it in errors."""
    try:
        document = json.loads(data.decode("utf-8"))
    except UnicodeDecodeError:
        raise TargetFileError(f"target: {name} is not a UTF-8 text file") from None
    except json.JSONDecodeError as error:
        raise TargetFileError(f"target: {name} is not valid JSON ({error.msg}, line {error.lineno})") from None
    except (RecursionError, ValueError) as error:  # nesting too deep, an integer too long to read
        raise TargetFileError(f"target: {name} cannot be read as a target file ({_short(str(error))})") from None
    return printed_from_json(document)


def save_target_file(path, printed: PrintedTarget) -> Path:
    path = Path(path)
    safe_files.write_text(path, json.dumps(printed.to_json(), indent=2) + "\n")
    return path
