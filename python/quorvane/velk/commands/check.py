"""``velk check``: rotation variety and solver agreement of a hand-eye dataset, before a long calibration."""

from __future__ import annotations

import numpy as np

import _velk

from ..datasets import load_hand_eye_folder
from ..solver_table import comparison_text
from ..verdict import judge_check
from . import common, library_log, output_paths
from .hand_eye import (
    add_setup_option,
    check_intrinsics_size,
    compare_intrinsics,
    dataset_inputs,
    given_intrinsics,
    setup_of,
)


def add_parser(commands, common_options) -> None:
    parser = commands.add_parser("check", parents=[common_options],
                                 help="rotation variety and method comparison verdicts of a hand-eye dataset")
    parser.add_argument("dataset", metavar="DATASET_DIR")
    common.add_target_option(parser)
    add_setup_option(parser)
    parser.add_argument("--intrinsics", metavar="FILE", help="intrinsics.json written by velk intrinsics, a ROS "
                        "camera_info YAML or an OpenCV FileStorage YAML/XML")
    common.add_camera_model_option(parser)
    common.add_distortion_model_option(parser)
    common.add_threshold_option(parser, _velk.IntrinsicOptions().per_view_error_threshold)
    common.add_report_option(parser)
    common.add_validate_option(parser)
    parser.set_defaults(run=run)


def hand_eye_views(calibrator_class, target, options, data, intrinsic_matrix, distortion, validate=False):
    """The views, camera poses and robot poses a TSAI hand-eye calibration keeps (nothing is written, no report is
    printed); with validate, each view is also predicted by TSAI solved without it (the result's validation)."""
    return calibrator_class(target, options).calibrate(
        data.robot_T_tcp_list, data.images, "TSAI", intrinsic_matrix=intrinsic_matrix,
        distortion_coefficients=distortion, validate=validate, print_report=False)


def report_sections(verdict, cameras, stats, variety, methods, comparison, validation, image_names=(),
                    skipped=()) -> list:
    """The check's report: its verdict and checks first, then the rotations, the solvers and the held-out views."""
    from ..report import sections
    from ..report.summary import Summary

    parts = [sections.summary_section(Summary(), verdict), sections.rotation_section(cameras, stats, variety),
             sections.method_section(methods, comparison)]
    if validation is not None and validation.validated:
        names = list(image_names)
        parts.append(sections.held_out_section(validation, lambda f: f"frame {_velk.picture_label(names, f)}"))
    names = list(image_names)
    unused = [(f"frame {_velk.picture_label(names, int(s.index))}", str(s.reason)) for s in skipped]
    parts.append(sections.unused_pictures_section(unused, len(names)))
    return parts


def run(args) -> int:
    output_paths.check_outputs("check", {"--report": args.report}, dataset_inputs(args))
    printed, target = common.load_target(args)
    progress = common.progress_for(args)
    intrinsic_matrix, distortion = given_intrinsics(args, "check")
    data = load_hand_eye_folder(args.dataset, progress, allow_gaps=args.allow_gaps)
    check_intrinsics_size(args, data.images, "check")
    setup, calibrator_class = setup_of(args).name, setup_of(args).calibrator_class
    hint = common.marker_hint(printed, data.images)
    if hint:
        common.fail(f"only 0 of {len(data.images)} views are usable; {hint}")
    common.check_distortion_model(args, "check")
    options = common.intrinsic_options(args, names=data.image_names)
    choosing = not args.intrinsics and common.chooses_distortion_model(args)
    total = len(data.images) * (1 + (common.distortion_candidates(args) if choosing else 0))
    with progress.detection(options, total) as options, library_log.held(args.quiet):
        choice = common.choose_hand_eye_distortion_model(args, target, data.images, options)
        views = hand_eye_views(calibrator_class, target, options, data, intrinsic_matrix, distortion,
                               validate=args.validate)
    cameras = views.camera_T_target_list
    if len(cameras) < 4:
        common.fail(f"only {len(cameras)} of {len(data.images)} views are usable; "
                    "hand-eye calibration needs at least 4 (see the log lines above)")
    stats = _velk.diagnostics.analyze_rotation_variety(cameras)
    variety = _velk.diagnostics.format_rotation_variety(stats)
    with library_log.held(args.quiet):
        methods = _velk.diagnostics.compare_hand_eye_methods(
            target, views.valid_robot_T_tcp_list, views.valid_image_list, cameras, views.intrinsic_matrix,
            views.distortion_coefficients, args.per_view_error_threshold, setup=setup,
            camera_model=views.camera_model, print_reports=False)
    comparison = comparison_text(methods, _velk.diagnostics.restricted_motion(list(views.valid_robot_T_tcp_list)))
    # The two tables are the check's summary: --quiet keeps them and drops the library's log lines.
    if not args.intrinsics:
        print(common.distortion_model_line(choice, args))
    print(variety, end="")
    print(comparison, end="")
    validation = views.validation
    for line in common.held_out_lines(validation, data.image_names):
        print(f"TSAI, held out: {line}")
    consistency = views.consistency if views.has_consistency else None
    spread_mm = consistency.mean_translation_m * 1000.0 if consistency is not None else None
    distances = list(consistency.distances_m) if consistency is not None else [
        float(np.linalg.norm(np.asarray(c)[:3, 3])) for c in cameras]
    intrinsics = compare_intrinsics(args, target, data, intrinsic_matrix, distortion, progress)
    verdict = judge_check(stats, methods, spread_mm, distances, data.robot_T_tcp_list, cameras,
                          list(views.image_indices), args.eye_to_hand, data.image_names, views.intrinsic_matrix,
                          data.capture_indices, intrinsics, args.intrinsics)
    used = set(views.image_indices)
    parts = report_sections(verdict, cameras, stats, variety, methods, comparison, validation, data.image_names,
                            [s for s in views.skipped_pictures if int(s.index) not in used])
    common.take_warnings(verdict, parts)
    print(verdict.summary(), end="")
    if args.report:
        common.write_report(args.report, "Hand-eye data check", parts)
    if not verdict.ok:
        common.fail("the captured poses and pictures do not determine the hand-eye transform well "
                    f"({verdict.reason()})")
    return verdict.code
