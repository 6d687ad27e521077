"""Given intrinsics against the pictures' own: false alarms and faults found.

Rendered 15-view ChArUco scenes of the demo's pinhole lens (1000 px, barrel distortion; 1280 x 960 unless
--width says otherwise), one per seed. The check sees the pictures alone (not the robot poses), so one scene
serves both set-ups. Each scene is judged with four kinds of given intrinsics:

- the lens's own: the intrinsics the pictures were rendered with;
- calibrated elsewhere: intrinsics calibrated from the pictures of the previous seed (the same lens, other
  views), as a record of ``velk intrinsics`` from another session would be;
- distortion dropped: the lens's camera matrix with no distortion terms;
- fx 3 % off: the lens's own with fx 3 % longer.

Per kind: how often the verdict's "given intrinsics" check fails (target: never for the first two, always for the
last two) and the distributions (median, 90th percentile, largest) of the held-out ratio, the radial share, the
largest difference in sigma and the largest move (px) of a term beyond the verdict's sigma limit (0 when none).
With --real, the eye-to-hand photographs of the shared data folder are judged with the intrinsics given with them
(no distortion) and with intrinsics calibrated from the even pictures alone.

    python bench/given_intrinsics.py [--seeds N] [--views N] [--width PX] [--real] [--quick]
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import _velk  # noqa: E402
from quorvane.velk import demo, verdict  # noqa: E402
from quorvane.velk.given_intrinsics import compare_given_intrinsics  # noqa: E402
from refinement import quiet  # noqa: E402

KINDS = ("the lens's own", "calibrated elsewhere", "distortion dropped", "fx 3 % off")
EXPECTED_FLAGGED = {"the lens's own": False, "calibrated elsewhere": False, "distortion dropped": True,
                    "fx 3 % off": True}


def calibrated(scene):
    with quiet():
        result = _velk.IntrinsicCalibrator(scene.target).calibrate(scene.images)
    return np.asarray(result.intrinsic_matrix), np.asarray(result.distortion_coefficients)


def given_of(kind, scene, elsewhere):
    """(camera matrix, distortion) of one kind of given intrinsics."""
    if kind == "calibrated elsewhere":
        return elsewhere
    if kind == "distortion dropped":
        return scene.camera_matrix, np.zeros(5)
    matrix = scene.camera_matrix.copy()
    if kind == "fx 3 % off":
        matrix[0, 0] *= 1.03
    return matrix, scene.distortion


def judged(scene, matrix, distortion):
    with quiet():
        comparison = compare_given_intrinsics(scene.target, scene.images, matrix, distortion)
    return comparison, verdict.given_intrinsics_check(comparison, "intrinsics.json")


def rendered(seeds, views, image_size):
    """Per kind: a list of (comparison, check) over the seeds. Seed 0 is rendered only to calibrate the lens
    elsewhere for seed 1; seeds 1..N are judged."""
    tallies = {kind: [] for kind in KINDS}
    elsewhere = None
    for seed in range(seeds + 1):
        scene = demo.simulate_eye_in_hand(num_poses=views, seed=seed, image_size=image_size)
        if elsewhere is not None:
            for kind in KINDS:
                tallies[kind].append(judged(scene, *given_of(kind, scene, elsewhere)))
        elsewhere = calibrated(scene)
    return tallies


def spread(values) -> str:
    values = np.asarray(values, np.float64)
    return f"{np.median(values):7.3f} {np.percentile(values, 90):7.3f} {np.max(values):8.3f}"


def print_rendered(args):
    size = (args.width, args.width * 3 // 4)
    begin = time.perf_counter()
    tallies = rendered(args.seeds, args.views, size)
    print(f"Rendered, {args.views} views of {size[0]} x {size[1]}, {args.seeds} seeds "
          f"({time.perf_counter() - begin:.0f} s); figures as median, 90th percentile, largest")
    print(f"  {'given intrinsics':<22} {'flagged':>9}  {'held-out ratio':>24}  {'radial share':>24}  "
          f"{'largest difference [sigma]':>26}  {'move beyond the sigma [px]':>26}  verdict")
    for kind, runs in tallies.items():
        compared = [c for c, _ in runs if c.compared]
        flagged = sum(check.passed is False for _, check in runs)
        rate_ok = flagged == (len(runs) if EXPECTED_FLAGGED[kind] else 0)
        largest = [max(p.sigmas for p in c.parameters) for c in compared]
        moved = [max([p.effect_px for p in c.parameters if p.sigmas >= verdict.MAX_PARAMETER_SIGMAS], default=0.0)
                 for c in compared]
        print(f"  {kind:<22} {flagged:3d} of {len(runs):<3d} {spread([c.held_out_ratio for c in compared]):>24}  "
              f"{spread([c.radial_share for c in compared]):>24}  {spread(largest):>26}  {spread(moved):>26}  "
              f"{'ok' if rate_ok and len(compared) == len(runs) else 'MISS'}", flush=True)


def print_real():
    import eye_to_hand_photos

    photos = eye_to_hand_photos.load()
    with quiet():
        even = _velk.IntrinsicCalibrator(photos.target).calibrate(photos.images[::2])
    cases = {"given with the data (no distortion)": (photos.camera_matrix, photos.distortion),
             "calibrated from the even pictures": (np.asarray(even.intrinsic_matrix),
                                                   np.asarray(even.distortion_coefficients))}
    print("\nEye-to-hand photographs (16 pictures, 1600 x 1200)")
    for name, (matrix, distortion) in cases.items():
        comparison, check = judged(photos, matrix, distortion)
        print(f"  {name}: {'FAIL' if check.passed is False else 'pass'}")
        print("".join(f"    {line}\n" for line in comparison.lines("intrinsics.json")), end="", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=30)
    parser.add_argument("--views", type=int, default=15)
    parser.add_argument("--width", type=int, default=1280, help="picture width of the rendered scenes (4:3)")
    parser.add_argument("--real", action="store_true", help="also judge the eye-to-hand photographs")
    parser.add_argument("--quick", action="store_true", help="2 seeds: checks the script runs")
    args = parser.parse_args()
    if args.quick:
        args.seeds = 2
    print_rendered(args)
    if args.real:
        print_real()


if __name__ == "__main__":
    main()
