"""``velk hand-eye``: the eye-in-hand transform tcp_T_camera from a dataset folder."""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import _velk

from .. import records
from ..datasets import load_hand_eye_folder
from ..geometry import quaternion_from_rotation, rotvec_from_rotation
from ..given_intrinsics import compare_given_intrinsics
from ..solver_table import comparison_text
from ..verdict import judge_hand_eye
from . import common, hand_eye_kinematics, library_log, mount_components, numbers, output_paths
from .errors import UsageError

#: The library's hand-eye solvers by name, the robot-world ones (which also give the target pose) included.
METHODS = tuple(sorted({**_velk.hand_eye_method_by_name_map(), **_velk.robot_world_hand_eye_method_by_name_map()}))
@dataclass(frozen=True)
class SetUp:
    """What differs between the two set-ups: the name the diagnostics take, the calibrator and the record."""

    name: str
    calibrator_class: type

    def record_of(self, result, method: str, total_images: int):
        """The io record the set-up's file stores of ``result``."""
        if self.name == "eye-to-hand":
            return _velk.io.eye_to_hand_result_record(result, total_images)
        return _velk.io.hand_eye_result_record(result, method, total_images)

    def save(self, path, record):
        save = _velk.io.save_eye_to_hand_result if self.name == "eye-to-hand" else _velk.io.save_hand_eye_result
        return Path(save(path, record))


EYE_IN_HAND = SetUp("eye-in-hand", _velk.EyeInHandCalibrator)
EYE_TO_HAND = SetUp("eye-to-hand", _velk.EyeToHandCalibrator)


def setup_of(args) -> SetUp:
    """The set-up --eye-to-hand chooses."""
    return EYE_TO_HAND if args.eye_to_hand else EYE_IN_HAND


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
    parser.add_argument("--intrinsics", metavar="FILE",
                        help="intrinsics.json written by velk intrinsics (any target kind), a ROS camera_info YAML or "
                             "an OpenCV FileStorage YAML/XML; without it the intrinsics are calibrated from the images")
    common.add_camera_model_option(parser)
    common.add_distortion_model_option(parser)
    common.add_threshold_option(parser, _velk.IntrinsicOptions().per_view_error_threshold)
    parser.add_argument("-o", "--output",
                        help="folder or file for hand_eye.json or eye_to_hand.json (default: DATASET_DIR)")
    common.add_report_option(parser)
    common.add_refine_option(parser)
    common.add_validate_option(parser)
    parser.add_argument("--robot-noise", nargs=2, type=numbers.non_negative, metavar=("MM", "DEG"),
                        help="hold the robot's pose error at MM and DEG per axis (1-sigma) in the refinement; "
                             "0 0 takes the robot poses as exact (default: estimated from the data)")
    parser.add_argument("--fit-board-scale", action="store_true",
                        help="solve at the board size the robot's motion measures rather than the target file's "
                             "(the record states the measured size); without it a board whose measured size "
                             "differs from the file's fails the verdict")
    mount_components.add_options(parser)
    hand_eye_kinematics.add_options(parser)
    parser.set_defaults(run=run)


def add_setup_option(parser) -> None:
    parser.add_argument("--eye-to-hand", action="store_true",
                        help="stationary camera, board on the flange: finds robot_T_camera and tcp_T_target")
    parser.add_argument("--allow-gaps", action="store_true",
                        help="use the pictures that have a pose when pictures are missing or have no pose "
                             "(image_<k> pairs with pose k; without it a gap is an error)")


def given_intrinsics(args, command: str = "hand-eye"):
    """The camera matrix and distortion of --intrinsics (empty without it). The record's lens model becomes the
    calibration's (args.camera_model); a --camera-model that says otherwise is a usage error."""
    if not args.intrinsics:
        return np.empty((0, 0)), np.empty((0, 0))
    matrix, distortion, model = records.load_camera(args.intrinsics)
    chosen = getattr(args, "camera_model", None)
    if chosen is not None and chosen != model:
        raise UsageError(f"{command}: --camera-model {chosen} contradicts {args.intrinsics}, which holds {model} "
                         f"intrinsics (camera_model {model!r}); leave --camera-model out or calibrate the intrinsics "
                         f"with --camera-model {chosen}")
    args.camera_model = model
    return matrix, distortion


