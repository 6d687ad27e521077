"""The pattern of a target drawn at a given resolution, edges where the physical sizes put them."""

from __future__ import annotations

import numpy as np

from ..target_file import PrintedTarget

METRES_PER_INCH = 0.0254


def pixels_per_metre(dpi: float) -> float:
    return dpi / METRES_PER_INCH


def pattern_size_m(printed: PrintedTarget) -> tuple[float, float]:
    """Width and height of the printed pattern (without its quiet zone), metres."""
    if printed.kind == "chessboard":
        return (printed.cols + 1) * printed.square_size, (printed.rows + 1) * printed.square_size
    if printed.kind == "charuco":
        return printed.squares_x * printed.square_length, printed.squares_y * printed.square_length
    if printed.kind == "circle_grid":
        return circle_pattern_size_m(printed)
    return (printed.markers_x * printed.marker_length + (printed.markers_x - 1) * printed.marker_separation,
            printed.markers_y * printed.marker_length + (printed.markers_y - 1) * printed.marker_separation)


def quiet_zone_m(printed: PrintedTarget) -> float:
    """White border kept around the pattern: one square, one marker for an ArUco grid, one spacing for circles."""
    if printed.kind == "chessboard":
        return printed.square_size
    if printed.kind == "charuco":
        return printed.square_length
    if printed.kind == "circle_grid":
        return printed.spacing
    return printed.marker_length


def _chessboard(printed: PrintedTarget, ppm: float) -> np.ndarray:
    # Every edge is rounded on its own, so no error accumulates along the board.
    xs = np.round(np.arange(printed.cols + 2) * printed.square_size * ppm).astype(int)
    ys = np.round(np.arange(printed.rows + 2) * printed.square_size * ppm).astype(int)
    image = np.full((ys[-1], xs[-1]), 255, np.uint8)
    for row in range(printed.rows + 1):
        for col in range(printed.cols + 1):
            if (row + col) % 2 == 0:  # the top-left square is black
                image[ys[row]:ys[row + 1], xs[col]:xs[col + 1]] = 0
    return image


def light_circles(printed: PrintedTarget) -> bool:
    """True when the board is printed as light circles on a dark plate; "dark" and "either" print dark circles."""
    return printed.polarity == "light"


def _plate_border_m(printed: PrintedTarget) -> float:
    """Dark ground kept around light circles, one spacing; none around dark circles on the white page."""
    return printed.spacing if light_circles(printed) else 0.0


def printed_circles(printed: PrintedTarget) -> list[tuple[float, float, float]]:
    """Centre x, y and radius of every circle of a circle grid, metres from the pattern's top left (y down). The
    larger origin circle of a marked grid is the first of the bottom row."""
    small = printed.circle_diameter / 2.0
    large = max(small, printed.origin_circle_diameter / 2.0)
    border = _plate_border_m(printed)
    circles = []
    for row in range(printed.rows):
        for col in range(printed.cols):
            column = 2 * col + row % 2 if printed.asymmetric else col
            origin = printed.origin_circle_diameter > 0.0 and row == printed.rows - 1 and col == 0
            circles.append((border + large + column * printed.spacing, border + small + row * printed.spacing,
                            large if origin else small))
    return circles


def circle_pattern_size_m(printed: PrintedTarget) -> tuple[float, float]:
    """Width and height of a circle grid's pattern: its circles and, for light circles, the dark plate around them."""
    small = printed.circle_diameter / 2.0
    large = max(small, printed.origin_circle_diameter / 2.0)
    columns = 2 * printed.cols if printed.asymmetric else printed.cols  # shifted rows reach one column further
    border = 2.0 * _plate_border_m(printed)
    return (border + (columns - 1) * printed.spacing + small + large,
            border + (printed.rows - 1) * printed.spacing + small + large)


def _circle_grid(printed, ppm: float) -> np.ndarray:
    # Each pixel takes the share of its area inside a circle, from its centre's distance to the rim.
    width_m, height_m = pattern_size_m(printed)
    light = light_circles(printed)
    image = np.full((int(round(height_m * ppm)), int(round(width_m * ppm))), 0.0 if light else 255.0)
    for x_m, y_m, radius_m in printed_circles(printed):
        u, v, radius = x_m * ppm, y_m * ppm, radius_m * ppm
        c0, c1 = max(int(u - radius) - 1, 0), min(int(u + radius) + 2, image.shape[1])
        r0, r1 = max(int(v - radius) - 1, 0), min(int(v + radius) + 2, image.shape[0])
        cc, rr = np.meshgrid(np.arange(c0, c1) + 0.5, np.arange(r0, r1) + 0.5)
        cover = np.clip(radius - np.hypot(cc - u, rr - v) + 0.5, 0.0, 1.0)
        patch = image[r0:r1, c0:c1]
        patch[...] = np.maximum(patch, 255.0 * cover) if light else np.minimum(patch, 255.0 * (1.0 - cover))
    return np.rint(image).astype(np.uint8)


def _opencv_board(printed: PrintedTarget):
    import cv2

    dictionary = cv2.aruco.getPredefinedDictionary(printed.build().aruco_dict_id)
    if printed.kind == "charuco":
        board = cv2.aruco.CharucoBoard((printed.squares_x, printed.squares_y), printed.square_length, printed.marker_length,
                                       dictionary)
        board.setLegacyPattern(printed.legacy_pattern)
        return board
    markers = printed.markers_x * printed.markers_y
    ids = np.arange(printed.first_marker_id, printed.first_marker_id + markers, dtype=np.int32)
    return cv2.aruco.GridBoard((printed.markers_x, printed.markers_y), printed.marker_length, printed.grid_separation,
                               dictionary, ids)


def pattern_image(printed: PrintedTarget, dpi: float) -> np.ndarray:
    """The pattern as an 8-bit grey image at ``dpi`` pixels per inch (0 black, 255 white)."""
    ppm = pixels_per_metre(dpi)
    if printed.kind == "chessboard":
        return _chessboard(printed, ppm)
    if printed.kind == "circle_grid":
        return _circle_grid(printed, ppm)
    width_m, height_m = pattern_size_m(printed)
    size = (int(round(width_m * ppm)), int(round(height_m * ppm)))
    return _opencv_board(printed).generateImage(size, marginSize=0, borderBits=1)
