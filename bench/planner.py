"""Planned against drawn hand-eye poses, the honesty of the predicted 1-sigma, and the planner's cost.

Both set-ups (eye-in-hand, eye-to-hand) of the demo's geometry, with projected corners (0.2 px) and
the robot's pose error (0.3 mm / 0.03 deg per flange axis) in the reported poses. The workspace:
0.3 to 0.8 m from the board, lines of sight tilted 10 to 45 deg from its normal, any azimuth, turns
about the optical axis within 25 deg. The planner chooses from 400 candidates spread over it; the
baseline draws poses uniformly from the same ranges, afresh for every seed. Every seed's corners and
robot errors are new; each set of poses is calibrated (intrinsics from the corners, TSAI, then the
refinement that models the robot's error) and compared with the truth.

Targets: 12 planned poses at most 0.7 x the median error of 12 drawn ones (translation and rotation);
8 planned poses no worse than 16 drawn ones; the predicted 1-sigma of the 12-pose plan within 0.7 to
1.3 of the spread measured over the seeds; 12 poses chosen from 2,000 candidates in under 5 s.

With --rendered, the same comparison on rendered pictures calibrated by the image pipeline (detection,
intrinsics, TSAI and the refinement): 12 planned pictures and 16 drawn ones per seed, their first 8 and
12 standing for the smaller sets. The honesty there is judged with the prediction at the corner noise
the refinements estimated (the pictures' own, not the 0.2 px of the projected corners).

    python bench/planner.py [--seeds N] [--repeats N] [--rendered] [--rendered-seeds N]
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import _velk  # noqa: E402
import projected_corners as pc  # noqa: E402
from quorvane.velk import planning, synthetic  # noqa: E402
from refinement import quiet  # noqa: E402  (bench/ is this script's own folder)

WORKSPACE = planning.Workspace(distance_m=(0.3, 0.8), tilt_deg=(10.0, 45.0), roll_deg=25.0)
SETUPS = ("eye-in-hand", "eye-to-hand")


def drawn(scene, count, seed):
    rng = np.random.default_rng([seed, 7, count])
    return planning.flange_poses(scene, planning.drawn_camera_poses(scene.object_points, WORKSPACE, count, rng))


def errors_of(scene, poses, seed, tally=None, sigma=None):
    """Translation [mm] and rotation [deg] error of the refinement from one seed's corners; None if it failed."""
    refinement, truth = pc.refine_planned(scene, pc.planned_corners(scene, poses, seed))
    if not refinement.refined:
        return None
    if tally is not None:
        tally.add(refinement.camera_mount_T_camera, truth, sigma)
    translation_m, rotation_deg = pc.transform_error(refinement.camera_mount_T_camera, truth)
    return translation_m * 1000.0, rotation_deg


def compare(setup, seeds):
    scene = pc.plan_scene(setup)
    pool = planning.workspace_candidates(scene, WORKSPACE, 400)
    plan = _velk.plan_hand_eye(scene, pool, 12)
    planned = [pool[step.candidate] for step in plan.steps]
    tally = pc.SigmaTally()
    sigma = plan.steps[11].camera_sigma
    runs = {"planned 12": [], "planned 8": [], "drawn 12": [], "drawn 16": []}
    predicted_drawn = []
    for seed in range(seeds):
        runs["planned 12"].append(errors_of(scene, planned, seed, tally, sigma))
        runs["planned 8"].append(errors_of(scene, planned[:8], seed))
        runs["drawn 12"].append(errors_of(scene, drawn(scene, 12, seed), seed))
        runs["drawn 16"].append(errors_of(scene, drawn(scene, 16, seed), seed))
        predicted_drawn.append(_velk.predict_hand_eye(scene, drawn(scene, 12, seed)).camera_sigma)
    failures = {name: sum(r is None for r in values) for name, values in runs.items()}
    medians = {name: np.median([r for r in values if r is not None], axis=0) for name, values in runs.items()}
    return {"plan": plan, "medians": medians, "failures": failures, "tally": tally,
            "predicted_drawn": (float(np.median([s.translation_norm_mm for s in predicted_drawn])),
                                float(np.median([s.rotation_norm_deg for s in predicted_drawn])))}


