"""The pattern of a target drawn at a given resolution, edges where the physical sizes put them."""

from __future__ import annotations

import numpy as np

from ..target_file import TargetSpec

METRES_PER_INCH = 0.0254


def pixels_per_metre(dpi: float) -> float:
    return dpi / METRES_PER_INCH


def pattern_size_m(spec: TargetSpec) -> tuple[float, float]:
    """Width and height of the printed pattern (without its quiet zone), metres."""
    if spec.kind == "chessboard":
        return (spec.cols + 1) * spec.square_size, (spec.rows + 1) * spec.square_size
    if spec.kind == "charuco":
        return spec.squares_x * spec.square_length, spec.squares_y * spec.square_length
    return (spec.markers_x * spec.marker_length + (spec.markers_x - 1) * spec.marker_separation,
            spec.markers_y * spec.marker_length + (spec.markers_y - 1) * spec.marker_separation)


def quiet_zone_m(spec: TargetSpec) -> float:
    """White border kept around the pattern: one square, or one marker for an ArUco grid."""
    if spec.kind == "chessboard":
        return spec.square_size
    if spec.kind == "charuco":
        return spec.square_length
    return spec.marker_length


def _chessboard(spec: TargetSpec, ppm: float) -> np.ndarray:
    # Every edge is rounded on its own, so no error accumulates along the board.
    xs = np.round(np.arange(spec.cols + 2) * spec.square_size * ppm).astype(int)
    ys = np.round(np.arange(spec.rows + 2) * spec.square_size * ppm).astype(int)
    image = np.full((ys[-1], xs[-1]), 255, np.uint8)
    for row in range(spec.rows + 1):
        for col in range(spec.cols + 1):
            if (row + col) % 2 == 0:  # the top-left square is black
                image[ys[row]:ys[row + 1], xs[col]:xs[col + 1]] = 0
    return image


def _opencv_board(spec: TargetSpec):
    import cv2

    dictionary = cv2.aruco.getPredefinedDictionary(spec.build().aruco_dict_id)
    if spec.kind == "charuco":
        board = cv2.aruco.CharucoBoard((spec.squares_x, spec.squares_y), spec.square_length, spec.marker_length,
                                       dictionary)
        board.setLegacyPattern(spec.legacy_pattern)
        return board
    return cv2.aruco.GridBoard((spec.markers_x, spec.markers_y), spec.marker_length, spec.marker_separation,
                               dictionary)


def pattern_image(spec: TargetSpec, dpi: float) -> np.ndarray:
    """The pattern as an 8-bit grey image at ``dpi`` pixels per inch (0 black, 255 white)."""
    ppm = pixels_per_metre(dpi)
    if spec.kind == "chessboard":
        return _chessboard(spec, ppm)
    width_m, height_m = pattern_size_m(spec)
    size = (int(round(width_m * ppm)), int(round(height_m * ppm)))
    return _opencv_board(spec).generateImage(size, marginSize=0, borderBits=1)
