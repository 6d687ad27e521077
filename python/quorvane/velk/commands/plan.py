"""``velk plan``: flange poses chosen before going to the robot, with the predicted 1-sigma after each.

A new plan chooses N poses from candidates spread over the workspace (or read from a file of
reachable poses); ``--next K DATASET_DIR`` chooses the K poses that best continue a capture.
With ``--model`` the plan is one of joint configurations through the arm's chain (:mod:`.plan_kinematics`).
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

import _velk

from .. import planning
from ..datasets import load_poses
from ..pose_import import FORMATS, QUATERNION_ORDERS, UNITS, read_pose_file
from ..records import load_camera
from . import common, numbers, output_paths, plan_kinematics
from .errors import UsageError


def add_parser(commands, common_options) -> None:
    """Adds ``velk plan`` and its options."""
    parser = commands.add_parser("plan", parents=[common_options],
                                 help="choose hand-eye robot poses before capturing, with their predicted 1-sigma")
    common.add_target_option(parser)
    parser.add_argument("--eye-to-hand", action="store_true", help="stationary camera, board on the flange")
    camera = parser.add_mutually_exclusive_group(required=True)
    camera.add_argument("--intrinsics", metavar="FILE",
                        help="intrinsics.json of the camera, a ROS camera_info YAML or an OpenCV FileStorage YAML/XML")
    camera.add_argument("--fov", type=numbers.positive, metavar="DEG",
                        help="horizontal field of view of a guessed camera")
    parser.add_argument("--image-size", type=int, nargs=2, metavar=("W", "H"), default=(1280, 960),
                        help="image size in pixels (default: 1280 960)")
    parser.add_argument("--given-intrinsics", action="store_true",
                        help="the calibration will use these intrinsics as exact (default: estimated with it)")
    parser.add_argument("--fixed", type=numbers.finite, nargs=6, required=True,
                        metavar=("X", "Y", "Z", "RX", "RY", "RZ"),
                        help="approximate pose (m, deg) of the board in the robot base frame (eye-in-hand) or of "
                             "the camera in the robot base frame (eye-to-hand)")
    parser.add_argument("--hand-eye", type=numbers.finite, nargs=6, default=(0, 0, 0, 0, 0, 0),
                        metavar=("X", "Y", "Z", "RX", "RY", "RZ"),
                        help="approximate tcp_T_camera (eye-in-hand) or tcp_T_target (eye-to-hand) (default: identity)")
    parser.add_argument("--pixel-noise", type=numbers.finite, default=planning.DEFAULT_PIXEL_NOISE_PX, metavar="PX",
                        help="expected corner noise (default: %(default)g px)")
    parser.add_argument("--robot-noise", type=numbers.finite, nargs=2, default=planning.DEFAULT_ROBOT_NOISE,
                        metavar=("MM", "DEG"), help="expected robot pose noise per axis (default: 0.3 mm 0.03 deg)")
    parser.add_argument("--noise-from", metavar="RESULT_JSON",
                        help="take both noise levels from an earlier refined calibration instead")
    parser.add_argument("--poses", type=int, default=12, help="number of poses to plan (default: %(default)s)")
    parser.add_argument("--next", nargs=2, metavar=("K", "DATASET_DIR"),
                        help="the K next best poses after those already captured in DATASET_DIR")
    _add_workspace_options(parser)
    parser.add_argument("--format", default="xyz-quat", choices=FORMATS,
                        help="pose file format, as velk poses import reads it (default: xyz-quat, wxyz order)")
    parser.add_argument("--predict", metavar="POSES_FILE",
                        help="predict the 1-sigma of the flange poses in this file (read as --candidate-file is) "
                             "instead of planning")
    parser.add_argument("-o", "--output", metavar="POSES_CSV",
                        help="file for the planned poses (required to plan); with --model, the joint table, the "
                             "flange poses beside it as <name>-flange-poses.csv")
    common.add_report_option(parser)
    plan_kinematics.add_options(parser)
    parser.set_defaults(run=run)


def _add_workspace_options(parser) -> None:
    parser.add_argument("--candidates", type=int, default=400, help="candidate poses to choose from (default: 400)")
    parser.add_argument("--distance", type=numbers.positive, nargs=2, default=(0.3, 0.8), metavar=("MIN", "MAX"),
                        help="camera distance from the board centre in m (default: 0.3 0.8)")
    parser.add_argument("--tilt", type=numbers.finite, nargs=2, default=(10.0, 45.0), metavar=("MIN", "MAX"),
                        help="tilt of the line of sight from the board normal in deg (default: 10 45)")
    parser.add_argument("--roll", type=numbers.finite, default=25.0, metavar="DEG",
                        help="largest turn about the optical axis (default: 25 deg)")
    parser.add_argument("--box", type=numbers.finite, nargs=6, metavar=("XMIN", "YMIN", "ZMIN", "XMAX", "YMAX", "ZMAX"),
                        help="flange positions allowed, in the robot base frame (m)")
    parser.add_argument("--flange-tilt", type=numbers.finite, metavar="DEG",
                        help="largest angle of the flange's z axis from straight down (the robot base's -z)")
    parser.add_argument("--axes", default="xyz", choices=("xyz", "z", "none"),
                        help="the axes the flange turns about: xyz (default) every one; z the vertical one only, as a "
                             "SCARA or 4-axis arm with its tool pointing down (candidates turn about the base's z "
                             "axis; the offset along it, which such poses cannot determine, is taken as measured and "
                             "the plan is for the rest); none, as a gantry (candidates only translate; the whole "
                             "offset is taken as measured)")
    parser.add_argument("--candidate-file", metavar="FILE",
                        help="reachable flange poses to choose from instead (CSV or JSON, as velk poses import reads)")
    parser.add_argument("--candidate-format", default="xyz-quat", choices=FORMATS)
    parser.add_argument("--candidate-units", default="m", choices=tuple(UNITS))
    parser.add_argument("--candidate-quat-order", default="wxyz", choices=QUATERNION_ORDERS)


def _noise(args):
    if args.noise_from is None:
        return args.pixel_noise, tuple(args.robot_noise)
    load = _velk.io.load_eye_to_hand_result if args.eye_to_hand else _velk.io.load_hand_eye_result
    refinement = load(args.noise_from).refinement
    noise = refinement.robot_noise if refinement is not None else None
    if noise is None:
        raise UsageError(f"plan: {args.noise_from} holds no robot noise estimate (calibrate with refinement first)")
    return noise.pixel_px, (noise.translation_mm, noise.rotation_deg)


def previous_record(args) -> Path | None:
    """The calibration record of the --next dataset (hand_eye.json or eye_to_hand.json, by the set-up) that holds
    an estimate of the robot's noise, else None."""
    if args.next is None:
        return None
    path = Path(args.next[1]) / ("eye_to_hand.json" if args.eye_to_hand else "hand_eye.json")
    if not path.is_file():
        return None
    load = _velk.io.load_eye_to_hand_result if args.eye_to_hand else _velk.io.load_hand_eye_result
    try:
        refinement = load(str(path)).refinement
    except (RuntimeError, ValueError):
        return None
    return path if refinement is not None and refinement.robot_noise is not None else None


