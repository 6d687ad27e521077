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

The same measurements on a redundant 7-joint arm (modified DH, joint readings spread about its home), and on
both arms with link errors beside the offsets (every d and r, and the twists, of the true model perturbed)
calibrated in mode "full", exact kinematics in that mode too. In full mode the pictures cannot tell some
corrections apart (parallel joints' d, what the mounts take up): the determined ones are checked against what
they stand for, the fit of the same pictures with almost noise-free corners, and "reach" is the mount of that
fit. Per determined correction, sigma / spread is its median reported 1-sigma over the RMS of its errors
across the seeds, and 1 / RMS(z) the same with each error divided by its own 1-sigma. Times are CPU seconds
of one solve (the solvers run on one thread; the machine may be shared), beside the default refinement's,
which measures the board's size in a second solve.

Last, leave-one-out over the calibration pictures: each predicted by both estimators fitted on the others.

    python bench/kinematic_hand_eye.py [--seeds N] [--first-seed K] [--noise PX] [--offset-sigma DEG]
                                        [--full-offset-sigma DEG] [--link-sigma MM] [--twist-sigma DEG]
                                        [--repeatability MM DEG] [--held-out-seeds N] [--quick]
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
import _velk  # noqa: E402
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


def chain_ik(truth, goal, q, iterations=20):
    """Joint readings that put the flange of the chain truth at goal, by Gauss-Newton from q nearby (a
    numerical Jacobian); None when it does not get there."""
    q = np.array(q, dtype=float)
    for _ in range(iterations):
        residual = arm.pose_residual(goal, np.asarray(kinematics.forward_kinematics(truth, q.tolist())))
        if np.linalg.norm(residual) < 1e-12:
            return q
        jacobian = np.empty((6, len(q)))
        for i in range(len(q)):
            step = np.zeros(len(q))
            step[i] = 1e-7
            moved = np.asarray(kinematics.forward_kinematics(truth, (q + step).tolist()))
            jacobian[:, i] = (residual - arm.pose_residual(goal, moved)) / 1e-7
        q += np.linalg.lstsq(jacobian, residual, rcond=None)[0]
    return None


def arm_scene(seed, noise, corrections, repeatability=(0.0, 0.0), mode="offsets"):
    """Joint readings and corners of the reachable views, first the calibration ones then the new ones, with
    the truth in the arm's base frame. corrections: the true model's joint zero offsets, or in mode "full"
    every correction of the chain (kinematics.correction_names). repeatability (mm, deg per flange axis):
    where the arm stands differs by that much from where its true model puts it at its joint readings, afresh
    at every view."""
    scene = pc.eye_in_hand_corners(num_views=CALIBRATION_VIEWS + NEW_CONFIGURATIONS + 8, noise_px=noise, seed=seed)
    placement = arm.arm_T_scene()
    commanded = demo.perturb_robot_poses(scene.true_robot_T_tcp_list, *repeatability, np.random.default_rng([seed, 3]))
    truth = kinematics.corrected_chain(arm_chain(), mode, list(map(float, corrections)))
    joints, keep = [], []
    for k, pose in enumerate(commanded):
        q, _ = arm.arm_ik(placement @ pose, corrections[:6])
        if q is not None and mode == "full":
            q = chain_ik(truth, placement @ pose, q)
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
    return pictures_scene(kinematic_scenes.arm_pictures(offsets, seed, CALIBRATION_VIEWS + NEW_CONFIGURATIONS,
                                                        eye_to_hand=eye_to_hand, noise_px=noise), eye_to_hand)


def seven_joint_scene(seed, noise, corrections, mode="offsets"):
    """The 7-joint arm of the tests, joint readings spread about its home, the camera on the flange."""
    pictures = kinematic_scenes.arm_pictures(corrections, seed, CALIBRATION_VIEWS + NEW_CONFIGURATIONS, noise_px=noise,
                                             chain=kinematic_scenes.seven_joint_chain(),
                                             home=kinematic_scenes.SEVEN_JOINT_HOME, mode=mode)
    return pictures_scene(pictures, False)


def pictures_scene(pictures, eye_to_hand):
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
    robot_T_camera becomes Rz(-offset) * robot_T_camera); the arms have no fixed transform outside their links
    but a shift along the flange's axis, which the turn about that axis leaves alone."""
    turn = np.eye(4)
    turn[:3, :3] = cv2.Rodrigues(np.array([0.0, 0.0, -offsets[0] if scene["eye_to_hand"] else offsets[-1]]))[0]
    return turn @ scene["mount"]


