"""Fisheye intrinsic calibration speed: IntrinsicCalibrator with camera_model "fisheye" against the same pipeline
written with cv2 by hand (detection, annotation, cv2.fisheye.calibrate with the same stopping rule, per-view
errors).

Renders 40 views of a 5 x 7 ChArUco board through a 160-degree equidistant lens at 1280 x 960 once (cached as PNG
files under bench/.cache, about a minute on two cores), then in one run prints the best of --repeats times of each,
their ratio (target 0.7 or less), the library's detection and solve apart, and how well each recovered the lens.

    .venv/bin/python bench/fisheye_intrinsics.py [--repeats 3] [--views 40]
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from pathlib import Path

import cv2
import numpy as np

import _velk
from quorvane.velk import synthetic

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from fisheye_scenes import IMAGE_SIZE, board, fisheye_camera, scene_poses  # noqa: E402
from intrinsic import best_time, charuco_detections, quiet  # noqa: E402
from intrinsic import cached_views as cached_charuco_views  # noqa: E402

CACHE = Path(__file__).resolve().parent / ".cache" / "fisheye_charuco_1280x960"
MOST_VIEWS = 40
# The hand-written pipeline leaves out views with fewer corners than this: cv2.fisheye.calibrate throws for
# the whole batch when it cannot pose one of them (the library finds and leaves out such views itself).
MINIMUM_CORNERS = 6
FLAGS = cv2.fisheye.CALIB_RECOMPUTE_EXTRINSIC | cv2.fisheye.CALIB_FIX_SKEW
CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 100, np.finfo(float).eps)


def render_one(k):
    path = CACHE / f"view_{k:03d}.png"
    if not path.exists():
        camera, distortion = fisheye_camera()
        pose = scene_poses(MOST_VIEWS, seed=11)[k]
        image = synthetic.render_target(board(), camera, distortion, pose, IMAGE_SIZE, noise_sigma=1.0, seed=k,
                                        supersample=2, camera_model="fisheye").image
        partial = path.with_suffix(".tmp.png")
        cv2.imwrite(str(partial), image, [cv2.IMWRITE_PNG_COMPRESSION, 1])
        partial.replace(path)
    return str(path)


def cached_views(count):
    return cached_charuco_views(count, CACHE, render_one, chunksize=2)


def opencv_pipeline(target, images):
    """The library's ChArUco detector set-up, annotation, cv2.fisheye.calibrate and the per-view RMS."""
    found_objects, found_pixels = charuco_detections(target, images, MINIMUM_CORNERS)
    object_points = [o.reshape(-1, 1, 3).astype(np.float64) for o in found_objects]
    image_points = [p.reshape(-1, 1, 2).astype(np.float64) for p in found_pixels]
    rms, k, d, rvecs, tvecs = cv2.fisheye.calibrate(object_points, image_points, IMAGE_SIZE, None, None,
                                                    flags=FLAGS, criteria=CRITERIA)
    errors = []
    for obj, img, r, t in zip(object_points, image_points, rvecs, tvecs):
        projected, _ = cv2.fisheye.projectPoints(obj, r, t, k, d)
        errors.append(math.sqrt(np.mean(np.sum((projected - img) ** 2, axis=-1))))
    return k, d, errors


def library_pipeline(target, images):
    options = _velk.IntrinsicOptions()
    options.camera_model = "fisheye"
    return _velk.IntrinsicCalibrator(target, options).calibrate(images)


def split_times(target, images):
    """(detection, solve) seconds of one library calibrate call, split where the last image is through."""
    marks = {}
    options = _velk.IntrinsicOptions()
    options.camera_model = "fisheye"

    def heard(done, total):
        if done == total:
            marks["detected"] = time.perf_counter()

    options.progress_callback = heard
    calibrator = _velk.IntrinsicCalibrator(target, options)
    with quiet():
        start = time.perf_counter()
        calibrator.calibrate(images)
        end = time.perf_counter()
    return marks["detected"] - start, end - marks["detected"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--views", type=int, default=MOST_VIEWS)
    args = parser.parse_args()
    images = cached_views(min(args.views, MOST_VIEWS))
    target = board()
    true_k, true_d = fisheye_camera()

    cv2_time = best_time(lambda: opencv_pipeline(target, images), args.repeats)
    library_time = best_time(lambda: library_pipeline(target, images), args.repeats)
    detection, solve = split_times(target, images)
    k, _, _ = opencv_pipeline(target, images)
    with quiet():
        result = library_pipeline(target, images)
    mine = np.asarray(result.intrinsic_matrix)

    print(f"fisheye intrinsics from {len(images)} views of {IMAGE_SIZE[0]} x {IMAGE_SIZE[1]} (160-degree lens), "
          f"best of {args.repeats}")
    print(f"  cv2 by hand : {cv2_time * 1000:8.1f} ms")
    print(f"  library     : {library_time * 1000:8.1f} ms  (detection {detection * 1000:.1f} ms, "
          f"solve {solve * 1000:.1f} ms)")
    print(f"  ratio library / cv2 : {library_time / cv2_time:.2f}  (target 0.70 or less)")
    print(f"  library against cv2: camera matrices differ by at most {np.abs(mine - k).max():.2e} px")
    for name, matrix in (("cv2", k), ("library", mine)):
        print(f"  {name:8s} focal error {100 * (matrix[0, 0] / true_k[0, 0] - 1):+.4f} %, principal point error "
              f"{math.hypot(matrix[0, 2] - true_k[0, 2], matrix[1, 2] - true_k[1, 2]):.3f} px")
    return 0


if __name__ == "__main__":
    sys.exit(main())
