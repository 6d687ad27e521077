"""Intrinsic calibration speed: IntrinsicCalibrator.calibrate against the same pipeline written with cv2.

Renders 80 views of a ChArUco board at 1280 x 960 and times, for 20 and for 80 of them,
one run of the library after one run of the plain-cv2 pipeline (detection, annotation,
calibrateCamera, mean reprojection error), in the same process. Prints the times and
the ratio library / cv2 (1.0 or less: no overhead beyond OpenCV's own work).

    .venv/bin/python bench/intrinsic.py [--repeats 3]
"""

from __future__ import annotations

import argparse
import time

import cv2
import numpy as np

import _velk
from quorvane.velk import synthetic

IMAGE_SIZE = (1280, 960)
K = synthetic.pinhole_matrix(1000.0, IMAGE_SIZE)
DIST = np.array([-0.1, 0.0, 0.0, 0.0, 0.0])
CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 0.001)


def render_views(target, count, seed=5):
    rng = np.random.default_rng(seed)
    centre = synthetic.board_center(target)
    images = []
    for k in range(count):
        tilt = np.radians(rng.uniform(10, 40))
        azimuth = 2 * np.pi * k / count
        eye = centre + rng.uniform(0.45, 0.7) * np.array(
            [np.sin(tilt) * np.cos(azimuth), np.sin(tilt) * np.sin(azimuth), -np.cos(tilt)])
        roll = _velk.tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, rng.uniform(-20, 20)])
        pose = roll @ synthetic.look_at_pose(eye, centre)
        images.append(synthetic.render_target(target, K, DIST, pose, IMAGE_SIZE, noise_sigma=1.0, seed=k,
                                              supersample=2).image)
    return images


def opencv_pipeline(target, images):
    """Detection with the same detector set-up, annotation, calibrateCamera and the mean error."""
    dictionary = cv2.aruco.getPredefinedDictionary(target.aruco_dict_id)
    board = cv2.aruco.CharucoBoard((target.squares_x, target.squares_y), target.square_length,
                                   target.marker_length, dictionary)
    charuco_parameters = cv2.aruco.CharucoParameters()
    charuco_parameters.minMarkers = 2
    charuco_parameters.tryRefineMarkers = False
    charuco_parameters.checkMarkers = True
    detector = cv2.aruco.CharucoDetector(board, charuco_parameters, cv2.aruco.DetectorParameters(),
                                         cv2.aruco.RefineParameters(10.0, 3.0, True))
    board_corners = board.getChessboardCorners()
    object_points, image_points = [], []
    for image in images:
        grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
        corners, ids, marker_corners, marker_ids = detector.detectBoard(grey)
        if corners is None or len(corners) < 4:
            continue
        annotated = image.copy()
        cv2.aruco.drawDetectedMarkers(annotated, marker_corners, marker_ids, (0, 255, 0))
        cv2.aruco.drawDetectedCornersCharuco(annotated, corners, ids, (255, 0, 0))
        object_points.append(board_corners[ids.ravel()].astype(np.float32))
        image_points.append(corners)
    size = (images[0].shape[1], images[0].shape[0])
    rms, k, d, rvecs, tvecs, *_ = cv2.calibrateCameraExtended(object_points, image_points, size, None, None,
                                                              flags=0, criteria=CRITERIA)
    errors = []
    for obj, img, r, t in zip(object_points, image_points, rvecs, tvecs):
        projected, _ = cv2.projectPoints(obj, r, t, k, d)
        errors.append(cv2.norm(img.astype(np.float64), projected.astype(np.float64), cv2.NORM_L2) / len(projected))
    return k, float(np.mean(errors))


def best_time(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    target = _velk.CharucoTarget(9, 7, 0.035, 0.026)
    print("rendering 80 views ...", flush=True)
    images = render_views(target, 80)
    calibrator = _velk.IntrinsicCalibrator(target)
    for count in (20, 80):
        subset = images[:count]
        ours = best_time(lambda: calibrator.calibrate(subset), args.repeats)
        theirs = best_time(lambda: opencv_pipeline(target, subset), args.repeats)
        result = calibrator.calibrate(subset)
        k, error = opencv_pipeline(target, subset)
        agreement = np.max(np.abs(result.intrinsic_matrix - k)) / np.max(np.abs(k))
        print(f"{count:3d} views: library {ours:7.3f} s   cv2 {theirs:7.3f} s   ratio {ours / theirs:5.3f}   "
              f"(camera matrices differ by {agreement:.1e} relative)")


if __name__ == "__main__":
    main()