def check_intrinsics_size(args, images, command: str = "hand-eye") -> None:
    """Refuses --intrinsics calibrated at another picture size than the pictures', naming both: a camera matrix
    holds pixels of one picture size and fits no other."""
    if not args.intrinsics or not images:
        return
    recorded = records.record_image_size(args.intrinsics)
    height, width = images[0].shape[:2]
    if recorded is not None and recorded != (width, height):
        raise UsageError(f"{command}: {args.intrinsics} holds intrinsics of {recorded[0]} x {recorded[1]} pictures, "
                         f"but the pictures are {width} x {height}; calibrate the intrinsics from pictures of this "
                         "size (velk intrinsics) or leave --intrinsics out")


def compare_intrinsics(args, target, data, intrinsic_matrix, distortion, progress):
    """The --intrinsics against intrinsics calibrated from the pictures themselves (None without --intrinsics),
    its figures printed unless --quiet. The pictures' detection lines were shown with the calibration's."""
    if not args.intrinsics:
        return None
    options = common.intrinsic_options(args, names=data.image_names)
    with progress.detection(options, len(data.images), "Calibrating the pictures' own intrinsics") as options, \
            library_log.dropped():
        comparison = compare_given_intrinsics(target, data.images, intrinsic_matrix, distortion, options)
    if not args.quiet:
        print("".join(f"{line}\n" for line in comparison.lines(args.intrinsics)), end="")
    return comparison


def refinement_options(args):
    options = _velk.RefinementOptions()
    if args.robot_noise is not None:
        translation_mm, rotation_deg = args.robot_noise
        if not (translation_mm >= 0 and rotation_deg >= 0) or math.isinf(translation_mm + rotation_deg):
            raise UsageError("hand-eye: --robot-noise takes two finite numbers of at least 0 (mm and deg per axis)")
        options.robot_translation_sigma_mm, options.robot_rotation_sigma_deg = translation_mm, rotation_deg
    options.target_scale = "fitted" if getattr(args, "fit_board_scale", False) else "measured"
    return options


def compare_methods(target, result, threshold: float, setup: str):
    """All five solvers on the views and camera poses the calibration used (closed forms on the camera poses the
    result's lens model gave); their own reports are not printed."""
    results = _velk.diagnostics.compare_hand_eye_methods(
        target, result.valid_robot_T_tcp_list, result.valid_image_list, result.camera_T_target_list,
        result.intrinsic_matrix, result.distortion_coefficients, threshold, setup=setup,
        camera_model=result.camera_model, print_reports=False)
    return results, comparison_text(results, _velk.diagnostics.restricted_motion(list(result.valid_robot_T_tcp_list)))


def used_detections(target, options, result):
    """The corners found again in the frames the result used (the result keeps its poses, not its corners)."""
    return _velk.IntrinsicCalibrator(target, options).find_corners(result.valid_image_list, annotate=False)


def frame_views(target, options, result, eye_to_hand: bool = False, detections=None):
    """Detections of the frames used (found again unless given) and their corners under the model behind the
    saved result."""
    from ..report.view_model import hand_eye_views

    if detections is None:
        detections = used_detections(target, options, result)
    return detections, hand_eye_views(result, detections, eye_to_hand)


def picture_label(result, position: int) -> str:
    """The picture at ``position`` of the list given, named as the library names it: "8 (image_8.png)"."""
    return _velk.picture_label(list(result.image_names), position)


