"""``velk rig``: the poses of a multi-camera rig from a dataset folder of synchronized captures."""

from __future__ import annotations

import math
from pathlib import Path

import _velk

from ..datasets import load_rig_folder
from . import common
from .errors import UsageError


def add_parser(commands, common_options) -> None:
    parser = commands.add_parser("rig", parents=[common_options],
                                 help="multi-camera calibration of a dataset folder with cam_0, cam_1, ...")
    parser.add_argument("dataset", metavar="DATASET_DIR")
    common.add_target_option(parser)
    parser.add_argument("--reference", type=int, default=0, help="index of the reference camera (default: 0)")
    common.add_threshold_option(parser, _velk.MultiCameraCalibrator.default_options().per_view_error_threshold)
    parser.add_argument("-o", "--output",
                        help="folder or file for multi_camera_calibration.json (default: DATASET_DIR)")
    common.add_report_option(parser)
    common.add_refine_option(parser)
    common.add_validate_option(parser)
    parser.set_defaults(run=run)


def _failed_cameras(result, names) -> list[str]:
    return [name for name, pose in zip(names, result.reference_T_camera_list) if getattr(pose, "size", 0) == 0]


def run(args) -> int:
    printed, target = common.load_target(args)
    progress = common.progress_for(args)
    data = load_rig_folder(args.dataset, progress)
    cameras = len(data.image_lists)
    if not 0 <= args.reference < cameras:
        raise UsageError(f"rig: --reference must lie between 0 and {cameras - 1}")
    output = Path(args.output) if args.output else Path(args.dataset)
    base = _velk.MultiCameraCalibrator.default_options()
    total = sum(len(images) for images in data.image_lists)
    with progress.detection(common.intrinsic_options(args, base), total) as options:
        calibrator = _velk.MultiCameraCalibrator(target, cameras, args.reference, options)
        result = calibrator.calibrate(data.image_lists, output_path=output, refine=args.refine,
                                      validate=args.validate)
    if not result.ok:
        failed = ", ".join(_failed_cameras(result, data.camera_names)) or "some cameras"
        common.fail(f"rig calibration found no pose for {failed}; every camera needs views of the target "
                    "shared with the reference camera (see the log lines above)")
    errors = [e for e in result.pair_reprojection_errors if not math.isnan(e)]
    print(f"Calibrated {cameras} cameras; stereo RMS errors: " + ", ".join(f"{e:.3f} px" for e in errors))
    for line in common.held_out_lines(result.validation):
        print(line)
    print(f"Result written to {output if output.suffix else output / 'multi_camera_calibration.json'}")
    if args.report:
        from ..report import sections

        # Triangulating the target needs the corner ids of a ChArUco board.
        triangulation = (calibrator.triangulate(data.image_lists) if isinstance(target, _velk.CharucoTarget)
                         else None)
        parts = [sections.report_text_section(calibrator.format_results()),
                 sections.rig_section(result, data.camera_names, triangulation)]
        if result.validation is not None and result.validation.validated:
            parts.append(sections.held_out_views_section(result.validation))
        common.write_report(args.report, "Multi-camera rig calibration", parts)
    return 0
