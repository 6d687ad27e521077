"""``velk intrinsics``: camera intrinsics from pictures of the target."""

from __future__ import annotations

import numpy as np

import _velk

from .. import records
from ..datasets import image_paths, load_images
from ..frame_names import FrameNames
from ..records import save_intrinsics
from ..verdict import judge_intrinsics
from . import common, output
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
    parser.set_defaults(run=run)


def _summary(result, names) -> str:
    lines = ["Intrinsic calibration",
             f"  views with the target: {len(result.successful_indices)} of {len(names)}",
             f"  views within the error threshold: {len(result.low_view_error_indices)}",
             f"  RMS reprojection error: {result.reprojection_error:.4f} px",
             "  camera matrix:"]
    lines += ["    " + "  ".join(f"{v:12.4f}" for v in row) for row in np.asarray(result.intrinsic_matrix)]
    lines.append("  distortion: " + " ".join(f"{v:.6f}" for v in np.ravel(result.distortion_coefficients)))
    return "\n".join(lines)


def report_sections(result, detections, images, image_size, threshold, names):
    from ..report import sections

    labels = [names[k] for k in result.successful_indices]
    worst = sections.worst_view(result.per_view_errors)
    return [
        sections.report_text_section(_summary(result, names)),
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
    frame_names = FrameNames(names)
    with progress.detection(common.intrinsic_options(args), len(images)) as options:
        calibrator = _velk.IntrinsicCalibrator(target, options)
        with output.captured() as caught:
            result = calibrator.calibrate(images)
    hint = None if result.ok else common.detection_hint(printed, images)
    if hint:
        common.without_not_found_lines(caught)
    output.replay(caught, args.quiet, frame_names.rename)
    if not result.ok:
        common.fail(f"intrinsic calibration found the target in {len(result.successful_indices)} of "
                    f"{len(images)} images; "
                    + (hint or "it needs at least one view with the whole target detected"))
    # The summary names the RMS reprojection error in pixels; --quiet keeps that line alone.
    print(_summary(result, names) if not args.quiet else f"RMS reprojection error: {result.reprojection_error:.4f} px")
    verdict = judge_intrinsics(result, len(images), _square_length(printed))
    written = save_intrinsics(args.output, result, image_size, names, printed.to_json())
    records.add_record_members(written, {"units": {"camera_matrix": "px", "reprojection_error": "px (RMS)"},
                                         "verdict": verdict.to_json()})
    print(verdict.summary(), end="")
    print(f"Result written to {written}" + ("" if verdict.ok else " (marked as failing its checks)"))
    if args.report:
        common.write_report(args.report, "Intrinsic calibration",
                            report_sections(result, calibrator.detections(), images, image_size,
                                            args.per_view_error_threshold, names))
    return verdict.code


def _square_length(printed) -> float:
    return printed.square_size if printed.kind == "chessboard" else (
        printed.square_length if printed.kind == "charuco" else printed.marker_length)
