"""Hand-eye calibration through the arm's joint offsets against the robot-aware refinement on nominal poses.

A 6-axis arm (the generic arm of bench/refinement.py, standard DH) carries the camera; each picture is taken
where the arm truly stands, its joint readings found by inverse kinematics on the true model, whose joint zero
offsets are drawn per joint from a normal distribution (0.05 deg by default). 15 pictures calibrate, 10 more
configurations are predicted. Per seed, for (a) today's robot-aware refinement with the nominal chain's flange
poses and (b) the calibration through the chain with the joint offsets: tcp_T_camera translation and rotation
error (also against the mount as the pictures can tell it, "reach": the first or last joint's offset is a turn
of the base or of the flange that the mounts absorb), the board's predicted pose at the new configurations (RMS
corner error against the noise-free corners, position and orientation error), the estimated offsets against
the truth in their 2-sigma, which corrections were held, and the time per solve. The same with exact kinematics
(offsets zero) and with the arm's repeatability on top of the offsets, then the UR-like arm of the tests with
joint readings spread about its home, eye-in-hand and eye-to-hand.

Last, leave-one-out over the calibration pictures: each predicted by both estimators fitted on the others.

    python bench/kinematic_hand_eye.py [--seeds N] [--noise PX] [--offset-sigma DEG] [--repeatability MM DEG]
                                        [--held-out-seeds N] [--quick]
"""

import argparse
import math
import sys
import time
from collections import Counter
from pathlib import Path

import cv2
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import kinematic_scenes  # noqa: E402
import projected_corners as pc  # noqa: E402
import refinement as arm  # noqa: E402  (the 6-axis arm, its inverse kinematics and its placement)
from _velk import kinematics  # noqa: E402
from quorvane.velk import demo  # noqa: E402
from quorvane.velk import kinematic_hand_eye as khe  # noqa: E402

CALIBRATION_VIEWS = 15
NEW_CONFIGURATIONS = 10


def arm_chain():
    links = [kinematics.dh_link(f"{i + 1}", "revolute", False, d, 0.0, a, alpha)
             for i, (d, a, alpha) in enumerate(arm.ARM_DH)]
    return kinematics.KinematicChain(links, np.eye(4), np.eye(4))


def arm_scene(seed, noise, offsets, repeatability=(0.0, 0.0)):
    """Joint readings and corners of the reachable views, first the calibration ones then the new ones, with
    the truth in the arm's base frame. repeatability (mm, deg per flange axis): where the arm stands differs by
    that much from where its true model puts it at its joint readings, afresh at every view."""
    scene = pc.eye_in_hand_corners(num_views=CALIBRATION_VIEWS + NEW_CONFIGURATIONS + 8, noise_px=noise, seed=seed)
    placement = arm.arm_T_scene()
    commanded = demo.perturb_robot_poses(scene.true_robot_T_tcp_list, *repeatability, np.random.default_rng([seed, 3]))
    joints, keep = [], []
    for k, pose in enumerate(commanded):
        q, _ = arm.arm_ik(placement @ pose, offsets)
        if q is not None and len(scene.object_points[k]) >= 12:
            joints.append(q)
            keep.append(k)
    keep = keep[:CALIBRATION_VIEWS + NEW_CONFIGURATIONS]
    joints = joints[:CALIBRATION_VIEWS + NEW_CONFIGURATIONS]
    if len(keep) < CALIBRATION_VIEWS + NEW_CONFIGURATIONS:
        raise RuntimeError(f"seed {seed}: only {len(keep)} reachable views")
    return {"joints": joints, "objects": [scene.object_points[k] for k in keep],
            "pixels": [scene.image_points[k] for k in keep],
            "camera_T_target": [scene.camera_T_target_list[k] for k in keep], "mount": scene.tcp_T_camera,
            "eye_to_hand": False, "K": pc.EYE_IN_HAND_K, "D": pc.EYE_IN_HAND_D}


def ur_like_scene(seed, noise, offsets, eye_to_hand):
    """The UR-like arm of the tests, joint readings spread about its home, the camera on the flange or fixed."""
    pictures = kinematic_scenes.arm_pictures(offsets, seed, CALIBRATION_VIEWS + NEW_CONFIGURATIONS,
                                             eye_to_hand=eye_to_hand, noise_px=noise)
    return {"joints": pictures.joints, "objects": pictures.object_points, "pixels": pictures.image_points,
            "camera_T_target": pictures.camera_T_target, "mount": pictures.camera_mount_T_camera,
            "eye_to_hand": eye_to_hand, "K": kinematic_scenes.ARM_CAMERA_K, "D": kinematic_scenes.ARM_CAMERA_D}