def _frame_label(result, k: int, used: bool = False) -> str:
    """The picture at position k of the list given (or, ``used``, the k-th view the calibration used), named by its
    capture: "frame 8 (image_8.png)"."""
    if used:
        indices = list(result.image_indices)
        if not 0 <= k < len(indices):
            return f"view {k}"
        k = indices[k]
    return f"frame {picture_label(result, k)}"


def saved_transforms(result, eye_to_hand: bool, chain=None):
    """The transforms the record holds, with their 1-sigma when refined; ``chain`` (a calibration through the arm's
    chain whose transforms the record holds instead) gives them in its place."""
    from ..report.summary import SavedTransform

    if chain is not None:
        fit = chain.result.refinement
        names = ("robot_T_camera", "tcp_T_target") if eye_to_hand else ("tcp_T_camera", "world_T_target")
        return [SavedTransform(names[0], fit.camera_mount_T_camera, fit.camera_sigma),
                SavedTransform(names[1], fit.target_mount_T_target, fit.target_sigma)]
    refinement = result.refinement
    refined = result.refined and refinement is not None and refinement.refined
    names = ("robot_T_camera", "tcp_T_target") if eye_to_hand else ("tcp_T_camera", "world_T_target")
    # No sigma along a component the robot's motions leave undetermined: it is not measured.
    camera_sigma = mount_components.measured_sigma(refinement, names[0], refinement.camera_sigma) if refined else None
    target_sigma = mount_components.measured_sigma(refinement, names[1], refinement.target_sigma) if refined else None
    if eye_to_hand:
        return [SavedTransform("robot_T_camera", result.robot_T_camera, camera_sigma),
                SavedTransform("tcp_T_target", result.tcp_T_target, target_sigma)]
    return [SavedTransform("tcp_T_camera", result.tcp_T_camera, camera_sigma),
            SavedTransform("world_T_target", result.world_T_target, target_sigma)]


def overall_rms(views) -> tuple[float, int]:
    """RMS over every corner of every view, and the corner count."""
    squares = [np.sum((p - d) ** 2) for d, p in zip(views.detected, views.projected)]
    corners = sum(len(d) for d in views.detected)
    return (float(np.sqrt(sum(squares) / corners)) if corners else float("nan")), corners


def summary_of(result, views, threshold: float, eye_to_hand: bool, chain=None):
    """What the report can judge by itself: the RMS against the threshold, the refinement, the figures; ``chain``
    is the calibration through the arm's chain when the record holds its transforms."""
    from ..report.summary import Check, Summary

    refinement = result.refinement
    refined = result.refined and refinement is not None and refinement.refined
    rms, corners = overall_rms(views) if views is not None else (float("nan"), 0)
    if refined:
        rms, corners = refinement.rms_px, refinement.corner_count
    model = "refined model" if refined else "closed-form result, not refined"
    if chain is not None:
        rms, corners, model = chain.result.refinement.rms_px, chain.result.refinement.corner_count, "calibrated chain"
    summary = Summary(saved_transforms(result, eye_to_hand, chain), rms, f"over {corners} corners ({model})")
    if rms == rms:
        summary.checks.append(Check("Reprojection RMS", rms <= threshold,
                                    f"{rms:.3f} px over {corners} corners; per-view threshold {threshold:g} px"))
    if views is not None:
        above = [k for k, e in enumerate(views.rms()) if e > threshold]
        summary.checks.append(Check("Views above the threshold", not above,
                                    f"{len(above)} of {len(views.frames)} views above {threshold:g} px"))
    if refinement is not None:
        detail = (f"{refinement.summary.iterations} iterations, "
                  f"{'converged' if refinement.summary.converged else 'not converged'}" if refinement.refined
                  else f"not applied: {refinement.reason}")
        summary.checks.append(Check("Refinement", bool(refinement.refined and refinement.summary.converged),
                                    detail))
        if refinement.refined and refinement.robot_error_modelled:
            summary.checks.append(Check("Robot pose noise", not refinement.noise_warning,
                                        f"{refinement.robot_translation_noise_mm:.2f} mm / "
                                        f"{refinement.robot_rotation_noise_deg:.3f} deg per axis"
                                        + (f"; {refinement.noise_warning}" if refinement.noise_warning else "")))
        if refinement.refined and refinement.target_scale_measured:
            summary.checks.append(Check("Board size", not refinement.target_scale_differs
                                        or refinement.target_scale_applied,
                                        f"{refinement.target_scale:.4f} +- {refinement.target_scale_sigma:.4f} times "
                                        "the target file's size"
                                        + (" (the result is solved at it)" if refinement.target_scale_applied
                                           else "")))
    if result.has_consistency:
        c = result.consistency
        summary.checks.append(Check("Target consistency", None,
                                    f"mean {c.mean_translation_m * 1000:.2f} mm / {c.mean_rotation_deg:.3f} deg, "
                                    f"max {c.max_translation_m * 1000:.2f} mm / {c.max_rotation_deg:.3f} deg"))
    validation = result.validation
    if validation is not None and validation.validated:
        summary.checks.append(Check("Held-out prediction", None,
                                    f"median {validation.median_px:.2f} px, {validation.median_mm:.2f} mm / "
                                    f"{validation.median_deg:.3f} deg"))
    return summary


