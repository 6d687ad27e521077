"""``velk hand-eye --model``: the hand-eye calibrated through the arm's kinematic chain, from the joint readings
of every picture.

The flange poses come from the joint readings through the nominal chain; the calibration through the chain then
estimates the corrections the pictures determine (joint zero offsets, or with ``--kinematics full`` the links'
geometry too) beside the hand-eye, and predicts every picture from fits without it, with the nominal chain and
with the calibrated one. The saved transforms are the chain calibration's when its chain predicts clearly better.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np

import _velk
from _velk import kinematics as _kinematics

from .. import kinematic_hand_eye as khe
from ..datasets import POSE_FILE, load_poses, warn
from ..joint_table import ANGLE_UNITS, JOINT_FILE, JointTableError, joint_values, read_joint_table
from ..kinematic_models import UrdfChain, load_model, write_corrected_urdf, write_corrections_yaml
from .errors import UsageError
from .kinematics import parameter_line

#: Above this many pictures the held-out prediction leaves out a tenth at a time rather than one picture.
MAX_LEAVE_ONE_OUT = 20


def add_options(parser) -> None:
    group = parser.add_argument_group("the arm's kinematics (with --model: calibrated with the hand-eye from the "
                                      "joint readings of every picture)")
    group.add_argument("--model", metavar="FILE",
                       help="the arm's nominal chain: a DH table (.yaml) or a URDF (with --base-link and "
                            "--flange-link); the flange poses then come from the joint readings")
    group.add_argument("--base-link", help="URDF link the chain starts from (the robot's base frame)")
    group.add_argument("--flange-link", help="URDF link the chain ends at (the flange the camera or board is on)")
    group.add_argument("--joints", metavar="FILE",
                       help=f"joint readings, row k for image_k (default: {JOINT_FILE} in DATASET_DIR)")
    group.add_argument("--joint-units", "--units", dest="joint_units", choices=tuple(ANGLE_UNITS), default="rad",
                       help="units of the revolute joints' readings (default: rad; prismatic ones in m)")
    group.add_argument("--kinematics", choices=("offsets", "full"), default="offsets",
                       help="offsets: the joints' zero offsets; full: the links' lengths, offsets and twists as "
                            "well (default: offsets)")
    group.add_argument("--kinematics-output", metavar="FILE",
                       help="write the chain's corrections and the transforms as YAML")
    group.add_argument("--urdf-output", metavar="FILE", help="write the URDF with corrected joint origins")


@dataclass
class ChainInputs:
    """The nominal chain, every pose's joint readings and its flange pose through the nominal chain."""

    model: object  # KinematicChain, or UrdfChain
    joints: np.ndarray
    robot_T_flange_list: list

    @property
    def chain(self):
        return self.model.chain if isinstance(self.model, UrdfChain) else self.model


def check_options(args) -> None:
    """Refuses the chain's options without --model, and --urdf-output without a URDF."""
    if args.model is None:
        given = [name for name in ("base_link", "flange_link", "joints", "kinematics_output", "urdf_output")
                 if getattr(args, name) is not None]
        if given:
            raise UsageError(f"hand-eye: --{given[0].replace('_', '-')} needs --model (the arm's nominal chain)")
    elif args.urdf_output and Path(args.model).suffix.lower() in (".yaml", ".yml"):
        raise UsageError("hand-eye: --urdf-output needs a URDF model")
    elif not args.refine:
        raise UsageError("hand-eye: --model calibrates the chain with the hand-eye by refinement over every corner; "
                         "leave out --no-refine")
    elif getattr(args, "camera_model", None) == "fisheye":
        raise UsageError("hand-eye: --model takes pinhole cameras for now; a fisheye lens cannot be calibrated "
                         "through the chain yet")
    elif getattr(args, "fit_board_scale", False):
        raise UsageError("hand-eye: --fit-board-scale and --model cannot be combined: the calibration through the "
                         "chain solves at the target file's size (correct the target file instead)")


def load_inputs(args) -> ChainInputs | None:
    """The chain and the joint readings of --model and --joints (None without --model). When the dataset also
    holds robot poses, they are checked against the chain's (a warning when they differ beyond a tool offset)."""
    check_options(args)
    if args.model is None:
        return None
    try:
        model = load_model(args.model, args.base_link, args.flange_link)
    except (OSError, ValueError) as error:
        raise UsageError(f"hand-eye: --model {args.model}: {error}") from None
    chain = model.chain if isinstance(model, UrdfChain) else model
    path = Path(args.joints) if args.joints else Path(args.dataset) / JOINT_FILE
    if not path.is_file():
        raise UsageError(f"hand-eye: no joint readings at {path} (write them as {JOINT_FILE}, row k for image_k, "
                         "or name the file with --joints)")
    try:
        joints = joint_values(read_joint_table(path), chain, args.joint_units)
    except JointTableError as error:
        raise UsageError(f"hand-eye: {error}") from None
    flange_poses = [np.asarray(_kinematics.forward_kinematics(chain, list(map(float, q)))) for q in joints]
    inputs = ChainInputs(model, joints, flange_poses)
    _check_reported_poses(args, inputs)
    return inputs


