"""``velk check``: rotation variety and solver agreement of a hand-eye dataset, before a long calibration."""

from __future__ import annotations

import _velk

from ..datasets import load_hand_eye_folder
from . import common
from .hand_eye import SETUPS, add_setup_option, given_intrinsics

#: Words of the verdicts that mean the data cannot give a trustworthy hand-eye result.
POOR_VERDICTS = (">>> POOR rotation variety", ">>> No consensus")


def add_parser(commands, common_options) -> None:
    parser = commands.add_parser("check", parents=[common_options],
                                 help="rotation variety and method comparison verdicts of a hand-eye dataset")
    parser.add_argument("dataset", metavar="DATASET_DIR")
    common.add_target_option(parser)
    add_setup_option(parser)
    parser.add_argument("--intrinsics", metavar="FILE", help="intrinsics.json written by velk intrinsics")
    common.add_threshold_option(parser, _velk.IntrinsicOptions().per_view_error_threshold)
    common.add_report_option(parser)
    common.add_validate_option(parser)
    parser.set_defaults(run=run)


def hand_eye_views(calibrator_class, target, options, data, intrinsic_matrix, distortion, validate=False):
    """The views, camera poses and robot poses a TSAI hand-eye calibration keeps (nothing is written);
    with validate, each view is also predicted by TSAI solved without it (the result's validation)."""
    result = calibrator_class(target, options).calibrate(
        data.robot_T_tcp_list, data.images, "TSAI", intrinsic_matrix=intrinsic_matrix,
        distortion_coefficients=distortion, validate=validate)
    if len(result.camera_T_target_list) < 4:
        common.fail(f"only {len(result.camera_T_target_list)} of {len(data.images)} views are usable; "
                    "hand-eye calibration needs at least 4 (see the log lines above)")
    return result


def run(args) -> int:
    printed, target = common.load_target(args)
    progress = common.progress_for(args)
    intrinsic_matrix, distortion = given_intrinsics(args)
    data = load_hand_eye_folder(args.dataset, progress)
    setup, calibrator_class, _ = SETUPS[args.eye_to_hand]
    with progress.detection(common.intrinsic_options(args), len(data.images)) as options:
        views = hand_eye_views(calibrator_class, target, options, data, intrinsic_matrix, distortion,
                               validate=args.validate)
    cameras = views.camera_T_target_list
    stats = _velk.diagnostics.analyze_rotation_variety(cameras)
    variety = _velk.diagnostics.format_rotation_variety(stats)
    methods = _velk.diagnostics.compare_hand_eye_methods(
        target, views.valid_robot_T_tcp_list, views.valid_image_list, cameras, views.intrinsic_matrix,
        views.distortion_coefficients, args.per_view_error_threshold, setup=setup)
    comparison = _velk.diagnostics.format_method_comparison(methods)
    print(variety, end="")
    print(comparison, end="")
    validation = views.validation
    for line in common.held_out_lines(validation):
        print(f"TSAI, held out: {line}")
    if args.report:
        from ..report import sections

        parts = [sections.rotation_section(cameras, stats, variety), sections.method_section(methods, comparison)]
        if validation is not None and validation.validated:
            parts.append(sections.held_out_section(validation))
        common.write_report(args.report, "Hand-eye data check", parts)
    text = variety + comparison
    if stats is None or any(verdict in text for verdict in POOR_VERDICTS):
        common.fail("the captured poses do not determine the hand-eye transform well; "
                    "capture more views rotated about different axes")
    return 0
