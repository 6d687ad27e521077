"""Intrinsic calibration speed and scaling: IntrinsicCalibrator against the same pipeline written with cv2.

Renders 320 views of a ChArUco board at 1280 x 960 once (cached as PNG files under bench/.cache,
about a minute per hundred views on two cores) and, for 20, 80 and 320 of them, times in this
process:

- one run of IntrinsicCalibrator.calibrate after one run of the plain-cv2 pipeline (detection,
  annotation, calibrateCamera, mean reprojection error) and prints the ratio library / cv2, at the
  default thread counts (target 0.7 or less at 80 and 320 views) and with both OpenCVs on one
  thread (cv2.setNumThreads(1), _velk.set_num_threads(1); target 1.0 or less);
- the library's detection and solve apart within one calibrate call (split where the progress
  callback hears that the last image is through), per view, with the peak memory per view of
  find_corners and of calibrate (resident set growth during the call, sampled);
- the cost of copying the images into the library (a call that converts its image list and
  returns at once);
- whether the camera matrix at the default thread count equals, bit for bit, the one of the
  sequential (one-thread) run and the one of a repeated run;
- what running the solver on one thread costs: cv2.calibrateCamera on the same detections on
  the default pool and on one thread, at the sizes up to 80 views.

    .venv/bin/python bench/intrinsic.py [--repeats 2] [--sizes 20 80 320]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import cv2
import numpy as np

import _velk
from quorvane.velk import synthetic

IMAGE_SIZE = (1280, 960)
K = synthetic.pinhole_matrix(1000.0, IMAGE_SIZE)
DIST = np.array([-0.1, 0.0, 0.0, 0.0, 0.0])
CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 0.001)
CACHE = Path(__file__).resolve().parent / ".cache" / "intrinsic_charuco_1280x960"
MOST_VIEWS = 320


def make_target():
    return _velk.CharucoTarget(9, 7, 0.035, 0.026)


def roll_about_z(degrees):
    c, s = np.cos(np.radians(degrees)), np.sin(np.radians(degrees))
    roll = np.eye(4)
    roll[:2, :2] = [[c, -s], [s, c]]
    return roll


def view_pose(target, k, count, seed=5):
    """Pose k of count: oblique views at 0.45-0.7 m, tilted 10-40 degrees, rolled +-20 degrees."""
    rng = np.random.default_rng([seed, k])
    centre = synthetic.board_center(target)
    tilt = np.radians(rng.uniform(10, 40))
    azimuth = 2 * np.pi * k / count
    eye = centre + rng.uniform(0.45, 0.7) * np.array(
        [np.sin(tilt) * np.cos(azimuth), np.sin(tilt) * np.sin(azimuth), -np.cos(tilt)])
    return roll_about_z(rng.uniform(-20, 20)) @ synthetic.look_at_pose(eye, centre)


def render_one(k):
    path = CACHE / f"view_{k:03d}.png"
    if not path.exists():
        target = make_target()
        image = synthetic.render_target(target, K, DIST, view_pose(target, k, MOST_VIEWS), IMAGE_SIZE,
                                        noise_sigma=1.0, seed=k, supersample=2).image
        partial = path.with_suffix(".tmp.png")
        cv2.imwrite(str(partial), image, [cv2.IMWRITE_PNG_COMPRESSION, 1])
        partial.replace(path)
    return str(path)


def cached_views(count, cache=CACHE, render=None, chunksize=4):
    """The first count views in cache, rendered on first use by render(k) (default render_one, in two worker
    processes) and read from disk after."""
    cache.mkdir(parents=True, exist_ok=True)
    missing = [k for k in range(count) if not (cache / f"view_{k:03d}.png").exists()]
    if missing:
        print(f"rendering {len(missing)} views into {cache} ...", flush=True)
        with ProcessPoolExecutor(max_workers=2) as pool:
            list(pool.map(render or render_one, missing, chunksize=chunksize))
    return [cv2.imread(str(cache / f"view_{k:03d}.png"), cv2.IMREAD_COLOR) for k in range(count)]


def charuco_detections(target, images, minimum_corners=4):
    """(object points, image points) of every picture with at least minimum_corners ChArUco corners, found with
    the library's detector set-up and drawn on an annotated copy as the library does."""
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
    object_points, image_points, annotated_images = [], [], []
    for image in images:
        grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
        corners, ids, marker_corners, marker_ids = detector.detectBoard(grey)
        if corners is None or len(corners) < minimum_corners:
            continue
        annotated = image.copy()
        cv2.aruco.drawDetectedMarkers(annotated, marker_corners, marker_ids, (0, 255, 0))
        cv2.aruco.drawDetectedCornersCharuco(annotated, corners, ids, (255, 0, 0))
        annotated_images.append(annotated)  # the library keeps its annotated pictures too
        object_points.append(board_corners[ids.ravel()].astype(np.float32))
        image_points.append(corners)
    return object_points, image_points


