"""Targets: which kind a target object is, where its printed sheet and pattern lie in the
board frame, and the layout of everything printed on the sheet."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np


def _target_kind(target) -> str:
    if all(hasattr(target, a) for a in ("size", "spacing", "asymmetric", "circle_diameter")):
        return "circle_grid"
    if all(hasattr(target, a) for a in ("squares_x", "squares_y", "square_length", "marker_length", "aruco_dict_id")):
        return "charuco"
    if all(hasattr(target, a) for a in ("board_size", "marker_length", "marker_separation", "aruco_dict_id")):
        return "aruco_grid"
    if hasattr(target, "size") and hasattr(target, "square_size"):
        return "chessboard"
    raise TypeError(
        f"unsupported target {type(target).__name__}: expected a chessboard (size, square_size), "
        "a ChArUco board (squares_x, squares_y, square_length, marker_length, aruco_dict_id) or "
        "an ArUco grid (board_size, marker_length, marker_separation, aruco_dict_id) or "
        "a circle grid (size, spacing, asymmetric, circle_diameter)"
    )


def _positive(value, name) -> float:
    value = float(value)
    if not (value > 0.0 and math.isfinite(value)):
        raise ValueError(f"{name} must be a positive length, got {value}")
    return value


def _count_pair(value, name, minimum) -> tuple[int, int]:
    pair = tuple(int(v) for v in value)
    if len(pair) != 2 or min(pair) < minimum:
        raise ValueError(f"{name} must be two integers >= {minimum}, got {value}")
    return pair


def _pattern_and_margin(target) -> tuple[tuple[float, float, float, float], float]:
    """Board-frame bounds (x0, y0, x1, y1) of the printed pattern and the quiet-zone width."""
    kind = _target_kind(target)
    if kind == "chessboard":
        cols, rows = _count_pair(target.size, "size", 2)
        s = _positive(target.square_size, "square_size")
        return (-s, -s, cols * s, rows * s), s
    if kind == "charuco":
        sx, sy = _count_pair((target.squares_x, target.squares_y), "squares_x, squares_y", 2)
        length = _positive(target.square_length, "square_length")
        return (0.0, 0.0, sx * length, sy * length), length
    if kind == "circle_grid":
        circles = _circles(target)
        (x0, y0), (x1, y1) = (circles[:, :2] - circles[:, 2:]).min(axis=0), (circles[:, :2] + circles[:, 2:]).max(0)
        return (x0, y0, x1, y1), float(target.spacing)
    mx, my = _count_pair(target.board_size, "board_size", 1)
    length = _positive(target.marker_length, "marker_length")
    sep = _positive(target.marker_separation, "marker_separation")
    return (0.0, 0.0, mx * length + (mx - 1) * sep, my * length + (my - 1) * sep), length


def _origin_circle_diameter(target) -> float:
    """The diameter of the larger circle marking a circle grid's origin, 0 without one."""
    return float(getattr(target, "origin_circle_diameter", 0.0))


def _light_circles(target) -> bool:
    """True for light circles on a dark ground; a grid of "either" polarity is drawn dark on light."""
    return getattr(target, "polarity", "dark") == "light"


def _circle_centres(target) -> np.ndarray:
    """(N, 3) board-frame circle centres in the library's object-point order.

    A grid with a marked origin has its frame at the larger circle, bottom left as printed, with +y up the
    page: its rows, numbered from the top, lie at decreasing y."""
    cols, rows = _count_pair(target.size, "size", 3)
    s = _positive(target.spacing, "spacing")
    ii, jj = np.meshgrid(np.arange(rows), np.arange(cols), indexing="ij")
    columns = 2 * jj + ii % 2 if bool(target.asymmetric) else jj
    ups = rows - 1 - ii if _origin_circle_diameter(target) > 0.0 else ii
    return np.stack([columns.ravel() * s, ups.ravel() * s, np.zeros(rows * cols)], axis=1)