def gallery_section(result, views, given_images=None):
    """A tile for every picture given (``given_images``, default the ones used), named as the other plots name it:
    its corners and RMS, or why the calibration did not use it."""
    from ..report import sections

    if given_images is None:
        images, used, skipped = list(result.valid_image_list), list(result.image_indices), {}
    else:
        images, used = list(given_images), list(result.image_indices)
        # The result lists a used picture among the skipped ones too ("not used"): only the unused are taken.
        skipped = {int(s.index): str(s.reason) for s in result.skipped_pictures if int(s.index) not in used}
    by_frame = dict(zip(views.frames, views.detected))
    errors = dict(zip(views.frames, views.rms()))
    corners, captions = [], []
    for position in range(len(images)):
        given = position if given_images is not None else used[position]
        frame = used.index(given) if given in used else None
        corners.append(by_frame.get(frame))
        name = f"frame {picture_label(result, given)}"
        captions.append(f"{name}: {errors[frame]:.2f} px RMS" if frame in errors
                        else f"{name}: not used - {skipped.get(given, 'target not found')}")
    unused = [(picture_label(result, k), why) for k, why in sorted(skipped.items())]
    return sections.thumbnail_section(images, corners, captions, unused)


def report_sections(target, options, result, report_text, comparison, eye_to_hand: bool = False, verdict=None,
                    kinematics=None, detections=None, given_images=None):
    """The report: summary first (with ``verdict`` when one is given), the plots, the console text last;
    ``kinematics`` (record, calibration) is the calibration through the arm's chain, whose transforms the summary
    shows when the record holds them; ``given_images`` (every picture given) gives the gallery a tile for each."""
    chain = kinematics[1] if kinematics is not None and kinematics[0].applied else None
    from ..report import sections
    from ..report.summary import SavedTransform

    images = result.valid_image_list
    image_size = images[0].shape[1::-1]
    # Frames whose pose estimation failed leave the image list longer than the pose list.
    aligned = len(result.camera_T_target_list) == len(images)
    detections, views = frame_views(target, options, result, eye_to_hand, detections) if aligned else (None, None)
    threshold = options.per_view_error_threshold
    summary = summary_of(result, views, threshold, eye_to_hand, chain)
    parts = [sections.summary_section(summary, verdict)]
    camera_matrix, distortion = result.intrinsic_matrix, result.distortion_coefficients
    if views is not None and views.frames:
        errors = views.rms()
        labels = [_frame_label(result, k, used=True) for k in views.frames]
        worst = sections.worst_view(errors)
        parts += [sections.view_error_section(errors, threshold, labels, views.source),
                  sections.residual_vector_section(images[views.frames[worst]], views.detected[worst],
                                                   views.projected[worst], f"{labels[worst]} (largest error)"),
                  sections.coverage_section(detections.image_points, image_size)]
    points = detections.image_points if detections is not None else None
    parts.append(sections.distortion_section(camera_matrix, distortion, image_size, points,
                                             camera_model=result.camera_model))
    stats = _velk.diagnostics.analyze_rotation_variety(result.camera_T_target_list)
    parts.append(sections.rotation_section(result.camera_T_target_list, stats,
                                           _velk.diagnostics.format_rotation_variety(stats)))
    if result.has_consistency:
        count = len(result.consistency.translation_deviations_m)
        parts.append(sections.consistency_section(result, [_frame_label(result, k, used=True) for k in range(count)]))
    refinement = result.refinement
    if refinement is not None and refinement.refined and refinement.robot_error_modelled:
        labels = [_frame_label(result, k, used=True) for k in range(len(refinement.robot_pose_corrections))]
        parts.append(sections.robot_correction_section(refinement, labels))
    validation = result.validation
    if validation is not None and validation.validated:
        parts.append(sections.held_out_section(validation, lambda frame: _frame_label(result, frame)))
    if kinematics is not None:
        calibration = kinematics[1]
        labels = [_frame_label(result, k) for k in calibration.frames]
        parts.append(sections.kinematic_section(kinematics[0], calibration.held_out["nominal"].position_mm,
                                                calibration.held_out["calibrated"].position_mm, labels))
    if comparison is not None:
        saved = summary.transforms[0]
        saved_name = f"saved ({'refined' if saved.sigma is not None else 'closed form'})"
        parts.append(sections.method_section(*comparison, saved=SavedTransform(saved_name, saved.matrix),
                                             matrix_name=saved.name))
    if views is not None and views.frames:
        parts.append(gallery_section(result, views, given_images))
    parts.append(sections.report_text_section(report_text))
    return parts


