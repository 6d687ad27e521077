"""A top view of a camera rig: camera centres and viewing directions in the reference camera's frame."""

from __future__ import annotations

import numpy as np

from .figure import new_figure, to_svg


def figure_svg(reference_T_camera_list, camera_names, board_points=None) -> str:
    figure = new_figure(6.0, 5.0)
    axes = figure.add_subplot()
    centres = []
    for k, (pose, name) in enumerate(zip(reference_T_camera_list, camera_names)):
        pose = np.asarray(pose, np.float64)
        if pose.shape != (4, 4):
            continue  # a camera whose pair was skipped has no pose
        centre, forward = pose[:3, 3], pose[:3, 2]
        centres.append(centre)
        marker = axes.scatter([centre[0]], [centre[2]], s=60, marker="s", color="#2b7bba", zorder=3)
        marker.set_gid(f"rig-camera-{k}")
        axes.annotate("", xy=(centre[0] + 0.08 * forward[0], centre[2] + 0.08 * forward[2]),
                      xytext=(centre[0], centre[2]), arrowprops={"arrowstyle": "->", "color": "#2b7bba"})
        axes.text(centre[0], centre[2] - 0.02, name, ha="center", va="top", fontsize=8)
    if board_points is not None and len(board_points):
        points = np.asarray(board_points, np.float64).reshape(-1, 3)
        axes.scatter(points[:, 0], points[:, 2], s=3, color="#d7301f", label="triangulated target")
        axes.legend(fontsize=8, loc="upper right")
    axes.set_aspect("equal", adjustable="datalim")
    axes.set_xlabel("x [m] (reference camera right)")
    axes.set_ylabel("z [m] (reference camera forward)")
    axes.set_title("Rig seen from above (reference camera frame)", fontsize=9)
    axes.grid(True, linewidth=0.3)
    return to_svg(figure, "rig")
