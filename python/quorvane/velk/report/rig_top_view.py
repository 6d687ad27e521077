"""A top view of a camera rig: camera centres and viewing directions in the reference camera's frame."""

from __future__ import annotations

import numpy as np

from .figure import new_figure, to_svg


def figure_svg(reference_T_camera_list, camera_names, board_points=None) -> str:
    figure = new_figure(6.0, 5.0)
    axes = figure.add_subplot()
    poses = {k: np.asarray(pose, np.float64) for k, pose in enumerate(reference_T_camera_list)
             if np.asarray(pose).shape == (4, 4)}  # a camera whose pair was skipped has no pose
    centres = np.array([pose[:3, 3] for pose in poses.values()]).reshape(-1, 3)
    points = (np.asarray(board_points, np.float64).reshape(-1, 3) if board_points is not None
              else np.zeros((0, 3)))
    span = np.ptp(np.vstack([centres, points])[:, [0, 2]], axis=0).max() if len(centres) else 0.0
    arrow = max(0.03, 0.25 * span)  # viewing directions drawn at a quarter of the rig's extent
    shown = [centres, points]
    for k, pose in poses.items():
        centre, tip = pose[:3, 3], pose[:3, 3] + arrow * pose[:3, 2]
        shown.append(tip.reshape(1, 3))
        marker = axes.scatter([centre[0]], [centre[2]], s=60, marker="s", color="#2b7bba", zorder=3)
        marker.set_gid(f"rig-camera-{k}")
        axes.annotate("", xy=(tip[0], tip[2]), xytext=(centre[0], centre[2]),
                      arrowprops={"arrowstyle": "->", "color": "#2b7bba"})
        axes.annotate(camera_names[k], (centre[0], centre[2]), xytext=(0, -12), textcoords="offset points",
                      ha="center", va="top", fontsize=8)
    if len(points):
        axes.scatter(points[:, 0], points[:, 2], s=3, color="#d7301f", label="triangulated target")
        axes.legend(fontsize=8, loc="upper right")
    everything = np.vstack(shown)
    low, high = everything.min(axis=0), everything.max(axis=0)
    margin = 0.15 * max(arrow, float(np.max(high - low)))
    axes.set_xlim(low[0] - margin, high[0] + margin)
    axes.set_ylim(low[2] - margin, high[2] + margin)
    axes.set_aspect("equal", adjustable="datalim")
    axes.set_xlabel("x [m] (reference camera right)")
    axes.set_ylabel("z [m] (reference camera forward)")
    axes.set_title("Rig seen from above (reference camera frame)", fontsize=9)
    axes.grid(True, linewidth=0.3)
    return to_svg(figure, "rig")
