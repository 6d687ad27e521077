"""The pattern of a target drawn at a given resolution, edges where the physical sizes put them."""

from __future__ import annotations

import numpy as np

from ..target_file import TargetSpec

METRES_PER_INCH = 0.0254


def pixels_per_metre(dpi: float) -> float:
    return dpi / METRES_PER_INCH


def pattern_size_m(printed: TargetSpec) -> tuple[float, float]:
    """Width and height of the printed pattern (without its quiet zone), metres."""
    if printed.kind == "chessboard":
        return (printed.cols + 1) * printed.square_size, (printed.rows + 1) * printed.square_size
    if printed.kind == "charuco":
        return printed.squares_x * printed.square_length, printed.squares_y * printed.square_length
    return (printed.markers_x * printed.marker_length + (printed.markers_x - 1) * printed.marker_separation,
            printed.markers_y * printed.marker_length + (printed.markers_y - 1) * printed.marker_separation)


def quiet_zone_m(printed: TargetSpec) -> float:
    """White border kept around the pattern: one square, or one marker for an ArUco grid."""
    if printed.kind == "chessboard":
        return printed.square_size
    if printed.kind == "charuco":
        return printed.square_length
    return printed.marker_length


def _chessboard(printed: TargetSpec, ppm: float) -> np.ndarray:
    # Every edge is rounded on its own, so no error accumulates along the board.
    xs = np.round(np.arange(printed.cols + 2) * printed.square_size * ppm).astype(int)
    ys = np.round(np.arange(printed.rows + 2) * printed.square_size * ppm).astype(int)
    image = np.full((ys[-1], xs[-1]), 255, np.uint8)
    for row in range(printed.rows + 1):
        for col in range(printed.cols + 1):
            if (row + col) % 2 == 0:  # the top-left square is black
                image[ys[row]:ys[row + 1], xs[col]:xs[col + 1]] = 0
    return image


def _opencv_board(printed: TargetSpec):
    import cv2

    dictionary = cv2.aruco.getPredefinedDictionary(printed.build().aruco_dict_id)
    if printed.kind == "charuco":
        board = cv2.aruco.CharucoBoard((printed.squares_x, printed.squares_y), printed.square_length, printed.marker_length,
                                       dictionary)
        board.setLegacyPattern(printed.legacy_pattern)
        return board
    return cv2.aruco.GridBoard((printed.markers_x, printed.markers_y), printed.marker_length, printed.marker_separation,
                               dictionary)


def pattern_image(printed: TargetSpec, dpi: float) -> np.ndarray:
    """The pattern as an 8-bit grey image at ``dpi`` pixels per inch (0 black, 255 white)."""
    ppm = pixels_per_metre(dpi)
    if printed.kind == "chessboard":
        return _chessboard(printed, ppm)
    width_m, height_m = pattern_size_m(printed)
    size = (int(round(width_m * ppm)), int(round(height_m * ppm)))
    return _opencv_board(printed).generateImage(size, marginSize=0, borderBits=1)
