"""Held-out validation: honesty of its predicted error and its cost.

Honesty: rendered 12-view scenes (eye-in-hand and eye-to-hand, 640 x 480 unless --width says
otherwise) with the reported flange poses off by a random motion per pose at the robot error levels
of bench/refinement.py, 30 seeds each (each seed's pictures rendered once, the levels differing in
the reported poses alone); the default refinement validated view by view. Per level: the pooled observed/predicted held-out error (RMS of
every held-out error over RMS of every predicted one), the median and the 10-90 % range of the
per-seed ratio, and the median held-out error. Target: the pooled ratio within 0.7 to 1.3 at every level.
Cost: one 15-view image-based calibration (eye-in-hand, TSAI + the default refinement) with and
without validation, best of several alternating runs; what validation adds, as a multiple of the
calibration's own time (target: at most 1.0x). The same for a 3-camera rig of 15 frames and an
intrinsic calibration of 15 pictures.

    python bench/held_out.py [--seeds N] [--repeats N] [--views N] [--width PX] [--skip-honesty] [--skip-cost] [--quick]
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import _velk  # noqa: E402
import rig_scene  # noqa: E402
from quorvane.velk import demo  # noqa: E402
from refinement import ROBOT_ERROR_LEVELS, level_label, quiet  # noqa: E402

SETUPS = {
    "eye-in-hand": (demo.simulate_eye_in_hand, _velk.EyeInHandCalibrator),
    "eye-to-hand": (demo.simulate_eye_to_hand, _velk.EyeToHandCalibrator),
}


def honesty(setup, seeds, views, image_size):
    """Per level: (pooled ratio, per-seed ratios, per-seed median px, failures). Each seed's pictures are
    rendered once; the levels differ only in the flange poses the robot reports, drawn per level."""
    simulate, calibrator_class = SETUPS[setup]
    tallies = {level: ([], [], [], [], [0]) for level in ROBOT_ERROR_LEVELS}
    for seed in range(seeds):
        scene = simulate(num_poses=views, seed=seed, image_size=image_size)
        for index, level in enumerate(ROBOT_ERROR_LEVELS):
            observed, predicted, ratios, medians, failed = tallies[level]
            rng = np.random.default_rng(1000 * seed + index)
            reported = demo.perturb_robot_poses(scene.robot_T_tcp_list, level[0], level[1], rng)
            with quiet():
                result = calibrator_class(scene.target).calibrate(reported, scene.images, "TSAI", refine=True,
                                                                  validate=True)
            validation = result.validation
            if not (result.ok and validation is not None and validation.validated
                    and np.isfinite(validation.observed_over_predicted)):
                failed[0] += 1
                continue
            observed += list(validation.held_out_rms_px)
            predicted += list(validation.predicted_rms_px)
            ratios.append(validation.observed_over_predicted)
            medians.append(validation.median_px)
    summary = {}
    for level, (observed, predicted, ratios, medians, failed) in tallies.items():
        pooled = float(np.sqrt(np.mean(np.square(observed))) / np.sqrt(np.mean(np.square(predicted))))
        summary[level] = (pooled, ratios, medians, failed[0])
    return summary


def print_honesty(args):
    size = (args.width, args.width * 3 // 4)
    for setup in args.setups:
        begin = time.perf_counter()
        summary = honesty(setup, args.seeds, args.views, size)
        print(f"\nHeld-out honesty, {setup}, {args.views} views of {size[0]} x {size[1]}, {args.seeds} seeds per "
              f"level ({time.perf_counter() - begin:.0f} s; target: pooled observed/predicted within 0.7 to 1.3)")
        print(f"  {'robot error per axis':<22} {'pooled':>7} {'median':>7} {'10-90 %':>13} "
              f"{'median px':>10} {'failed':>7}  verdict")
        for level, (pooled, ratios, medians, failed) in summary.items():
            low, high = np.percentile(ratios, [10, 90])
            verdict = "ok" if 0.7 <= pooled <= 1.3 else "MISS"
            print(f"  {level_label(level):<22} {pooled:7.2f} {np.median(ratios):7.2f} {low:6.2f}-{high:<6.2f} "
                  f"{np.median(medians):10.2f} {failed:7d}  {verdict}", flush=True)


def best_of(repeats, runs):
    """Best seconds of each run, alternating between them so that a busy machine slows all alike."""
    times = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            with quiet():
                begin = time.perf_counter()
                run()
                times[name].append(time.perf_counter() - begin)
    return {name: min(values) for name, values in times.items()}


def hand_eye_cost(repeats, views):
    scene = demo.simulate_eye_in_hand(num_poses=views, seed=7, robot_error=(0.2, 0.02))

    def run(validate):
        result = _velk.EyeInHandCalibrator(scene.target).calibrate(scene.robot_T_tcp_list, scene.images, "TSAI",
                                                                   refine=True, validate=validate)
        assert result.ok and (result.validation is not None) == validate

    return best_of(repeats, {"plain": lambda: run(False), "validated": lambda: run(True)})


def rig_cost(repeats, frames):
    scene = rig_scene.render_rig(3, frames)
    lists = rig_scene.image_lists(scene)

    def run(validate):
        calibrator = _velk.MultiCameraCalibrator(scene.target, 3)
        result = calibrator.calibrate(lists, refine=True, validate=validate)
        assert result.ok and (result.validation is not None) == validate

    return best_of(repeats, {"plain": lambda: run(False), "validated": lambda: run(True)})


def intrinsic_cost(repeats, views):
    scene = demo.simulate_eye_in_hand(num_poses=views, seed=7)

    def run(validate):
        result = _velk.IntrinsicCalibrator(scene.target).calibrate(scene.images, validate=validate)
        assert result.ok and (result.validation is not None) == validate

    return best_of(repeats, {"plain": lambda: run(False), "validated": lambda: run(True)})


def print_cost(label, times):
    added = (times["validated"] - times["plain"]) / times["plain"]
    verdict = "ok" if added <= 1.0 else "MISS"
    print(f"  {label:<44} {times['plain']:6.2f} s calibration, {times['validated']:6.2f} s with validation: "
          f"adds {added:.2f}x  {verdict}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=30)
    parser.add_argument("--views", type=int, default=12, help="views per honesty scene")
    parser.add_argument("--width", type=int, default=640, help="picture width of the honesty scenes (4:3)")
    parser.add_argument("--repeats", type=int, default=5, help="runs of each calibration in the cost section")
    parser.add_argument("--setups", nargs="+", default=list(SETUPS), choices=list(SETUPS))
    parser.add_argument("--skip-honesty", action="store_true", help="the cost section alone")
    parser.add_argument("--skip-cost", action="store_true", help="the honesty section alone")
    parser.add_argument("--quick", action="store_true", help="3 seeds, 1 repeat: checks the script runs")
    args = parser.parse_args()
    if args.quick:
        args.seeds, args.repeats = 3, 1
    if not args.skip_cost:
        print(f"Cost, best of {args.repeats} (target: validation adds at most 1.0x the calibration's time)")
        print_cost("eye-in-hand, 15 views, TSAI + refinement", hand_eye_cost(args.repeats, 15))
        print_cost("rig, 3 cameras, 15 frames, refined", rig_cost(args.repeats, 15))
        print_cost("intrinsics, 15 pictures", intrinsic_cost(args.repeats, 15))
    if not args.skip_honesty:
        print_honesty(args)


if __name__ == "__main__":
    main()