def noise_notes(args) -> tuple[str, list[str]]:
    """Where the plan's noise levels come from, and (as warnings) a calibration record of the dataset whose
    estimate of the robot's noise the plan did not use."""
    pixel, (mm, deg) = _noise(args)
    if args.noise_from:
        return (f"Noise levels from {args.noise_from}: robot {mm:.2f} mm / {deg:.3f} deg per axis, corners "
                f"{pixel:.2f} px."), []
    given = tuple(args.robot_noise) != tuple(planning.DEFAULT_ROBOT_NOISE)
    note = (f"Robot noise {mm:g} mm / {deg:g} deg per axis ({'as given' if given else 'the default'}) and corner noise "
            f"{pixel:g} px are assumptions: the predicted 1-sigma grows with them.")
    record = previous_record(args)
    if record is None:
        return note, []
    load = _velk.io.load_eye_to_hand_result if args.eye_to_hand else _velk.io.load_hand_eye_result
    noise = load(str(record)).refinement.robot_noise
    ratio = max(noise.translation_mm / mm, noise.rotation_deg / deg)
    return note, [f"Robot noise: {record} estimated this robot's noise at {noise.translation_mm:.2f} mm / "
                  f"{noise.rotation_deg:.3f} deg per axis ({ratio:.1f} x the {mm:g} mm / {deg:g} deg assumed): plan "
                  f"with --noise-from {record}"]


