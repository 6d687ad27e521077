"""The lens distortion field: how far, and which way, the lens moves points across the image."""

from __future__ import annotations

import numpy as np

from .figure import new_figure, to_svg

GRID = (16, 12)


def distortion_field(camera_matrix, distortion, image_size, grid=GRID):
    """Grid of pixel positions and, for each, the displacement from where the lens puts it to the ideal pinhole image."""
    import cv2

    width, height = image_size
    xs = np.linspace(0, width - 1, grid[0])
    ys = np.linspace(0, height - 1, grid[1])
    points = np.array([(x, y) for y in ys for x in xs], np.float64)
    ideal = cv2.undistortPoints(points.reshape(-1, 1, 2), camera_matrix, distortion, P=camera_matrix).reshape(-1, 2)
    return points, ideal - points


def figure_svg(camera_matrix, distortion, image_size) -> str:
    width, height = image_size
    points, shift = distortion_field(np.asarray(camera_matrix, np.float64), np.asarray(distortion, np.float64),
                                     image_size)
    magnitude = np.linalg.norm(shift, axis=1)
    figure = new_figure(6.5, 6.5 * height / width + 0.5)
    axes = figure.add_subplot()
    arrows = axes.quiver(points[:, 0], points[:, 1], shift[:, 0], shift[:, 1], magnitude, angles="xy",
                         scale_units="xy", scale=1, cmap="plasma", width=0.004)
    arrows.set_gid("distortion-field")
    figure.colorbar(arrows, ax=axes, label="displacement [px]", shrink=0.8)
    axes.set_xlim(-0.05 * width, 1.05 * width)
    axes.set_ylim(1.05 * height, -0.05 * height)
    axes.set_aspect("equal")
    axes.set_title(f"Distortion field (arrows to scale, largest {magnitude.max():.1f} px)", fontsize=9)
    return to_svg(figure, "distortion")