def drawn_corrections(chain, seed, mode, offset_sigma_deg, link_sigma_mm=0.0, twist_sigma_deg=0.0):
    """The true model's corrections of a seed in the order of kinematics.correction_names: the joint zero
    offsets N(0, offset_sigma_deg), in mode "full" also every length (d, r) N(0, link_sigma_mm) and twist
    N(0, twist_sigma_deg)."""
    names = kinematics.correction_names(chain, mode)
    joints = chain.joint_count
    corrections = np.zeros(len(names))
    corrections[:joints] = np.radians(np.random.default_rng([seed, 7]).normal(0.0, offset_sigma_deg, joints))
    links = np.random.default_rng([seed, 8]).normal(0.0, 1.0, len(names))
    for k, name in enumerate(names[joints:], start=joints):
        corrections[k] = links[k] * (np.radians(twist_sigma_deg) if name.endswith("alpha") else link_sigma_mm / 1000)
    return corrections


def default_refinement_seconds(chain, calibration, K, D, eye_to_hand):
    """The time of the refinement with its default options (the board's size measured by a second solve)."""
    begin = time.process_time()
    problem = khe.refinement_problem(chain, *calibration, K, D, eye_to_hand=eye_to_hand)
    _velk.refine_hand_eye(problem, _velk.RefinementOptions())
    return time.process_time() - begin


def run_seed(scene, truth, chain, mode="offsets", reference=None, timing=False):
    """Both estimators on the scene's calibration pictures. truth: the true corrections in the order of
    kinematics.correction_names(chain, mode). reference: the same scene with (almost) noise-free corners; its
    fit through the chain tells what the determined corrections and the mount stand for where the pictures
    cannot tell some corrections apart (the truth itself when not given: the offsets only)."""
    calibration = [items[:CALIBRATION_VIEWS] for items in (scene["joints"], scene["objects"], scene["pixels"])]
    K, D, eye_to_hand = scene["K"], scene["D"], scene["eye_to_hand"]
    begin = time.process_time()
    today = khe.nominal_refinement(chain, *calibration, K, D, eye_to_hand=eye_to_hand)
    middle = time.process_time()
    result = khe.calibrate(chain, *calibration, K, D, eye_to_hand=eye_to_hand, mode=mode, log=False)
    end = time.process_time()
    if reference is None:
        told = dict(zip(kinematics.correction_names(chain, mode), truth))
        reach = reachable_mount(scene, truth[:chain.joint_count])
    else:
        noise_free = [items[:CALIBRATION_VIEWS] for items in (reference["joints"], reference["objects"],
                                                             reference["pixels"])]
        fit = khe.calibrate(chain, *noise_free, K, D, eye_to_hand=eye_to_hand, mode=mode, log=False)
        told = {p.name: p.value for p in fit.parameters if p.sigma > 0}
        reach = fit.refinement.camera_mount_T_camera
    row = {}
    for name, fit, fit_chain, seconds in (("today", today, chain, middle - begin),
                                           ("chain", result.refinement, result.corrected_chain, end - middle)):
        mm, deg = pc.transform_error(fit.camera_mount_T_camera, scene["mount"])
        reach_mm, reach_deg = pc.transform_error(fit.camera_mount_T_camera, reach)
        row[name] = {"refined": fit.refined, "mm": mm * 1000, "deg": deg, "reach_mm": reach_mm * 1000,
                     "reach_deg": reach_deg, "seconds": seconds,
                     "prediction": prediction(fit_chain, fit, scene)}
    if timing:
        row["default_seconds"] = default_refinement_seconds(chain, calibration, K, D, eye_to_hand)
    # Every correction the pictures determine, whether or not the chi-square test kept it.
    row["estimates"] = {p.name: (p.value, p.sigma, told[p.name]) for p in result.parameters
                        if p.sigma > 0 and p.name in told}
    row["within_2_sigma"] = [abs(value - truth) <= 2 * sigma for value, sigma, truth in row["estimates"].values()]
    row["held"] = {p.name: p.held_reason for p in result.parameters if p.sigma == 0}
    row["kept"] = any(p.estimated for p in result.parameters)
    row["noise"] = (result.refinement.robot_translation_noise_mm, result.refinement.robot_rotation_noise_deg,
                    result.refinement.pixel_noise_px)
    return row


