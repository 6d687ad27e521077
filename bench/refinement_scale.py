"""Cost of the robot-aware hand-eye refinement and of held-out validation against the size of the capture.

Projected-corner scenes (the demo's eye-in-hand geometry, corners 0.3 px noise, robot poses off by 0.5 mm /
0.05 deg per axis) with 15, 30, 60 and 120 views and boards of 48, 200 and 500 corners: the closed form as the
calibrator runs it before refining (calibrateCamera on the views, then TSAI) against the refinement of
tcp_T_camera, the intrinsics and the robot's and the corners' noise levels (refine_hand_eye with its default
options), best of --repeats runs. Then the growth exponent of the refinement's cost: the slope of log(time)
against log(views) at each board size, and against log(corners) at each view count.

Rendered scenes (the demo's ChArUco board, 48 corners, 1280 x 960) with 15, 30 and 60 views: the whole
EyeInHandCalibrator.calibrate, detection included, as the closed form, refined, and refined and validated.

A large rendered capture as users take them: 30 pictures of 1928 x 1208 of a 28 x 17 chessboard (476 corners
a picture), the same three times. Its pictures are rendered once and kept under ~/.cache/quorvane-velk.

Validation predicts each view from one Gauss-Newton step from the full solution without it; the last two
columns give how far its median held-out error and observed/predicted ratio are from those of full re-solves
without each view (RefinementOptions.held_out_resolves).

Each refinement's own split is printed beside it: the noise-level rounds (count and seconds), the last solve
under the settled levels and the covariance at its solution (RefinementSummary), and the refinement with the
target size held (the difference is the fit that measures the size).

--results FILE writes every scene's hand-eye transform, intrinsics, noise levels, sigmas and validation figures
as JSON; --compare OLD NEW prints how far two such files differ, in units of each figure's sigma.

    .venv/bin/python bench/refinement_scale.py [--repeats 3] [--views 15 30 60 120] [--rendered-views 15 30 60]
        [--large] [--results FILE]
    .venv/bin/python bench/refinement_scale.py --compare OLD.json NEW.json
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent))
import _velk  # noqa: E402
import projected_corners as pc  # noqa: E402
import rig_scene  # noqa: E402
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


def refinement(scene, start, target_scale=None):
    K, D, tcp_T_camera = start
    options = _velk.RefinementOptions()
    if target_scale is not None:
        options.target_scale = target_scale
    result = _velk.refine_hand_eye(pc.eye_in_hand_problem(scene, tcp_T_camera, K, D, True), options)
    assert result.refined, result.reason
    return result


def exponent(sizes, seconds) -> float:
    """Slope of log(seconds) against log(size), least squares."""
    x, y = np.log(np.asarray(sizes, float)), np.log(np.asarray(seconds, float))
    return float(np.polyfit(x, y, 1)[0]) if len(sizes) > 1 else math.nan


def split(result) -> str:
    """The refinement's own split: rounds (count, seconds), final solve, covariance."""
    summary = result.summary
    rounds = list(getattr(summary, "round_seconds", []))
    final = getattr(summary, "final_solve_seconds", math.nan)
    covariance = getattr(summary, "covariance_seconds", math.nan)
    return f"{len(rounds):>3} {sum(rounds):>8.3f} {final:>8.3f} {covariance:>8.3f}"


def figures(refinement, validation=None) -> dict:
    """What a comparison of two builds looks at, with the sigma each figure is judged against."""
    pose = _velk.tf.transformation_matrix_to_pose(refinement.camera_mount_T_camera)
    sigma = refinement.camera_sigma
    out = {
        "translation_mm": [1000.0 * v for v in pose[:3]], "translation_sigma_mm": list(sigma.translation_mm),
        "rotation_deg": list(pose[3:]), "rotation_sigma_deg": list(sigma.rotation_deg),
        "robot_translation_noise_mm": refinement.robot_translation_noise_mm,
        "robot_rotation_noise_deg": refinement.robot_rotation_noise_deg, "pixel_noise_px": refinement.pixel_noise_px,
        "target_scale": refinement.target_scale, "target_scale_sigma": refinement.target_scale_sigma,
    }
    if refinement.intrinsics_refined:
        K = np.asarray(refinement.intrinsic_matrix)
        out["intrinsics_px"] = [K[0, 0], K[1, 1], K[0, 2], K[1, 2]]
        out["intrinsic_sigmas_px"] = list(refinement.intrinsic_sigmas)
    if validation is not None and validation.validated:
        out["held_out_median_px"] = validation.median_px
        out["observed_over_predicted"] = validation.observed_over_predicted
    return out


