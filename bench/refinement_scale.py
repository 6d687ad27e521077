"""Cost of the robot-aware hand-eye refinement and of held-out validation against the size of the capture.

Projected-corner scenes (the demo's eye-in-hand geometry, corners 0.3 px noise, robot poses off by 0.5 mm /
0.05 deg per axis) with 15, 30, 60 and 120 views and boards of 48, 200 and 500 corners: the closed form as the
calibrator runs it before refining (calibrateCamera on the views, then TSAI) against the refinement of
tcp_T_camera, the intrinsics and the robot's and the corners' noise levels (refine_hand_eye with its default
options), best of --repeats runs. Then the growth exponent of the refinement's cost: the slope of log(time)
against log(views) at each board size, and against log(corners) at each view count.

Rendered scenes (the demo's ChArUco board, 48 corners, 1280 x 960) with 15, 30 and 60 views: the whole
EyeInHandCalibrator.calibrate, detection included, as the closed form, refined, and refined and validated.

    .venv/bin/python bench/refinement_scale.py [--repeats 3] [--views 15 30 60 120] [--rendered-views 15 30 60]
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import _velk  # noqa: E402
import projected_corners as pc  # noqa: E402
from intrinsic import best_time  # noqa: E402
from quorvane.velk import demo  # noqa: E402

ROBOT_ERROR = (0.5, 0.05)  # mm, deg per axis
NOISE_PX = 0.3
BOARDS = {48: (8, 6, 0.04), 200: (20, 10, 0.02), 500: (25, 20, 0.014)}  # corners: columns, rows, spacing (m)


def projected_scene(views: int, corners: int, seed: int = 3):
    """The eye-in-hand scene's views and reported robot poses, with the board of ``corners`` corners projected."""
    columns, rows, spacing = BOARDS[corners]
    scene = pc.eye_in_hand_corners(num_views=views, noise_px=NOISE_PX, seed=seed, robot_error=ROBOT_ERROR)
    grid = pc.board_grid(columns, rows, spacing)  # every board covers about the demo board's area
    rng = np.random.default_rng(seed)
    objects, pixels = [], []
    for camera_T_target in scene.camera_T_target_list:
        o, p, _ = pc.project(grid, camera_T_target, pc.EYE_IN_HAND_K, pc.EYE_IN_HAND_D, NOISE_PX, rng)
        objects.append(o)
        pixels.append(p)
    scene.object_points, scene.image_points = objects, pixels
    return scene


def closed_form(scene):
    """What the calibrator computes before refining: intrinsics from the views, their poses, then TSAI."""
    K, D, cameras = pc.intrinsics_from_views(scene)
    return K, D, pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, cameras, "TSAI")


def refinement(scene, start):
    K, D, tcp_T_camera = start
    result = _velk.refine_hand_eye(pc.eye_in_hand_problem(scene, tcp_T_camera, K, D, True))
    assert result.refined, result.reason
    return result


def exponent(sizes, seconds) -> float:
    """Slope of log(seconds) against log(size), least squares."""
    x, y = np.log(np.asarray(sizes, float)), np.log(np.asarray(seconds, float))
    return float(np.polyfit(x, y, 1)[0]) if len(sizes) > 1 else math.nan


def projected_table(view_counts, repeats):
    print(f"Projected corners, robot error {ROBOT_ERROR[0]} mm / {ROBOT_ERROR[1]} deg per axis, best of {repeats}:")
    print(f"{'views':>6} {'corners':>8} {'closed form s':>14} {'refinement s':>13} {'ratio':>6}")
    refined = {}
    for corners in BOARDS:
        for views in view_counts:
            scene = projected_scene(views, corners)
            start = closed_form(scene)
            t_closed = best_time(lambda: closed_form(scene), repeats)
            t_refined = best_time(lambda: refinement(scene, start), repeats)
            refined[views, corners] = t_refined
            print(f"{views:>6} {corners:>8} {t_closed:>14.3f} {t_refined:>13.3f} {t_refined / t_closed:>6.1f}",
                  flush=True)
    print("Growth exponent of the refinement's cost (<= 1.1 is linear):")
    for corners in BOARDS:
        growth = exponent(view_counts, [refined[v, corners] for v in view_counts])
        print(f"  in views at {corners} corners: {growth:.2f}")
    for views in view_counts:
        sizes = list(BOARDS)
        print(f"  in corners at {views} views: {exponent(sizes, [refined[views, c] for c in sizes]):.2f}")


def rendered_table(view_counts, repeats):
    print(f"\nRendered ChArUco pictures (detection included), best of {repeats}:")
    print(f"{'views':>6} {'closed form s':>14} {'refined s':>10} {'validated s':>12} "
          f"{'refine +':>9} {'validation':>11}")
    for views in view_counts:
        scene = demo.simulate_eye_in_hand(num_poses=views, seed=7, robot_error=ROBOT_ERROR)

        def run(refine, validate):
            calibrator = _velk.EyeInHandCalibrator(scene.target)
            result = calibrator.calibrate(scene.robot_T_tcp_list, scene.images, "TSAI", refine=refine,
                                          validate=validate, print_report=False)
            assert result.ok

        closed = best_time(lambda: run(False, False), repeats)
        refined = best_time(lambda: run(True, False), repeats)
        validated = best_time(lambda: run(True, True), repeats)
        print(f"{views:>6} {closed:>14.2f} {refined:>10.2f} {validated:>12.2f} "
              f"{100 * (refined / closed - 1):>8.0f}% {(validated - refined) / refined:>10.2f}x", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--views", type=int, nargs="+", default=[15, 30, 60, 120])
    parser.add_argument("--rendered-views", type=int, nargs="*", default=[15, 30, 60])
    args = parser.parse_args()
    projected_table(args.views, args.repeats)
    if args.rendered_views:
        rendered_table(args.rendered_views, args.repeats)


if __name__ == "__main__":
    main()
