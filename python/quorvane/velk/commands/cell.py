"""``velk cell``: several cameras around one robot, calibrated at once from a dataset of camera folders that
share one list of robot poses."""

from __future__ import annotations

from pathlib import Path

import numpy as np

import _velk

from .. import records
from ..datasets import load_cell_folder
from ..verdict import judge_cell
from . import common, library_log, output_paths
from .errors import UsageError

METHODS = tuple(sorted(_velk.hand_eye_method_by_name_map()))


def add_parser(commands, common_options) -> None:
    parser = commands.add_parser(
        "cell", parents=[common_options],
        help="several cameras around one robot at once: a dataset folder with cam_0, cam_1, ... pictured at shared "
             "robot poses")
    parser.add_argument("dataset", metavar="DATASET_DIR")
    common.add_target_option(parser)
    parser.add_argument("--eye-to-hand", action="store_true",
                        help="the cameras stand still and the robot holds the board on its flange (default: the "
                             "cameras ride on the flange and the board stands still)")
    parser.add_argument("--intrinsics", action="append", default=[], metavar="CAMERA=FILE",
                        help="given intrinsics of one camera (cam_1=intrinsics.json; a ROS camera_info or OpenCV "
                             "FileStorage file too); repeat for each; cameras without one are calibrated from their "
                             "pictures")
    parser.add_argument("--method", default="TSAI", choices=METHODS,
                        help="closed-form hand-eye solver each camera starts from (default: TSAI)")
    common.add_threshold_option(parser, _velk.IntrinsicOptions().per_view_error_threshold)
    parser.add_argument("-o", "--output", help="folder or file for cell.json (default: DATASET_DIR)")
    common.add_report_option(parser)
    common.add_validate_option(parser)
    common.add_camera_model_option(parser)
    parser.set_defaults(run=run)


def given_intrinsics(args, camera_names) -> list:
    """Per camera, (matrix, distortion) of --intrinsics, or None."""
    given = {}
    for entry in args.intrinsics:
        name, separator, path = entry.partition("=")
        if not separator or not path:
            raise UsageError(f"cell: --intrinsics takes CAMERA=FILE (cam_0=intrinsics.json), got {entry!r}")
        if name not in camera_names:
            raise UsageError(f"cell: --intrinsics names {name!r}, which is none of the cameras "
                             f"({', '.join(camera_names)})")
        if name in given:
            raise UsageError(f"cell: --intrinsics gives {name} twice")
        matrix, distortion, model = records.load_camera(path)
        chosen = args.camera_model or "pinhole"
        if model != chosen:
            raise UsageError(f"cell: {path} holds {model} intrinsics but the cameras are calibrated with the {chosen} "
                             "model; give --camera-model to match")
        given[name] = (matrix, distortion)
    return [given.get(name) for name in camera_names]


def camera_options(args, data) -> list:
    """IntrinsicOptions per camera, naming its pictures by their files ("" where it took none)."""
    return [common.intrinsic_options(args, _velk.IntrinsicOptions(), names=[name or "" for name in names])
            for names in data.image_names]


def pictures(data) -> list:
    """Every camera's pictures, an empty picture where it took none."""
    empty = np.empty((0, 0), np.uint8)
    return [[empty if image is None else image for image in images] for images in data.image_lists]


def _transform_line(name: str, transform, sigma) -> str:
    t = np.asarray(transform)[:3, 3] * 1000.0
    return (f"  {name}: [{t[0]:.2f}, {t[1]:.2f}, {t[2]:.2f}] mm +- {sigma.translation_norm_mm:.3f} mm, "
            f"rotation +- {sigma.rotation_norm_deg:.4f} deg")


def mount_name(eye_to_hand: bool) -> tuple[str, str]:
    """How the two mount frames are called: the cameras', the board's."""
    return ("robot", "tcp") if eye_to_hand else ("tcp", "world")


def result_lines(result) -> list[str]:
    """The cameras, their pairs and the robot's noise as the console shows them."""
    refinement = result.refinement
    names = list(result.camera_names)
    camera_frame, target_frame = mount_name(result.eye_to_hand)
    lines = [f"Calibrated {len(names)} cameras at {len(refinement.pose_camera_counts)} robot poses "
             f"({'stationary cameras' if result.eye_to_hand else 'cameras on the flange'}):"]
    for name, transform, sigma, rms in zip(names, refinement.camera_mount_T_camera_list, refinement.camera_sigmas,
                                           refinement.camera_rms_px):
        lines.append(_transform_line(f"{camera_frame}_T_{name}", transform, sigma) + f"; {rms:.3f} px RMS")
    lines.append(_transform_line(f"{target_frame}_T_target", refinement.target_mount_T_target,
                                 refinement.target_sigma))
    if refinement.camera_pairs:
        lines.append("Camera to camera (1-sigma from the joint solve):")
    for pair in refinement.camera_pairs:
        lines.append(_transform_line(f"{names[pair.first]}_T_{names[pair.second]}", pair.first_T_second, pair.sigma))
    lines.append(f"Robot pose noise {refinement.robot_translation_noise_mm:.3f} mm / "
                 f"{refinement.robot_rotation_noise_deg:.4f} deg per axis, shared by the cameras at each pose; "
                 f"corner noise {refinement.pixel_noise_px:.3f} px")
    for name, validation in zip(names, result.validations):
        for line in common.held_out_lines(validation):
            lines.append(f"{name}: " + line.replace("frame ", "pose "))
    return lines


