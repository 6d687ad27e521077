"""The report's sections, each built from calibration results by one plot module."""

from __future__ import annotations

import html

import numpy as np

from . import (consistency, coverage, distortion, held_out, method_table, plan_sigma, plan_sketch, residuals,
               rig_top_view, robot_corrections, rotation_variety, view_errors)
from .document import Section, text_section


def view_error_section(errors, threshold: float, labels) -> Section:
    above = sum(1 for error in errors if error > threshold)
    return Section("view-errors", "Reprojection error per view", view_errors.figure_svg(errors, threshold, labels),
                   f"{len(errors)} views, {above} above the {threshold:g} px threshold (red).")


def residual_section(image, object_points, image_points, camera_matrix, dist, label: str) -> Section:
    detected, projected = residuals.view_residuals(object_points, image_points, camera_matrix, dist)
    return Section("residuals", f"Residual vectors of {label}",
                   residuals.figure_svg(image, detected, projected, label),
                   "Arrows point from each detected corner to where the calibrated model puts it, magnified.")


def coverage_section(points_per_view, image_size) -> Section:
    counts = coverage.coverage_grid(points_per_view, image_size)
    return Section("coverage", "Corner coverage of the image area", coverage.figure_svg(counts, image_size),
                   "Blank cells saw no corner; distortion there is extrapolated, not measured.")


def distortion_section(camera_matrix, dist, image_size) -> Section:
    return Section("distortion", "Distortion field", distortion.figure_svg(camera_matrix, dist, image_size),
                   "Each arrow goes from where the lens images a point to where a distortion-free lens would.")


def rotation_section(camera_T_target_list, stats, text: str) -> Section:
    body = rotation_variety.figure_svg(camera_T_target_list, stats) + f"<pre>{html.escape(text)}</pre>"
    return Section("rotation-variety", "Rotation variety of the captured views", body,
                   "Unit axes of the rotations between consecutive views, seen along each axis; "
                   "points spread over the circles mean well-observed hand-eye rotation.")


def consistency_section(result) -> Section:
    if hasattr(result, "robot_T_camera"):
        note = "With a correct robot_T_camera every frame puts the target at the same place on the flange."
    else:
        note = "With a correct tcp_T_camera every frame puts the target at the same place in the robot base frame."
    return Section("consistency", "Per-frame hand-eye consistency", consistency.figure_svg(result.consistency), note)


def robot_correction_section(refinement, labels) -> Section:
    """How much each reported flange pose had to move to agree with its picture (refinements that modelled it)."""
    suspects = list(refinement.suspect_poses)
    note = (f"Robot poses agree with the pictures to {refinement.robot_translation_noise_mm:.2f} mm / "
            f"{refinement.robot_rotation_noise_deg:.3f} deg RMS per axis "
            f"({'estimated' if refinement.noise_estimated else 'given'}); corner noise "
            f"{refinement.pixel_noise_px:.2f} px. ")
    note += (f"Suspect poses (red, kept): {', '.join(labels[k] for k in suspects)}." if suspects
             else "No pose stands out.")
    if refinement.noise_warning:
        note += " WARNING: " + refinement.noise_warning
    body = robot_corrections.figure_svg(refinement.robot_pose_corrections, suspects,
                                        refinement.robot_translation_noise_mm, refinement.robot_rotation_noise_deg,
                                        labels)
    return Section("robot-corrections", "Robot pose corrections", body, note)


def held_out_section(validation) -> Section:
    """Every picture predicted from a calibration solved without it, beside its fitted residual."""
    frames = list(validation.frames)
    note = (f"Predicts pictures it did not see to {validation.median_px:.1f} px (median), "
            f"{validation.median_mm:.1f} mm / {validation.median_deg:.2f} deg")
    if validation.observed_over_predicted == validation.observed_over_predicted:  # not NaN
        note += f"; observed/predicted {validation.observed_over_predicted:.1f}"
    note += (". Worst: " + ", ".join(f"frame {f}" for f in validation.worst_frames) +
             ". Expect about the held-out error at new robot poses; the fitted residual flatters.")
    body = held_out.figure_svg(frames, list(validation.held_out_rms_px), list(validation.fitted_rms_px),
                               validation.median_px, set(validation.worst_frames))
    return Section("held-out", "Held-out prediction per picture", body, note)


def held_out_views_section(validation, labels=None) -> Section:
    """Intrinsics or rig: every picture predicted from a calibration solved without it, beside its fitted
    residual; a rig shows one bar pair per camera and frame."""
    frames = list(validation.frames)
    cameras = list(validation.cameras)
    many = len(set(cameras)) > 1
    names = [f"cam {c} frame {f}" if many else (labels[f] if labels else f"frame {f}")
             for c, f in zip(cameras, frames)]
    note = (validation.sentence() + ". Worst: " + ", ".join(f"frame {f}" for f in validation.worst_frames) +
            ". Expect about the held-out error on new pictures; the fitted residual flatters.")
    body = held_out.figure_svg(frames, list(validation.held_out_rms_px), list(validation.fitted_rms_px),
                               validation.median_px, set(validation.worst_frames), labels=names)
    return Section("held-out", "Held-out prediction per picture", body, note)


def method_section(method_results, text: str) -> Section:
    return Section("methods", "Hand-eye method comparison", method_table.table_html(method_results, text))


def rig_section(result, camera_names, triangulation=None) -> Section:
    points = triangulation.points_3d if triangulation is not None else None
    return Section("rig", "Rig top view", rig_top_view.figure_svg(result.reference_T_camera_list, camera_names, points))


def report_text_section(text: str) -> Section:
    return text_section("summary", "Calibration report", text)


def worst_view(errors) -> int:
    return int(np.argmax(errors)) if len(errors) else 0


def frame_errors(detections, camera_T_target_list, camera_matrix, dist):
    """Per frame, the RMS distance between detected corners and their projection through the frame's camera_T_target."""
    import cv2

    errors = []
    for view, k in enumerate(detections.successful_indices):
        pose = np.asarray(camera_T_target_list[k], np.float64)
        rvec = cv2.Rodrigues(pose[:3, :3])[0]
        objects = np.asarray(detections.object_points[view], np.float64).reshape(-1, 3)
        projected, _ = cv2.projectPoints(objects, rvec, pose[:3, 3], camera_matrix, dist)
        detected = np.asarray(detections.image_points[view], np.float64).reshape(-1, 2)
        errors.append(float(np.sqrt(np.mean(np.sum((projected.reshape(-1, 2) - detected) ** 2, axis=1)))))
    return errors


def plan_sections(scene, captured, planned, steps) -> list:
    """A capture plan: its predicted 1-sigma against the number of pictures and a sketch of its camera poses."""
    import _velk

    from ..planning import sigma_text

    last = steps[-1] if steps else None
    note = (f"After {len(captured) + len(steps)} pictures: {sigma_text(last.camera_sigma)}."
            if last is not None and last.determined else "The poses do not yet determine the hand-eye transform.")
    cameras = [_velk.plan_camera_T_target(scene, pose) for pose in planned]
    before = [_velk.plan_camera_T_target(scene, pose) for pose in captured]
    return [Section("plan-sigma", "Predicted 1-sigma against the number of pictures",
                    plan_sigma.figure_svg(steps, len(captured) + 1), note),
            Section("plan-sketch", "Planned camera poses around the board",
                    plan_sketch.figure_svg(scene.object_points, cameras, before),
                    "Cameras in the board frame, numbered in the order planned; grey: already captured.")]