def _check_reported_poses(args, inputs: ChainInputs) -> None:
    if not (Path(args.dataset) / POSE_FILE).is_file():
        return
    reported = load_poses(Path(args.dataset))
    if len(reported) != len(inputs.joints):
        raise UsageError(f"hand-eye: {POSE_FILE} holds {len(reported)} robot poses but the joint table "
                         f"{len(inputs.joints)} rows; both list one entry per pose k (image_k)")
    agreement = khe.flange_pose_agreement(inputs.robot_T_flange_list, reported)
    if not agreement.agrees:
        warn(agreement.sentence(inputs.chain.base_frame, inputs.chain.flange_frame))


@dataclass
class ChainCalibration:
    """The calibration through the chain of the views a hand-eye result used, and its held-out prediction."""

    result: object  # KinematicHandEyeResult
    held_out: dict
    folds: int
    helps: bool
    frames: list  # the positions in the dataset's pictures of the views used


def _used_corners(detections, result):
    found = list(detections.successful_indices)
    points = {k: (o, np.asarray(i).reshape(-1, 2))
              for k, o, i in zip(found, detections.object_points, detections.image_points)}
    return [k for k in range(len(result.valid_image_list)) if k in points], points


def calibrate(args, inputs: ChainInputs, detections, result, data) -> ChainCalibration:
    """The chain's corrections with the hand-eye from the corners ``detections`` found in the views ``result``
    used, started from its transforms, and every view predicted from fits without it (a tenth at a time beyond 20
    views)."""
    used, points = _used_corners(detections, result)
    positions = [list(result.image_indices)[k] for k in used]
    joints = [inputs.joints[data.capture_indices[p]] for p in positions]
    objects = [points[k][0] for k in used]
    pixels = [points[k][1] for k in used]
    K, D = result.intrinsic_matrix, result.distortion_coefficients
    refinement = result.refinement
    start = refinement.camera_mount_T_camera if result.refined and refinement is not None else (
        result.robot_T_camera if args.eye_to_hand else result.tcp_T_camera)
    options = _kinematics.KinematicHandEyeOptions()
    options.mode = args.kinematics
    if args.robot_noise is not None:
        options.refinement.robot_translation_sigma_mm, options.refinement.robot_rotation_sigma_deg = args.robot_noise
    fit = khe.calibrate(inputs.chain, joints, objects, pixels, K, D, eye_to_hand=args.eye_to_hand,
                        options=options, camera_mount_T_camera=start, view_frames=positions, log=False)
    folds = len(joints) if len(joints) <= MAX_LEAVE_ONE_OUT else 10
    held_out = khe.held_out_prediction(inputs.chain, joints, objects, pixels, K, D, eye_to_hand=args.eye_to_hand,
                                       mode=args.kinematics, folds=folds)
    return ChainCalibration(fit, held_out, folds, khe.model_helps(fit, held_out), positions)


def _sigma_list(sigma) -> list[float]:
    return [float(v) for v in (*sigma.translation_mm, *sigma.rotation_deg)]


def kinematics_record(args, inputs: ChainInputs, calibration: ChainCalibration) -> _velk.io.KinematicsRecord:
    """What the result record stores of the calibration through the chain."""
    fit = calibration.result
    record = _velk.io.KinematicsRecord()
    record.model, record.mode = str(args.model), args.kinematics
    record.base_frame, record.flange_frame = inputs.chain.base_frame, inputs.chain.flange_frame
    parameters = []
    for p in fit.parameters:
        entry = _velk.io.KinematicParameterRecord()
        entry.name, entry.unit, entry.value = p.name, "rad" if p.angular else "m", float(p.value)
        entry.estimated, entry.held = bool(p.estimated), "" if p.estimated else p.held_reason
        entry.sigma = float(p.sigma) if p.estimated else None
        parameters.append(entry)
    record.parameters = parameters
    refinement = fit.refinement
    record.camera_mount_T_camera = [np.asarray(refinement.camera_mount_T_camera)]
    record.target_mount_T_target = [np.asarray(refinement.target_mount_T_target)]
    record.camera_sigma = _sigma_list(refinement.camera_sigma)
    record.target_sigma = _sigma_list(refinement.target_sigma)
    record.corrected_flange_poses = [_flange_pose(args, np.asarray(m)) for m in fit.robot_T_tcp_list]
    record.chi_square, record.chi_square_limit = float(fit.chi_square), float(fit.chi_square_limit)
    prediction = _velk.io.KinematicPredictionRecord()
    nominal, calibrated = calibration.held_out["nominal"], calibration.held_out["calibrated"]
    prediction.folds = calibration.folds
    prediction.nominal_px, prediction.calibrated_px = nominal.rms_px, calibrated.rms_px
    prediction.nominal_mm = float(np.median(nominal.position_mm))
    prediction.calibrated_mm = float(np.median(calibrated.position_mm))
    prediction.nominal_deg = float(np.median(nominal.orientation_deg))
    prediction.calibrated_deg = float(np.median(calibrated.orientation_deg))
    record.held_out = prediction
    record.helps = record.applied = calibration.helps
    return record


