"""Residual vectors of one view over its image: where the corners were found and where the model puts them."""

from __future__ import annotations

import numpy as np

from .figure import new_figure, to_svg

#: Longest side of the background picture; the full image would make the page heavy.
PREVIEW_SIDE = 640


def view_residuals(object_points, image_points, camera_matrix, distortion, camera_model: str = "pinhole"):
    """Detected corners and their reprojection under the view's own best pose (solvePnP)."""
    from ..lens import project_points, solve_pose

    objects = np.asarray(object_points, np.float64).reshape(-1, 3)
    detected = np.asarray(image_points, np.float64).reshape(-1, 2)
    ok, rvec, tvec = solve_pose(objects, detected, camera_matrix, distortion, camera_model)
    if not ok:
        return detected, detected.copy()
    return detected, project_points(objects, rvec, tvec, camera_matrix, distortion, camera_model)


def figure_svg(image, detected, projected, title: str) -> str:
    import cv2

    height, width = image.shape[:2]
    shrink = min(1.0, PREVIEW_SIDE / max(width, height))
    preview = cv2.resize(image, (max(1, int(width * shrink)), max(1, int(height * shrink))),
                         interpolation=cv2.INTER_AREA)
    preview = cv2.cvtColor(preview, cv2.COLOR_BGR2RGB) if preview.ndim == 3 else preview
    residual = projected - detected
    lengths = np.linalg.norm(residual, axis=1)
    largest = float(np.max(lengths)) if len(residual) else 0.0
    rms = float(np.sqrt(np.mean(lengths ** 2))) if len(residual) else 0.0
    # Arrows drawn so that the longest is about 4 % of the image width.
    scale = 0.04 * width / largest if largest > 0 else 1.0

    figure = new_figure(7.0, 7.0 * height / width + 0.6)
    axes = figure.add_subplot()
    axes.imshow(preview, extent=(0, width, height, 0), cmap="gray", interpolation="bilinear")
    axes.scatter(detected[:, 0], detected[:, 1], s=6, color="#ffd700")
    arrows = axes.quiver(detected[:, 0], detected[:, 1], residual[:, 0] * scale, residual[:, 1] * scale,
                         angles="xy", scale_units="xy", scale=1, color="#ff3030", width=0.003)
    arrows.set_gid("residual-vectors")
    axes.set_xlim(0, width)
    axes.set_ylim(height, 0)
    axes.set_xlabel("x [px]")
    axes.set_ylabel("y [px]")
    axes.set_title(f"{title}: residuals x {scale:.0f} (RMS {rms:.2f} px, largest {largest:.2f} px)", fontsize=9)
    return to_svg(figure, "residuals")
