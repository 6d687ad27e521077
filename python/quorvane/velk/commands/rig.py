"""``velk rig``: the poses of a multi-camera rig from a dataset folder of synchronized captures."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np

import _velk

from .. import records
from ..datasets import load_rig_folder
from ..verdict import judge_rig
from . import common, library_log, output_paths
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
    common.add_camera_model_option(parser)
    parser.set_defaults(run=run)


def _failed_cameras(result, names) -> list[str]:
    return [name for name, pose in zip(names, result.reference_T_camera_list) if getattr(pose, "size", 0) == 0]


def summary_of(result, names, threshold: float):
    """The camera poses in the reference camera's frame with their 1-sigma, the RMS and the checks."""
    from ..report.summary import Check, SavedTransform, Summary

    refinement = result.refinement
    refined = result.refined and refinement is not None and refinement.refined
    sigmas = list(refinement.camera_sigmas) if refined else []
    summary = Summary()
    for k, (name, pose) in enumerate(zip(names, result.reference_T_camera_list)):
        if np.asarray(pose).shape == (4, 4):
            if k == result.reference_index:  # the reference frame itself, exact by definition
                summary.transforms.append(SavedTransform(f"{name} (reference)", pose))
                continue
            summary.transforms.append(SavedTransform(f"{names[result.reference_index]}_T_{name}", pose,
                                                     sigmas[k] if k < len(sigmas) else None))
    if refined:
        summary.rms_px, summary.rms_detail = refinement.rms_px, f"over {refinement.corner_count} corners (refined)"
        above = [e for e in refinement.per_view_rms_px if e > threshold]
        summary.checks += [
            Check("Reprojection RMS", refinement.rms_px <= threshold,
                  f"{refinement.rms_px:.3f} px; per-view threshold {threshold:g} px"),
            Check("Views above the threshold", not above,
                  f"{len(above)} of {len(refinement.per_view_rms_px)} views above {threshold:g} px"),
            Check("Refinement", bool(refinement.summary.converged),
                  f"{refinement.summary.iterations} iterations, {len(refinement.frames_used)} frames"),
        ]
    elif refinement is not None or result.refinement_reason:
        summary.checks.append(Check("Refinement", False, f"not applied: {result.refinement_reason}"))
    errors = [e for e in result.pair_reprojection_errors if not math.isnan(e)]
    summary.checks.append(Check("Stereo RMS per camera pair", None, ", ".join(f"{e:.3f} px" for e in errors)))
    return summary


def _gallery(data, detections):
    """A tile for every camera's picture of every frame; one without the board says why."""
    from ..report import sections

    images, corners, captions, skipped = [], [], [], []
    for k, name in enumerate(data.camera_names):
        found = dict(zip(detections[k].successful_indices, detections[k].image_points))
        reasons = dict(zip(detections[k].skipped_indices, detections[k].skipped_reasons))
        for frame, image in enumerate(data.image_lists[k]):
            images.append(image)
            corners.append(found.get(frame))
            label = f"{name} frame {frame}"
            if frame not in found:
                skipped.append((label, reasons.get(frame, "target not found")))
            captions.append(label + ("" if frame in found else f": not used - {skipped[-1][1]}"))
    return sections.thumbnail_section(images, corners, captions, skipped)


