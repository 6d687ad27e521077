"""Several cameras around one robot: the cell's joint solve against each camera calibrated on its own.

Rendered cells (python/quorvane/velk/cell_captures.py): two stationary cameras with the board on the flange,
and a stereo pair on the flange with the board on the table, 15 shared robot poses with the reported flange
poses off by a random motion per pose (0.5 mm / 0.05 deg per axis by default), over many seeds. For each:

* camera to robot: the cell's robot_T_camera (tcp_T_camera) against each camera's own refined hand-eye
  calibration of the same pictures;
* camera to camera: the cell's camera_0_T_camera_1 against the chain of the two separate calibrations (of the
  same pictures, whose robot errors are the same for both cameras, and of captures of their own, whose reported
  poses carry errors of their own: the same pictures with a fresh draw of the error per camera) and against a
  rig calibration of the same pictures without the robot;
* honesty: predicted 1-sigma over the observed spread, per axis, for both kinds of transform;
* cost: the whole cell calibration (detection included) against the sum of the separate ones.

    python bench/cell.py [--seeds N] [--poses N] [--robot-error MM DEG] [--cameras N]
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import _velk  # noqa: E402
import projected_corners as pc  # noqa: E402
from quorvane.velk import cell_captures, demo  # noqa: E402
from refinement import quiet  # noqa: E402


def timed(run):
    begin = time.perf_counter()
    with quiet():
        value = run()
    return value, time.perf_counter() - begin


def own_capture_poses(scene, camera, seed, robot_error):
    """The flange poses a capture of the camera's own would have reported: the same true poses, an error of
    their own."""
    return demo.perturb_robot_poses(scene.true_robot_T_tcp_list, *robot_error,
                                    np.random.default_rng([seed, 7, camera]))


def separate_calibrations(scene, robot_lists=None):
    calibrator = _velk.EyeToHandCalibrator if scene.eye_to_hand else _velk.EyeInHandCalibrator
    transforms, sigmas = [], []
    for c, images in enumerate(scene.image_lists):
        robots = scene.robot_T_tcp_list if robot_lists is None else robot_lists[c]
        result = calibrator(scene.target).calibrate(robots, images, refine=True, print_report=False)
        if not (result.ok and result.refined):
            return None
        transforms.append(result.robot_T_camera if scene.eye_to_hand else result.tcp_T_camera)
        sigmas.append(result.refinement.camera_sigma)
    return transforms, sigmas


def rig_calibration(scene):
    result = _velk.MultiCameraCalibrator(scene.target, len(scene.image_lists)).calibrate(
        scene.image_lists, refine=True, print_report=False)
    return result.reference_T_camera_list[1] if result.ok and result.reference_index == 0 else None


class Figures:
    def __init__(self):
        self.errors = {key: [] for key in ("cell camera", "separate camera", "cell pair", "chained pair",
                                           "chained, own captures", "rig pair")}
        self.tallies = {"camera": pc.SigmaTally(), "pair": pc.SigmaTally()}
        self.times = {"cell": [], "separate": []}
        self.failures = 0

    def add(self, scene, cell, cell_seconds, separate, separate_seconds, own, rig_pair):
        if not cell.ok or separate is None or own is None:
            self.failures += 1
            return
        refinement = cell.refinement
        truth_pair = np.linalg.inv(scene.camera_mount_T_camera_list[0]) @ scene.camera_mount_T_camera_list[1]
        for c, truth in enumerate(scene.camera_mount_T_camera_list):
            estimate = refinement.camera_mount_T_camera_list[c]
            self.errors["cell camera"].append(pc.transform_error(estimate, truth))
            self.errors["separate camera"].append(pc.transform_error(separate[0][c], truth))
            self.tallies["camera"].add(estimate, truth, refinement.camera_sigmas[c])
        pair = refinement.camera_pairs[0]
        self.errors["cell pair"].append(pc.transform_error(pair.first_T_second, truth_pair))
        self.tallies["pair"].add(pair.first_T_second, truth_pair, pair.sigma)
        chained = np.linalg.inv(separate[0][0]) @ separate[0][1]
        self.errors["chained pair"].append(pc.transform_error(chained, truth_pair))
        self.errors["chained, own captures"].append(
            pc.transform_error(np.linalg.inv(own[0][0]) @ own[0][1], truth_pair))
        if rig_pair is not None:
            self.errors["rig pair"].append(pc.transform_error(rig_pair, truth_pair))
        self.times["cell"].append(cell_seconds)
        self.times["separate"].append(separate_seconds)

    def median(self, key):
        values = np.array(self.errors[key])
        return np.median(values, axis=0) if len(values) else np.array([np.nan, np.nan])


def run_kind(kind, args):
    figures = Figures()
    for seed in range(args.seeds):
        scene = cell_captures.simulate_cell(kind, args.cameras, args.poses, seed, tuple(args.robot_error))
        cell, cell_seconds = timed(lambda: _velk.CellCalibrator(scene.target).calibrate(
            scene.robot_T_tcp_list, scene.image_lists, eye_to_hand=scene.eye_to_hand))
        separate, separate_seconds = timed(lambda: separate_calibrations(scene))
        own_lists = [own_capture_poses(scene, c, seed, args.robot_error) for c in range(args.cameras)]
        own, _ = timed(lambda: separate_calibrations(scene, own_lists))
        rig_pair, _ = timed(lambda: rig_calibration(scene))
        figures.add(scene, cell, cell_seconds, separate, separate_seconds, own, rig_pair)
        print(f"  seed {seed}: cell pair {figures.errors['cell pair'][-1][0] * 1000:.3f} mm "
              f"{figures.errors['cell pair'][-1][1]:.4f} deg", flush=True)
    return figures


def ratio_text(value, target_low, target_high=None):
    ok = value <= target_low if target_high is None else target_low <= value <= target_high
    return f"{value:.2f} {'ok' if ok else 'MISS'}"


def print_kind(kind, figures, args):
    camera = "robot_T_camera" if kind == "stationary" else "tcp_T_camera"
    print(f"\n{kind} cell, {args.cameras} cameras, {args.poses} poses, robot error {args.robot_error[0]} mm / "
          f"{args.robot_error[1]} deg, {args.seeds} seeds ({figures.failures} failed)")
    print(f"  {'median error':<28} {'mm':>8} {'deg':>8}")
    for key in figures.errors:
        mm, deg = figures.median(key)
        print(f"  {key:<28} {mm * 1000:>8.3f} {deg:>8.4f}")
    cell_camera, separate_camera = figures.median("cell camera"), figures.median("separate camera")
    cell_pair, chained, rig = figures.median("cell pair"), figures.median("chained pair"), figures.median("rig pair")
    print(f"  {camera}: cell / separate   translation {ratio_text(cell_camera[0] / separate_camera[0], 1.05)}, "
          f"rotation {ratio_text(cell_camera[1] / separate_camera[1], 1.05)}  (target <= 1.05)")
    own = figures.median("chained, own captures")
    print(f"  camera pair: cell / chained   translation {ratio_text(cell_pair[0] / chained[0], 0.3)}, "
          f"rotation {ratio_text(cell_pair[1] / chained[1], 0.3)}  (target <= 0.3; same pictures)")
    print(f"  camera pair: cell / chained   translation {ratio_text(cell_pair[0] / own[0], 0.3)}, "
          f"rotation {ratio_text(cell_pair[1] / own[1], 0.3)}  (target <= 0.3; captures of their own)")
    print(f"  camera pair: cell / rig       translation {ratio_text(cell_pair[0] / rig[0], 1.5)}, "
          f"rotation {ratio_text(cell_pair[1] / rig[1], 1.5)}  (target <= 1.5)")
    limit = {kind: float(np.sqrt(np.mean(np.sum(np.square(figures.tallies["pair"].sigmas[kind]), axis=1))))
             for kind in ("translation", "rotation")}
    chained_rms = np.sqrt(np.mean(np.square(np.array(figures.errors["chained pair"])), axis=0))
    print(f"  camera pair information limit (RMS of its joint 1-sigma): {limit['translation']:.3f} mm, "
          f"{limit['rotation']:.4f} deg; 0.3 x the chained RMS error (same pictures): "
          f"{0.3 * chained_rms[0] * 1000:.3f} mm, {0.3 * chained_rms[1]:.4f} deg")
    for name, tally in figures.tallies.items():
        print(f"  sigma / spread, {name:<7}     translation "
              f"{ratio_text(tally.honesty('translation'), 0.7, 1.3)}, rotation "
              f"{ratio_text(tally.honesty('rotation'), 0.7, 1.3)}  (target 0.7-1.3)")
    cell_time, separate_time = np.median(figures.times["cell"]), np.median(figures.times["separate"])
    print(f"  cost: cell {cell_time:.2f} s, separate {separate_time:.2f} s (median): "
          f"{ratio_text(cell_time / separate_time, 1.3)}  (target <= 1.3)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=30)
    parser.add_argument("--poses", type=int, default=15)
    parser.add_argument("--cameras", type=int, default=2)
    parser.add_argument("--robot-error", type=float, nargs=2, default=(0.5, 0.05), metavar=("MM", "DEG"))
    parser.add_argument("--kinds", nargs="+", default=list(cell_captures.CELL_KINDS), choices=cell_captures.CELL_KINDS)
    args = parser.parse_args()
    for kind in args.kinds:
        print_kind(kind, run_kind(kind, args), args)


if __name__ == "__main__":
    main()