def print_comparison(setup, result, seeds):
    plan, medians = result["plan"], result["medians"]
    print(f"{setup}: {seeds} seeds, 0.2 px, robot 0.3 mm / 0.03 deg, {plan.usable_candidates} of 400 candidates usable")
    print("  predicted 1-sigma (norm) after each planned pose:")
    for k, step in enumerate(plan.steps):
        if step.determined:
            print(f"    {k + 1:2d} poses: {step.camera_sigma.translation_norm_mm:.3f} mm, "
                  f"{step.camera_sigma.rotation_norm_deg:.4f} deg")
    print(f"  predicted 1-sigma (norm) of 12 drawn poses, median over seeds: {result['predicted_drawn'][0]:.3f} mm, "
          f"{result['predicted_drawn'][1]:.4f} deg")
    print("  measured error, median over seeds (translation mm, rotation deg; refinements that failed):")
    for name, (translation, rotation) in medians.items():
        print(f"    {name:11s} {translation:.3f} mm  {rotation:.4f} deg  ({result['failures'][name]} failed)")
    ratio = medians["planned 12"] / medians["drawn 12"]
    print(f"  planned 12 / drawn 12: translation {ratio[0]:.2f}, rotation {ratio[1]:.2f} "
          f"(target <= 0.7: {'met' if np.all(ratio <= 0.7) else 'NOT met'})")
    better = np.all(medians["planned 8"] <= medians["drawn 16"])
    print(f"  planned 8 against drawn 16: {'no worse (met)' if better else 'worse (NOT met)'}")
    for kind in ("translation", "rotation"):
        value = result["tally"].honesty(kind)
        print(f"  predicted / measured spread of the 12-pose plan, {kind}: {value:.2f} "
              f"(target 0.7 to 1.3: {'met' if 0.7 <= value <= 1.3 else 'NOT met'})")


def rendered_calibration(scene, target, poses, seed, folder, counts, picture_noise=1.0):
    """Renders the pictures of the true flange poses, calibrates from the reported ones: (refinement, truth)."""
    reported = planning_reported(scene, poses, seed)
    images = [synthetic.render_target(target, scene.intrinsic_matrix, scene.distortion_coefficients,
                                      np.asarray(_velk.plan_camera_T_target(scene, pose)), scene.image_size,
                                      noise_sigma=picture_noise, blur_sigma=0.6, seed=seed * 1000 + k).image
              for k, pose in enumerate(poses)]
    calibrator = (_velk.EyeToHandCalibrator if scene.eye_to_hand else _velk.EyeInHandCalibrator)(target)
    with quiet():
        results = [calibrator.calibrate(reported[:n], images[:n], "TSAI", output_path=Path(folder), refine=True)
                   for n in counts]
    return results, np.asarray(scene.camera_mount_T_camera)


def planning_reported(scene, poses, seed):
    return pc.planned_corners(scene, poses, seed).robot_T_tcp_list


def estimate_of(result, eye_to_hand):
    return result.robot_T_camera if eye_to_hand else result.tcp_T_camera


def compare_rendered(setup, seeds, plan_pixel_noise=None, candidates=400, picture_noise=1.0):
    """plan_pixel_noise: the corner noise the poses are planned for (an earlier calibration's estimate); default
    0.2 px. The pictures are the same either way. candidates: how many workspace poses the planner chooses from.
    picture_noise: the grey-level noise of the rendered pictures (1 gives corners of about 0.03 px, 8 about 0.2 px)."""
    scene = pc.plan_scene(setup, pixel_noise_px=plan_pixel_noise or 0.2)
    target = _velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100")
    pool = planning.workspace_candidates(scene, WORKSPACE, candidates)
    plan = _velk.plan_hand_eye(scene, pool, 12)
    planned = [pool[step.candidate] for step in plan.steps]
    runs = {"planned 12": [], "planned 8": [], "drawn 12": [], "drawn 16": []}
    estimates, pixel_noise, failures = [], [], 0
    with tempfile.TemporaryDirectory() as folder:
        for seed in range(seeds):
            (eight, twelve), truth = rendered_calibration(scene, target, planned, seed, folder, (8, 12),
                                                            picture_noise)
            (drawn12, drawn16), _ = rendered_calibration(scene, target, drawn(scene, 16, seed), seed, folder,
                                                           (12, 16), picture_noise)
            for name, result in (("planned 12", twelve), ("planned 8", eight), ("drawn 12", drawn12),
                                 ("drawn 16", drawn16)):
                if not (result.ok and result.refined):
                    failures += 1
                    continue
                translation_m, rotation_deg = pc.transform_error(estimate_of(result, scene.eye_to_hand), truth)
                runs[name].append((translation_m * 1000.0, rotation_deg))
                if name == "planned 12":
                    estimates.append(estimate_of(result, scene.eye_to_hand))
                    pixel_noise.append(result.refinement.pixel_noise_px)
    medians = {name: np.median(values, axis=0) for name, values in runs.items()}
    pixel = float(np.median(pixel_noise))
    at_pixel = pc.plan_scene(setup, pixel_noise_px=pixel)
    sigma = _velk.predict_hand_eye(at_pixel, planned).camera_sigma
    tally = pc.SigmaTally()
    for estimate in estimates:
        tally.add(estimate, truth, sigma)
    return {"medians": medians, "failures": failures, "tally": tally, "pixel": pixel, "sigma": sigma,
            "default_sigma": plan.steps[11].camera_sigma, "plan_pixel": scene.pixel_noise_px,
            "candidates": candidates}


