"""Draws docs/frames.png: the coordinate frames of the library and the a_T_b names between them.

Three panels, each a sketch in an oblique projection: an eye-in-hand set-up (camera on the
flange, target on the table), an eye-to-hand set-up (camera on a stand, target on the flange)
and a rig of three synchronized cameras. Every frame is drawn as a triad (x red, y green,
z blue); an arrow from frame a to frame b carries the name a_T_b, the pose of b in a.

    .venv/bin/python scripts/draw_frames.py [output.png]
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

AXIS_COLOURS = {"x": "#d62728", "y": "#2ca02c", "z": "#1f77b4"}
TRANSFORM_COLOUR = "#444444"
SOLVED_COLOUR = "#b8860b"
TRIAD_LENGTH = 0.16


def project(point) -> np.ndarray:
    """Oblique view: x to the right, z up, y going back into the picture and to the right."""
    x, y, z = point
    return np.array([x + 0.45 * y, z + 0.3 * y])


def rotation(axes_deg) -> np.ndarray:
    """Rotation about the fixed x, y and z axes in that order (the library's pose-vector convention)."""
    rx, ry, rz = (math.radians(a) for a in axes_deg)
    cx, sx, cy, sy, cz, sz = math.cos(rx), math.sin(rx), math.cos(ry), math.sin(ry), math.cos(rz), math.sin(rz)
    return np.array([[cz * cy, cz * sy * sx - sz * cx, cz * sy * cx + sz * sx],
                     [sz * cy, sz * sy * sx + cz * cx, sz * sy * cx - cz * sx],
                     [-sy, cy * sx, cy * cx]])


def draw_triad(ax, origin, axes_deg, name, label_offset=(0.03, -0.07)):
    origin = np.asarray(origin, dtype=float)
    start = project(origin)
    for column, axis in enumerate("xyz"):
        tip = project(origin + TRIAD_LENGTH * rotation(axes_deg)[:, column])
        ax.annotate("", xy=tip, xytext=start,
                    arrowprops=dict(arrowstyle="-|>", color=AXIS_COLOURS[axis], lw=2, mutation_scale=12))
        ax.text(*(tip + 0.15 * (tip - start)), axis, color=AXIS_COLOURS[axis], fontsize=8,
                ha="center", va="center")
    ax.text(*(start + np.asarray(label_offset)), name, fontsize=11, fontweight="bold", ha="left", va="top")


def draw_transform(ax, frame_a, frame_b, name, label_at, solved=False, bend=0.25):
    """Arrow from the origin of frame a to the origin of frame b; its name a_T_b is written at label_at."""
    colour = SOLVED_COLOUR if solved else TRANSFORM_COLOUR
    ax.annotate("", xy=project(frame_b), xytext=project(frame_a),
                arrowprops=dict(arrowstyle="-|>", color=colour, lw=2.2 if solved else 1.4, ls="--",
                                connectionstyle=f"arc3,rad={bend}", shrinkA=6, shrinkB=6, mutation_scale=14))
    ax.text(*label_at, name, fontsize=10, color=colour, fontweight="bold" if solved else "normal", ha="center",
            va="center", bbox=dict(boxstyle="round,pad=0.2", fc="white", ec=colour, lw=0.8))


def draw_polyline(ax, points, **style):
    xy = np.array([project(p) for p in points])
    ax.plot(xy[:, 0], xy[:, 1], **style)


def draw_board(ax, corner, width, depth, rows=4, cols=5):
    """A flat board in the z = const plane of the base frame, seen from above."""
    corner = np.asarray(corner, dtype=float)
    for i in range(cols):
        for j in range(rows):
            if (i + j) % 2 == 0:
                a = corner + [i * width / cols, j * depth / rows, 0]
                square = [a, a + [width / cols, 0, 0], a + [width / cols, depth / rows, 0], a + [0, depth / rows, 0]]
                xy = np.array([project(p) for p in square])
                ax.fill(xy[:, 0], xy[:, 1], color="#333333", alpha=0.8, lw=0)
    draw_polyline(ax, [corner, corner + [width, 0, 0], corner + [width, depth, 0], corner + [0, depth, 0], corner],
                  color="black", lw=1)


def draw_camera(ax, centre, size=0.07):
    centre = np.asarray(centre, dtype=float)
    box = [centre + size * np.array(v) for v in [(-1, 0, -0.7), (1, 0, -0.7), (1, 0, 0.7), (-1, 0, 0.7), (-1, 0, -0.7)]]
    draw_polyline(ax, box, color="#555555", lw=1.5)


def draw_arm(ax, base, joints):
    draw_polyline(ax, [base] + joints, color="#7f7f7f", lw=7, solid_capstyle="round", alpha=0.55)
    draw_polyline(ax, [np.asarray(base) + [-0.15, 0, 0], np.asarray(base) + [0.15, 0, 0]], color="#7f7f7f", lw=9)


def eye_in_hand(ax):
    ax.set_title("Eye-in-hand: camera on the flange, target fixed", fontsize=12)
    base, tcp, camera, target = (0.0, 0.0, 0.0), (0.8, 0.0, 1.05), (1.05, 0.0, 0.85), (0.95, 0.2, 0.0)
    draw_arm(ax, base, [(0.05, 0.0, 0.65), (0.55, 0.0, 1.15), tcp])
    draw_board(ax, (0.75, 0.1, 0.0), 0.5, 0.35)
    draw_camera(ax, camera)
    draw_triad(ax, base, (0, 0, 0), "robot (base)\n= world", label_offset=(-0.35, -0.05))
    draw_triad(ax, tcp, (180, 0, 0), "tcp (flange)", label_offset=(-0.45, 0.12))
    draw_triad(ax, camera, (180, 0, 0), "camera", label_offset=(0.12, 0.12))
    draw_triad(ax, target, (180, 0, 0), "target", label_offset=(0.12, -0.1))
    draw_transform(ax, base, tcp, "robot_T_tcp\n(robot, per picture)", (0.62, 0.62), bend=-0.3)
    draw_transform(ax, tcp, camera, "tcp_T_camera\n(solved)", (1.2, 1.2), solved=True, bend=-0.6)
    draw_transform(ax, camera, target, "camera_T_target\n(per picture)", (1.45, 0.45), bend=-0.4)
    draw_transform(ax, base, target, "world_T_target\n(constant)", (0.5, -0.2), bend=0.25)


def eye_to_hand(ax):
    ax.set_title("Eye-to-hand: camera fixed, target on the flange", fontsize=12)
    base, tcp, target, camera = (0.0, 0.0, 0.0), (0.7, 0.0, 0.75), (0.85, 0.0, 0.45), (1.35, 0.0, 1.15)
    draw_arm(ax, base, [(0.05, 0.0, 0.55), (0.5, 0.0, 0.9), tcp])
    draw_polyline(ax, [(1.35, 0.0, 1.05), (1.35, 0.0, 0.0)], color="#999999", lw=4)
    draw_camera(ax, camera)
    draw_polyline(ax, [(0.7, 0.0, 0.75), (0.85, 0.0, 0.48)], color="#7f7f7f", lw=4)
    draw_polyline(ax, [(0.72, 0.0, 0.45), (1.0, 0.0, 0.45)], color="black", lw=5)
    draw_triad(ax, base, (0, 0, 0), "robot (base)", label_offset=(-0.3, -0.05))
    draw_triad(ax, tcp, (0, 0, 0), "tcp (flange)", label_offset=(0.1, 0.24))
    draw_triad(ax, target, (180, 0, 0), "target", label_offset=(0.12, -0.06))
    draw_triad(ax, camera, (0, -135, 0), "camera", label_offset=(0.08, 0.2))
    draw_transform(ax, base, tcp, "robot_T_tcp\n(robot, per picture)", (0.05, 1.0), bend=-0.3)
    draw_transform(ax, tcp, target, "tcp_T_target\n(constant)", (0.45, 0.45), bend=0.5)
    draw_transform(ax, base, camera, "robot_T_camera\n(solved)", (1.25, 0.1), solved=True, bend=0.3)
    draw_transform(ax, camera, target, "camera_T_target\n(per picture)", (1.1, 1.3), bend=0.3)


def rig(ax):
    ax.set_title("Rig: synchronized cameras, poses in the reference camera", fontsize=12)
    cameras = [(0.0, 0.0, 0.9), (0.5, 0.0, 0.9), (1.0, 0.0, 0.9)]
    target = (0.55, 0.0, 0.05)
    draw_polyline(ax, [(-0.1, 0.0, 0.98), (1.1, 0.0, 0.98)], color="#999999", lw=4)
    for camera in cameras:
        draw_camera(ax, camera)
    draw_board(ax, (0.3, -0.05, 0.0), 0.55, 0.3)
    draw_triad(ax, cameras[0], (180, 0, 0), "camera 0 =\nreference", label_offset=(-0.5, 0.0))
    draw_triad(ax, cameras[1], (180, 0, 0), "camera 1", label_offset=(0.08, -0.08))
    draw_triad(ax, cameras[2], (180, 0, 0), "camera 2", label_offset=(0.08, -0.08))
    draw_triad(ax, target, (180, 0, 0), "target", label_offset=(0.12, -0.1))
    draw_transform(ax, cameras[0], cameras[1], "reference_T_camera[1]", (0.25, 1.2), solved=True, bend=-0.6)
    draw_transform(ax, cameras[0], cameras[2], "reference_T_camera[2]", (0.75, 1.33), solved=True, bend=-0.45)
    draw_transform(ax, cameras[1], target, "camera_T_target\n(per frame)", (0.95, 0.45), bend=0.2)


LEGEND = (
    "a_T_b: the 4x4 pose of frame b in frame a.  It maps coordinates:  p_a = a_T_b @ p_b.  "
    "An arrow runs from a to b.  Chains compose left to right:  robot_T_camera = robot_T_tcp @ tcp_T_camera.\n"
    "Lengths in metres.  Pose vectors [x, y, z, rx, ry, rz]: translation in metres, rotation in degrees about "
    "the fixed x, y, z axes in that order (extrinsic x-y-z):  R = Rz(rz) @ Ry(ry) @ Rx(rx).\n"
    "Camera frames: x right, y down, z along the optical axis.  Target frame: on the board, the printed face "
    "towards -z.  Axes: x red, y green, z blue.  Gold arrows: what the calibration solves."
)


def draw(output: Path) -> None:
    figure, panels = plt.subplots(1, 3, figsize=(18, 6.4))
    for ax, panel in zip(panels, (eye_in_hand, eye_to_hand, rig)):
        panel(ax)
        ax.set_aspect("equal")
        ax.set_xlim(-0.55, 1.65)
        ax.set_ylim(-0.35, 1.45)
        ax.axis("off")
    figure.text(0.5, 0.02, LEGEND, ha="center", va="bottom", fontsize=10, linespacing=1.6)
    figure.subplots_adjust(left=0.01, right=0.99, top=0.95, bottom=0.16, wspace=0.04)
    output.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(output, dpi=90)
    plt.close(figure)


if __name__ == "__main__":
    draw(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "docs" / "frames.png")
