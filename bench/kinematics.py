"""Kinematic calibration from measured poses: the measured positioner and a simulated arm.

The positioner (shared data, kinematic-positioner): the corrections held and why, the errors of the
fit and the five-fold held-out errors with the nominal and the calibrated chain, in both modes.

The simulated arm (four revolute joints, known zero offsets and link errors, 60 measured poses with
0.2 mm / 0.02 deg noise per axis, both set-ups) over 30 seeds: per estimated correction the share
of seeds whose estimate lies within 2 sigma of the truth and the mean sigma over the spread of the
estimates; the corrections held and why.

    python bench/kinematics.py [--seeds 30]
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import kinematic_scenes as scenes  # noqa: E402
from quorvane.velk import kinematic_models  # noqa: E402


def _statistics_row(label: str, s) -> str:
    return (f"| {label} | {s.mean_position_mm:.3f} | {s.rms_position_mm:.3f} | {s.mean_orientation_deg:.4f} | "
            f"{s.rms_orientation_deg:.4f} |")


def positioner(folder: Path) -> None:
    model = scenes.write_model(folder / "positioner.yaml", scenes.POSITIONER_MODEL)
    chain = kinematic_models.load_dh_model(model)
    measured = kinematic_models.load_measured_poses(scenes.POSITIONER_DIR)
    mount, carrier = kinematic_models.load_pose_guesses(scenes.POSITIONER_DIR)
    for mode in ("offsets", "full"):
        start = time.perf_counter()
        result = kinematic_models.calibrate(chain, measured, mount, carrier, mode)
        elapsed = time.perf_counter() - start
        print(f"\n## Positioner, --kinematics {mode} ({len(measured.keys)} poses, {elapsed:.2f} s)\n")
        for p in result.parameters:
            unit, scale = ("deg", np.degrees(1.0)) if p.angular else ("mm", 1000.0)
            state = f"{p.value * scale:+.4f} +- {p.sigma * scale:.4f} {unit}" if p.estimated else p.held_reason
            print(f"- {p.name}: {state}")
        print(f"- noise per axis: {result.translation_noise_mm:.3f} mm, {result.rotation_noise_deg:.4f} deg\n")
        print("| errors | mean mm | RMS mm | mean deg | RMS deg |\n|---|---|---|---|---|")
        print(_statistics_row("fit, nominal", result.nominal_fit))
        print(_statistics_row("fit, calibrated", result.calibrated_fit))
        print(_statistics_row(f"held out ({result.folds} folds), nominal", result.nominal_held_out))
        print(_statistics_row(f"held out ({result.folds} folds), calibrated", result.calibrated_held_out))


def simulated_arm(folder: Path, seeds: int) -> None:
    chain = kinematic_models.load_dh_model(scenes.write_model(folder / "arm.yaml", scenes.ARM_MODEL))
    for setup in ("sensor_fixed", "sensor_on_chain"):
        values, sigmas, held = [], [], None
        start = time.perf_counter()
        for seed in range(seeds):
            sim = scenes.simulate_arm(chain, seed, setup=setup)
            result = kinematic_models.calibrate(chain, sim.measured, scenes.perturbed(sim.mount, seed),
                                                scenes.perturbed(sim.carrier, seed), "full")
            value, sigma, estimated = kinematic_models.parameter_arrays(result)
            values.append(value)
            sigmas.append(sigma)
            reasons = {p.name: p.held_reason for p in result.parameters if not p.estimated}
            if held is not None and reasons != held:
                print(f"seed {seed}: other corrections held: {reasons}")
            held, names = reasons, [p.name for p in result.parameters]
        elapsed = time.perf_counter() - start
        values, sigmas = np.asarray(values), np.asarray(sigmas)
        print(f"\n## Simulated arm, {setup}, {seeds} seeds ({elapsed:.1f} s)\n")
        print("| correction | true | within 2 sigma | mean sigma / spread |\n|---|---|---|---|")
        inside_all, scores = [], []
        for k, name in enumerate(names):
            if name in held:
                continue
            inside = np.abs(values[:, k] - scenes.ARM_TRUE_CORRECTIONS[k]) <= 2.0 * sigmas[:, k]
            inside_all.extend(inside)
            scores.extend((values[:, k] - scenes.ARM_TRUE_CORRECTIONS[k]) / sigmas[:, k])
            ratio = sigmas[:, k].mean() / values[:, k].std(ddof=1)
            print(f"| {name} | {scenes.ARM_TRUE_CORRECTIONS[k]:+.5f} | {inside.mean():.0%} | {ratio:.2f} |")
        print(f"\nall estimated corrections within 2 sigma: {np.mean(inside_all):.1%}; pooled sigma / spread "
              f"(1 / RMS of the errors in sigmas): {1.0 / np.sqrt(np.mean(np.square(scores))):.2f}")
        for name, reason in held.items():
            print(f"- {name}: {reason}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=30)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        positioner(Path(folder))
        simulated_arm(Path(folder), args.seeds)


if __name__ == "__main__":
    main()