def projected_table(view_counts, repeats, results):
    print(f"Projected corners, robot error {ROBOT_ERROR[0]} mm / {ROBOT_ERROR[1]} deg per axis, best of {repeats}:")
    print(f"{'views':>6} {'corners':>8} {'closed s':>9} {'refine s':>9} {'ratio':>6} {'size held s':>11} "
          f"{'rounds':>6} {'rounds s':>8} {'final s':>8} {'cov s':>8}")
    refined = {}
    for corners in BOARDS:
        for views in view_counts:
            scene = projected_scene(views, corners)
            start = closed_form(scene)
            t_closed = best_time(lambda: closed_form(scene), repeats)
            t_refined = best_time(lambda: refinement(scene, start), repeats)
            t_held = best_time(lambda: refinement(scene, start, "fixed"), repeats)
            result = refinement(scene, start)
            results[f"projected {views}x{corners}"] = figures(result)
            refined[views, corners] = t_refined
            print(f"{views:>6} {corners:>8} {t_closed:>9.3f} {t_refined:>9.3f} {t_refined / t_closed:>6.1f} "
                  f"{t_held:>11.3f} {split(result)}", flush=True)
    print("Growth exponent of the refinement's cost (<= 1.1 is linear):")
    for corners in BOARDS:
        growth = exponent(view_counts, [refined[v, corners] for v in view_counts])
        print(f"  in views at {corners} corners: {growth:.2f}")
    for views in view_counts:
        sizes = list(BOARDS)
        print(f"  in corners at {views} views: {exponent(sizes, [refined[views, c] for c in sizes]):.2f}")


def calibrated(scene, refine, validate, resolves=False):
    calibrator = _velk.EyeInHandCalibrator(scene.target)
    options = _velk.RefinementOptions()
    options.held_out_resolves = resolves
    result = calibrator.calibrate(scene.robot_T_tcp_list, scene.images, "TSAI", refine=refine, validate=validate,
                                  refinement_options=options, print_report=False)
    assert result.ok
    return result


def step_against_resolves(scene, stepped) -> str:
    """How far the one-step validation's median held-out error and observed/predicted are from re-solves', %."""
    resolved = calibrated(scene, True, True, resolves=True).validation
    median = 100 * (stepped.median_px / resolved.median_px - 1)
    ratio = 100 * (stepped.observed_over_predicted / resolved.observed_over_predicted - 1)
    return f"{median:>+9.3f}% {ratio:>+9.3f}%"


def rendered_row(label, scene, repeats, results):
    closed = best_time(lambda: calibrated(scene, False, False), repeats)
    refined = best_time(lambda: calibrated(scene, True, False), repeats)
    validated = best_time(lambda: calibrated(scene, True, True), repeats)
    result = calibrated(scene, True, True)
    results[f"rendered {label}"] = figures(result.refinement, result.validation)
    print(f"{label:>14} {closed:>9.2f} {refined:>9.2f} {validated:>11.2f} {100 * (refined / closed - 1):>8.0f}% "
          f"{refined / closed:>7.2f}x {(validated - refined) / refined:>10.2f}x {split(result.refinement)} "
          f"{step_against_resolves(scene, result.validation)}", flush=True)


def rendered_header(title, repeats):
    print(f"\n{title} (detection included), best of {repeats}:")
    print(f"{'scene':>14} {'closed s':>9} {'refined s':>9} {'validated s':>11} {'refine +':>9} {'refined':>8} "
          f"{'validation':>11} {'rounds':>6} {'rounds s':>8} {'final s':>8} {'cov s':>8} {'median vs':>10} "
          f"{'obs/pred vs':>10}")
    print(f"{'':>105}{'re-solves':>10} {'re-solves':>10}")


def rendered_table(view_counts, repeats, results):
    rendered_header("Rendered ChArUco pictures, 48 corners, 1280 x 960", repeats)
    for views in view_counts:
        scene = demo.simulate_eye_in_hand(num_poses=views, seed=7, robot_error=ROBOT_ERROR)
        rendered_row(f"{views} x 48", scene, repeats, results)


LARGE_BOARD = ((28, 17), 0.012)  # inner corners, square (m): 476 corners
LARGE_PICTURE = (1928, 1208)


def large_scene(views=30, seed=7):
    """The large capture, rendered once and kept: rendering 1928 x 1208 pictures takes seconds each."""
    target = _velk.ChessboardTarget(*LARGE_BOARD)
    cache = Path.home() / ".cache" / "quorvane-velk" / f"bench-large-{views}-{seed}.npz"
    if not cache.exists():
        scene = demo.simulate_eye_in_hand(num_poses=views, seed=seed, robot_error=ROBOT_ERROR,
                                          image_size=LARGE_PICTURE, target=target)
        cache.parent.mkdir(parents=True, exist_ok=True)
        np.savez(cache, images=np.stack(scene.images), robot_T_tcp=np.stack(scene.robot_T_tcp_list))
    held = np.load(cache)
    return SimpleNamespace(target=target, images=list(held["images"]), robot_T_tcp_list=list(held["robot_T_tcp"]))


