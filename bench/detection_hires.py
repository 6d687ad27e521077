"""Detection on 4096 x 3072 pictures: the library's reduced-scale search against the same detection
written with cv2 at full resolution.

Renders, once (cached as PNG files under bench/.cache, several minutes), at 4096 x 3072 with known
corners: 20 views of a 9 x 6 chessboard (one sample per pixel, for the timing and the calibration),
4 views each of that chessboard, a 5 x 7 ChArUco board and a 6 x 5 ArUco grid with 2 x 2 samples
per pixel (exact enough a truth for the corner error; the marker boards are timed on them), two
pictures of the empty scene (the board out of view) and 8 chessboard views at 1280 x 960; then in
one run on 2 cores:

- per picture with the board, the time of IntrinsicCalibrator.find_corners(..., annotate=False) over
  the time of cv2 doing the same detection at full resolution (grey conversion, detection with the
  library's default chessboard flags, cornerSubPix for the chessboard); targets 0.2 (chessboard)
  and 0.5 (ChArUco, ArUco grid); then both with an annotated copy of every picture (the library's
  default, cv2 drawing on a copy): the copy is a full-size copy of the picture either way, and
  numpy asks the kernel for huge pages for cv2's copies (one page fault per 2 MB) while the
  library's are ordinary memory (one per 4 KB), so that the copies cost the library about twice
  what they cost cv2;
- per picture without the board (the ChArUco, ArUco grid and empty pictures searched for the
  chessboard), the library's time over cv2's time to search the same pictures for the chessboard
  (target 0.05; cv2 is given up after CV2_REJECTION_LIMIT_S per picture, which then makes the
  ratio an upper bound), and for information the library's time over cv2's on the pictures with
  the board, and cv2 with its own default flags on the empty pictures;
- corner error against the rendered truth (median and 95th percentile, px) of the default
  detection, of the library at full resolution (detection_max_side = 0) and of cv2; the default
  counts as no worse when it is within cornerSubPix's stopping tolerance of full resolution;
- intrinsic calibration from the 20 chessboard views, default against full resolution: the
  difference of each parameter in units of the full-resolution 1-sigma;
- the growth of the resident set while the library searches the pictures without the board, and
  while it finds the board in the 20 chessboard pictures without annotated copies, in full-size
  grey pictures;
- on 1280 x 960 pictures (below the threshold) the default against detection_max_side = 0.

    .venv/bin/python bench/detection_hires.py [--repeats 2]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import threading
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from pathlib import Path

import cv2
import numpy as np

import _velk
from quorvane.velk import synthetic

SIZE = (4096, 3072)
SMALL_SIZE = (1280, 960)
DIST = np.array([-0.1, 0.0, 0.0, 0.0, 0.0])
CACHE = Path(__file__).resolve().parent / ".cache" / "detection_4096x3072"
THREADS = 2
COUNTS = {"chessboard": 20, "charuco": 4, "aruco": 4}
ACCURACY_VIEWS = 4  # rendered with 2 x 2 samples per pixel, so that the truth is exact to a few hundredths
TARGETS = {
    "chessboard": lambda: _velk.ChessboardTarget((9, 6), 0.03),
    "charuco": lambda: _velk.CharucoTarget(5, 7, 0.04, 0.03),
    "aruco": lambda: _velk.ArucoTarget((6, 5), 0.04, 0.01),
}
TARGET_RATIO = {"chessboard": 0.2, "charuco": 0.5, "aruco": 0.5}
CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 0.001)
#: cv2's side searches with the flags the library searches with by default (cv2's own default
#: adds adaptive thresholding and normalisation, a different search).
LIBRARY_CHESSBOARD_FLAGS = _velk.IntrinsicOptions().chessboard_flags


def camera_matrix(size):
    return synthetic.pinhole_matrix(1000.0 * size[0] / 1280.0, size)


def view_pose(target, k, count, seed=7):
    """Oblique views at 0.45-0.7 m, tilted 10-40 degrees, rolled +-20 degrees."""
    rng = np.random.default_rng([seed, k])
    centre = synthetic.board_center(target)
    tilt = np.radians(rng.uniform(10, 40))
    azimuth = 2 * np.pi * k / count
    eye = centre + rng.uniform(0.45, 0.7) * np.array(
        [np.sin(tilt) * np.cos(azimuth), np.sin(tilt) * np.sin(azimuth), -np.cos(tilt)])
    aim = centre + np.array([rng.uniform(-0.05, 0.05), rng.uniform(-0.04, 0.04), 0.0])
    roll_angle = np.radians(rng.uniform(-20, 20))
    c, s = np.cos(roll_angle), np.sin(roll_angle)
    roll = np.eye(4)
    roll[:2, :2] = [[c, -s], [s, c]]
    return roll @ synthetic.look_at_pose(eye, aim)


def away_pose(target):
    """The camera looks past the board: the picture shows the empty scene."""
    centre = synthetic.board_center(target)
    return synthetic.look_at_pose(centre + np.array([0.0, 0.0, -0.6]), centre + np.array([3.0, 0.0, 0.0]))


def render_one(job):
    kind, k, size, supersample = job
    name = f"{kind}_{size[0]}_{k:02d}_s{supersample}"
    image_path, truth_path = CACHE / f"{name}.png", CACHE / f"{name}.npz"
    if not image_path.exists():
        target = TARGETS[kind if kind != "empty" else "chessboard"]()
        pose = away_pose(target) if kind == "empty" else view_pose(target, k, COUNTS.get(kind, 1))
        view = synthetic.render_target(target, camera_matrix(size), DIST, pose, size, noise_sigma=1.0,
                                       blur_sigma=0.5, seed=k, supersample=supersample)
        truth = [view.corners[view.visible]]
        if view.marker_corners.size:
            truth.append(view.marker_corners[view.marker_visible].reshape(-1, 2))
        np.savez(truth_path, truth=np.concatenate(truth).reshape(-1, 2))
        partial = image_path.with_suffix(".tmp.png")
        cv2.imwrite(str(partial), view.image, [cv2.IMWRITE_PNG_COMPRESSION, 1])
        partial.replace(image_path)
    return str(image_path), str(truth_path)


def load(kind, count, size=SIZE, supersample=1):
    CACHE.mkdir(parents=True, exist_ok=True)
    jobs = [(kind, k, size, supersample) for k in range(count)]
    with ProcessPoolExecutor(THREADS) as pool:
        paths = list(pool.map(render_one, jobs))
    return [cv2.imread(p) for p, _ in paths], [np.load(t)["truth"] for _, t in paths]


# --- the same detection written with cv2 at full resolution ---------------------------------------

def cv2_chessboard(image, target, annotate=True):
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    found, corners = cv2.findChessboardCorners(grey, target.size, flags=LIBRARY_CHESSBOARD_FLAGS)
    if not found:
        return None
    corners = cv2.cornerSubPix(grey, corners, (11, 11), (-1, -1), CRITERIA)
    if annotate:
        cv2.drawChessboardCorners(image.copy(), target.size, corners, True)
    return corners.reshape(-1, 2)


def cv2_charuco(image, target, annotate=True):
    board = cv2.aruco.CharucoBoard((target.squares_x, target.squares_y), target.square_length,
                                   target.marker_length, cv2.aruco.getPredefinedDictionary(target.aruco_dict_id))
    parameters = cv2.aruco.CharucoParameters()
    parameters.minMarkers = 2
    parameters.tryRefineMarkers = False
    detector = cv2.aruco.CharucoDetector(board, parameters, cv2.aruco.DetectorParameters(),
                                         cv2.aruco.RefineParameters(10.0, 3.0, True))
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    corners, ids, marker_corners, marker_ids = detector.detectBoard(grey)
    if ids is None or len(ids) < 4:
        return None
    if annotate:
        canvas = image.copy()
        cv2.aruco.drawDetectedMarkers(canvas, marker_corners, marker_ids)
        cv2.aruco.drawDetectedCornersCharuco(canvas, corners, ids)
    return corners.reshape(-1, 2)


def cv2_aruco(image, target, annotate=True):
    dictionary = cv2.aruco.getPredefinedDictionary(target.aruco_dict_id)
    board = cv2.aruco.GridBoard(target.board_size, target.marker_length, target.marker_separation, dictionary)
    detector = cv2.aruco.ArucoDetector(dictionary, cv2.aruco.DetectorParameters(),
                                       cv2.aruco.RefineParameters(10.0, 3.0, True))
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    corners, ids, rejected = detector.detectMarkers(grey)
    if ids is None or len(ids) < 4:
        return None
    corners, ids, _, _ = detector.refineDetectedMarkers(grey, board, corners, ids, rejected)
    if annotate:
        cv2.aruco.drawDetectedMarkers(image.copy(), corners, ids)
    return np.concatenate([c.reshape(-1, 2) for c in corners])


CV2_DETECT = {"chessboard": cv2_chessboard, "charuco": cv2_charuco, "aruco": cv2_aruco}


def cv2_batch(kind, target, images, annotate=True):
    """Every picture on one of THREADS worker threads, cv2 on one thread each."""
    with ThreadPoolExecutor(THREADS) as pool:
        return list(pool.map(lambda image: CV2_DETECT[kind](image, target, annotate), images))


def library_batch(target, images, max_side=None, annotate=True):
    options = _velk.IntrinsicOptions()
    if max_side is not None:
        options.detection_max_side = max_side
    detections = _velk.IntrinsicCalibrator(target, options).find_corners(images, annotate=annotate)
    points = [None] * len(images)
    for index, found in zip(detections.successful_indices, detections.image_points):
        points[index] = found.reshape(-1, 2)
    return points


def timed(run, repeats):
    """Best wall time of repeats runs (seconds) and the last result."""
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def corner_errors(found, truths):
    """Distance of each found corner to the nearest true corner, over every picture with the board."""
    errors = []
    for points, truth in zip(found, truths):
        if points is not None:
            errors.append(np.min(np.linalg.norm(points[:, None, :] - truth[None, :, :], axis=2), axis=1))
    return np.concatenate(errors) if errors else np.array([np.nan])


def describe(errors):
    return f"median {np.median(errors):.4f} px, p95 {np.percentile(errors, 95):.4f} px"


#: cornerSubPix stops once a step is below CRITERIA's epsilon, so two refinements of one corner
#: from different starting points agree only to about that much: errors within it are equal.
REFINEMENT_TOLERANCE_PX = CRITERIA[2]


def largest_difference(found, other):
    """Largest distance from a corner of one detection to the nearest corner the other gives for the
    same picture (marker boards list their corners in the order the markers were found)."""
    pairs = [(a, b) for a, b in zip(found, other) if a is not None and b is not None]
    return max((float(np.max(np.min(np.linalg.norm(a[:, None, :] - b[None, :, :], axis=2), axis=1)))
                for a, b in pairs), default=float("nan"))


def report_accuracy(kind, target, images, truths):
    found = {"default": library_batch(target, images), "full": library_batch(target, images, 0),
             "cv2": cv2_batch(kind, target, images)}
    counts = " / ".join(str(sum(p is not None for p in f)) for f in found.values())
    errs = {name: corner_errors(f, truths) for name, f in found.items()}
    no_worse = all(np.percentile(errs["default"], q) <= np.percentile(errs["full"], q) + REFINEMENT_TOLERANCE_PX
                   for q in (50, 95))
    print(f"    corner error on {len(images)} pictures rendered with 2 x 2 samples (found in {counts}: default / "
          f"full resolution / cv2): default {describe(errs['default'])}; full resolution {describe(errs['full'])}; "
          f"cv2 {describe(errs['cv2'])}; default and full resolution differ by up to "
          f"{largest_difference(found['default'], found['full']):.4f} px -> "
          f"{'no worse' if no_worse else 'WORSE'} than full resolution (to {REFINEMENT_TOLERANCE_PX} px)")


def compare_speed_and_accuracy(repeats):
    cv2_chessboard_per_picture = None
    outcomes = {}
    for kind in ("chessboard", "charuco", "aruco"):
        target = TARGETS[kind]()
        images, _ = load(kind, COUNTS[kind], supersample=1 if kind == "chessboard" else 2)
        n = len(images)
        cv2_time, cv2_found = timed(lambda: cv2_batch(kind, target, images), repeats)
        lib_time, lib_found = timed(lambda: library_batch(target, images), repeats)
        full_time, full_found = timed(lambda: library_batch(target, images, 0), 1)
        bare_cv2, _ = timed(lambda: cv2_batch(kind, target, images, annotate=False), repeats)
        bare_lib, _ = timed(lambda: library_batch(target, images, annotate=False), repeats)
        bare_ratio = bare_lib / bare_cv2
        found = " / ".join(str(sum(p is not None for p in f)) for f in (lib_found, full_found, cv2_found))
        print(f"{kind}: {n} pictures with the board (found in {found}), detection per picture: cv2 "
              f"{1000 * bare_cv2 / n:.1f} ms, library {1000 * bare_lib / n:.1f} ms (annotate=False); ratio "
              f"{bare_ratio:.3f} (target {TARGET_RATIO[kind]}) {'ok' if bare_ratio <= TARGET_RATIO[kind] else 'MISSED'}")
        ratio = lib_time / cv2_time
        copy_share = max(0.0, cv2_time - bare_cv2) / cv2_time
        print(f"    with an annotated copy of every picture on both sides (the library's default): cv2 "
              f"{1000 * cv2_time / n:.1f} ms, library {1000 * lib_time / n:.1f} ms (full resolution "
              f"{1000 * full_time / n:.1f} ms); ratio {ratio:.3f}; cv2's annotated copy alone is {copy_share:.2f} of "
              f"its time, so no ratio below that is possible with a copy as costly as cv2's")
        report_accuracy(kind, target, *load(kind, ACCURACY_VIEWS, supersample=2))
        if kind == "chessboard":
            cv2_chessboard_per_picture = cv2_time / n
            outcomes["chessboard"] = (target, images)
        else:
            outcomes.setdefault("absent", []).extend(images[:2])
    return cv2_chessboard_per_picture, outcomes


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_growth(run):
    """Largest growth of the resident set during run(), sampled every millisecond."""
    base, peak, done = resident_bytes(), [0], threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], resident_bytes() - base)
            time.sleep(0.001)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        run()
    finally:
        done.set()
        sampler.join()
    return peak[0]


#: cv2 at full resolution can search a picture without the board for minutes (a picture full of
#: marker squares for an hour): each picture is given up after this long, and its time counts as
#: this limit, so that the ratio is an upper bound.
CV2_REJECTION_LIMIT_S = 30.0

CV2_DEFAULT_FLAGS = cv2.CALIB_CB_ADAPTIVE_THRESH + cv2.CALIB_CB_NORMALIZE_IMAGE


def _cv2_rejection_seconds(image, flags, results):
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    start = time.perf_counter()
    found, _ = cv2.findChessboardCorners(grey, TARGETS["chessboard"]().size, flags=flags)
    results.put((time.perf_counter() - start, bool(found)))


def cv2_rejection_seconds(pictures, flags):
    """cv2's time to search each picture for the chessboard at full resolution, THREADS pictures at a
    time in worker processes; None where it was stopped after CV2_REJECTION_LIMIT_S."""
    context = multiprocessing.get_context("fork")
    seconds = []
    for first in range(0, len(pictures), THREADS):
        group = [(context.Queue(), picture) for picture in pictures[first:first + THREADS]]
        workers = [context.Process(target=_cv2_rejection_seconds, args=(picture, flags, queue))
                   for queue, picture in group]
        for worker in workers:
            worker.start()
        deadline = time.monotonic() + CV2_REJECTION_LIMIT_S
        for worker, (queue, _) in zip(workers, group):
            worker.join(max(0.0, deadline - time.monotonic()))
            if worker.is_alive():
                worker.terminate()
                worker.join()
                seconds.append(None)
            else:
                elapsed, found = queue.get()
                assert not found, "cv2 found a chessboard where none is"
                seconds.append(elapsed)
    return seconds


def describe_seconds(seconds):
    return ", ".join(f"more than {CV2_REJECTION_LIMIT_S:.0f} s" if s is None else f"{1000 * s:.0f} ms"
                     for s in seconds)


def library_alone_seconds(target, picture, repeats):
    """The library's best time for one picture on one thread."""
    threads = _velk.get_num_threads()
    _velk.set_num_threads(1)
    try:
        return timed(lambda: library_batch(target, [picture]), repeats)[0]
    finally:
        _velk.set_num_threads(threads)


