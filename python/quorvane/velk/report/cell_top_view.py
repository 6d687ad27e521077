"""A top view of a cell: every camera's centre and viewing direction in its mount frame (the robot base for
cameras that stand still, the flange for cameras on it), with where the board stood at each robot pose."""

from __future__ import annotations

import numpy as np

from .figure import new_figure, to_svg


def figure_svg(mount_T_camera_list, camera_names, board_points, frame: str) -> str:
    """``board_points``: the board's origin in the mount frame at each robot pose (N x 3), or None."""
    figure = new_figure(6.0, 5.0)
    axes = figure.add_subplot()
    poses = [np.asarray(pose, np.float64) for pose in mount_T_camera_list]
    centres = np.array([pose[:3, 3] for pose in poses]).reshape(-1, 3)
    points = np.asarray(board_points, np.float64).reshape(-1, 3) if board_points is not None else np.zeros((0, 3))
    extent = np.vstack([centres, points])
    span = float(np.ptp(extent[:, :2], axis=0).max()) if len(extent) > 1 else 0.0
    arrow = max(0.03, 0.2 * span)  # viewing directions drawn at a fifth of the cell's extent
    shown = [extent]
    for k, pose in enumerate(poses):
        centre, tip = pose[:3, 3], pose[:3, 3] + arrow * pose[:3, 2]
        shown.append(tip.reshape(1, 3))
        marker = axes.scatter([centre[0]], [centre[1]], s=60, marker="s", color="#2b7bba", zorder=3)
        marker.set_gid(f"cell-camera-{k}")
        axes.annotate("", xy=(tip[0], tip[1]), xytext=(centre[0], centre[1]),
                      arrowprops={"arrowstyle": "->", "color": "#2b7bba"})
        axes.annotate(camera_names[k], (centre[0], centre[1]), xytext=(0, -12), textcoords="offset points",
                      ha="center", va="top", fontsize=8)
    origin = axes.scatter([0.0], [0.0], s=50, marker="+", color="#333", label=f"{frame} origin")
    origin.set_gid("cell-origin")
    if len(points):
        axes.scatter(points[:, 0], points[:, 1], s=8, color="#d7301f", label="board at each robot pose")
    axes.legend(fontsize=8, loc="upper right")
    everything = np.vstack(shown + [np.zeros((1, 3))])
    low, high = everything.min(axis=0), everything.max(axis=0)
    margin = 0.15 * max(arrow, float(np.max(high - low)))
    axes.set_xlim(low[0] - margin, high[0] + margin)
    axes.set_ylim(low[1] - margin, high[1] + margin)
    axes.set_aspect("equal", adjustable="box")
    axes.set_xlabel(f"x [m] ({frame})")
    axes.set_ylabel(f"y [m] ({frame})")
    axes.set_title(f"Cell seen from above ({frame} frame)", fontsize=9)
    axes.grid(True, linewidth=0.3)
    return to_svg(figure, "cell")
