"""Recall of chessboard detection on hard pictures: the library's default search (with the searches it
falls back on), the library with fallback_searches off, cv2.findChessboardCorners with its
own default flags (adaptive threshold and normalisation, then cornerSubPix with the library's window)
and cv2.findChessboardCornersSB with its default flags.

Rendered pictures: VIEWS views of a 9 x 6 chessboard at 1280 x 960, each degraded in turn:

- clean: as rendered (blur 0.5 px, grey noise 1);
- uneven light: the picture multiplied by a gradient falling 4:1 across the board;
- glare: a saturated blob over about 5 % of the board;
- low contrast: black at 35 % and white at 65 % of full scale;
- blur: Gaussian, sigma 1.5 px;
- noise: grey, sigma 8.

- all of these but the glare together.

For each, the fraction of pictures found, the median corner error against the rendered truth (px;
the median over pictures of each picture's median, its corners matched to the truth in the best of
the four row orders) and how many pictures came in another corner order than the truth's (the
order of findChessboardCorners). Real pictures: every photograph of
the stereo chessboard set as it is (640 x 480), and enlarged 4 times (2560 x 1920, cubic) and
searched at full resolution (detection_max_side = 0); fraction found only (no truth). Then
which search found which picture in the library's default. Finally, the time per picture without
the chessboard (the library with and without the later searches, best of 3, one picture at a time),
at 1280 x 960 and at 4000 x 3000: the empty scene (the camera looking past the board: flat grey
and sensor noise), a ChArUco board and an ArUco grid.

    .venv/bin/python bench/recall.py [--views 12] [--no-board-only]
"""

from __future__ import annotations

import argparse
import collections
import sys
import time
from pathlib import Path

import cv2
import numpy as np

import _velk
from quorvane.velk import synthetic

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from degraded_views import CONDITIONS, DIST, rendered_views  # noqa: E402

PATTERN = (9, 6)
SQUARE = 0.03
DEFAULT_MAX_SIDE = _velk.IntrinsicOptions().detection_max_side
WRONG_ORDER_PX = 5.0  # a picture whose median error in the order found exceeds this came in another order
SUBPIX_CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 0.001)


def stereo_folder() -> Path:
    """The shared data folder sits beside the checkout (or beside the folder holding worktrees)."""
    parents = Path(__file__).resolve().parents
    return next((p / "shared" / "data" / "stereo-chessboard" for p in parents
                 if (p / "shared" / "data" / "stereo-chessboard").is_dir()), parents[1] / "stereo-chessboard")


def views(count, seed=7):
    """The chessboard's views (rendered_views)."""
    target = _velk.ChessboardTarget(PATTERN, SQUARE)
    return target, rendered_views(target, count, seed)


def library(images, fallback=True, max_side=DEFAULT_MAX_SIDE):
    options = _velk.IntrinsicOptions()
    options.fallback_searches = fallback
    options.detection_max_side = max_side
    found = _velk.IntrinsicCalibrator(_velk.ChessboardTarget(PATTERN, SQUARE), options).find_corners(
        images, annotate=False)
    points = [None] * len(images)
    for index, corners in zip(found.successful_indices, found.image_points):
        points[index] = corners.reshape(-1, 2)
    return points, dict(zip(found.successful_indices, found.found_by))


def cv2_default(images):
    points = []
    window = _velk.IntrinsicOptions().sub_pixel_detection_window_size
    for image in images:
        grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
        ok, corners = cv2.findChessboardCorners(grey, PATTERN)
        if ok:
            corners = cv2.cornerSubPix(grey, corners, (window, window), (-1, -1), SUBPIX_CRITERIA)
        points.append(corners.reshape(-1, 2) if ok else None)
    return points


def cv2_sector(images):
    points = []
    for image in images:
        ok, corners = cv2.findChessboardCornersSB(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY), PATTERN)
        points.append(corners.reshape(-1, 2) if ok else None)
    return points


def summary(points, truths):
    count = f"{sum(p is not None for p in points)}/{len(points)}"
    if truths is None:
        return count, "", ""
    found = [(p, t) for p, t in zip(points, truths) if p is not None]
    if not found:
        return count, "-", "0"
    in_order = [float(np.median(np.linalg.norm(p - t, axis=1))) for p, t in found]
    best = [min(float(np.median(np.linalg.norm(row_order(p, order) - t, axis=1))) for order in ROW_ORDERS)
            for p, t in found]
    return count, f"{np.median(best):.3f}", str(sum(m > WRONG_ORDER_PX for m in in_order))


ROW_ORDERS = [(False, False), (True, True), (True, False), (False, True)]