def compare_rejection(cv2_chessboard_per_picture, absent, repeats):
    target = TARGETS["chessboard"]()
    empty, _ = load("empty", 2)
    pictures = absent + empty
    n = len(pictures)
    lib_time, lib_found = timed(lambda: library_batch(target, pictures), repeats)
    assert not any(p is not None for p in lib_found), "a chessboard was found where none is"
    cv2_seconds = cv2_rejection_seconds(pictures, LIBRARY_CHESSBOARD_FLAGS)
    # cv2 searches THREADS pictures at a time, as the library does: per picture, its wall time is
    # the sum over pictures divided by THREADS and by the count.
    cv2_per_picture = sum(CV2_REJECTION_LIMIT_S if s is None else s for s in cv2_seconds) / THREADS / n
    bound = "at most " if None in cv2_seconds else ""
    ratio = lib_time / n / cv2_per_picture
    print(f"rejection: {n} pictures without the chessboard (2 ChArUco, 2 ArUco grid, 2 empty), per picture: "
          f"library {1000 * lib_time / n:.1f} ms; cv2 searching the same pictures for the chessboard: "
          f"{describe_seconds(cv2_seconds)}; ratio {bound}{ratio:.5f} (target 0.05) {'ok' if ratio <= 0.05 else 'MISSED'}")
    per_picture = [library_alone_seconds(target, picture, repeats) / (CV2_REJECTION_LIMIT_S if s is None else s)
                   for picture, s in zip(pictures, cv2_seconds)]
    print("    picture by picture, the library alone on one thread over cv2 alone: "
          + ", ".join(f"{'at most ' if s is None else ''}{r:.4f}" for r, s in zip(per_picture, cv2_seconds))
          + f" (median {np.median(per_picture):.3f})")
    print(f"    for information: ratio to cv2's time on the pictures with the chessboard "
          f"{lib_time / n / cv2_chessboard_per_picture:.3f}; cv2 with its own default flags (adaptive threshold, "
          f"normalised) on the 2 empty pictures: {describe_seconds(cv2_rejection_seconds(empty, CV2_DEFAULT_FLAGS))}")
    grey_bytes = SIZE[0] * SIZE[1]
    growth = peak_growth(lambda: library_batch(target, pictures))
    print(f"memory: resident set grew by {growth / 1e6:.1f} MB while the library rejected them on {THREADS} threads "
          f"= {growth / grey_bytes:.2f} full-size grey pictures (at most {THREADS}, one per thread)")