def _flange_pose(args, pose: np.ndarray) -> np.ndarray:
    return pose if args.eye_to_hand else np.linalg.inv(pose)


def apply_to_record(record, eye_to_hand: bool, calibration: ChainCalibration) -> None:
    """Puts the chain calibration's transforms and their 1-sigma in the result record's place (when it helps)."""
    refinement = calibration.result.refinement
    mount, target = np.asarray(refinement.camera_mount_T_camera), np.asarray(refinement.target_mount_T_target)
    if eye_to_hand:
        record.robot_T_camera_list = [mount]
        record.tcp_T_target = target
    else:
        record.tcp_T_camera_list = [mount]
    if record.refinement is not None:
        stored = record.refinement
        stored.pose_sigmas = [_sigma_list(refinement.camera_sigma)]
        stored.target_poses = [target]
        stored.target_pose_sigmas = [_sigma_list(refinement.target_sigma)]
        stored.per_view_rms_px = list(refinement.per_view_rms_px)
        stored.rms_px = float(refinement.rms_px)
        record.refinement = stored


def lines(args, calibration: ChainCalibration) -> list[str]:
    """The corrections, the held parameters and the held-out prediction with both chains."""
    fit = calibration.result
    estimated = [p for p in fit.parameters if p.estimated]
    held = [p for p in fit.parameters if not p.estimated]
    out = [f"Kinematic calibration ({args.kinematics}) through {args.model} from {len(calibration.frames)} views"]
    out.append("Estimated corrections (1-sigma):" if estimated else "Estimated corrections: none")
    out += [parameter_line(p) for p in estimated]
    if held:
        out.append("Undetermined or not significant, held at their nominal values:")
        out += [f"  {p.name}: {p.held_reason}" for p in held]
    if fit.chi_square_limit > 0:
        out.append(f"  corrections against zero: chi-square {fit.chi_square:.1f} (95 % limit "
                   f"{fit.chi_square_limit:.1f})")
    nominal, calibrated = calibration.held_out["nominal"], calibration.held_out["calibrated"]
    what = "each view left out" if calibration.folds == len(calibration.frames) else \
        f"{calibration.folds} folds"
    out.append(f"Held-out prediction ({what}):")
    out.append(f"  {'chain':<12} {'RMS px':>8} {'median mm':>10} {'median deg':>11}")
    for name, errors in (("nominal", nominal), ("calibrated", calibrated)):
        out.append(f"  {name:<12} {errors.rms_px:>8.3f} {np.median(errors.position_mm):>10.3f} "
                   f"{np.median(errors.orientation_deg):>11.4f}")
    out.append(helps_sentence(calibration))
    return out


def helps_sentence(calibration: ChainCalibration) -> str:
    nominal, calibrated = calibration.held_out["nominal"].rms_px, calibration.held_out["calibrated"].rms_px
    if calibration.helps:
        return (f"The calibrated chain predicts held-out pictures {nominal / calibrated:.1f}x better "
                f"({calibrated:.3f} px against {nominal:.3f} px): the saved transforms are solved through it")
    return (f"The calibrated chain does not predict held-out pictures clearly better ({calibrated:.3f} px against "
            f"{nominal:.3f} px with the nominal chain): the saved transforms are those of the nominal chain")


def write_outputs(args, inputs: ChainInputs, calibration: ChainCalibration) -> list[str]:
    """Writes --kinematics-output and --urdf-output; the lines naming what was written."""
    written = []
    refinement = calibration.result.refinement
    names = ("robot_T_camera", "tcp_T_target") if args.eye_to_hand else ("tcp_T_camera", "world_T_target")
    if args.kinematics_output:
        write_corrections_yaml(args.kinematics_output, calibration.result, args.kinematics,
                               {names[0]: refinement.camera_mount_T_camera,
                                names[1]: refinement.target_mount_T_target})
        written.append(f"Wrote {args.kinematics_output}")
    if args.urdf_output:
        write_corrected_urdf(args.urdf_output, inputs.model, calibration.result.corrected_chain)
        written.append(f"Wrote {args.urdf_output}")
    return written
