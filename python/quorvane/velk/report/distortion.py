"""The lens distortion field: how far, and which way, the lens moves points across the image.

Arrows are magnified so that the longest inside the observed corners is clearly visible; the region outside the
convex hull of every detected corner is shaded: the model is extrapolated there, not measured."""

from __future__ import annotations

import numpy as np

from .figure import new_figure, to_svg

GRID = (16, 12)
#: Displacement outside the observed corners that earns a warning: this many pixels, and this many times the
#: largest displacement inside them.
EXTRAPOLATION_WARNING_PX = 20.0
EXTRAPOLATION_WARNING_RATIO = 2.0
#: Longest arrow drawn, as a multiple of the longest arrow inside the observed corners.
CAPPED_LENGTH = 1.5


def distortion_field(camera_matrix, distortion, image_size, grid=GRID):
    """Grid of pixel positions and, for each, the displacement from where the lens puts it to the ideal pinhole image."""
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


def figure_svg(camera_matrix, distortion, image_size, points_per_view=None, name: str = "distortion") -> str:
    from matplotlib.patches import Polygon, Rectangle

    width, height = image_size
    points, shift, inside, largest_in, largest_out, hull = field_summary(camera_matrix, distortion, image_size,
                                                                         points_per_view)
    magnitude = np.linalg.norm(shift, axis=1)
    # The longest arrow where corners were seen is drawn about a twelfth of the image width long.
    reference = largest_in if largest_in > 0 else float(magnitude.max())
    scale = 0.08 * width / reference if reference > 1e-9 else 1.0
    figure = new_figure(6.5, 6.5 * height / width + 0.7)
    axes = figure.add_subplot()
    if hull is not None:
        axes.add_patch(Rectangle((0, 0), width, height, facecolor="#dddddd", edgecolor="#888888", hatch="//",
                                 zorder=0, label="extrapolated (no corner seen)", gid="distortion-extrapolated"))
        axes.add_patch(Polygon(hull, closed=True, facecolor="white", edgecolor="#2b7bba", linewidth=1.2, zorder=1,
                               label="observed corners", gid="distortion-observed"))
    # Outside the observed corners an extrapolated field can move points by more than the image is wide: those
    # arrows are drawn at most CAPPED_LENGTH times the longest measured one; their colour gives their size.
    drawn = shift * scale
    lengths = np.linalg.norm(drawn, axis=1)
    cap = CAPPED_LENGTH * 0.08 * width
    capped = lengths > cap
    drawn[capped] *= (cap / lengths[capped])[:, None]
    arrows = axes.quiver(points[:, 0], points[:, 1], drawn[:, 0], drawn[:, 1], magnitude,
                         angles="xy", scale_units="xy", scale=1, cmap="plasma", width=0.004, zorder=2)
    arrows.set_gid("distortion-field")
    figure.colorbar(arrows, ax=axes, label="displacement [px]", shrink=0.8)
    axes.set_xlim(-0.05 * width, 1.05 * width)
    axes.set_ylim(1.05 * height, -0.05 * height)
    axes.set_aspect("equal")
    axes.set_xlabel("x [px]")
    axes.set_ylabel("y [px]")
    if hull is not None:
        axes.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=2, fontsize=7, frameon=False)
    title = (f"Distortion field, arrows x {scale:.3g}: largest {largest_in:.1f} px inside the observed corners"
             + (f", {largest_out:.1f} px outside" if hull is not None else ""))
    if capped.any():
        title += f"\n(arrows longer than {CAPPED_LENGTH:g} x the longest inside are shortened; colour gives the size)"
    figure.suptitle(title, fontsize=9)
    return to_svg(figure, name)