def opencv_pipeline(target, images):
    """Detection with the same detector set-up, annotation, calibrateCamera and the mean error."""
    object_points, image_points = charuco_detections(target, images)
    size = (images[0].shape[1], images[0].shape[0])
    rms, k, d, rvecs, tvecs, *_ = cv2.calibrateCameraExtended(object_points, image_points, size, None, None,
                                                              flags=0, criteria=CRITERIA)
    errors = []
    for obj, img, r, t in zip(object_points, image_points, rvecs, tvecs):
        projected, _ = cv2.projectPoints(obj, r, t, k, d)
        errors.append(cv2.norm(img.astype(np.float64), projected.astype(np.float64), cv2.NORM_L2) / len(projected))
    return k, float(np.mean(errors))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@contextlib.contextmanager
def peak_memory(record):
    """Samples the resident set every 2 ms while the block runs; record['peak'] gets the growth in bytes."""
    baseline = resident_bytes()
    peak = [baseline]
    done = threading.Event()

    def sample():
        while not done.wait(0.002):
            peak[0] = max(peak[0], resident_bytes())

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    try:
        yield
    finally:
        done.set()
        sampler.join(timeout=1.0)
        record["peak"] = max(peak[0], resident_bytes()) - baseline


@contextlib.contextmanager
def quiet():
    """Silences the library's log lines (file descriptors 1 and 2) while timing."""
    sys.stdout.flush()
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        yield
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in saved + [null]:
            os.close(fd)


def best_time(fn, repeats):
    """Best wall-clock time of repeats calls, after one untimed call that pays the one-off costs
    (thread pool start, first use of the detector's tables, the allocator growing its heap)."""
    with quiet():
        fn()
    times = []
    for _ in range(repeats):
        with quiet():
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
    return min(times)


def set_threads(threads, defaults):
    _velk.set_num_threads(threads or defaults[0])
    cv2.setNumThreads(threads or defaults[1])


def conversion_time(target, images, repeats):
    """A hand-eye call with an unknown method converts its image list and fails straight after."""
    calibrator = _velk.EyeInHandCalibrator(target)

    def convert():
        try:
            calibrator.calibrate([], images, "NONE")
        except ValueError:
            pass

    return best_time(convert, repeats)


def split_calibration(target, images):
    """Detection and solve times of one calibrate call, split where the progress callback hears
    that the last image is through."""
    options = _velk.IntrinsicOptions()
    detected = []
    options.progress_callback = lambda done, total: detected.append(time.perf_counter()) if done == total else None
    with quiet():
        start = time.perf_counter()
        _velk.IntrinsicCalibrator(target, options).calibrate(images)
        end = time.perf_counter()
    return detected[-1] - start, end - detected[-1]


