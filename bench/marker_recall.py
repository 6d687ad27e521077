"""Recall of ChArUco and ArUco board detection on hard pictures: the library's default (with the wider
marker search it falls back on), the library with fallback_searches off, and cv2's detectors with their
default parameters (cv2.aruco.CharucoDetector.detectBoard; cv2.aruco.ArucoDetector.detectMarkers).

Rendered pictures: VIEWS views of each board at 1280 x 960, degraded as in bench/recall.py (clean,
uneven light 4:1, glare over about 5 % of the board, low contrast 35 % to 65 %, blur sigma 1.5 px, grey
noise sigma 8, all but the glare together), plus the board partly out of the picture (moved so that
35 % of its width leaves the frame) and the board far away (markers 8 to 10 px across). A picture counts
as found as the library counts it: at least 4 ChArUco corners, or at least 4 markers of the board (1 for a
single marker). The corner error is the median over pictures of each picture's median distance to the
nearest rendered corner (px). Real pictures: every picture of the ChArUco set in ../shared/data (fraction
found).

    .venv/bin/python bench/marker_recall.py [--views 12]
"""

from __future__ import annotations

import argparse
import collections
from pathlib import Path

import cv2
import numpy as np

import _velk
from recall import CONDITIONS, print_results, rendered_views

SIZE = (1280, 960)
K = np.array([[1000.0, 0.0, 639.5], [0.0, 1000.0, 479.5], [0.0, 0.0, 1.0]])
DIST = np.array([-0.1, 0.0, 0.0, 0.0, 0.0])
TARGETS = {"charuco": _velk.CharucoTarget(9, 7, 0.035, 0.026), "aruco": _velk.ArucoTarget((6, 5), 0.04, 0.01)}
MINIMUM = {"charuco": 4, "aruco": 16}  # corners: 4 ChArUco corners, or the 4 corners of 4 markers


def shared_data() -> Path:
    parents = Path(__file__).resolve().parents
    return next((p / "shared" / "data" for p in parents if (p / "shared" / "data").is_dir()), parents[1])


# Distances at which each board's markers are 8 to 10 px across.
FAR_M = {"charuco": (2.3, 2.7), "aruco": (3.6, 4.2)}


def views(target, count, seed=7, distances=(0.5, 0.8)):
    """Oblique views (distance 0.5-0.8 m unless given, tilt 10-40 degrees) with any roll."""
    return rendered_views(target, count, seed, distances)


def partly_out(view, rng):
    """The picture moved sideways so that 35 % of the board's width leaves the frame (edge pixels repeated)."""
    xs = view.corners[:, 0]
    shift = (SIZE[0] - np.nanmax(xs)) + 0.35 * (np.nanmax(xs) - np.nanmin(xs))
    moved = cv2.warpAffine(view.image, np.float64([[1, 0, shift], [0, 1, 0]]), SIZE, borderMode=cv2.BORDER_REPLICATE)
    return moved, shift


def degraded(kind_views, name, degrade):
    rng = np.random.default_rng(1)
    images, truths = [], []
    for view in kind_views:
        if name == "partly out of the picture":
            image, shift = partly_out(view, rng)
            truths.append(view.corners + [shift, 0.0])
        else:
            image = degrade(view, rng)
            truths.append(view.corners)
        images.append(image)
    return images, truths


def library(target, images, fallback=True):
    options = _velk.IntrinsicOptions()
    options.fallback_searches = fallback
    found = _velk.IntrinsicCalibrator(target, options).find_corners(images, annotate=False)
    points = [None] * len(images)
    for index, corners in zip(found.successful_indices, found.image_points):
        points[index] = corners.reshape(-1, 2)
    return points, dict(zip(found.successful_indices, found.found_by))


def cv2_dictionary(target):
    return cv2.aruco.getPredefinedDictionary(int(target.aruco_dict_id))


def cv2_charuco(target, images):
    board = cv2.aruco.CharucoBoard((target.squares_x, target.squares_y), target.square_length, target.marker_length,
                                   cv2_dictionary(target))
    detector = cv2.aruco.CharucoDetector(board)
    points = []
    for image in images:
        corners, _, _, _ = detector.detectBoard(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY))
        points.append(corners.reshape(-1, 2) if corners is not None and len(corners) >= MINIMUM["charuco"] else None)
    return points


def cv2_aruco(target, images):
    detector = cv2.aruco.ArucoDetector(cv2_dictionary(target))
    count = target.board_size[0] * target.board_size[1]
    points = []
    for image in images:
        corners, ids, _ = detector.detectMarkers(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY))
        on_board = [c for c, i in zip(corners, np.ravel(ids) if ids is not None else []) if i < count]
        points.append(np.concatenate(on_board).reshape(-1, 2) if len(on_board) * 4 >= MINIMUM["aruco"] else None)
    return points


def summary(points, truths):
    count = f"{sum(p is not None for p in points)}/{len(points)}"
    if truths is None:
        return count, ""
    errors = []
    for p, t in zip(points, truths):
        if p is not None:
            distances = np.linalg.norm(p[:, None, :] - t[None, :, :], axis=2)
            errors.append(float(np.median(np.nanmin(distances, axis=1))))
    return count, f"{np.median(errors):.3f}" if errors else "-"


METHODS = ("library", "library, one search", "cv2 default")


def run_methods(kind, target, images):
    points, found_by = library(target, images, True)
    theirs = cv2_charuco(target, images) if kind == "charuco" else cv2_aruco(target, images)
    one_search = library(target, images, False)[0]
    return {"library": points, "library, one search": one_search, "cv2 default": theirs}, found_by


HEADER = ["board", "condition"] + [f"{m}: {c}" for m in METHODS for c in ("found", "err px")]


# The real ChArUco set in ../shared/data and its board, as its README gives it.
REAL_SETS = {"eye-to-hand-charuco": ("charuco", _velk.CharucoTarget(5, 7, 0.036195, 0.018256, 10))}


def real_rows(searches):
    rows = []
    for folder_name, (kind, target) in REAL_SETS.items():
        photos = sorted((shared_data() / folder_name / "images").glob("*.png"), key=lambda p: int(p.stem))
        if not photos:
            continue
        images = [cv2.imread(str(p)) for p in photos]
        results, found_by = run_methods(kind, target, images)
        searches[f"real {folder_name}"].update(found_by.values())
        rows.append([kind, f"real {folder_name}"] + [cell for m in METHODS for cell in summary(results[m], None)])
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--views", type=int, default=12)
    args = parser.parse_args()
    conditions = {**CONDITIONS, "partly out of the picture": None, "far (markers 8-10 px)": None}
    rows, searches = [], collections.defaultdict(collections.Counter)
    for kind, target in TARGETS.items():
        rendered = views(target, args.views)
        for name, degrade in conditions.items():
            if name.startswith("far"):
                far = views(target, args.views, distances=FAR_M[kind])
                images, truths = [v.image for v in far], [v.corners for v in far]
            else:
                images, truths = degraded(rendered, name, degrade)
            results, found_by = run_methods(kind, target, images)
            searches[f"{kind}, {name}"].update(found_by.values())
            rows.append([kind, name] + [cell for m in METHODS for cell in summary(results[m], truths)])
            print(" | ".join(map(str, rows[-1])), flush=True)
    rows += real_rows(searches)
    print_results(rows, searches, HEADER)


if __name__ == "__main__":
    main()