def detection_memory(target, images):
    """Growth of the resident set while the library finds the chessboard in pictures that show it,
    without annotated copies: the working memory of a batch beyond the caller's pictures."""
    growth = peak_growth(lambda: library_batch(target, images, annotate=False))
    print(f"    while it found the chessboard in {len(images)} pictures (annotate=False): the resident set grew by "
          f"{growth / 1e6:.1f} MB = {growth / (SIZE[0] * SIZE[1]):.2f} full-size grey pictures")


def calibration_agreement(target, images):
    fits = {}
    for name, side in (("default", None), ("full", 0)):
        options = _velk.IntrinsicOptions()
        if side is not None:
            options.detection_max_side = side
        fits[name] = _velk.IntrinsicCalibrator(target, options).calibrate(images)
    default, full = fits["default"], fits["full"]
    values = lambda r: np.r_[r.intrinsic_matrix[0, 0], r.intrinsic_matrix[1, 1], r.intrinsic_matrix[0, 2],
                             r.intrinsic_matrix[1, 2], np.ravel(r.distortion_coefficients)[:5]]
    sigma = np.ravel(full.std_deviations_intrinsics)[:9]
    ratios = np.abs(values(default) - values(full)) / sigma
    names = ["fx", "fy", "cx", "cy", "k1", "k2", "p1", "p2", "k3"]
    print(f"calibration from {len(images)} chessboard pictures: RMS default {default.reprojection_error:.4f} px, "
          f"full resolution {full.reprojection_error:.4f} px")
    print("    |default - full| / full-resolution sigma: "
          + ", ".join(f"{n} {r:.2f}" for n, r in zip(names, ratios))
          + f" -> {'within 1 sigma' if np.all(ratios <= 1.0) else 'OUTSIDE 1 sigma'}")