def scaling_row(target, images, repeats):
    calibrator = _velk.IntrinsicCalibrator(target)
    detection_memory, whole_memory = {}, {}
    with quiet(), peak_memory(detection_memory):
        calibrator.find_corners(images)
    with quiet(), peak_memory(whole_memory):
        calibrator.calibrate(images)
    splits = [split_calibration(target, images) for _ in range(repeats)]
    detection, solve = min(d for d, _ in splits), min(s for _, s in splits)
    return detection, solve, detection_memory["peak"], whole_memory["peak"]


def solver_thread_cost(target, images, repeats, defaults):
    """calibrateCamera (cv2, same OpenCV release) on the library's detections: on the default pool
    and on one thread, as the library runs it so that its results repeat bit for bit."""
    with quiet():
        detections = _velk.IntrinsicCalibrator(target).find_corners(images)
    size = (images[0].shape[1], images[0].shape[0])
    objects = [np.ascontiguousarray(o) for o in detections.object_points]
    points = [np.ascontiguousarray(p) for p in detections.image_points]

    def solve():
        return cv2.calibrateCameraExtended(objects, points, size, None, None, flags=0, criteria=CRITERIA)

    times = {}
    for label, threads in (("pool", defaults[1]), ("one thread", 1)):
        cv2.setNumThreads(threads)
        times[label] = best_time(solve, repeats)
    cv2.setNumThreads(defaults[1])
    return times["pool"], times["one thread"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--sizes", type=int, nargs="+", default=[20, 80, 320])
    args = parser.parse_args()
    target = make_target()
    images = cached_views(max(args.sizes))
    defaults = (_velk.get_num_threads(), cv2.getNumThreads())
    print(f"threads by default: library {defaults[0]}, cv2 {defaults[1]}")

    print("\nratio library / cv2 (whole calibration, best of the repeats)")
    for count in args.sizes:
        subset = images[:count]
        repeats = args.repeats if count < 320 else 1
        cells, matrices = [], {}
        for label, threads in (("default", None), ("1 thread", 1)):
            set_threads(threads, defaults)
            ours = best_time(lambda: _velk.IntrinsicCalibrator(target).calibrate(subset), repeats)
            theirs = best_time(lambda: opencv_pipeline(target, subset), repeats)
            with quiet():
                matrices[label] = _velk.IntrinsicCalibrator(target).calibrate(subset).intrinsic_matrix
            cells.append(f"{label}: library {ours:6.2f} s  cv2 {theirs:6.2f} s  ratio {ours / theirs:5.3f}")
        set_threads(None, defaults)
        with quiet():
            again = _velk.IntrinsicCalibrator(target).calibrate(subset).intrinsic_matrix
        same = np.array_equal(matrices["default"], matrices["1 thread"])
        repeats_exactly = again.tobytes() == matrices["default"].tobytes()
        print(f"{count:3d} views | " + " | ".join(cells) + f" | camera matrix equal to sequential: {same}, "
              f"repeated run bit-identical: {repeats_exactly}")

    print("\nlibrary cost per view at default threads (detection and solve split within one calibrate call)")
    for count in args.sizes:
        subset = images[:count]
        repeats = args.repeats if count < 320 else 1
        detection, solve, detection_peak, whole_peak = scaling_row(target, subset, repeats)
        copy = conversion_time(target, subset, repeats)
        print(f"{count:3d} views | detection {1000 * detection / count:6.1f} ms/view, "
              f"peak {detection_peak / count / 2**20:5.2f} MiB/view | solve {1000 * solve / count:6.1f} ms/view "
              f"({solve:6.2f} s), calibrate peak {whole_peak / count / 2**20:5.2f} MiB/view | "
              f"image copy in {1000 * copy / count:5.2f} ms/view")

    print("\ncost of the one-thread solve (cv2.calibrateCamera on the same detections)")
    for count in [c for c in args.sizes if c <= 80]:
        pool, alone = solver_thread_cost(target, images[:count], args.repeats, defaults)
        print(f"{count:3d} views | pool {pool:6.3f} s  one thread {alone:6.3f} s  cost {alone - pool:+6.3f} s "
              f"({alone / pool:5.2f}x)")


if __name__ == "__main__":
    main()
