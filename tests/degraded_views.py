"""Rendered views of a target in every orientation at 1280 x 960, and the degradations of the recall
benchmarks: uneven light, glare, low contrast, blur, noise, and all of these but the glare together.
Shared by bench/recall.py, bench/marker_recall.py and the chessboard recall tests."""

import cv2
import numpy as np

import _velk
from quorvane.velk import synthetic

SIZE = (1280, 960)
K = np.array([[1000.0, 0.0, 639.5], [0.0, 1000.0, 479.5], [0.0, 0.0, 1.0]])
DIST = np.array([-0.1, 0.0, 0.0, 0.0, 0.0])


def view_poses(target, count, seed=7, distances=(0.45, 0.7)):
    """Oblique poses of any target (distance in the given range, tilt 10-40 degrees) with any roll, so that
    the board shows in every orientation."""
    rng = np.random.default_rng(seed)
    centre = synthetic.board_center(target)
    poses = []
    for k in range(count):
        distance, tilt = rng.uniform(*distances), np.radians(rng.uniform(10.0, 40.0))
        azimuth = 2 * np.pi * k / count
        eye = centre + distance * np.array([np.sin(tilt) * np.cos(azimuth), np.sin(tilt) * np.sin(azimuth),
                                            -np.cos(tilt)])
        roll = _velk.tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, rng.uniform(-180, 180)])
        poses.append(roll @ synthetic.look_at_pose(eye, centre))
    return poses


def render_view(target, pose, k):
    """The k-th view: blur 0.5 px, grey noise 1, two samples per pixel."""
    return synthetic.render_target(target, K, DIST, pose, SIZE, noise_sigma=1.0, blur_sigma=0.5, seed=100 + k,
                                   supersample=2)


def rendered_views(target, count, seed=7, distances=(0.45, 0.7)):
    """The views at view_poses."""
    return [render_view(target, pose, k) for k, pose in enumerate(view_poses(target, count, seed, distances))]


def board_mask(view):
    """The board's printed area, any target kind: the hull of its corners in the picture, grown by one
    corner spacing all round; and its centre."""
    corners = view.corners[np.all(np.isfinite(view.corners), axis=1)].astype(np.float32)
    distances = np.linalg.norm(corners[:, None] - corners[None], axis=2)
    np.fill_diagonal(distances, np.inf)
    spacing = int(round(float(np.median(distances.min(axis=1)))))
    mask = np.zeros(view.image.shape[:2], np.uint8)
    cv2.fillConvexPoly(mask, np.round(cv2.convexHull(corners)).astype(np.int32), 1)
    mask = cv2.dilate(mask, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * spacing + 1, 2 * spacing + 1)))
    return mask.astype(bool), corners.mean(axis=0)


def uneven_light(view, rng):
    """The picture multiplied by a gradient falling 4:1 across the board."""
    mask, _ = board_mask(view)
    xs = np.flatnonzero(mask.any(axis=0))
    ramp = np.interp(np.arange(view.image.shape[1]), [xs[0], xs[-1]], [1.0, 0.25])
    return np.clip(view.image * ramp[None, :, None], 0, 255).astype(np.uint8)


def glare(view, rng):
    """A saturated blob over about 5 % of the board."""
    mask, centre = board_mask(view)
    radius = np.sqrt(0.05 * mask.sum() / np.pi)
    inside = np.argwhere(mask)
    y, x = inside[rng.integers(len(inside))]
    yy, xx = np.mgrid[:mask.shape[0], :mask.shape[1]]
    distance = np.hypot(xx - x, yy - y)
    level = np.clip((radius * 1.3 - distance) / (radius * 0.6), 0.0, 1.0)  # saturated core, soft rim
    return np.maximum(view.image, (255 * level)[:, :, None]).astype(np.uint8)


def low_contrast(view, rng):
    """Black at 35 % and white at 65 % of full scale."""
    black, white = synthetic.BLACK_LEVEL, synthetic.WHITE_LEVEL
    scaled = 0.35 * 255 + (view.image.astype(np.float64) - black) * (0.30 * 255) / (white - black)
    return np.clip(np.round(scaled), 0, 255).astype(np.uint8)


def blur(view, rng):
    """Gaussian, sigma 1.5 px."""
    return cv2.GaussianBlur(view.image, (0, 0), 1.5)


def noise(view, rng):
    """Grey, sigma 8."""
    grey = rng.normal(0.0, 8.0, view.image.shape[:2])[:, :, None]
    return np.clip(np.round(view.image + grey), 0, 255).astype(np.uint8)


def everything_but_glare(view, rng):
    degraded = view
    for step in (uneven_light, low_contrast, blur, noise):
        degraded = synthetic.RenderedView(**{**vars(degraded), "image": step(degraded, rng)})
    return degraded.image


CONDITIONS = {"clean": lambda view, rng: view.image, "uneven light": uneven_light, "glare": glare,
              "low contrast": low_contrast, "blur": blur, "noise": noise,
              "light + contrast + blur + noise": everything_but_glare}