def calibrate(args, target, data, method, intrinsic_matrix, distortion, chosen_refinement, progress):
    """The calibrator, its result and the distortion model chosen from the pictures (None unless chosen); the
    library's lines are shown when it is done, its report is not printed and nothing is saved (:func:`save_record`
    writes the record once its verdict is known)."""
    calibrator_class = setup_of(args).calibrator_class
    choosing = not args.intrinsics and common.chooses_distortion_model(args)
    total = len(data.images) * (1 + (common.distortion_candidates(args) if choosing else 0))
    with progress.detection(common.intrinsic_options(args, names=data.image_names), total) as options:
        with library_log.held(args.quiet) as records:
            choice = common.choose_hand_eye_distortion_model(args, target, data.images, options)
            calibrator = calibrator_class(target, options)
            fix, prior = mount_components.given(args)
            result = calibrator.calibrate(data.robot_T_tcp_list, data.images, method,
                                          intrinsic_matrix=intrinsic_matrix, distortion_coefficients=distortion,
                                          output_path=None, refine=args.refine,
                                          refinement_options=chosen_refinement, validate=args.validate,
                                          print_report=False, fix=fix, prior=prior)
            if not args.quiet:
                # The result's text, printed next, states these warnings itself.
                library_log.without_messages(records, printed_warnings(result))
    return calibrator, result, choice


def printed_warnings(result) -> list[str]:
    """The ends of the warnings the result's text states as well: the robot noise warning and the list of
    outlier views (the text's "Outlier views (kept)")."""
    refinement = result.refinement
    if refinement is None or not refinement.refined:
        return []
    labels = list(refinement.view_labels)
    outliers = [labels[k] if 0 <= k < len(labels) else str(k) for k in refinement.outlier_views]
    return ([str(refinement.noise_warning)] if refinement.robot_error_modelled else []) + (
        [": " + ", ".join(outliers)] if outliers else [])