def prediction(chain, fit, scene):
    """RMS corner error [px] against the noise-free corners and board position [mm] / orientation [deg] error
    at the new configurations."""
    new = slice(CALIBRATION_VIEWS, None)
    predicted = khe.predicted_camera_T_target(chain, scene["joints"][new], fit.camera_mount_T_camera,
                                              fit.target_mount_T_target, scene["eye_to_hand"])
    grid = pc.board_grid()
    squares, positions, angles = [], [], []
    for pose, truth in zip(predicted, scene["camera_T_target"][new]):
        p = [cv2.projectPoints(grid, cv2.Rodrigues(t[:3, :3])[0], t[:3, 3], scene["K"], scene["D"])[0]
             for t in (pose, truth)]
        squares.append(np.mean(np.square(p[0] - p[1])))
        mm, deg = pc.transform_error(pose, truth)
        positions.append(mm * 1000)
        angles.append(deg)
    return math.sqrt(np.mean(squares)), float(np.sqrt(np.mean(np.square(positions)))), \
        float(np.sqrt(np.mean(np.square(angles))))


def reachable_mount(scene, offsets):
    """The camera's mount as the pictures can tell it: the last joint's offset turns the flange about its axis
    (eye-in-hand, tcp_T_camera becomes Rz(offset) * tcp_T_camera), the first joint's turns the base (eye-to-hand,
    robot_T_camera becomes Rz(-offset) * robot_T_camera); both arms have no fixed transform outside their links."""
    turn = np.eye(4)
    turn[:3, :3] = cv2.Rodrigues(np.array([0.0, 0.0, -offsets[0] if scene["eye_to_hand"] else offsets[5]]))[0]
    return turn @ scene["mount"]


def run_seed(scene, offsets, chain):
    calibration = [items[:CALIBRATION_VIEWS] for items in (scene["joints"], scene["objects"], scene["pixels"])]
    K, D, eye_to_hand = scene["K"], scene["D"], scene["eye_to_hand"]
    begin = time.perf_counter()
    today = khe.nominal_refinement(chain, *calibration, K, D, eye_to_hand=eye_to_hand)
    middle = time.perf_counter()
    result = khe.calibrate(chain, *calibration, K, D, eye_to_hand=eye_to_hand, log=False)
    end = time.perf_counter()
    row = {}
    for name, fit, fit_chain, seconds in (("today", today, chain, middle - begin),
                                           ("chain", result.refinement, result.corrected_chain, end - middle)):
        mm, deg = pc.transform_error(fit.camera_mount_T_camera, scene["mount"])
        reach_mm, reach_deg = pc.transform_error(fit.camera_mount_T_camera, reachable_mount(scene, offsets))
        row[name] = {"refined": fit.refined, "mm": mm * 1000, "deg": deg, "reach_mm": reach_mm * 1000,
                     "reach_deg": reach_deg, "seconds": seconds,
                     "prediction": prediction(fit_chain, fit, scene)}
    # Every correction the pictures determine, whether or not the chi-square test kept it.
    determined = [(p.value, p.sigma, truth) for p, truth in zip(result.parameters, offsets) if p.sigma > 0]
    row["within_2_sigma"] = [abs(value - truth) <= 2 * sigma for value, sigma, truth in determined]
    row["held"] = [p.name for p in result.parameters if p.sigma == 0]
    row["kept"] = any(p.estimated for p in result.parameters)
    row["noise"] = (result.refinement.robot_translation_noise_mm, result.refinement.robot_rotation_noise_deg,
                    result.refinement.pixel_noise_px)
    return row


def summarise(rows, label, sigma_deg, args, arm_label="6-axis arm, eye-in-hand", mount="tcp_T_camera"):
    print(f"{label}: {arm_label}, {CALIBRATION_VIEWS} views, {args.noise} px, intrinsics given, joint "
          f"zero offsets N(0, {sigma_deg} deg) per joint, {len(rows)} seeds; predicted at {NEW_CONFIGURATIONS} new "
          f"configurations")
    header = (f"  {'estimator':<36} {mount + ' mm':>16} {'deg':>8} {'pred px':>8} {'pred mm':>8} "
              f"{'pred deg':>9} {'s/solve':>8} {'reach mm':>9} {'reach deg':>10}")
    print(header)
    medians = {}
    for key, name in (("today", "(a) robot-aware, nominal poses"), ("chain", "(b) through the chain, offsets")):
        values = np.array([[r[key]["mm"], r[key]["deg"], *r[key]["prediction"], r[key]["seconds"], r[key]["reach_mm"],
                            r[key]["reach_deg"]] for r in rows])
        medians[key] = np.median(values, axis=0)
        m = medians[key]
        print(f"  {name:<36} {m[0]:>16.3f} {m[1]:>8.4f} {m[2]:>8.3f} {m[3]:>8.3f} {m[4]:>9.4f} {m[5]:>8.3f} "
              f"{m[6]:>9.3f} {m[7]:>10.4f}")
    ratio = medians["chain"] / medians["today"]
    print(f"  {'ratio (b) / (a), medians':<36} {ratio[0]:>16.2f} {ratio[1]:>8.2f} {ratio[2]:>8.2f} {ratio[3]:>8.2f} "
          f"{ratio[4]:>9.2f} {ratio[5]:>8.2f} {ratio[6]:>9.2f} {ratio[7]:>10.2f}")
    covered = [c for r in rows for c in r["within_2_sigma"]]
    if covered:
        print(f"  estimated offsets within 2 sigma of the truth: {np.mean(covered) * 100:.1f} % of {len(covered)}")
    held = Counter(name for r in rows for name in r["held"])
    print("  not determined by the pictures, held at nominal (seeds): "
          + ", ".join(f"{name} ({count})" for name, count in sorted(held.items())))
    print(f"  corrections kept (significant at 5 %) in {sum(r['kept'] for r in rows)} of {len(rows)} seeds")
    noise = np.median(np.array([r["noise"] for r in rows]), axis=0)
    failed = sum(not r[k]["refined"] for r in rows for k in ("today", "chain"))
    print(f"  (b) remaining repeatability noise (median) {noise[0]:.4f} mm, {noise[1]:.5f} deg; corner noise "
          f"{noise[2]:.3f} px; solves that kept their start: {failed}")
    return ratio


