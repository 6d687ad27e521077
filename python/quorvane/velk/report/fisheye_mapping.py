"""The fisheye lens mapping: how far from the principal point the lens puts a ray, against the ray's angle from
the optical axis.

A fisheye lens has no useful distortion field (its ideal pinhole image is infinite at 90 degrees); what tells a
user whether the calibration holds is the mapping itself, theta -> r = f * theta_d(theta), drawn with the ideal
equidistant lens (r = f * theta) and a pinhole lens (r = f * tan theta) for comparison, and the range of angles
where corners were actually seen: beyond it the polynomial is extrapolated, not measured."""

from __future__ import annotations

import math

import numpy as np

from .figure import new_figure, to_svg


def distorted_angle(theta, distortion) -> np.ndarray:
    k = np.zeros(4)
    values = np.ravel(np.asarray(distortion, np.float64))[:4]
    k[:values.size] = values
    t2 = theta * theta
    return theta * (1.0 + t2 * (k[0] + t2 * (k[1] + t2 * (k[2] + t2 * k[3]))))


def ray_angles(camera_matrix, distortion, pixels) -> np.ndarray:
    """Angles (radians) from the optical axis of the rays seen at pixels (N x 2)."""
    import cv2

    points = np.asarray(pixels, np.float64).reshape(-1, 1, 2)
    if not len(points):
        return np.zeros(0)
    normalised = cv2.fisheye.undistortPoints(points, np.asarray(camera_matrix, np.float64),
                                             np.asarray(distortion, np.float64).reshape(1, -1)).reshape(-1, 2)
    return np.arctan(np.hypot(normalised[:, 0], normalised[:, 1]))


def picture_corner_angle(camera_matrix, distortion, image_size) -> float:
    """Angle (radians) of the ray seen at the picture corner farthest from the principal point."""
    k = np.asarray(camera_matrix, np.float64)
    width, height = image_size
    corners = np.array([(0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1)], np.float64)
    radius = np.hypot((corners[:, 0] - k[0, 2]) / k[0, 0], (corners[:, 1] - k[1, 2]) / k[1, 1]).max()
    # Invert theta_d(theta) = radius on a fine grid: the mapping is increasing wherever the lens is usable.
    theta = np.linspace(0.0, math.pi, 4001)
    mapped = distorted_angle(theta, distortion)
    reached = np.flatnonzero(mapped >= radius)
    return float(theta[reached[0]]) if reached.size else math.pi


def mapping_summary(camera_matrix, distortion, image_size, points_per_view=None):
    """(largest angle seen by a corner, angle at the picture corner), both in degrees; the first is None
    without corners."""
    corners = [np.asarray(p, np.float64).reshape(-1, 2) for p in points_per_view or []]
    corners = [c for c in corners if len(c)]
    seen = (math.degrees(float(ray_angles(camera_matrix, distortion, np.vstack(corners)).max())) if corners
            else None)
    return seen, math.degrees(picture_corner_angle(camera_matrix, distortion, image_size))


def figure_svg(camera_matrix, distortion, image_size, points_per_view=None, name: str = "distortion") -> str:
    k = np.asarray(camera_matrix, np.float64)
    focal = 0.5 * (k[0, 0] + k[1, 1])
    seen, edge = mapping_summary(camera_matrix, distortion, image_size, points_per_view)
    top = min(180.0, max(edge, seen or 0.0) * 1.1)
    theta = np.radians(np.linspace(0.0, top, 400))
    figure = new_figure(6.5, 4.2)
    axes = figure.add_subplot()
    if seen is not None:
        axes.axvspan(seen, top, facecolor="#dddddd", edgecolor="#888888", hatch="//", zorder=0,
                     label="extrapolated (no corner seen)", gid="distortion-extrapolated")
    axes.plot(np.degrees(theta), focal * distorted_angle(theta, distortion), color="#2b7bba", linewidth=2.0,
              label="calibrated lens", gid="distortion-field")
    axes.plot(np.degrees(theta), focal * theta, color="#555555", linestyle="--", linewidth=1.0,
              label="ideal equidistant lens (r = f theta)")
    below_90 = theta < math.radians(80.0)
    axes.plot(np.degrees(theta[below_90]), focal * np.tan(theta[below_90]), color="#d95f02", linestyle=":",
              linewidth=1.2, label="pinhole lens (r = f tan theta)")
    axes.axvline(edge, color="#888888", linewidth=0.8)
    radius_limit = focal * float(distorted_angle(np.radians(top), distortion)) * 1.3
    axes.set_xlim(0.0, top)
    axes.set_ylim(0.0, max(radius_limit, 1.0))
    axes.set_xlabel("angle from the optical axis [deg]")
    axes.set_ylabel("distance from the principal point [px]")
    axes.legend(loc="upper left", fontsize=7, frameon=False)
    title = f"Fisheye lens mapping: the picture corner sees {edge:.0f} deg off axis"
    if seen is not None:
        title += f", corners were seen up to {seen:.0f} deg"
    figure.suptitle(title, fontsize=9)
    return to_svg(figure, name)