def closed_form_rms(target, options, result, detections=None):
    """(RMS px, corner count) of the corners under the closed-form result's camera poses, for a result that was
    not refined (a refined one carries its own); None when the poses do not line up with the pictures.
    ``detections``: the used frames' corners when they were found already."""
    if len(result.camera_T_target_list) != len(result.valid_image_list) or not result.valid_image_list:
        return None
    with library_log.held(quiet=True):
        _, views = frame_views(target, options, result, detections=detections)
    rms, corners = overall_rms(views)
    return (rms, corners) if corners else None


def summary_sentences(result, chain=None) -> list[str]:
    """The robot's estimated pose error and the held-out accuracy, which --quiet keeps in the summary; those of
    ``chain`` (a (KinematicsRecord, calibration) whose transforms the record holds) in their place."""
    if chain is not None:
        prediction = chain[0].held_out
        return [chain[1].result.refinement.robot_noise_sentence(),
                f"Predicts pictures it did not see to {prediction.calibrated_px:.2f} px RMS, "
                f"{prediction.calibrated_mm:.2f} mm / {prediction.calibrated_deg:.3f} deg (median), through the "
                "calibrated chain"]
    sentences = []
    refinement = result.refinement
    if refinement is not None and refinement.refined and refinement.robot_error_modelled:
        sentences.append(refinement.robot_noise_sentence())
    validation = result.validation
    if validation is not None and validation.validated:
        sentences.append(validation.sentence())
    return sentences


def headline(result, eye_to_hand: bool, method: str, closed_form=None, chain=None) -> str:
    """The saved transform in mm and deg with its 1-sigma, the reprojection RMS in pixels; ``chain`` is the
    calibration through the arm's chain when the record holds its transforms."""
    saved = saved_transforms(result, eye_to_hand, chain)[0]
    name, sigma = saved.name, saved.sigma
    refinement = chain.result.refinement if chain is not None else result.refinement
    pose = _velk.tf.transformation_matrix_to_pose(np.asarray(saved.matrix))
    translation_sigma = mount_components.sigma_texts(sigma.translation_mm, 2) if sigma else ""
    rotation_sigma = mount_components.sigma_texts(sigma.rotation_deg, 3) if sigma else ""
    lines = [f"Saved {name} ({saved_method(result, method, chain)}):",
             "  x, y, z = " + ", ".join(f"{v * 1000:.2f}" for v in pose[:3]) + " mm"
             + (f"  (1-sigma {translation_sigma} mm)" if sigma else ""),
             "  rx, ry, rz = " + ", ".join(f"{v:.3f}" for v in pose[3:]) + " deg"
             + (f"  (1-sigma {rotation_sigma} deg)" if sigma else ""),
             *rotation_forms(saved.matrix)]
    lines += mount_components.component_lines(refinement)
    if refinement is not None and refinement.refined:
        lines.append(f"  Reprojection RMS: {refinement.rms_px:.3f} px over {refinement.corner_count} corners")
    elif closed_form is not None:
        lines.append(f"  Reprojection RMS: {closed_form[0]:.3f} px over {closed_form[1]} corners")
    return "\n".join(lines) + "\n"


def rotation_forms(matrix) -> list[str]:
    """The saved rotation also as a unit quaternion and a rotation vector, for tools that take those."""
    rotation = np.asarray(matrix)[:3, :3]
    quaternion = quaternion_from_rotation(rotation)
    vector = rotvec_from_rotation(rotation)
    return ["  quaternion w, x, y, z = " + ", ".join(f"{v:.6f}" for v in quaternion),
            "  rotation vector = " + ", ".join(f"{v:.6f}" for v in vector) + " rad"]


def saved_method(result, method: str, chain=None) -> str:
    if chain is not None:
        return f"{method} closed form, refined over all corners through the calibrated kinematic chain"
    refinement = result.refinement
    if refinement is not None and refinement.refined:
        return f"{method} closed form, refined over all corners"
    return f"{method} closed form"