def held_out(seeds, noise, sigma_deg, chain):
    """Leave-one-out over the calibration pictures: each picture predicted by both estimators fitted on the
    others, its corners (RMS px against the noisy corners) and its board pose against its own (median mm, deg)."""
    tallies = {"nominal": [], "calibrated": []}
    for seed in range(seeds):
        offsets = np.radians(np.random.default_rng([seed, 7]).normal(0.0, sigma_deg, 6))
        scene = arm_scene(seed, noise, offsets)
        data = [items[:CALIBRATION_VIEWS] for items in (scene["joints"], scene["objects"], scene["pixels"])]
        for name, errors in khe.held_out_prediction(chain, *data, pc.EYE_IN_HAND_K, pc.EYE_IN_HAND_D).items():
            tallies[name].append((errors.rms_px, np.median(errors.position_mm), np.median(errors.orientation_deg)))
    print(f"Leave-one-out over the {CALIBRATION_VIEWS} calibration pictures, joint zero offsets N(0, {sigma_deg} deg), "
          f"{seeds} seeds (medians; corners against their noisy pixels, {noise} px noise per coordinate)")
    print(f"  {'model':<36} {'held-out px':>12} {'board mm':>9} {'board deg':>10}")
    for name, label in (("nominal", "(a) robot-aware, nominal poses"), ("calibrated", "(b) through the chain")):
        m = np.median(np.array(tallies[name]), axis=0)
        print(f"  {label:<36} {m[0]:>12.3f} {m[1]:>9.3f} {m[2]:>10.4f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=30)
    parser.add_argument("--noise", type=float, default=0.3, help="corner noise, pixels per axis")
    parser.add_argument("--offset-sigma", type=float, default=0.05, help="joint zero offsets, deg (1-sigma)")
    parser.add_argument("--repeatability", type=float, nargs=2, default=(0.05, 0.005), metavar=("MM", "DEG"),
                        help="the arm's repeatability per flange axis in the section that adds it")
    parser.add_argument("--held-out-seeds", type=int, default=5, help="seeds of the leave-one-out section")
    parser.add_argument("--quick", action="store_true", help="3 seeds, 1 leave-one-out seed: checks the script runs")
    args = parser.parse_args()
    if args.quick:
        args.seeds, args.held_out_seeds = 3, 1
    chain = arm_chain()
    offset_rows, exact_rows = [], []
    for seed in range(args.seeds):
        offsets = np.radians(np.random.default_rng([seed, 7]).normal(0.0, args.offset_sigma, 6))
        offset_rows.append(run_seed(arm_scene(seed, args.noise, offsets), offsets, chain))
        exact_rows.append(run_seed(arm_scene(seed, args.noise, np.zeros(6)), np.zeros(6), chain))
    summarise(offset_rows, "Joint zero offsets", args.offset_sigma, args)
    print()
    summarise(exact_rows, "Exact kinematics", 0.0, args)
    print()
    noisy_rows = []
    for seed in range(args.seeds):
        offsets = np.radians(np.random.default_rng([seed, 7]).normal(0.0, args.offset_sigma, 6))
        noisy_rows.append(run_seed(arm_scene(seed, args.noise, offsets, args.repeatability), offsets, chain))
    summarise(noisy_rows, f"Joint zero offsets and repeatability {args.repeatability[0]} mm, "
              f"{args.repeatability[1]} deg per flange axis", args.offset_sigma, args)
    print()
    ur_chain = kinematic_scenes.ur_like_chain()
    for eye_to_hand, arm_label, mount in ((False, "UR-like arm, eye-in-hand", "tcp_T_camera"),
                                          (True, "UR-like arm, eye-to-hand", "robot_T_camera")):
        rows = []
        for seed in range(args.seeds):
            offsets = np.radians(np.random.default_rng([seed, 7]).normal(0.0, args.offset_sigma, 6))
            rows.append(run_seed(ur_like_scene(seed, args.noise, offsets, eye_to_hand), offsets, ur_chain))
        summarise(rows, "Joint zero offsets", args.offset_sigma, args, arm_label, mount)
        print()
    held_out(args.held_out_seeds, args.noise, args.offset_sigma, chain)


if __name__ == "__main__":
    main()