def _circles(target) -> np.ndarray:
    """(N, 3) x, y, radius of every printed circle, the larger origin circle at the board's origin."""
    centres = _circle_centres(target)
    radii = np.full(len(centres), _positive(target.circle_diameter, "circle_diameter") / 2.0)
    origin = _origin_circle_diameter(target)
    if origin > 0.0:
        radii[np.flatnonzero((np.abs(centres[:, :2]) < 1e-12).all(axis=1))] = origin / 2.0
    return np.column_stack([centres[:, :2], radii])


def sheet_bounds(target) -> tuple[float, float, float, float]:
    """Board-frame rectangle ``(x_min, y_min, x_max, y_max)`` [m] of the printed sheet.

    The sheet is the pattern plus a white quiet zone of one square (chessboard,
    ChArUco), one marker length (ArUco grid) or one spacing (circle grid) on every side; its size is the
    paper a real print of the target needs.
    """
    (x0, y0, x1, y1), margin = _pattern_and_margin(target)
    return (x0 - margin, y0 - margin, x1 + margin, y1 + margin)


def printed_face_side(target) -> float:
    """The sign of the board-frame z on the side a camera sees the printed face from: -1, but +1 for a circle grid
    with a marked origin, whose frame has +z out of the printed face."""
    return 1.0 if _target_kind(target) == "circle_grid" and _origin_circle_diameter(target) > 0.0 else -1.0


def board_center(target) -> np.ndarray:
    """Board-frame position (3,) [m] of the centre of the printed pattern.

    A handy point to aim a camera at with :func:`look_at_pose`.
    """
    (x0, y0, x1, y1), _ = _pattern_and_margin(target)
    return np.array([(x0 + x1) / 2.0, (y0 + y1) / 2.0, 0.0])


@dataclass
class _Layout:
    object_points: np.ndarray  # (N, 3) ground-truth points
    ids: np.ndarray  # (N,)
    marker_ids: np.ndarray  # (M,)
    marker_points: np.ndarray  # (M, 4, 3)
    marker_images: list  # (n, n) uint8 per marker, one pixel per bit cell, 0 = black
    black_rects: np.ndarray  # (K, 4) x0, y0, x1, y1 of black squares
    sheet: tuple  # x0, y0, x1, y1
    normal: np.ndarray  # (3,) points away from a viewer of the printed face
    circles: np.ndarray = None  # (C, 3) x, y, radius of the circles
    light_circles: bool = False  # light circles on a dark sheet rather than black ones on white

    def __post_init__(self):
        if self.circles is None:
            self.circles = np.zeros((0, 3))


def _dictionary(cv2, target):
    try:
        return cv2.aruco.getPredefinedDictionary(int(target.aruco_dict_id))
    except cv2.error as exc:
        raise ValueError(f"aruco_dict_id {target.aruco_dict_id!r} is not an OpenCV predefined dictionary") from exc


def _marker_ids_argument(target):
    ids = getattr(target, "ids", None)
    if ids is None and getattr(target, "first_marker_id", 0) and hasattr(target, "board_size"):
        # A grid whose markers start at another id than 0 carries the ids that follow it.
        mx, my = (int(v) for v in target.board_size)
        first = int(target.first_marker_id)
        return np.arange(first, first + mx * my, dtype=np.int32)
    return None if ids is None else np.asarray(ids, dtype=np.int32).ravel()


