"""Hand-eye calibration of arms that cannot turn about every axis: what the motions leave undetermined, and
the accuracy of the rest, on rendered captures with known truth.

For each arm (SCARA, 5-axis, 6-axis; see quorvane.velk.arm_captures) and set-up, renders 15 views (ChArUco
board, 1 grey level of noise, blur; the robot's reported poses off by 0.2 mm / 0.02 deg per axis) per seed and
calibrates with the true intrinsics given, refined with the robot error modelled, three times:

* nothing given: which components the refinement finds undetermined and names, and the verdict (exit code);
* each undetermined component fixed at its true value (--fix): the errors of the other components of the
  flange-side transform (tcp_T_camera, eye-to-hand tcp_T_target) and of the camera transform, against their
  reported 1-sigma (sigma/spread: RMS of the sigmas over RMS of the errors, per component, over the seeds), and
  the verdict velk hand-eye gives with the given intrinsics compared with the pictures' own (exit code);
* each tied to its true value with a 2 mm prior (--prior): the sigma reported for it.

Per seed the figures go to a JSON-lines file as they come (a later run with the same file skips the seeds it
holds), and the table is printed from it:

    .venv/bin/python bench/restricted_arms.py [--seeds 30] [--arms scara,5-axis,6-axis] [--out FILE]
"""

from __future__ import annotations

import argparse
import json
import logging
import math
from pathlib import Path

import cv2
import numpy as np

import _velk
from quorvane.velk import arm_captures
from quorvane.velk.given_intrinsics import compare_given_intrinsics
from quorvane.velk.verdict import judge_hand_eye

ROBOT_ERROR = (0.2, 0.02)
PRIOR_SIGMA_M = 0.002
COMPONENTS = ("tx", "ty", "tz", "rx", "ry", "rz")


def _errors(estimate, truth) -> list[float]:
    """[tx, ty, tz] mm and the small turn [rx, ry, rz] deg from the truth to the estimate, in the parent frame (the
    frame the 1-sigma are given in)."""
    estimate, truth = np.asarray(estimate), np.asarray(truth)
    turn = cv2.Rodrigues(estimate[:3, :3] @ truth[:3, :3].T)[0].ravel()
    return [*((estimate[:3, 3] - truth[:3, 3]) * 1000.0), *np.degrees(turn)]


def _sigmas(sigma) -> list[float]:
    return [*sigma.translation_mm, *sigma.rotation_deg]


def _transforms(setup, result, scene):
    """(flange-side transform, camera transform): (name, estimate, truth, sigma) each."""
    refinement = result.refinement
    if setup == "eye-in-hand":
        return (("tcp_T_camera", result.tcp_T_camera, scene.tcp_T_camera, refinement.camera_sigma),
                ("world_T_target", result.world_T_target, scene.world_T_target, refinement.target_sigma))
    return (("tcp_T_target", result.tcp_T_target, scene.tcp_T_target, refinement.target_sigma),
            ("robot_T_camera", result.robot_T_camera, scene.robot_T_camera, refinement.camera_sigma))


def _calibrate(scene, setup, **given):
    make = _velk.EyeInHandCalibrator if setup == "eye-in-hand" else _velk.EyeToHandCalibrator
    return make(scene.target).calibrate(scene.robot_T_tcp_list, scene.images, "TSAI",
                                        intrinsic_matrix=scene.camera_matrix,
                                        distortion_coefficients=scene.distortion.reshape(1, -1), refine=True,
                                        print_report=False, **given)


def _figures(setup, result, scene) -> dict:
    figures = {"ok": bool(result.ok), "refined": bool(result.ok and result.refined)}
    if not figures["refined"]:
        return figures
    for name, estimate, truth, sigma in _transforms(setup, result, scene):
        figures[name] = {"errors": _errors(estimate, truth), "sigmas": _sigmas(sigma)}
    figures["components"] = [{"transform": o.transform, "component": o.component, "source": o.source,
                              "undetermined": o.undetermined, "sigma_m": o.sigma, "sentence": o.sentence,
                              "measurement": o.measurement} for o in result.refinement.mount_components]
    return figures


def run_seed(arm: str, setup: str, seed: int) -> dict:
    scene = arm_captures.render_arm_capture(arm, setup, 15, seed, 1.0, ROBOT_ERROR)
    record = {"arm": arm, "setup": setup, "seed": seed}
    free = _calibrate(scene, setup)
    record["free"] = _figures(setup, free, scene)
    if free.ok:
        verdict = judge_hand_eye(free, scene.robot_T_tcp_list, setup == "eye-to-hand")
        record["free"]["exit_code"] = verdict.code
        record["free"]["verdict"] = verdict.text
    flange_truth = np.asarray(scene.tcp_T_camera if setup == "eye-in-hand" else scene.tcp_T_target)
    held = [c["component"] for c in record["free"].get("components", []) if c["source"] == "held"]
    truths = {name: float(flange_truth[COMPONENTS.index(name), 3]) for name in held if name.startswith("t")}
    if truths:
        fixed = _calibrate(scene, setup, fix=truths)
        record["fixed"] = _figures(setup, fixed, scene)
        if fixed.ok:
            comparison = compare_given_intrinsics(scene.target, scene.images, scene.camera_matrix,
                                                  scene.distortion.reshape(1, -1))
            verdict = judge_hand_eye(fixed, scene.robot_T_tcp_list, setup == "eye-to-hand",
                                     intrinsics_comparison=comparison)
            record["fixed"]["exit_code"] = verdict.code
            record["fixed"]["verdict"] = verdict.text
        record["prior"] = _figures(setup, _calibrate(scene, setup, prior={k: (v, PRIOR_SIGMA_M)
                                                                          for k, v in truths.items()}), scene)
    return record


