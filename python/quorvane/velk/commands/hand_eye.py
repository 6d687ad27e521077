"""``velk hand-eye``: the eye-in-hand transform tcp_T_camera from a dataset folder."""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import numpy as np

import _velk

from ..datasets import load_hand_eye_folder
from ..records import load_intrinsics
from . import common
from .errors import UsageError

#: The library's hand-eye solvers by name, the robot-world ones (which also give the target pose) included.
METHODS = tuple(sorted({**_velk.hand_eye_method_by_name_map(), **_velk.robot_world_hand_eye_method_by_name_map()}))
#: Set-up name (as the diagnostics take it), calibrator class and record file name.
SETUPS = {
    False: ("eye-in-hand", _velk.EyeInHandCalibrator, "hand_eye.json"),
    True: ("eye-to-hand", _velk.EyeToHandCalibrator, "eye_to_hand.json"),
}


def add_parser(commands, common_options) -> None:
    parser = commands.add_parser("hand-eye", parents=[common_options],
                                 help="eye-in-hand calibration of a dataset folder (images and robot poses)")
    parser.add_argument("dataset", metavar="DATASET_DIR")
    common.add_target_option(parser)
    add_setup_option(parser)
    choice = parser.add_mutually_exclusive_group()
    choice.add_argument("--method", default="TSAI", choices=METHODS, help="hand-eye solver (default: TSAI)")
    choice.add_argument("--compare", action="store_true",
                        help="calibrate with TSAI and compare all five solvers on the same data")
    parser.add_argument("--intrinsics", metavar="FILE", help="intrinsics.json written by velk intrinsics "
                        "(ChArUco targets only; without it the intrinsics are calibrated from the images)")
    common.add_threshold_option(parser, _velk.IntrinsicOptions().per_view_error_threshold)
    parser.add_argument("-o", "--output",
                        help="folder or file for hand_eye.json or eye_to_hand.json (default: DATASET_DIR)")
    common.add_report_option(parser)
    common.add_refine_option(parser)
    common.add_validate_option(parser)
    parser.add_argument("--robot-noise", nargs=2, type=float, metavar=("MM", "DEG"),
                        help="hold the robot's pose error at MM and DEG per axis (1-sigma) in the refinement; "
                             "0 0 takes the robot poses as exact (default: estimated from the data)")
    parser.set_defaults(run=run)


def add_setup_option(parser) -> None:
    parser.add_argument("--eye-to-hand", action="store_true",
                        help="stationary camera, board on the flange: finds robot_T_camera and tcp_T_target")


def given_intrinsics(args):
    if not args.intrinsics:
        return np.empty((0, 0)), np.empty((0, 0))
    return load_intrinsics(args.intrinsics)


def refinement_options(args):
    options = _velk.RefinementOptions()
    if args.robot_noise is not None:
        translation_mm, rotation_deg = args.robot_noise
        if not (translation_mm >= 0 and rotation_deg >= 0) or math.isinf(translation_mm + rotation_deg):
            raise UsageError("hand-eye: --robot-noise takes two finite numbers of at least 0 (mm and deg per axis)")
        options.robot_translation_sigma_mm, options.robot_rotation_sigma_deg = translation_mm, rotation_deg
    return options


def compare_methods(target, result, threshold: float, setup: str):
    """All five solvers on the views and camera poses the calibration used."""
    results = _velk.diagnostics.compare_hand_eye_methods(
        target, result.valid_robot_T_tcp_list, result.valid_image_list, result.camera_T_target_list,
        result.intrinsic_matrix, result.distortion_coefficients, threshold, setup=setup)
    return results, _velk.diagnostics.format_method_comparison(results)


def frame_views(target, options, result):
    """Detections of the frames used and their reprojection errors under the calibration's camera poses."""
    from ..report.sections import frame_errors

    detections = _velk.IntrinsicCalibrator(target, options).find_corners(result.valid_image_list)
    errors = frame_errors(detections, result.camera_T_target_list, result.intrinsic_matrix,
                          result.distortion_coefficients)
    return detections, errors


def report_sections(target, options, result, report_text, comparison):
    from ..report import sections

    images = result.valid_image_list
    image_size = images[0].shape[1::-1]
    parts = [sections.report_text_section(report_text)]
    # Frames whose pose estimation failed leave the image list longer than the pose list.
    aligned = len(result.camera_T_target_list) == len(images)
    detections, errors = frame_views(target, options, result) if aligned else (None, [])
    if errors:
        labels = [f"frame {k}" for k in detections.successful_indices]
        worst = sections.worst_view(errors)
        frame = detections.successful_indices[worst]
        parts += [sections.view_error_section(errors, options.per_view_error_threshold, labels),
                  sections.residual_section(images[frame], detections.object_points[worst],
                                            detections.image_points[worst], result.intrinsic_matrix,
                                            result.distortion_coefficients, f"frame {frame} (largest error)"),
                  sections.coverage_section(detections.image_points, image_size)]
    parts.append(sections.distortion_section(result.intrinsic_matrix, result.distortion_coefficients, image_size))
    stats = _velk.diagnostics.analyze_rotation_variety(result.camera_T_target_list)
    parts.append(sections.rotation_section(result.camera_T_target_list, stats,
                                           _velk.diagnostics.format_rotation_variety(stats)))
    if result.has_consistency:
        parts.append(sections.consistency_section(result))
    refinement = result.refinement
    if refinement is not None and refinement.refined and refinement.robot_error_modelled:
        labels = [f"view {k}" for k in range(len(refinement.robot_pose_corrections))]
        parts.append(sections.robot_correction_section(refinement, labels))
    validation = result.validation
    if validation is not None and validation.validated:
        parts.append(sections.held_out_section(validation))
    if comparison is not None:
        parts.append(sections.method_section(*comparison))
    return parts


def run(args) -> int:
    printed, target = common.load_target(args)
    progress = common.progress_for(args)
    intrinsic_matrix, distortion = given_intrinsics(args)
    chosen_refinement = refinement_options(args)
    data = load_hand_eye_folder(args.dataset, progress)
    output = Path(args.output) if args.output else Path(args.dataset)
    method = "TSAI" if args.compare else args.method
    setup, calibrator_class, record_name = SETUPS[args.eye_to_hand]
    with progress.detection(common.intrinsic_options(args), len(data.images)) as options:
        calibrator = calibrator_class(target, options)
        result = calibrator.calibrate(data.robot_T_tcp_list, data.images, method,
                                      intrinsic_matrix=intrinsic_matrix, distortion_coefficients=distortion,
                                      output_path=output, refine=args.refine,
                                      refinement_options=chosen_refinement, validate=args.validate)
    if not result.ok:
        common.fail(f"hand-eye calibration used {len(result.valid_image_list)} of {len(data.images)} views; "
                    "it needs at least 4 views with the target found, within the error threshold and with "
                    "varied robot poses (see the log lines above)")
    comparison = None
    if args.compare:
        comparison = compare_methods(target, result, args.per_view_error_threshold, setup)
        print(comparison[1], end="")
    print(f"Result written to {output if output.suffix else output / record_name}")
    if args.report:
        options = common.intrinsic_options(args)
        title = "Eye-to-hand calibration" if args.eye_to_hand else "Eye-in-hand calibration"
        common.write_report(args.report, title,
                            report_sections(target, options, result, calibrator.format_results(), comparison))
    return 0
