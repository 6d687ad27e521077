"""The lens distortion field: how far, and which way, the lens moves points across the image.

Arrows are magnified so that the longest inside the observed corners is clearly visible; the region outside the
convex hull of every detected corner is shaded: the model is extrapolated there, not measured."""

from __future__ import annotations

import numpy as np

from ..distortion_field import (  # noqa: F401  (the report's names of the field's pieces)
    EXTRAPOLATION_WARNING_PX,
    EXTRAPOLATION_WARNING_RATIO,
    GRID,
    distortion_field,
    extrapolation_warning,
    field_summary,
    inside_hull,
    observed_hull,
)
from .figure import new_figure, to_svg

#: Below this largest displacement the field is drawn as no distortion, without a colour scale.
NEGLIGIBLE_PX = 1e-6
#: Longest arrow drawn, as a multiple of the longest arrow inside the observed corners.
CAPPED_LENGTH = 1.5


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
    if magnitude.max() >= NEGLIGIBLE_PX:
        figure.colorbar(arrows, ax=axes, label="displacement [px]", shrink=0.8)
    else:
        # A lens without distortion: a colour scale would only show rounding (1e-14 px).
        axes.text(0.5 * width, 0.5 * height, "no distortion", ha="center", va="center", fontsize=12,
                  color="#444444", gid="distortion-none")
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