def build_scene(args):
    """The plan scene of the command line."""
    printed, _ = common.load_target(args)
    if args.intrinsics:
        matrix, distortion, model = load_camera(args.intrinsics)
        if model != "pinhole":
            raise UsageError(f"plan: {args.intrinsics} describes a {model} camera; the planner predicts through "
                             "the pinhole model only")
    else:
        matrix, distortion = planning.guess_camera_matrix(args.image_size, args.fov), np.zeros((1, 5))
    pixel, robot = _noise(args)
    if not (pixel > 0 and min(robot) > 0):
        raise UsageError("plan: the corner and robot noise levels must be positive")
    fixed = _velk.tf.pose_to_transformation_matrix(list(args.fixed))
    hand_eye = _velk.tf.pose_to_transformation_matrix(list(args.hand_eye))
    camera, target = (fixed, hand_eye) if args.eye_to_hand else (hand_eye, fixed)
    return planning.make_scene(matrix, distortion, args.image_size, planning.target_corners(printed),
                               args.eye_to_hand, camera, target, pixel, robot, not args.given_intrinsics)


def candidate_poses(args, scene) -> list:
    """The flange poses to choose from: a file of reachable poses, or poses spread over the workspace."""
    if args.candidate_file:
        return read_pose_file(args.candidate_file, args.candidate_format, args.candidate_units,
                              args.candidate_quat_order)
    if args.axes != "xyz":
        return planning.restricted_candidates(scene, args.candidates, "scara" if args.axes == "z" else "gantry")
    box = None if args.box is None else (tuple(args.box[:3]), tuple(args.box[3:]))
    workspace = planning.Workspace(tuple(args.distance), tuple(args.tilt), args.roll, box, args.flange_tilt)
    printed, _ = common.load_target(args)
    poses = planning.workspace_candidates(scene, workspace, args.candidates, planning.printed_face_side(printed))
    if not poses:
        raise UsageError("plan: no candidate pose puts the flange inside the --box and --flange-tilt")
    return poses


def _count_and_captured(args):
    if args.next is None:
        return args.poses, []
    try:
        count = int(args.next[0])
    except ValueError:
        raise UsageError(f"plan: --next takes a number of poses and a dataset folder, got {args.next[0]!r}") from None
    return count, load_poses(Path(args.next[1]))


def predict(args, scene) -> int:
    """Prints the corners each given flange pose sees and the predicted 1-sigma of the calibration from them."""
    poses = read_pose_file(args.predict, args.candidate_format, args.candidate_units, args.candidate_quat_order)
    prediction = _velk.predict_hand_eye(scene, poses)
    for k, (corners, usable) in enumerate(zip(prediction.corners_seen, prediction.usable)):
        print(f"  pose {k + 1:3d}: {corners} corners seen{'' if usable else ' (too few: not used)'}")
    camera, target = ("robot_T_camera", "tcp_T_target") if args.eye_to_hand else ("tcp_T_camera", "robot_T_target")
    print(f"Predicted 1-sigma of {camera}: {planning.sigma_text(prediction.camera_sigma)}")
    print(f"Predicted 1-sigma of {target}: {planning.sigma_text(prediction.target_sigma)}")
    return 0