def print_rendered(setup, result, seeds):
    medians = result["medians"]
    print(f"{setup}, rendered pictures: {seeds} seeds, robot 0.3 mm / 0.03 deg, planned for "
          f"{result['plan_pixel']:g} px corner noise from {result['candidates']} candidates "
          f"({result['failures']} calibrations failed or were not refined)")
    for name, (translation, rotation) in medians.items():
        print(f"    {name:11s} {translation:.3f} mm  {rotation:.4f} deg")
    ratio = medians["planned 12"] / medians["drawn 12"]
    print(f"  planned 12 / drawn 12: translation {ratio[0]:.2f}, rotation {ratio[1]:.2f} "
          f"(target <= 0.7: {'met' if np.all(ratio <= 0.7) else 'NOT met'})")
    better = np.all(medians["planned 8"] <= medians["drawn 16"])
    print(f"  planned 8 against drawn 16: {'no worse (met)' if better else 'worse (NOT met)'}")
    print(f"  corner noise the refinements estimated (median): {result['pixel']:.3f} px; predicted 1-sigma there "
          f"{result['sigma'].translation_norm_mm:.3f} mm, {result['sigma'].rotation_norm_deg:.4f} deg "
          f"(as planned: {result['default_sigma'].translation_norm_mm:.3f} mm, "
          f"{result['default_sigma'].rotation_norm_deg:.4f} deg)")
    for kind in ("translation", "rotation"):
        value = result["tally"].honesty(kind)
        print(f"  predicted / measured spread of the 12-pose plan, {kind}: {value:.2f} "
              f"(target 0.7 to 1.3: {'met' if 0.7 <= value <= 1.3 else 'NOT met'})")


def time_planning(repeats):
    """Best of several runs: 2,000 candidates made and 12 poses chosen, eye-in-hand."""
    scene = pc.plan_scene("eye-in-hand")
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        pool = planning.workspace_candidates(scene, WORKSPACE, 2000)
        _velk.plan_hand_eye(scene, pool, 12)
        best = min(best, time.perf_counter() - start)
    print(f"Planning 12 poses from {len(pool)} candidates: {best:.2f} s best of {repeats} "
          f"(target < 5 s: {'met' if best < 5.0 else 'NOT met'})")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=30)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rendered", action="store_true", help="also compare on rendered pictures")
    parser.add_argument("--rendered-seeds", type=int, default=30)
    parser.add_argument("--only-rendered", action="store_true", help="the rendered comparison alone")
    parser.add_argument("--plan-pixel-noise", type=float, metavar="PX",
                        help="plan the rendered comparison's poses for this corner noise (default: 0.2 px)")
    parser.add_argument("--candidates", type=int, default=400, metavar="N",
                        help="workspace poses the rendered comparison's planner chooses from (default: 400)")
    parser.add_argument("--picture-noise", type=float, default=1.0, metavar="GREY",
                        help="grey-level noise of the rendered pictures (default: 1)")
    parser.add_argument("--setups", nargs="+", choices=SETUPS, default=list(SETUPS))
    args = parser.parse_args()
    if not args.only_rendered:
        for setup in SETUPS:
            print_comparison(setup, compare(setup, args.seeds), args.seeds)
            print()
        time_planning(args.repeats)
    if args.rendered or args.only_rendered:
        for setup in args.setups:
            print()
            print_rendered(setup, compare_rendered(setup, args.rendered_seeds, args.plan_pixel_noise, args.candidates,
                                            args.picture_noise),
                           args.rendered_seeds)


if __name__ == "__main__":
    main()