def compare_small_pictures(repeats):
    target = TARGETS["chessboard"]()
    images, _ = load("chessboard", 8, SMALL_SIZE)
    # A few milliseconds a picture: more repeats, or the noise of the machine is the ratio.
    repeats = max(repeats, 5)
    default_time, default_found = timed(lambda: library_batch(target, images), repeats)
    full_time, full_found = timed(lambda: library_batch(target, images, 0), repeats)
    same = all((a is None and b is None) or np.array_equal(a, b) for a, b in zip(default_found, full_found))
    print(f"1280 x 960: per picture default {1000 * default_time / 8:.1f} ms, full resolution "
          f"{1000 * full_time / 8:.1f} ms, ratio {default_time / full_time:.2f}; "
          f"corners {'identical' if same else 'DIFFERENT'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args()
    cv2.setNumThreads(1)
    _velk.set_num_threads(THREADS)
    print(f"OpenCV {cv2.__version__}, {THREADS} threads, pictures {SIZE[0]} x {SIZE[1]}, best of {args.repeats}")
    cv2_chessboard_per_picture, outcomes = compare_speed_and_accuracy(args.repeats)
    compare_rejection(cv2_chessboard_per_picture, outcomes["absent"], args.repeats)
    detection_memory(*outcomes["chessboard"])
    calibration_agreement(*outcomes["chessboard"])
    compare_small_pictures(args.repeats)


if __name__ == "__main__":
    main()
