"""The lens distortion field of the pinhole model: how far, and which way, the lens moves points across the image,
and how that compares inside the convex hull of the observed corners (where the model is measured) and outside it
(where it is extrapolated)."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

GRID = (16, 12)
#: Displacement outside the observed corners that earns a warning: this many pixels, and this many times the
#: largest displacement inside them.
EXTRAPOLATION_WARNING_PX = 20.0
EXTRAPOLATION_WARNING_RATIO = 2.0


def distortion_field(camera_matrix, distortion, image_size, grid=GRID):
    """Grid of pixel positions and, for each, the displacement from where the lens puts it to the ideal pinhole
    image."""
    import cv2

    width, height = image_size
    xs = np.linspace(0, width - 1, grid[0])
    ys = np.linspace(0, height - 1, grid[1])
    points = np.array([(x, y) for y in ys for x in xs], np.float64)
    ideal = cv2.undistortPoints(points.reshape(-1, 1, 2), camera_matrix, distortion, P=camera_matrix).reshape(-1, 2)
    return points, ideal - points


def observed_hull(points_per_view):
    """Convex hull (K x 2) of every detected corner; None without corners."""
    import cv2

    corners = [np.asarray(p, np.float32).reshape(-1, 2) for p in points_per_view or []]
    corners = [c for c in corners if len(c)]
    if not corners:
        return None
    return cv2.convexHull(np.vstack(corners)).reshape(-1, 2).astype(np.float64)


def inside_hull(points, hull) -> np.ndarray:
    """Which points lie inside the hull (all of them without one)."""
    import cv2

    if hull is None:
        return np.ones(len(points), bool)
    contour = hull.reshape(-1, 1, 2).astype(np.float32)
    return np.array([cv2.pointPolygonTest(contour, (float(x), float(y)), False) >= 0 for x, y in points])


def extrapolation_warning(inside_px: float, outside_px: float) -> str:
    """A warning when the model moves points outside the observed corners far more than inside them."""
    if outside_px > EXTRAPOLATION_WARNING_PX and outside_px > EXTRAPOLATION_WARNING_RATIO * inside_px:
        return (f"WARNING: outside the observed corners the model moves points by up to {outside_px:.0f} px "
                f"(at most {inside_px:.1f} px where corners were seen); it is extrapolated there, not measured: "
                "take pictures with the board near the image edges and corners.")
    return ""


def field_summary(camera_matrix, distortion, image_size, points_per_view=None):
    """(grid points, displacements, inside mask, largest inside [px], largest outside [px], hull)."""
    points, shift = distortion_field(np.asarray(camera_matrix, np.float64), np.asarray(distortion, np.float64),
                                     image_size)
    hull = observed_hull(points_per_view)
    inside = inside_hull(points, hull)
    magnitude = np.linalg.norm(shift, axis=1)
    largest_in = float(magnitude[inside].max()) if inside.any() else 0.0
    largest_out = float(magnitude[~inside].max()) if (~inside).any() else 0.0
    return points, shift, inside, largest_in, largest_out, hull


#: A pixel whose ideal position does not map back onto it within this many pixels has no inverse: no ray reaches
#: it through the model, which folds back before it.
ROUND_TRIP_TOLERANCE_PX = 0.01
_UNDISTORT_ITERATIONS = 200


def ideal_px(camera_matrix, distortion, pixels):
    """(N x 2 ideal pinhole positions, N mask of pixels the model has an inverse at) of pixel positions."""
    import cv2

    k = np.asarray(camera_matrix, np.float64)
    d = np.ravel(np.asarray(distortion, np.float64))
    points = np.asarray(pixels, np.float64).reshape(-1, 1, 2)
    criteria = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, _UNDISTORT_ITERATIONS, 1e-12)
    rays = cv2.undistortPointsIter(points, k, d, None, None, criteria).reshape(-1, 2)
    back, _ = cv2.projectPoints(np.c_[rays, np.ones(len(rays))], np.zeros(3), np.zeros(3), k, d)
    ok = np.linalg.norm(back.reshape(-1, 2) - points.reshape(-1, 2), axis=1) < ROUND_TRIP_TOLERANCE_PX
    ideal = rays * [k[0, 0], k[1, 1]] + [k[0, 2], k[1, 2]]
    return ideal, ok


def displacement_px(camera_matrix, distortion, pixels) -> np.ndarray:
    """How far the model moves each pixel position from its ideal pinhole position; inf where it has no inverse."""
    ideal, ok = ideal_px(camera_matrix, distortion, pixels)
    shift = np.linalg.norm(ideal - np.asarray(pixels, np.float64).reshape(-1, 2), axis=1)
    return np.where(ok, shift, np.inf)


def picture_corners(image_size) -> np.ndarray:
    """The four corner pixels (4 x 2) of a picture of (width, height)."""
    width, height = image_size
    return np.array([(0.0, 0.0), (width - 1.0, 0.0), (0.0, height - 1.0), (width - 1.0, height - 1.0)])


def maps_picture_corners(camera_matrix, distortion, image_size) -> bool:
    """Whether rays reach the picture's four corners through the model (it does not fold back before them)."""
    return bool(np.isfinite(displacement_px(camera_matrix, distortion, picture_corners(image_size))).all())


@dataclass
class Extrapolation:
    """The distortion at the picture's corners against that at the edge of the observed corners.

    A lens moves points about with the cube of their distance from the principal point (its k1 term dominates), so
    from the largest displacement on the hull of the observed corners, ``hull_px`` at up to ``hull_radius_px`` out,
    such a lens moves the picture's corners (``corner_radius_px`` out) by about ``cubic_px``. ``growth`` is how many
    times the model's own displacement there, ``corner_px``, exceeds that (inf where it has no inverse)."""

    hull_px: float
    corner_px: float
    hull_radius_px: float
    corner_radius_px: float

    @property
    def cubic_px(self) -> float:
        """The displacement in the picture's corners of a lens growing with the cube of the radius."""
        return self.hull_px * (self.corner_radius_px / self.hull_radius_px) ** 3

    @property
    def growth(self) -> float:
        """corner_px over cubic_px; inf where the model has no inverse."""
        if not math.isfinite(self.corner_px):
            return math.inf
        return self.corner_px / self.cubic_px if self.cubic_px > 0 else math.inf


def extrapolation(camera_matrix, distortion, image_size, points_per_view) -> Extrapolation | None:
    """The model's displacement at the picture's corners against that on the hull of the observed corners; None
    without corners."""
    hull = observed_hull(points_per_view)
    if hull is None:
        return None
    centre = np.asarray(camera_matrix, np.float64)[:2, 2]
    corners = picture_corners(image_size)
    return Extrapolation(hull_px=float(displacement_px(camera_matrix, distortion, hull).max()),
                         corner_px=float(displacement_px(camera_matrix, distortion, corners).max()),
                         hull_radius_px=float(np.linalg.norm(hull - centre, axis=1).max()),
                         corner_radius_px=float(np.linalg.norm(corners - centre, axis=1).max()))
