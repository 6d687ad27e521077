"""The pattern of a target as black rectangles in millimetres (origin top left, y down): the exact edges a
vector page draws, independent of any resolution."""

from __future__ import annotations

import numpy as np

from ..target_file import PrintedTarget
from .board_image import light_circles, pattern_size_m, printed_circles

#: One black rectangle: left, top, width, height in millimetres.
Rectangle = tuple[float, float, float, float]


def _chessboard(printed: PrintedTarget) -> list[Rectangle]:
    side = printed.square_size * 1000.0
    return [(col * side, row * side, side, side)
            for row in range(printed.rows + 1) for col in range(printed.cols + 1)
            if (row + col) % 2 == 0]  # the top-left square is black, as on the raster page


def _marker_modules(dictionary, marker_id: int, bits: int) -> np.ndarray:
    """(bits + 2) x (bits + 2) booleans, True where the marker (with its one-module black border) is black."""
    import cv2

    image = cv2.aruco.generateImageMarker(dictionary, int(marker_id), bits + 2, borderBits=1)
    return image < 128


def _module_runs(modules: np.ndarray, left: float, top: float, module: float) -> list[Rectangle]:
    """The black modules of one marker, adjacent modules of a row joined into one rectangle."""
    rectangles = []
    for row, line in enumerate(modules):
        col = 0
        while col < len(line):
            if not line[col]:
                col += 1
                continue
            start = col
            while col < len(line) and line[col]:
                col += 1
            rectangles.append((left + start * module, top + row * module, (col - start) * module, module))
    return rectangles


def _markers(printed: PrintedTarget, board) -> list[Rectangle]:
    """Every marker of an OpenCV board, from its object points (metres; x right, y down from the top left)."""
    dictionary = board.getDictionary()
    bits = dictionary.markerSize
    rectangles = []
    for corners, marker_id in zip(board.getObjPoints(), np.ravel(board.getIds())):
        corners = np.asarray(corners, np.float64).reshape(-1, 3) * 1000.0
        left, top = corners[:, 0].min(), corners[:, 1].min()
        module = (corners[:, 0].max() - left) / (bits + 2)
        rectangles += _module_runs(_marker_modules(dictionary, marker_id, bits), left, top, module)
    return rectangles


def _charuco_squares(printed: PrintedTarget, board) -> list[Rectangle]:
    """The black squares: those that hold no marker (legacy or not, the markers sit in the white ones)."""
    side = printed.square_length * 1000.0
    centres = [np.asarray(c, np.float64).reshape(-1, 3).mean(axis=0)[:2] * 1000.0 for c in board.getObjPoints()]
    holding = {(int(x // side), int(y // side)) for x, y in centres}
    return [(col * side, row * side, side, side)
            for row in range(printed.squares_y) for col in range(printed.squares_x)
            if (col, row) not in holding]


def pattern_rectangles(printed: PrintedTarget) -> list[Rectangle]:
    """The black rectangles of the printed pattern, without its quiet zone (a circle grid's circles are
    pattern_circles)."""
    if printed.kind == "chessboard":
        return _chessboard(printed)
    if printed.kind == "circle_grid":
        width_mm, height_mm = pattern_size_mm(printed)
        return [(0.0, 0.0, width_mm, height_mm)] if light_circles(printed) else []
    from .board_image import _opencv_board

    board = _opencv_board(printed)
    squares = _charuco_squares(printed, board) if printed.kind == "charuco" else []
    return squares + _markers(printed, board)


def pattern_circles(printed: PrintedTarget) -> list[tuple[float, float, float]]:
    """A circle grid's circles as centre x, centre y and radius in millimetres (empty for other boards)."""
    if printed.kind != "circle_grid":
        return []
    return [(x * 1000.0, y * 1000.0, r * 1000.0) for x, y, r in printed_circles(printed)]


def pattern_size_mm(printed: PrintedTarget) -> tuple[float, float]:
    width_m, height_m = pattern_size_m(printed)
    return width_m * 1000.0, height_m * 1000.0