def report_sections(calibrator, result, data, target, options, verdict=None):
    """Summary first (with ``verdict`` when given), the per-view errors and residuals of the refinement, the rig,
    each camera's distortion, the pictures, the console text last."""
    from ..report import sections
    from ..report.view_model import rig_views

    names = data.camera_names
    threshold = options.per_view_error_threshold
    parts = [sections.summary_section(summary_of(result, names, threshold), verdict)]
    detections = [_velk.IntrinsicCalibrator(target, options).find_corners(images, annotate=False)
                  for images in data.image_lists]
    refinement = result.refinement
    if result.refined and refinement is not None and refinement.refined and refinement.per_view_rms_px:
        views = rig_views(refinement, detections, result.camera_model)
        labels = [f"{names[c]} frame {f}" for c, f in views.frames]
        errors = views.rms()
        worst = sections.worst_view(errors)
        camera, frame = views.frames[worst]
        parts += [sections.view_error_section(errors, threshold, labels, views.source),
                  sections.residual_vector_section(data.image_lists[camera][frame], views.detected[worst],
                                                   views.projected[worst], f"{labels[worst]} (largest error)")]
    # Triangulating the target needs the corner ids of a ChArUco board.
    triangulation = (calibrator.triangulate(data.image_lists) if isinstance(target, _velk.CharucoTarget)
                     else None)
    parts.append(sections.rig_section(result, names, triangulation))
    if result.validation is not None and result.validation.validated:
        parts.append(sections.held_out_views_section(result.validation))
    for k, name in enumerate(names):
        if np.asarray(result.intrinsic_matrices[k]).shape == (3, 3):
            image_size = data.image_lists[k][0].shape[1::-1]
            parts.append(sections.distortion_section(result.intrinsic_matrices[k], result.distortion_coefficients[k],
                                                     image_size, detections[k].image_points, name,
                                                     camera_model=result.camera_model))
    parts.append(_gallery(data, detections))
    parts.append(sections.report_text_section(calibrator.format_results()))
    return parts


def run(args) -> int:
    output_paths.check_outputs("rig", {
        "-o": output_paths.result_file(args.output or args.dataset, "multi_camera_calibration.json"),
        "--report": args.report},
        {"a file of the dataset": output_paths.dataset_files(args.dataset), "the --target file": args.target})
    printed, target = common.load_target(args)
    progress = common.progress_for(args)
    data = load_rig_folder(args.dataset, progress)
    cameras = len(data.image_lists)
    if not 0 <= args.reference < cameras:
        raise UsageError(f"rig: --reference must lie between 0 and {cameras - 1}")
    output = Path(args.output) if args.output else Path(args.dataset)
    base = _velk.MultiCameraCalibrator.default_options()
    total = sum(len(images) for images in data.image_lists)
    with progress.detection(common.intrinsic_options(args, base, names=data.capture_names), total) as options:
        calibrator = _velk.MultiCameraCalibrator(target, cameras, args.reference, options)
        with library_log.held(args.quiet):
            result = calibrator.calibrate(data.image_lists, output_path=None, refine=args.refine,
                                          validate=args.validate, print_report=False)
    if not args.quiet:
        print(calibrator.format_results(), end="")
    if not result.ok:
        failed = ", ".join(_failed_cameras(result, data.camera_names)) or "some cameras"
        common.fail(f"rig calibration found no pose for {failed}; every camera needs views of the target "
                    "shared with the reference camera (see the log lines above)")
    errors = [e for e in result.pair_reprojection_errors if not math.isnan(e)]
    model = " (fisheye model)" if result.camera_model == "fisheye" else ""
    print(f"Calibrated {cameras} cameras{model}; stereo RMS errors: " + ", ".join(f"{e:.3f} px" for e in errors))
    for line in common.held_out_lines(result.validation, data.capture_names):
        print(line)
    if not args.quiet:
        print(f"Camera positions are in the target's lengths: {common.scale_note(printed)}")
    verdict = judge_rig(result, list(result.pair_reprojection_errors))
    parts = report_sections(calibrator, result, data, target, common.intrinsic_options(args, base), verdict)
    common.take_warnings(verdict, parts)
    annotated = records.annotated(_velk.io.multi_camera_calibration_record(result),
                                  {"units": {"translation": "m", "pixels": "px"}, "verdict": verdict})
    # A record that fails its checks is saved, but not reported as a success.
    with library_log.held(args.quiet, success=verdict.ok):
        record = _velk.io.save_multi_camera_calibration(output, annotated)
    print(verdict.summary(), end="")
    print(f"Result written to {record}" + ("" if verdict.ok else " (marked as failing its checks)"))
    if args.report:
        common.write_report(args.report, "Multi-camera rig calibration", parts)
    return verdict.code
