"""Where in the image the detected corners lie: a heatmap of corner counts over a grid of cells."""

from __future__ import annotations

import numpy as np

from .figure import new_figure, to_svg

CELLS = (8, 6)  # columns, rows


def coverage_grid(points_per_view, image_size, cells=CELLS) -> np.ndarray:
    """rows x columns counts of corners (all views together) per cell of the image area."""
    width, height = image_size
    columns, rows = cells
    counts = np.zeros((rows, columns), dtype=int)
    for points in points_per_view:
        xy = np.asarray(points, np.float64).reshape(-1, 2)
        column = np.clip((xy[:, 0] / width * columns).astype(int), 0, columns - 1)
        row = np.clip((xy[:, 1] / height * rows).astype(int), 0, rows - 1)
        np.add.at(counts, (row, column), 1)
    return counts


def figure_svg(counts: np.ndarray, image_size) -> str:
    import matplotlib
    from matplotlib import colors
    from matplotlib.patches import Rectangle

    width, height = image_size
    rows, columns = counts.shape
    cell_w, cell_h = width / columns, height / rows
    figure = new_figure(6.5, 6.5 * height / width + 0.5)
    axes = figure.add_subplot()
    axes.add_patch(Rectangle((0, 0), width, height, facecolor="#f4f4f4", edgecolor="#888888"))
    norm = colors.Normalize(vmin=0, vmax=max(1, int(counts.max())))
    colour_map = matplotlib.colormaps["viridis"]
    for row in range(rows):
        for column in range(columns):
            if counts[row, column] == 0:
                continue  # an empty cell stays blank
            cell = Rectangle((column * cell_w, row * cell_h), cell_w, cell_h,
                             facecolor=colour_map(norm(counts[row, column])), edgecolor="white")
            cell.set_gid(f"coverage-cell-{row}-{column}")
            axes.add_patch(cell)
            axes.text((column + 0.5) * cell_w, (row + 0.5) * cell_h, str(counts[row, column]), ha="center",
                      va="center", fontsize=7, color="white" if norm(counts[row, column]) < 0.6 else "black")
    axes.set_xlim(0, width)
    axes.set_ylim(height, 0)
    axes.set_aspect("equal")
    axes.set_xlabel("x [px]")
    axes.set_ylabel("y [px]")
    empty = int((counts == 0).sum())
    axes.set_title(f"Corners per cell ({empty} of {counts.size} cells empty)", fontsize=9)
    return to_svg(figure, "coverage")
