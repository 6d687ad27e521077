"""``velk intrinsics``: camera intrinsics from pictures of the target."""

from __future__ import annotations

import math

import numpy as np

import _velk

from ..datasets import image_paths, load_images, picture_name, require_one_header_size, require_one_size
from ..distortion_model_choice import DEFAULT_MODEL, distortion_model
from ..records import record_path, save_intrinsics
from ..verdict import judge_intrinsics
from . import common, library_log, output_paths


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
    common.add_camera_model_option(parser)
    common.add_distortion_model_option(parser)
    parser.set_defaults(run=run)


def _summary(result, names, rms: float, model_line: str = "", printed=None) -> str:
    lines = ["Intrinsic calibration" + (" (fisheye model)" if result.camera_model == "fisheye" else ""),
             *([f"  {model_line}"] if model_line else []),
             f"  views with the target: {len(result.successful_indices)} of {len(names)}",
             f"  views within the error threshold: {len(result.low_view_error_indices)}",
             f"  Reprojection RMS: {rms:.4f} px over every corner",
             f"  reprojection_error (mean over views of the error norm per corner): {result.reprojection_error:.4f} px",
             "  camera matrix:"]
    lines += ["    " + "  ".join(f"{v:12.4f}" for v in row) for row in np.asarray(result.intrinsic_matrix)]
    lines.append("  distortion: " + " ".join(f"{v:.6f}" for v in np.ravel(result.distortion_coefficients)))
    if printed is not None:
        lines.append("  " + common.scale_note(printed))
    lines += ["  " + line for line in common.held_out_lines(result.validation, names)]
    return "\n".join(lines)


def corner_rms(per_view_rms, corner_counts) -> float:
    """RMS over every corner from per-view RMS values and their corner counts. (result.reprojection_error is a
    different figure: the mean over views of the error norm divided by the view's corner count.)"""
    counts = np.asarray(corner_counts, np.float64)
    squares = np.asarray(per_view_rms, np.float64) ** 2 * counts
    return float(np.sqrt(squares.sum() / counts.sum())) if counts.sum() > 0 else float("nan")


def _corner_counts(detections) -> list[int]:
    return [len(np.asarray(p).reshape(-1, 2)) for p in detections.image_points]


def summary_of(result, threshold: float, names, detections):
    from ..report.summary import Check, Summary

    errors = list(result.per_view_errors)
    counts = _corner_counts(detections)
    rms = corner_rms(errors, counts)
    above = [k for k, e in enumerate(errors) if e > threshold]
    k = np.asarray(result.intrinsic_matrix, np.float64)
    sigmas = np.ravel(result.std_deviations_intrinsics)
    camera = f"fx {k[0, 0]:.2f}, fy {k[1, 1]:.2f}, cx {k[0, 2]:.2f}, cy {k[1, 2]:.2f} px"
    if len(sigmas) >= 4:
        camera += " (1-sigma " + ", ".join(f"{v:.2f}" for v in sigmas[:4]) + " px)"
    summary = Summary(rms_px=rms, rms_detail=f"over {sum(counts)} corners of the {len(errors)} views with the target")
    summary.checks += [
        Check("Views with the target", None, f"{len(result.successful_indices)} of {len(names)} pictures"),
        Check("Reprojection RMS", rms <= threshold, f"{rms:.3f} px; per-view threshold {threshold:g} px"),
        Check("Views above the threshold", not above, f"{len(above)} of {len(errors)} views above {threshold:g} px"),
        Check("Camera matrix", None, camera),
        Check("Distortion", None, " ".join(f"{v:.5f}" for v in np.ravel(result.distortion_coefficients))),
    ]
    return summary