def record_members(result, method: str, intrinsics_given: bool, verdict, kinematics=None) -> dict:
    """The annotations hand_eye.json and eye_to_hand.json carry beside the result: what it was solved with and how
    it was judged, and ``kinematics`` (a KinematicsRecord) when it was also calibrated through the arm's chain."""
    refinement = result.refinement
    refined = refinement is not None and bool(refinement.refined)
    what = []
    if refined:
        what = ["hand-eye transform", "target pose"]
        if refinement.intrinsics_refined:
            what.append("intrinsics")
        if refinement.robot_error_modelled:
            what.append("robot pose errors")
        if refinement.target_scale_applied:
            what.append("target size")
        if kinematics is not None and kinematics.applied:
            what.append("kinematic corrections")
    intrinsics = _velk.io.IntrinsicsUsedRecord()
    intrinsics.source = "given" if intrinsics_given else "calibrated from the pictures"
    intrinsics.camera_matrix = records.matrix_list(result.intrinsic_matrix)
    intrinsics.distortion_coefficients = np.ravel(result.distortion_coefficients).tolist()
    intrinsics.refined = bool(refined and refinement.intrinsics_refined)
    applied = _velk.io.RefinementAppliedRecord()
    applied.refined, applied.what = refined, what
    applied.reason = "" if refined else str(result.refinement_reason)
    applied.rms_px = float(refinement.rms_px) if refined else None
    members = {
        "units": {"translation": "m", "rotation": "3 x 3 rotation matrix", "angles": "deg", "pixels": "px"},
        "intrinsics_used": intrinsics,
        "refinement_applied": applied,
        "saved_method": saved_method(result, method),
        "image_names": [result.image_names[k] for k in result.image_indices] if len(result.image_names) else [],
        "verdict": verdict,
    }
    if kinematics is not None:
        members["kinematics"] = kinematics
        if kinematics.applied:
            members["saved_method"] = saved_method(result, method, kinematics)
    return members


def save_record(args, result, method: str, total_images: int, output_path: Path, verdict, chain=None) -> Path:
    """Writes hand_eye.json or eye_to_hand.json once, with the result, how it was obtained and its verdict; with
    ``chain`` (kinematics record, calibration), what the calibration through the arm's chain found, whose
    transforms the record holds when its chain predicts better."""
    setup = setup_of(args)
    kinematics = chain[0] if chain is not None else None
    record = records.annotated(setup.record_of(result, method, total_images),
                               record_members(result, method, bool(args.intrinsics), verdict, kinematics))
    if kinematics is not None and kinematics.applied:
        hand_eye_kinematics.apply_to_record(record, args.eye_to_hand, chain[1])
    # A record that fails its checks is saved, but not reported as a success.
    with library_log.held(args.quiet, success=verdict.ok):
        return setup.save(output_path, record)


def calibrate_chain(args, chain_inputs, detections, data, result):
    """(KinematicsRecord, calibration) of the calibration through the arm's chain from the corners ``detections``
    found in the frames the result used, its lines printed (the helps sentence also with --quiet) and its files
    written; None without --model."""
    if chain_inputs is None:
        return None
    # The held-out fits repeat the refinement's lines once per fold: only the figures are shown.
    with library_log.dropped():
        calibration = hand_eye_kinematics.calibrate(args, chain_inputs, detections, result, data)
    lines = hand_eye_kinematics.lines(args, calibration)
    print("\n".join(lines[-1:] if args.quiet else lines))
    for line in hand_eye_kinematics.write_outputs(args, chain_inputs, calibration):
        print(line)
    return hand_eye_kinematics.kinematics_record(args, chain_inputs, calibration), calibration


def dataset_inputs(args) -> dict:
    """The files a hand-eye run reads, for the output checks."""
    return {"a file of the dataset": output_paths.dataset_files(args.dataset), "the --target file": args.target,
            "the --intrinsics file": args.intrinsics, "the --model file": getattr(args, "model", None),
            "the --joints file": getattr(args, "joints", None)}