def _rms(values) -> float:
    return math.sqrt(float(np.mean(np.square(values)))) if len(values) else float("nan")


def _accuracy(records, case: str, name: str, skip: set) -> str:
    """Median |error| and sigma/spread of the components not in skip."""
    runs = [r[case][name] for r in records if case in r and name in r[case]]
    if not runs:
        return "-"
    cells = []
    for k, component in enumerate(COMPONENTS):
        if component in skip:
            continue
        errors = [run["errors"][k] for run in runs]
        sigmas = [run["sigmas"][k] for run in runs]
        unit = "mm" if k < 3 else "deg"
        digits = 2 if k < 3 else 3
        cells.append(f"{component} {np.median(np.abs(errors)):.{digits}f} {unit} ({_rms(sigmas) / _rms(errors):.2f})")
    return ", ".join(cells)


def summarise(records) -> str:
    lines = []
    for arm in arm_captures.ARM_KINDS:
        for setup in arm_captures.SETUPS:
            group = [r for r in records if r["arm"] == arm and r["setup"] == setup]
            if not group:
                continue
            flange, camera = ("tcp_T_camera", "world_T_target") if setup == "eye-in-hand" else ("tcp_T_target",
                                                                                                 "robot_T_camera")
            found = [sorted(f"{c['component']} of {c['transform']}" for c in r["free"].get("components", [])
                            if c["undetermined"]) for r in group]
            named = {" + ".join(f) or "none" for f in found}
            exits = [r["free"].get("exit_code") for r in group]
            lines.append(f"{arm} {setup}: {len(group)} seeds")
            lines.append(f"  undetermined found: {', '.join(sorted(named))} "
                         f"(in {sum(1 for f in found if f)} of {len(group)} seeds)")
            lines.append(f"  nothing given: exit 1 in {sum(1 for e in exits if e == 1)} of {len(group)} seeds")
            fixed_exits = [r["fixed"].get("exit_code") for r in group if "fixed" in r]
            if fixed_exits:
                lines.append(f"  fixed at the truth: exit 1 in {sum(1 for e in fixed_exits if e == 1)} of "
                             f"{len(fixed_exits)} seeds (with the given intrinsics compared)")
            fixed = {c.split(" of ")[0] for f in found for c in f if c.endswith(flange)}
            case = "fixed" if any("fixed" in r for r in group) else "free"
            lines.append(f"  {case}: {flange} median |error| (sigma/spread): {_accuracy(group, case, flange, fixed)}")
            lines.append(f"  {case}: {camera} median |error| (sigma/spread): {_accuracy(group, case, camera, set())}")
            priors = [c["sigma_m"] * 1000 for r in group if "prior" in r for c in r["prior"].get("components", [])
                      if c["source"] == "prior"]
            if priors:
                lines.append(f"  prior of 2 mm: sigma reported {np.median(priors):.3f} mm (median); "
                             f"{flange} rest: {_accuracy(group, 'prior', flange, fixed)}")
            sentences = {c["sentence"] + "; " + c["measurement"] for r in group
                         for c in r["free"].get("components", []) if c["source"] == "held"}
            lines += [f"  message: {s}" for s in sorted(sentences)]
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=30)
    parser.add_argument("--arms", default=",".join(arm_captures.ARM_KINDS))
    parser.add_argument("--setups", default=",".join(arm_captures.SETUPS))
    parser.add_argument("--out", default="restricted_arms.jsonl")
    parser.add_argument("--summary-only", action="store_true")
    args = parser.parse_args()
    path = Path(args.out)
    records = [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []
    done = {(r["arm"], r["setup"], r["seed"]) for r in records}
    if not args.summary_only:
        logging.getLogger("quorvane.velk").setLevel(logging.ERROR)
        for seed in range(args.seeds):
            for arm in args.arms.split(","):
                for setup in args.setups.split(","):
                    if (arm, setup, seed) in done:
                        continue
                    record = run_seed(arm, setup, seed)
                    records.append(record)
                    with path.open("a") as stream:
                        stream.write(json.dumps(record) + "\n")
                    print(f"{arm} {setup} seed {seed} done", flush=True)
    print(summarise(records))


if __name__ == "__main__":
    main()
