"""``velk intrinsics``: camera intrinsics from pictures of the target."""

from __future__ import annotations

import numpy as np

import _velk

from ..datasets import image_paths, load_images
from ..records import save_intrinsics
from . import common
from .errors import UsageError


def add_parser(commands, common_options) -> None:
    parser = commands.add_parser("intrinsics", parents=[common_options],
                                 help="intrinsic calibration from image files or a folder of them")
    parser.add_argument("images", nargs="+", metavar="IMAGES|DIR")
    common.add_target_option(parser)
    common.add_threshold_option(parser, _velk.IntrinsicOptions().per_view_error_threshold)
    parser.add_argument("-o", "--output", default="intrinsics.json",
                        help="record file, or folder for intrinsics.json (default: %(default)s)")
    common.add_report_option(parser)
    common.add_validate_option(parser)
    parser.set_defaults(run=run)


def _summary(result, names) -> str:
    lines = ["Intrinsic calibration",
             f"  views with the target: {len(result.successful_indices)} of {len(names)}",
             f"  views within the error threshold: {len(result.low_view_error_indices)}",
             f"  RMS reprojection error: {result.reprojection_error:.4f} px",
             "  camera matrix:"]
    lines += ["    " + "  ".join(f"{v:12.4f}" for v in row) for row in np.asarray(result.intrinsic_matrix)]
    lines.append("  distortion: " + " ".join(f"{v:.6f}" for v in np.ravel(result.distortion_coefficients)))
    lines += ["  " + line for line in common.held_out_lines(result.validation)]
    return "\n".join(lines)


def report_sections(result, detections, images, image_size, threshold, names):
    from ..report import sections

    labels = [names[k] for k in result.successful_indices]
    worst = sections.worst_view(result.per_view_errors)
    validation = result.validation
    held_out = ([sections.held_out_views_section(validation, names)]
                if validation is not None and validation.validated else [])
    return [
        sections.report_text_section(_summary(result, names)),
        *held_out,
        sections.view_error_section(list(result.per_view_errors), threshold, labels),
        sections.residual_section(images[result.successful_indices[worst]], detections.object_points[worst],
                                  detections.image_points[worst], result.intrinsic_matrix,
                                  result.distortion_coefficients, f"{labels[worst]} (largest error)"),
        sections.coverage_section(detections.image_points, image_size),
        sections.distortion_section(result.intrinsic_matrix, result.distortion_coefficients, image_size),
    ]


def run(args) -> int:
    printed, target = common.load_target(args)
    progress = common.progress_for(args)
    paths = image_paths(args.images)
    images = load_images(paths, progress)
    names = [p.name for p in paths]
    sizes = {image.shape[1::-1] for image in images}
    if len(sizes) != 1:
        raise UsageError("intrinsics: all images must have the same size")
    image_size = sizes.pop()
    with progress.detection(common.intrinsic_options(args), len(images)) as options:
        calibrator = _velk.IntrinsicCalibrator(target, options)
        result = calibrator.calibrate(images, validate=args.validate)
    if not result.ok:
        common.fail(f"intrinsic calibration found the target in {len(result.successful_indices)} of "
                    f"{len(images)} images; it needs at least one view with the whole target detected")
    print(_summary(result, names))
    written = save_intrinsics(args.output, result, image_size, names, printed.to_json())
    print(f"Result written to {written}")
    if args.report:
        common.write_report(args.report, "Intrinsic calibration",
                            report_sections(result, calibrator.detections(), images, image_size,
                                            args.per_view_error_threshold, names))
    return 0