def check_outputs(args) -> None:
    """Refuses outputs that would overwrite an input or each other, before any work."""
    name = "eye_to_hand.json" if args.eye_to_hand else "hand_eye.json"
    output_paths.check_outputs("hand-eye", {
        "-o": output_paths.result_file(args.output or args.dataset, name), "--report": args.report,
        "--kinematics-output": args.kinematics_output, "--urdf-output": args.urdf_output}, dataset_inputs(args))


def run(args) -> int:
    check_outputs(args)
    printed, target = common.load_target(args)
    progress = common.progress_for(args)
    intrinsic_matrix, distortion = given_intrinsics(args)
    chosen_refinement = refinement_options(args)
    chain_inputs = hand_eye_kinematics.load_inputs(args)
    data = load_hand_eye_folder(args.dataset, progress, allow_gaps=args.allow_gaps,
                                poses=chain_inputs.robot_T_flange_list if chain_inputs else None)
    check_intrinsics_size(args, data.images)
    output_path = Path(args.output) if args.output else Path(args.dataset)
    method = "TSAI" if args.compare else args.method
    setup = setup_of(args).name
    hint = common.marker_hint(printed, data.images)
    if hint:
        common.fail(f"hand-eye calibration used 0 of {len(data.images)} views; {hint}")
    common.check_distortion_model(args, "hand-eye")
    calibrator, result, choice = calibrate(args, target, data, method, intrinsic_matrix, distortion,
                                           chosen_refinement, progress)
    if not result.ok:
        common.fail(f"hand-eye calibration used {len(result.valid_image_list)} of {len(data.images)} views; it needs "
                    "at least 4 views with the target found, within the error threshold and with varied robot poses "
                    "(see the log lines above)")
    report_text = calibrator.format_results()
    if not args.quiet:
        print(report_text, end="")
    comparison = None
    if args.compare:
        with library_log.held(args.quiet):
            comparison = compare_methods(target, result, args.per_view_error_threshold, setup)
        print(comparison[1], end="")
    # The closed form's RMS, the chain calibration and the report's sections all read the used frames' corners:
    # they are found once.
    detections = None
    aligned = bool(result.valid_image_list) and len(result.camera_T_target_list) == len(result.valid_image_list)
    if aligned or chain_inputs is not None:
        with library_log.dropped():
            detections = used_detections(target, common.intrinsic_options(args, names=data.image_names), result)
    refined = result.refinement is not None and result.refinement.refined
    closed_form = None if refined else closed_form_rms(target, common.intrinsic_options(args), result, detections)
    intrinsics = compare_intrinsics(args, target, data, intrinsic_matrix, distortion, progress)
    chain = calibrate_chain(args, chain_inputs, detections, data, result)
    verdict = judge_hand_eye(result, data.robot_T_tcp_list, args.eye_to_hand, data.image_names,
                             comparison[0] if comparison else None, closed_form[0] if closed_form else None,
                             data.capture_indices, intrinsics, args.intrinsics,
                             scale_length=printed.scale_length(), kinematics=chain[0] if chain else None)
    parts = report_sections(target, common.intrinsic_options(args), result, report_text, comparison,
                            args.eye_to_hand, verdict, chain, detections, data.images)
    common.take_warnings(verdict, parts)
    record = save_record(args, result, method, len(data.images), output_path, verdict, chain)
    if not args.intrinsics:
        print(common.distortion_model_line(choice, args))
    applied = chain[1] if chain is not None and chain[0].applied else None
    print(headline(result, args.eye_to_hand, method, closed_form, applied), end="")
    if args.quiet:
        print("".join(f"  {sentence}\n" for sentence in summary_sentences(result, chain if applied else None)),
              end="")
    print(verdict.summary(), end="")
    print(f"Result written to {record}" + ("" if verdict.ok else " (marked as failing its checks)"))
    if args.report:
        title = "Eye-to-hand calibration" if args.eye_to_hand else "Eye-in-hand calibration"
        common.write_report(args.report, title, parts)
    return verdict.code
