"""A 3-D sketch of the planned camera poses around the board, in the board's frame."""

from __future__ import annotations

import numpy as np

from .figure import new_figure, to_svg


def camera_positions(camera_T_target_list):
    """(positions, optical axes) of the cameras in the board frame, z flipped: the height in front of the printed
    face, which looks along the board's -z."""
    positions, axes = [], []
    for camera_T_target in camera_T_target_list:
        target_T_camera = np.linalg.inv(np.asarray(camera_T_target, dtype=np.float64))
        positions.append(target_T_camera[:3, 3] * [1.0, 1.0, -1.0])
        axes.append(target_T_camera[:3, 2] * [1.0, 1.0, -1.0])
    return np.array(positions).reshape(-1, 3), np.array(axes).reshape(-1, 3)


def figure_svg(corners, planned, captured=()) -> str:
    """corners: the board's corners (N x 3); planned and captured: camera_T_target of each picture."""
    figure = new_figure(7.0, 6.0)
    axes = figure.add_subplot(1, 1, 1, projection="3d")
    corners = np.asarray(corners, dtype=np.float64)
    low, high = corners.min(axis=0), corners.max(axis=0)
    outline = np.array([[low[0], low[1]], [high[0], low[1]], [high[0], high[1]], [low[0], high[1]], [low[0], low[1]]])
    axes.plot(outline[:, 0], outline[:, 1], np.zeros(len(outline)), color="#222222", linewidth=2, gid="plan-board")
    length = 0.5 * max(float(np.max(high - low)), 0.05)
    for name, poses, colour in (("captured", captured, "#999999"), ("planned", planned, "#2b7bba")):
        if len(poses) == 0:
            continue
        positions, directions = camera_positions(poses)
        axes.scatter(*positions.T, color=colour, s=18, label=name, gid=f"plan-{name}-cameras")
        axes.quiver(*positions.T, *(directions * length).T, color=colour, linewidth=0.8)
        if name == "planned":
            for k, position in enumerate(positions):
                axes.text(*position, f" {k + 1}", fontsize=7, color=colour)
    axes.set_xlabel("x [m]")
    axes.set_ylabel("y [m]")
    axes.set_zlabel("in front of the board [m]")
    axes.legend(loc="upper right", fontsize=8)
    return to_svg(figure, "plan-sketch")