def sigma_over_spread(rows):
    """Per determined correction: the median reported 1-sigma over the spread (RMS about the truth) of its
    estimates across the seeds, and 1 / RMS of its errors each over its own 1-sigma; corrections determined
    in fewer than 3 seeds are left out."""
    tallies = {}
    for row in rows:
        for name, (value, sigma, truth) in row["estimates"].items():
            tallies.setdefault(name, []).append((value - truth, sigma))
    ratios = {}
    for name, pairs in tallies.items():
        if len(pairs) >= 3:
            errors, sigmas = np.array(pairs).T
            ratios[name] = (float(np.median(sigmas) / np.sqrt(np.mean(np.square(errors)))),
                            float(1.0 / np.sqrt(np.mean(np.square(errors / sigmas)))))
    return ratios


def summarise(rows, label, truth_label, args, arm_label="6-axis arm, eye-in-hand", mount="tcp_T_camera",
              mode="offsets", told="the truth"):
    print(f"{label}: {arm_label}, {CALIBRATION_VIEWS} views, {args.noise} px, intrinsics given, {truth_label}, "
          f"{len(rows)} seeds; predicted at {NEW_CONFIGURATIONS} new configurations")
    header = (f"  {'estimator':<36} {mount + ' mm':>16} {'deg':>8} {'pred px':>8} {'pred mm':>8} "
              f"{'pred deg':>9} {'cpu s':>8} {'reach mm':>9} {'reach deg':>10}")
    print(header)
    medians = {}
    for key, name in (("today", "(a) robot-aware, nominal poses"), ("chain", f"(b) through the chain, {mode}")):
        values = np.array([[r[key]["mm"], r[key]["deg"], *r[key]["prediction"], r[key]["seconds"], r[key]["reach_mm"],
                            r[key]["reach_deg"]] for r in rows])
        medians[key] = np.median(values, axis=0)
        m = medians[key]
        print(f"  {name:<36} {m[0]:>16.3f} {m[1]:>8.4f} {m[2]:>8.3f} {m[3]:>8.3f} {m[4]:>9.4f} {m[5]:>8.3f} "
              f"{m[6]:>9.3f} {m[7]:>10.4f}")
    ratio = medians["chain"] / medians["today"]
    print(f"  {'ratio (b) / (a), medians':<36} {ratio[0]:>16.2f} {ratio[1]:>8.2f} {ratio[2]:>8.2f} {ratio[3]:>8.2f} "
          f"{ratio[4]:>9.2f} {ratio[5]:>8.2f} {ratio[6]:>9.2f} {ratio[7]:>10.2f}")
    if "default_seconds" in rows[0]:
        default = np.median([r["default_seconds"] for r in rows])
        print(f"  time: default refinement (board size measured) {default:.3f} s; (b) / default "
              f"{medians['chain'][5] / default:.2f}")
    covered = [c for r in rows for c in r["within_2_sigma"]]
    if covered:
        print(f"  estimated corrections within 2 sigma of {told}: {np.mean(covered) * 100:.1f} % of {len(covered)}")
    ratios = sigma_over_spread(rows)
    for k, measure in enumerate(("sigma / spread", "1 / RMS(z)")) if ratios else ():
        values = np.array([value[k] for value in ratios.values()])
        outside = [f"{name} {value[k]:.2f}" for name, value in sorted(ratios.items()) if not 0.7 <= value[k] <= 1.3]
        print(f"  {measure} over {len(ratios)} corrections: min {values.min():.2f}, median "
              f"{np.median(values):.2f}, max {values.max():.2f}; outside 0.7-1.3: {', '.join(outside) or 'none'}")
    held = Counter(name for r in rows for name in r["held"])
    reasons = {name: Counter(r["held"][name] for r in rows if name in r["held"]).most_common(1)[0][0] for name in held}
    print("  not determined by the pictures, held at nominal (seeds, the most frequent reason):")
    for name, count in sorted(held.items(), key=lambda item: (-item[1], item[0])):
        print(f"    {name} ({count}): {reasons[name]}")
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
    parser.add_argument("--first-seed", type=int, default=0, help="the seeds are first-seed, first-seed + 1, ...")
    parser.add_argument("--noise", type=float, default=0.3, help="corner noise, pixels per axis")
    parser.add_argument("--offset-sigma", type=float, default=0.05, help="joint zero offsets, deg (1-sigma)")
    parser.add_argument("--full-offset-sigma", type=float, default=0.1,
                        help="joint zero offsets beside the link errors, deg (1-sigma)")
    parser.add_argument("--link-sigma", type=float, default=0.3, help="link lengths d and r, mm (1-sigma)")
    parser.add_argument("--twist-sigma", type=float, default=0.01, help="link twists alpha, deg (1-sigma)")
    parser.add_argument("--repeatability", type=float, nargs=2, default=(0.05, 0.005), metavar=("MM", "DEG"),
                        help="the arm's repeatability per flange axis in the section that adds it")
    parser.add_argument("--held-out-seeds", type=int, default=5, help="seeds of the leave-one-out section")
    parser.add_argument("--quick", action="store_true", help="3 seeds, 1 leave-one-out seed: checks the script runs")
    args = parser.parse_args()
    if args.quick:
        args.seeds, args.held_out_seeds = 3, 1
    _velk.set_log_sink(lambda level, component, message: None)
    chain, seven = arm_chain(), kinematic_scenes.seven_joint_chain()
    arms = ((chain, "6-axis arm, eye-in-hand", lambda seed, noise, truth, mode: arm_scene(seed, noise, truth,
                                                                                        mode=mode)),
            (seven, "7-joint arm (modified DH), eye-in-hand", seven_joint_scene))
    offsets_label = f"joint zero offsets N(0, {args.offset_sigma} deg) per joint"
    full_label = (f"joint zero offsets N(0, {args.full_offset_sigma} deg), link lengths d, r N(0, {args.link_sigma} "
                  f"mm), twists N(0, {args.twist_sigma} deg)")
    for title, mode, sigmas, truth_label in (
            ("Joint zero offsets", "offsets", (args.offset_sigma, 0.0, 0.0), offsets_label),
            ("Exact kinematics", "offsets", (0.0, 0.0, 0.0), "joint zero offsets N(0, 0.0 deg) per joint"),
            ("Joint zero offsets and link errors", "full", (args.full_offset_sigma, args.link_sigma, args.twist_sigma),
             full_label),
            ("Exact kinematics", "full", (0.0, 0.0, 0.0), "no corrections")):
        for arm_chain_, arm_label, scene_of in arms:
            rows = []
            for seed in range(args.first_seed, args.first_seed + args.seeds):
                truth = drawn_corrections(arm_chain_, seed, mode, *sigmas)
                # In full mode the pictures cannot tell some corrections apart: what the determined ones stand
                # for is told by the same pictures with their corners almost free of noise.
                reference = scene_of(seed, 1e-3, truth, mode) if mode == "full" else None
                rows.append(run_seed(scene_of(seed, args.noise, truth, mode), truth, arm_chain_, mode, reference,
                                     timing=True))
            summarise(rows, title, truth_label, args, arm_label, mode=mode,
                      told="the truth" if mode == "offsets" else "the noise-free fit")
            print()
    noisy_rows = []
    for seed in range(args.first_seed, args.first_seed + args.seeds):
        offsets = drawn_corrections(chain, seed, "offsets", args.offset_sigma)
        noisy_rows.append(run_seed(arm_scene(seed, args.noise, offsets, args.repeatability), offsets, chain))
    summarise(noisy_rows, f"Joint zero offsets and repeatability {args.repeatability[0]} mm, "
              f"{args.repeatability[1]} deg per flange axis", offsets_label, args)
    print()
    ur_chain = kinematic_scenes.ur_like_chain()
    for eye_to_hand, arm_label, mount in ((False, "UR-like arm, eye-in-hand", "tcp_T_camera"),
                                          (True, "UR-like arm, eye-to-hand", "robot_T_camera")):
        rows = []
        for seed in range(args.first_seed, args.first_seed + args.seeds):
            offsets = drawn_corrections(ur_chain, seed, "offsets", args.offset_sigma)
            rows.append(run_seed(ur_like_scene(seed, args.noise, offsets, eye_to_hand), offsets, ur_chain))
        summarise(rows, "Joint zero offsets", offsets_label, args, arm_label, mount)
        print()
    held_out(args.held_out_seeds, args.noise, args.offset_sigma, chain)


if __name__ == "__main__":
    main()