def check_outputs(args) -> None:
    """Refuses outputs that would overwrite an input or each other, before any work."""
    outputs = {"-o": args.output, "--report": args.report}
    if args.model and args.output:
        outputs["-o (its flange poses)"] = plan_kinematics.flange_pose_file(args.output)
    inputs = {"the --target file": args.target, "the --intrinsics file": args.intrinsics,
              "the --noise-from record": args.noise_from, "the --predict file": args.predict,
              "the --candidate-file": args.candidate_file, "the --model file": args.model,
              "a file of the --next dataset": output_paths.dataset_files(args.next[1]) if args.next else None}
    output_paths.check_outputs("plan", outputs, inputs)


def _known_sentence(known, flange: str) -> str:
    """What the plan takes as measured, and how to give it to velk hand-eye."""
    fixes = " ".join(f"--fix {k}=M" for k in known)
    if len(known) == 1:
        return (f"Every pose turns about one axis: {known[0]} of {flange} is not determined by such poses. The plan "
                f"takes it as measured and plans for the rest; give it to velk hand-eye with {fixes} or "
                f"--prior {known[0]}=M:SIGMA.")
    return (f"No pose turns against another: {', '.join(known)} of {flange} are not determined by such poses. The "
            f"plan takes them as measured and plans for the rest; give them to velk hand-eye with {fixes} (or "
            "--prior).")


def run(args) -> int:
    """Plans the poses, prints the predicted 1-sigma after each and writes the pose file (and the report)."""
    check_outputs(args)
    scene = build_scene(args)
    if args.model:
        return plan_kinematics.run(args, scene)
    if args.predict:
        return predict(args, scene)
    if not args.output:
        raise UsageError("plan: -o POSES_CSV is required to plan (or give --predict POSES_FILE)")
    count, captured = _count_and_captured(args)
    pool = planning.without_captured(candidate_poses(args, scene), captured)
    if count < 1:
        raise UsageError("plan: the number of poses to plan must be at least 1")
    known = planning.undetermined_translations(captured + pool)
    if known:
        flange = "tcp_T_target" if args.eye_to_hand else "tcp_T_camera"
        scene.known_components = known
        print(_known_sentence(known, flange))
    plan = _velk.plan_hand_eye(scene, pool, count, captured)
    chosen = [pool[step.candidate] for step in plan.steps]
    print(f"{plan.usable_candidates} of {len(pool)} candidate poses see enough of the board"
          + (f"; {len(captured)} poses already captured" if captured else ""))
    if captured:
        ranking = _velk.rank_next_poses(scene, captured, pool)
        now = planning.sigma_text(ranking.current) if ranking.current_determined else "not yet determined"
        print(f"  with the {len(captured)} captured poses: {now}")
    print("Predicted 1-sigma of the hand-eye transform after each added pose:")
    for k, step in enumerate(plan.steps):
        total = len(captured) + k + 1
        text = planning.sigma_text(step.camera_sigma) if step.determined else "not yet determined"
        print(f"  {total:3d} poses: {text} ({plan.corners_seen[step.candidate]} corners seen)")
    written = planning.write_poses(args.output, chosen, args.format)
    print(f"Planned poses written to {written} ({import_command(args, written)})")
    note, warnings = noise_notes(args)
    print(note)
    for warning in warnings:
        print(f"WARNING: {warning}")
    if args.report:
        from ..report import sections

        corners = [plan.corners_seen[step.candidate] for step in plan.steps]
        common.write_report(args.report, "Hand-eye capture plan",
                            sections.plan_sections(scene, captured, chosen, plan.steps, corners, note, warnings))
    return 0


def import_command(args, written: Path) -> str:
    """The command that brings the planned poses into a dataset: appended to the --next capture (never replacing
    it), or into a new dataset folder."""
    if args.next is not None:
        return f"velk poses import {written} --format {args.format} --append -o {args.next[1]}"
    return f"velk poses import {written} --format {args.format} -o NEW_DATASET_DIR"
