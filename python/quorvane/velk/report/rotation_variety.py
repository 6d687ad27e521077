"""Rotation variety: the axes and angles of the motions between consecutive captured views."""

from __future__ import annotations

import math

import numpy as np

from ..geometry import rotvec_from_rotation
from .figure import new_figure, to_svg


def motion_rotation_vectors(camera_T_target_list, min_rotation_deg: float = 0.5) -> np.ndarray:
    """Rotation vectors (radians) of the consecutive-view motions above the minimum angle, as the analysis keeps them."""
    vectors = []
    for before, after in zip(camera_T_target_list, camera_T_target_list[1:]):
        motion = np.linalg.inv(np.asarray(before, np.float64)) @ np.asarray(after, np.float64)
        vector = rotvec_from_rotation(motion)
        if np.linalg.norm(vector) > math.radians(min_rotation_deg):
            vectors.append(vector)
    return np.array(vectors).reshape(-1, 3)


def figure_svg(camera_T_target_list, stats) -> str:
    from matplotlib.patches import Circle

    vectors = motion_rotation_vectors(camera_T_target_list)
    angles = np.degrees(np.linalg.norm(vectors, axis=1)) if len(vectors) else np.zeros(0)
    axes_unit = vectors / np.maximum(np.linalg.norm(vectors, axis=1, keepdims=True), 1e-12)
    figure = new_figure(9.0, 3.4)
    planes = (("x", "y", 0, 1), ("x", "z", 0, 2), ("y", "z", 1, 2))
    for k, (first, second, i, j) in enumerate(planes):
        axes = figure.add_subplot(1, 3, k + 1)
        axes.add_patch(Circle((0, 0), 1.0, fill=False, edgecolor="#999999"))
        points = axes.scatter(axes_unit[:, i], axes_unit[:, j], s=10 + 4 * angles, c=angles, cmap="viridis",
                              vmin=0, vmax=max(1.0, float(angles.max()) if len(angles) else 1.0))
        points.set_gid(f"rotation-axes-{first}{second}")
        axes.set_xlim(-1.1, 1.1)
        axes.set_ylim(-1.1, 1.1)
        axes.set_aspect("equal")
        axes.set_xlabel(f"unit axis {first} component")
        axes.set_ylabel(f"unit axis {second} component")
    if stats is None:
        title = "Motion axes: not enough motions to analyze"
    else:
        title = (f"Motion rotation axes ({stats.num_motions} motions, mean {stats.angle_mean_deg:.1f} deg; "
                 f"axis-spread ratio {stats.axis_span_ratio:.3f})")
    figure.suptitle(title, fontsize=9)
    return to_svg(figure, "rotation-variety")