def summary_of(result):
    from ..report.summary import Check, SavedTransform, Summary

    refinement = result.refinement
    names = list(result.camera_names)
    camera_frame, target_frame = mount_name(result.eye_to_hand)
    summary = Summary()
    for name, transform, sigma in zip(names, refinement.camera_mount_T_camera_list, refinement.camera_sigmas):
        summary.transforms.append(SavedTransform(f"{camera_frame}_T_{name}", transform, sigma))
    summary.transforms.append(SavedTransform(f"{target_frame}_T_target", refinement.target_mount_T_target,
                                             refinement.target_sigma))
    for pair in refinement.camera_pairs:
        summary.transforms.append(SavedTransform(f"{names[pair.first]}_T_{names[pair.second]}", pair.first_T_second,
                                                 pair.sigma))
    summary.rms_px = refinement.rms_px
    summary.rms_detail = f"over {refinement.corner_count} corners of {len(names)} cameras (joint solve)"
    summary.checks.append(Check("Robot pose noise", None,
                                f"{refinement.robot_translation_noise_mm:.3f} mm / "
                                f"{refinement.robot_rotation_noise_deg:.4f} deg per axis"))
    return summary


def board_points(result, robot_T_tcp_list) -> np.ndarray | None:
    """Where the board stood in the cameras' mount frame at each pictured robot pose (stationary cameras); None
    for cameras on the flange, whose board stands still."""
    if not result.eye_to_hand:
        return None
    target = np.asarray(result.refinement.target_mount_T_target)
    counts = result.refinement.pose_camera_counts
    return np.array([(np.asarray(pose) @ target)[:3, 3] for pose, count in zip(robot_T_tcp_list, counts) if count])


def report_sections(result, data, verdict):
    from ..report import sections

    refinement = result.refinement
    names = list(result.camera_names)
    parts = [sections.summary_section(summary_of(result), verdict),
             sections.cell_section(refinement.camera_mount_T_camera_list, names,
                                   board_points(result, data.robot_T_tcp_list), result.eye_to_hand)]
    for name, validation in zip(names, result.validations):
        if validation.validated:
            section = sections.held_out_section(validation, lambda pose: f"pose {pose}")
            section.key, section.heading = f"held-out-{name}", f"{section.heading}: {name}"
            parts.append(section)
    for k, (name, start) in enumerate(zip(names, result.starts)):
        matrix = np.asarray(refinement.intrinsic_matrices[k])
        if matrix.shape == (3, 3):
            parts.append(sections.distortion_section(matrix, refinement.distortion_coefficients_list[k],
                                                     data.image_size(k), None, name, camera_model=start.camera_model))
    return parts


def run(args) -> int:
    output_paths.check_outputs("cell", {
        "-o": output_paths.result_file(args.output or args.dataset, "cell.json"), "--report": args.report},
        {"a file of the dataset": output_paths.dataset_files(args.dataset), "the --target file": args.target})
    printed, target = common.load_target(args)
    progress = common.progress_for(args)
    data = load_cell_folder(args.dataset, progress)
    intrinsics = given_intrinsics(args, data.camera_names)
    options = camera_options(args, data)
    with library_log.held(args.quiet):
        result = _velk.CellCalibrator(target).calibrate(
            data.robot_T_tcp_list, pictures(data), eye_to_hand=args.eye_to_hand, camera_names=data.camera_names,
            intrinsics=intrinsics, options=options, method=args.method, validate=args.validate)
    if not result.ok:
        common.fail(f"the cell was not calibrated: {result.reason}")
    for line in result_lines(result):
        print(line)
    if not args.quiet:
        print(f"Positions are in the target's lengths: {common.scale_note(printed)}")
    verdict = judge_cell(result)
    parts = report_sections(result, data, verdict)
    common.take_warnings(verdict, parts)
    annotated = records.annotated(_velk.io.cell_calibration_record(result),
                                  {"units": {"translation": "m", "pixels": "px", "sigma": "mm, deg"},
                                   "verdict": verdict})
    output = Path(args.output) if args.output else Path(args.dataset)
    # A record that fails its checks is saved, but not reported as a success.
    with library_log.held(args.quiet, success=verdict.ok):
        record = _velk.io.save_cell_calibration(output, annotated)
    print(verdict.summary(), end="")
    print(f"Result written to {record}" + ("" if verdict.ok else " (marked as failing its checks)"))
    if args.report:
        common.write_report(args.report, "Cell calibration", parts)
    return verdict.code