def row_order(points, order):
    """The corners with their rows, or the corners within each row, read in reverse."""
    grid = points.reshape(PATTERN[1], PATTERN[0], 2)
    grid = grid[::-1] if order[0] else grid
    grid = grid[:, ::-1] if order[1] else grid
    return grid.reshape(-1, 2)


METHODS = ("library", "library, one search", "cv2 default flags", "cv2 SB")


def run_methods(images, max_side=DEFAULT_MAX_SIDE):
    library_points, found_by = library(images, True, max_side)
    return {"library": library_points, "library, one search": library(images, False, max_side)[0],
            "cv2 default flags": cv2_default(images), "cv2 SB": cv2_sector(images)}, found_by


def print_table(rows, header=None):
    header = header or ["condition"] + [f"{m}: {c}" for m in METHODS for c in ("found", "err px", "other order")]
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print(" | ".join(str(cell).rjust(width) for cell, width in zip(row, widths)))


def print_results(rows, searches, header=None):
    """The table, then which search found how many pictures under each condition."""
    print()
    print_table(rows, header)
    print()
    for name, counts in searches.items():
        print(f"library's searches, {name}: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())))


NO_BOARD_SIZES = ((1280, 960), (4000, 3000))


def no_board_pictures(size):
    """The pictures without the chessboard at one size, by name."""
    k = synthetic.pinhole_matrix(1000.0 * size[0] / 1280.0, size)
    chessboard = _velk.ChessboardTarget(PATTERN, SQUARE)
    charuco, aruco = _velk.CharucoTarget(5, 7, 0.04, 0.03), _velk.ArucoTarget((6, 5), 0.04, 0.01)
    centre = synthetic.board_center(chessboard)
    poses = {
        "empty scene": (chessboard, synthetic.look_at_pose(centre + [0.0, 0.0, -0.6], centre + [3.0, 0.0, 0.0])),
        "ChArUco board": (charuco, synthetic.look_at_pose(synthetic.board_center(charuco) + [0.05, 0.1, -0.5],
                                                          synthetic.board_center(charuco))),
        "ArUco grid": (aruco, synthetic.look_at_pose(synthetic.board_center(aruco) + [0.1, -0.05, -0.5],
                                                     synthetic.board_center(aruco))),
    }
    return {name: synthetic.render_target(target, k, DIST, pose, size, noise_sigma=1.0, blur_sigma=0.5, seed=3).image
            for name, (target, pose) in poses.items()}


def seconds_without_board(image, fallback, repeats=3):
    options = _velk.IntrinsicOptions()
    options.fallback_searches = fallback
    calibrator = _velk.IntrinsicCalibrator(_velk.ChessboardTarget(PATTERN, SQUARE), options)
    best = np.inf
    for _ in range(repeats):
        start = time.perf_counter()
        found = calibrator.find_corners([image], annotate=False)
        best = min(best, time.perf_counter() - start)
        assert not found.successful_indices, "a chessboard was found where none is"
    return best


def print_no_board_times():
    rows = []
    for size in NO_BOARD_SIZES:
        for name, image in no_board_pictures(size).items():
            rows.append([f"{name}, {size[0]} x {size[1]}"]
                        + [f"{seconds_without_board(image, fallback):.3f}" for fallback in (True, False)])
    print()
    print_table(rows, ["picture without the board", "library: s", "library, one search: s"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--views", type=int, default=12)
    parser.add_argument("--no-board-only", action="store_true", help="time the pictures without the board only")
    args = parser.parse_args()
    if args.no_board_only:
        print_no_board_times()
        return
    _, rendered = views(args.views)
    truths = [view.corners for view in rendered]
    rows, searches = [], collections.defaultdict(collections.Counter)
    for name, degrade in CONDITIONS.items():
        rng = np.random.default_rng(1)
        images = [degrade(view, rng) for view in rendered]
        results, found_by = run_methods(images)
        searches[name].update(found_by.values())
        rows.append([name] + [cell for m in METHODS for cell in summary(results[m], truths)])
        print(" | ".join(map(str, rows[-1])), flush=True)
    photos = sorted(stereo_folder().glob("*.jpg"))
    real = [cv2.imread(str(p)) for p in photos]
    enlarged = [cv2.resize(p, None, fx=4, fy=4, interpolation=cv2.INTER_CUBIC) for p in real]
    for name, images, max_side in (("real 640x480", real, DEFAULT_MAX_SIDE),
                                   ("real enlarged x4, full res", enlarged, 0)):
        results, found_by = run_methods(images, max_side)
        searches[name].update(found_by.values())
        rows.append([name] + [cell for m in METHODS for cell in summary(results[m], None)])
        for index, search in sorted(found_by.items()):
            if search != "plain":
                print(f"{name}: {photos[index].name} found by the {search} search")
    print_results(rows, searches)
    print_no_board_times()


if __name__ == "__main__":
    main()