def _layout(cv2, target) -> _Layout:
    kind = _target_kind(target)
    sheet = sheet_bounds(target)
    empty_markers = (np.zeros(0, np.int64), np.zeros((0, 4, 3)), [])
    if kind == "chessboard":
        cols, rows = _count_pair(target.size, "size", 2)
        s = float(target.square_size)
        jj, ii = np.meshgrid(np.arange(cols), np.arange(rows))
        points = np.stack([jj.ravel() * s, ii.ravel() * s, np.zeros(cols * rows)], axis=1)
        # Squares (a, b) of the printed board, counted from the top-left outer square (black).
        rects = [
            ((a - 1) * s, (b - 1) * s, a * s, b * s)
            for b in range(rows + 1)
            for a in range(cols + 1)
            if (a + b) % 2 == 0
        ]
        return _Layout(points, np.arange(cols * rows, dtype=np.int64), *empty_markers,
                       np.array(rects, dtype=np.float64), sheet, np.array([0.0, 0.0, 1.0]))
    if kind == "circle_grid":
        centres = _circle_centres(target)
        radius = float(target.circle_diameter) / 2.0
        if not radius * 2.0 < (math.sqrt(2.0) if target.asymmetric else 1.0) * float(target.spacing):
            raise ValueError("circle_diameter must be smaller than the distance between neighbouring centres")
        light = _light_circles(target)
        # A light-circle plate is dark all over; the printed face of a grid with a marked origin looks along +z.
        ground = np.array([sheet], dtype=np.float64) if light else np.zeros((0, 4))
        normal = np.array([0.0, 0.0, -printed_face_side(target)])
        return _Layout(centres, np.arange(len(centres), dtype=np.int64), *empty_markers, ground, sheet, normal,
                       _circles(target), light)

    dictionary = _dictionary(cv2, target)
    ids_arg = _marker_ids_argument(target)
    if kind == "charuco":
        sx, sy = int(target.squares_x), int(target.squares_y)
        square, marker = float(target.square_length), float(target.marker_length)
        if not 0.0 < marker < square:
            raise ValueError("marker_length must be positive and smaller than square_length")
        if ids_arg is None:
            board = cv2.aruco.CharucoBoard((sx, sy), square, marker, dictionary)
        else:
            board = cv2.aruco.CharucoBoard((sx, sy), square, marker, dictionary, ids_arg)
        if getattr(target, "legacy_pattern", False):
            board.setLegacyPattern(True)
        points = np.asarray(board.getChessboardCorners(), dtype=np.float64).reshape(-1, 3)
        ids = np.arange(len(points), dtype=np.int64)
    else:
        mx, my = (int(v) for v in target.board_size)
        if ids_arg is None:
            board = cv2.aruco.GridBoard((mx, my), float(target.marker_length), float(target.marker_separation),
                                        dictionary)
        else:
            board = cv2.aruco.GridBoard((mx, my), float(target.marker_length), float(target.marker_separation),
                                        dictionary, ids_arg)
        points = ids = None

    marker_points = np.asarray(board.getObjPoints(), dtype=np.float64).reshape(-1, 4, 3)
    marker_ids = np.asarray(board.getIds(), dtype=np.int64).ravel()
    (x0, y0, x1, y1), _ = _pattern_and_margin(target)
    tolerance = 1e-6 * max(x1 - x0, y1 - y0)
    xy = marker_points[..., :2].reshape(-1, 2)
    low, high = xy.min(axis=0), xy.max(axis=0)
    if low[0] < x0 - tolerance or low[1] < y0 - tolerance or high[0] > x1 + tolerance or high[1] > y1 + tolerance:
        raise RuntimeError("this OpenCV lays the board out differently from the expected board frame")
    cells = dictionary.markerSize + 2
    marker_images = [dictionary.generateImageMarker(int(i), cells, borderBits=1) for i in marker_ids]
    if points is None:
        points = marker_points.reshape(-1, 3)
        ids = np.repeat(marker_ids, 4)

    rects = []
    if kind == "charuco":
        centres = marker_points.mean(axis=1)
        for y in range(sy):
            for x in range(sx):
                x0, y0 = x * square, y * square
                inside = (
                    (centres[:, 0] > x0) & (centres[:, 0] < x0 + square)
                    & (centres[:, 1] > y0) & (centres[:, 1] < y0 + square)
                )
                if not inside.any():
                    rects.append((x0, y0, x0 + square, y0 + square))
    edge_x = marker_points[0, 1] - marker_points[0, 0]
    edge_y = marker_points[0, 3] - marker_points[0, 0]
    normal = np.cross(edge_x, edge_y)
    normal /= np.linalg.norm(normal)
    return _Layout(points, ids, marker_ids, marker_points, marker_images,
                   np.array(rects, dtype=np.float64).reshape(-1, 4), sheet, normal)