def large_table(repeats, results):
    rendered_header(f"Rendered {LARGE_BOARD[0][0]} x {LARGE_BOARD[0][1]} chessboard, {LARGE_PICTURE[0]} x "
                    f"{LARGE_PICTURE[1]}", repeats)
    rendered_row("30 x 476", large_scene(), repeats, results)


def rig_row(label, scene, repeats):
    def run(refine, validate, resolves=False):
        calibrator = _velk.MultiCameraCalibrator(scene.target, len(scene.images))
        options = _velk.RefinementOptions()
        options.held_out_resolves = resolves
        result = calibrator.calibrate(rig_scene.image_lists(scene), refine=refine, validate=validate,
                                      refinement_options=options, print_report=False)
        assert result.refinement is None or result.refinement.refined or not refine
        return result

    closed = best_time(lambda: run(False, False), repeats)
    refined = best_time(lambda: run(True, False), repeats)
    validated = best_time(lambda: run(True, True), repeats)
    median = 100 * (run(True, True).validation.median_px / run(True, True, resolves=True).validation.median_px - 1)
    print(f"{label:>14} {closed:>9.2f} {refined:>9.2f} {validated:>11.2f} {100 * (refined / closed - 1):>8.0f}% "
          f"{refined / closed:>7.2f}x {(validated - refined) / refined:>10.2f}x {'':>33} {median:>+9.3f}%", flush=True)


def rig_table(repeats):
    rendered_header("Rendered three-camera rig, ChArUco, 15 frames", repeats)
    rig_row("3 x 15", rig_scene.render_rig(3, 15), repeats)


def compare(old_path, new_path):
    """Largest difference of each figure between two --results files, in units of its sigma."""
    old, new = json.loads(Path(old_path).read_text()), json.loads(Path(new_path).read_text())
    pairs = [("translation_mm", "translation_sigma_mm"), ("rotation_deg", "rotation_sigma_deg"),
             ("intrinsics_px", "intrinsic_sigmas_px"), ("target_scale", "target_scale_sigma")]
    print(f"{'scene':>22} {'transform':>10} {'intrinsics':>10} {'size':>8} {'noise %':>8} {'sigma %':>8} "
          f"{'held-out px %':>13} {'obs/pred %':>10}")
    for scene in old:
        if scene not in new:
            continue
        a, b = old[scene], new[scene]
        worst = []
        for value, sigma in pairs:
            if value not in a or value not in b:
                worst.append(math.nan)
                continue
            va, vb, sa = (np.atleast_1d(np.asarray(x, float)) for x in (a[value], b[value], a[sigma]))
            worst.append(float(np.max(np.abs(vb - va) / np.maximum(sa, 1e-12))))
        transform = max(worst[0], worst[1])
        noise = max(abs(b[k] / a[k] - 1) for k in ("robot_translation_noise_mm", "robot_rotation_noise_deg",
                                                     "pixel_noise_px")) * 100
        sigma = float(np.max(np.abs(np.asarray(b["translation_sigma_mm"]) / np.asarray(a["translation_sigma_mm"]) - 1)))
        held = [abs(b[k] / a[k] - 1) * 100 if k in a and k in b else math.nan
                for k in ("held_out_median_px", "observed_over_predicted")]
        print(f"{scene:>22} {transform:>10.4f} {worst[2]:>10.4f} {worst[3]:>8.4f} {noise:>8.3f} {100 * sigma:>8.3f} "
              f"{held[0]:>13.3f} {held[1]:>10.3f}")
    print("transform, intrinsics, size: largest difference in sigmas; the rest: largest relative difference, %")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--views", type=int, nargs="*", default=[15, 30, 60, 120])
    parser.add_argument("--rendered-views", type=int, nargs="*", default=[15, 30, 60])
    parser.add_argument("--large", action="store_true", help="also the 30-picture 476-corner capture")
    parser.add_argument("--rig", action="store_true", help="also a rendered three-camera rig")
    parser.add_argument("--results", help="write the figures of every scene to this JSON file")
    parser.add_argument("--compare", nargs=2, metavar=("OLD", "NEW"), help="compare two --results files")
    args = parser.parse_args()
    if args.compare:
        compare(*args.compare)
        return
    results = {}
    started = time.perf_counter()
    if args.views:
        projected_table(args.views, args.repeats, results)
    if args.rendered_views:
        rendered_table(args.rendered_views, args.repeats, results)
    if args.large:
        large_table(args.repeats, results)
    if args.rig:
        rig_table(args.repeats)
    print(f"\n(whole run {time.perf_counter() - started:.0f} s)")
    if args.results:
        Path(args.results).write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