def report_sections(result, detections, images, image_size, threshold, names, verdict=None, model_line: str = ""):
    """Summary first (with ``verdict`` when given), the plots, the console text last."""
    from ..report import sections
    from ..report.view_model import intrinsic_views

    labels = [names[k] for k in result.successful_indices]
    errors = list(result.per_view_errors)
    views = intrinsic_views(result, detections)
    worst = sections.worst_view(errors)
    by_picture = dict(zip(result.successful_indices, detections.image_points))
    rms = dict(zip(result.successful_indices, errors))
    skipped = dict(zip(detections.skipped_indices, detections.skipped_reasons))
    captions = [f"{name}: " + (f"{rms[k]:.2f} px RMS" if k in rms
                               else f"not used - {skipped.get(k, 'target not found')}")
                for k, name in enumerate(names)]
    validation = result.validation
    held_out = ([sections.held_out_views_section(validation, names)]
                if validation is not None and validation.validated else [])
    return [
        sections.summary_section(summary_of(result, threshold, names, detections), verdict),
        sections.lens_model_section(detections, image_size, result.camera_model),
        *held_out,
        sections.view_error_section(errors, threshold, labels, "the calibration (per-view RMS of the solve)"),
        sections.residual_vector_section(images[result.successful_indices[worst]], views.detected[worst],
                                         views.projected[worst], f"{labels[worst]} (largest error)"),
        sections.coverage_section(detections.image_points, image_size),
        sections.distortion_section(result.intrinsic_matrix, result.distortion_coefficients, image_size,
                                    detections.image_points, camera_model=result.camera_model),
        sections.thumbnail_section(images, [by_picture.get(k) for k in range(len(images))], captions,
                                   [(names[k], why) for k, why in sorted(skipped.items())]),
        sections.report_text_section(_summary(result, names, corner_rms(errors, _corner_counts(detections)),
                                              model_line)),
    ]


def run(args) -> int:
    printed, target = common.load_target(args)
    paths = image_paths(args.images)
    output_paths.check_outputs("intrinsics", {"-o": record_path(args.output), "--report": args.report},
                               {"a picture given": paths, "the --target file": args.target})
    progress = common.progress_for(args)
    require_one_header_size(paths, "intrinsics")
    images = load_images(paths, progress)
    names = [picture_name(p) for p in paths]
    require_one_size(images, paths, "intrinsics")
    image_size = images[0].shape[1::-1]
    common.check_distortion_model(args, "intrinsics")
    hint = common.marker_hint(printed, images)
    if hint:
        common.fail(f"intrinsic calibration found the target in 0 of {len(images)} images; {hint}")
    detections_total = len(images) * common.distortion_candidates(args)
    with progress.detection(common.intrinsic_options(args, names=names), detections_total) as options:
        with library_log.held(args.quiet):
            calibrator, result, choice = common.calibrate_intrinsics(args, target, images, options)
    if not result.ok:
        common.fail(f"intrinsic calibration found the target in {len(result.successful_indices)} of "
                    f"{len(images)} images; it needs at least one view with the whole target detected")
    # The summary names the reprojection RMS in pixels; --quiet keeps that line alone.
    rms = corner_rms(result.per_view_errors, _corner_counts(calibrator.detections()))
    model_line = common.distortion_model_line(choice, args)
    print(_summary(result, names, rms, model_line, printed) if not args.quiet
          else f"Reprojection RMS: {rms:.4f} px over every corner")
    if args.quiet:
        lines = [model_line, *common.held_out_lines(result.validation, names)]
        print("".join(f"  {line}\n" for line in lines), end="")
    verdict = judge_intrinsics(result, len(images), printed.scale_length()[1], image_size,
                               calibrator.detections().object_points)
    parts = report_sections(result, calibrator.detections(), images, image_size, args.per_view_error_threshold,
                            names, verdict, model_line)
    common.take_warnings(verdict, parts)
    written = save_intrinsics(args.output, result, image_size, names, printed.to_json(),
                              {"units": {"camera_matrix": "px",
                                         "reprojection_error": "px (mean over views of the error norm over the "
                                                               "view's corner count)",
                                         "rms_px": "px (RMS over every corner)"},
                               "rms_px": rms,
                               "distortion_model": _model_document(result, choice, args),
                               "verdict": verdict.to_json()})
    print(verdict.summary(), end="")
    print(f"Result written to {written}" + ("" if verdict.ok else " (marked as failing its checks)"))
    if args.report:
        common.write_report(args.report, "Intrinsic calibration", parts)
    return verdict.code


def _model_document(result, choice, args) -> dict:
    """The record's "distortion_model" member: the terms solved for and how they were chosen."""
    if result.camera_model == "fisheye":
        return {"name": "fisheye", "terms": ["k1", "k2", "k3", "k4"], "chosen": "fisheye model"}
    if choice is None:
        model = distortion_model(args.distortion_model if args.distortion_model != "auto" else DEFAULT_MODEL)
        return {"name": model.name, "terms": list(model.terms), "chosen": "given"}
    return {"name": choice.model.name, "terms": list(choice.model.terms), "chosen": "held-out error",
            "held_out_rms_px": {name: (rms if math.isfinite(rms) else None)
                                for name, rms in choice.held_out_rms_px.items()},
            "sentence": choice.sentence()}

