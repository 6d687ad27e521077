"""The report's sections, each built from calibration results by one plot module."""

from __future__ import annotations

import html
from functools import partial

import numpy as np

from . import (
    cell_top_view,
    consistency,
    coverage,
    distortion,
    fisheye_mapping,
    held_out,
    kinematic_corrections,
    method_table,
    plan_sigma,
    plan_sketch,
    residuals,
    rig_top_view,
    robot_corrections,
    rotation_variety,
    summary,
    thumbnails,
    view_errors,
)
from .document import Section


def summary_section(content, verdict=None) -> Section:
    """The opening summary (a summary.Summary); a verdict (text, code, checks) is shown first when given, and the
    warnings of every section of the page beneath it."""
    # The report's own checks that failed, which the verdict's checks replace on the page, stay as warnings.
    own = [f"{check.name}: {check.detail}" for check in content.checks
           if verdict is not None and not isinstance(check, tuple) and check.passed is False]
    return Section("summary", "Summary", summary.summary_html(content, verdict), warnings=own,
                   render=lambda warnings: summary.summary_html(content, verdict, warnings))


def view_error_section(errors, threshold: float, labels, source: str = "") -> Section:
    above = sum(1 for error in errors if error > threshold)
    note = f"{len(errors)} views, {above} above the {threshold:g} px threshold (red)."
    if source:
        note += f" Computed from {source}."
    return Section("view-errors", "Reprojection error per view",
                   partial(view_errors.figure_svg, errors, threshold, labels), note)


def residual_vector_section(image, detected, projected, label: str) -> Section:
    """Residual arrows of one view from corners already projected by the model the chart uses."""
    return Section("residuals", f"Residual vectors of {label}",
                   partial(residuals.figure_svg, image, np.asarray(detected), np.asarray(projected), label),
                   "Arrows point from each detected corner to where the calibrated model puts it, magnified.")


def residual_section(image, object_points, image_points, camera_matrix, dist, label: str,
                     camera_model: str = "pinhole") -> Section:
    detected, projected = residuals.view_residuals(object_points, image_points, camera_matrix, dist, camera_model)
    return Section("residuals", f"Residual vectors of {label}",
                   partial(residuals.figure_svg, image, detected, projected, label),
                   "Arrows point from each detected corner to where the calibrated model puts it, magnified.")


def coverage_section(points_per_view, image_size) -> Section:
    counts = coverage.coverage_grid(points_per_view, image_size)
    return Section("coverage", "Corner coverage of the image area", partial(coverage.figure_svg, counts, image_size),
                   "Blank cells saw no corner; distortion there is extrapolated, not measured.")


def distortion_section(camera_matrix, dist, image_size, points_per_view=None, camera: str = "",
                       camera_model: str = "pinhole") -> Section:
    key = f"distortion-{camera}" if camera else "distortion"
    if camera_model == "fisheye":
        return _fisheye_mapping_section(camera_matrix, dist, image_size, points_per_view, camera, key)
    note = ("Each arrow goes from where the lens images a point to where a distortion-free lens would, magnified "
            "as the title says.")
    warnings = []
    if points_per_view is not None:
        _, _, _, inside, outside, hull = distortion.field_summary(camera_matrix, dist, image_size, points_per_view)
        note += " Shaded: outside every detected corner, where the model is extrapolated."
        warning = distortion.extrapolation_warning(inside, outside) if hull is not None else ""
        if warning:
            note += " " + warning
            warnings.append(_lifted("Distortion" + (f" of {camera}" if camera else ""), warning))
    return Section(key, f"Distortion field of {camera}" if camera else "Distortion field",
                   partial(distortion.figure_svg, camera_matrix, dist, image_size, points_per_view, key), note,
                   warnings)


def _lifted(where: str, warning: str) -> str:
    """A section's warning as the summary lists it: where it was found, then what it says."""
    return f"{where}: {warning.removeprefix('WARNING: ')}"


def _fisheye_mapping_section(camera_matrix, dist, image_size, points_per_view, camera: str, key: str) -> Section:
    note = ("How far from the principal point the fisheye lens puts a ray, against the ray's angle from the optical "
            "axis, with an ideal equidistant lens and a pinhole lens for comparison.")
    seen, edge = fisheye_mapping.mapping_summary(camera_matrix, dist, image_size, points_per_view)
    warnings = []
    if seen is not None:
        note += " Shaded: angles no detected corner reached, where the model is extrapolated."
        if seen < 0.8 * edge:
            warning = (f"WARNING: corners were seen up to {seen:.0f} deg off axis but the picture reaches {edge:.0f} "
                       "deg: take pictures with the board near the image edges and corners.")
            note += " " + warning
            warnings.append(_lifted("Fisheye lens mapping" + (f" of {camera}" if camera else ""), warning))
    return Section(key, f"Fisheye lens mapping of {camera}" if camera else "Fisheye lens mapping",
                   partial(fisheye_mapping.figure_svg, camera_matrix, dist, image_size, points_per_view, key), note,
                   warnings)


def lens_model_section(detections, image_size, camera_model: str) -> Section:
    """Both lens models fitted to the same corners, so that users see which describes their lens."""
    from ..lens import better_model, model_fit_text, model_fits

    fits = model_fits(detections.object_points, detections.image_points, image_size)
    text = f"Calibrated with the {camera_model} model. " + model_fit_text(fits, camera_model) + "."
    better = better_model(fits, camera_model)
    warnings = [f"Lens model: the {better} model fits this lens clearly better than the {camera_model} model used: "
                f"calibrate with --camera-model {better}"] if better else []
    return Section("lens-model", f"Lens model ({camera_model})", f"<p>{html.escape(text)}</p>",
                   "The pinhole model with rational distortion cannot describe lenses much wider than 120 degrees; the "
                   "fisheye (equidistant) model can. A clearly smaller RMS says which model fits.", warnings)


def thumbnail_section(images, corners, captions, skipped=()) -> Section:
    """The gallery: a tile per picture given, corners[k] None where the board was not found. ``skipped``: (name,
    why) of the pictures the calibration did not use, listed among the summary's warnings."""
    skipped = list(skipped)
    warnings = [f"Pictures: {len(skipped)} of {len(images)} not used: "
                + "; ".join(f"{name} ({why})" for name, why in skipped)] if skipped else []
    return Section("pictures", "Pictures and their detected corners",
                   partial(thumbnails.gallery_html, images, corners, captions),
                   "Every picture with the corners found in it (green dots); a picture without them says why.",
                   warnings)


def unused_pictures_section(skipped, total: int) -> Section:
    """The pictures a command did not use ((name, why) each), for reports without a gallery."""
    skipped = list(skipped)
    items = "".join(f"<li>{html.escape(name)}: {html.escape(why)}</li>" for name, why in skipped)
    body = f"<ul>{items}</ul>" if skipped else f"<p>All {total} pictures were used.</p>"
    warnings = [f"Pictures: {len(skipped)} of {total} not used: "
                + "; ".join(f"{name} ({why})" for name, why in skipped)] if skipped else []
    return Section("pictures", "Pictures not used", body, "", warnings)


def rotation_section(camera_T_target_list, stats, text: str = "") -> Section:
    """The rotation axes of the motions and the figures the rotation variety check reads (``text``, the console's
    wording of them, is not repeated); with no ``stats`` (the views do not turn against each other) a sentence
    says so."""
    if stats is None:
        return Section("rotation-variety", "Rotation variety of the captured views",
                       "<p>The views do not turn against each other: there are no rotation axes to show.</p>", "")
    figures = [("Motions between views", f"{stats.num_motions}"),
               ("Mean / largest turn", f"{stats.angle_mean_deg:.1f} / {stats.angle_max_deg:.1f} deg"),
               ("Singular values of the rotation vectors", ", ".join(f"{v:.3f}" for v in stats.singular_values)),
               ("Axis-spread ratio (smallest / largest)", f"{stats.axis_span_ratio:.3f}")]
    rows = "".join(f'<tr><td class="name">{html.escape(name)}</td><td>{value}</td></tr>' for name, value in figures)
    table = f'<table class="figures" id="rotation-figures">{rows}</table>'

    def body() -> str:
        return rotation_variety.figure_svg(camera_T_target_list, stats) + table

    return Section("rotation-variety", "Rotation variety of the captured views", body,
                   "Unit axes of the rotations between consecutive views, seen along each axis; "
                   "points spread over the circles mean well-observed hand-eye rotation.")


def consistency_section(result, labels=None) -> Section:
    """labels: the picture name of each frame the result used."""
    if hasattr(result, "robot_T_camera"):
        note = "With a correct robot_T_camera every frame puts the target at the same place on the flange."
    else:
        note = "With a correct tcp_T_camera every frame puts the target at the same place in the robot base frame."
    return Section("consistency", "Per-frame hand-eye consistency",
                   partial(consistency.figure_svg, result.consistency, labels),
                   note)


def robot_correction_section(refinement, labels) -> Section:
    """How much each reported flange pose had to move to agree with its picture (refinements that modelled it)."""
    suspects = list(refinement.suspect_poses)
    note = (f"Robot poses agree with the pictures to {refinement.robot_translation_noise_mm:.2f} mm / "
            f"{refinement.robot_rotation_noise_deg:.3f} deg RMS per axis "
            f"({'estimated' if refinement.noise_estimated else 'given'}); corner noise "
            f"{refinement.pixel_noise_px:.2f} px. ")
    note += (f"Suspect poses (red, kept): {', '.join(labels[k] for k in suspects)}." if suspects
             else "No pose stands out.")
    warnings = []
    if refinement.noise_warning:
        note += " WARNING: " + refinement.noise_warning
        warnings.append(_lifted("Robot poses", refinement.noise_warning))
    body = partial(robot_corrections.figure_svg, refinement.robot_pose_corrections, suspects,
                   refinement.robot_translation_noise_mm, refinement.robot_rotation_noise_deg, labels)
    return Section("robot-corrections", "Robot pose corrections", body, note, warnings)


def held_out_section(validation, label=None) -> Section:
    """Every picture predicted from a calibration solved without it, beside its fitted residual. label: the name
    of the picture at a position of the list given (default "frame N")."""
    frames = list(validation.frames)
    label = label or (lambda frame: f"frame {frame}")
    note = (f"Predicts pictures it did not see to {validation.median_px:.1f} px (median), "
            f"{validation.median_mm:.1f} mm / {validation.median_deg:.2f} deg")
    if validation.observed_over_predicted == validation.observed_over_predicted:  # not NaN
        note += f"; observed/predicted {validation.observed_over_predicted:.1f}"
    note += (". Worst: " + ", ".join(label(f) for f in validation.worst_frames) +
             ". Expect about the held-out error at new robot poses; the fitted residual flatters.")
    body = partial(held_out.figure_svg, frames, list(validation.held_out_rms_px), list(validation.fitted_rms_px),
                   validation.median_px, set(validation.worst_frames), [label(f) for f in frames])
    return Section("held-out", "Held-out prediction per picture", body, note,
                   held_out_warnings(validation, [label(f) for f in frames]))


#: A picture predicted this many times worse than the median held-out error stands out.
HELD_OUT_OUTLIER_FACTOR = 3.0


def held_out_warnings(validation, names) -> list[str]:
    """The pictures predicted far worse than the others, and the pictures the validation skipped."""
    errors = list(validation.held_out_rms_px)
    limit = HELD_OUT_OUTLIER_FACTOR * validation.median_px
    outliers = [f"{name} ({error:.1f} px)" for name, error in zip(names, errors) if error > limit]
    warnings = [f"Held-out prediction: {', '.join(outliers)} predicted more than {HELD_OUT_OUTLIER_FACTOR:g} x the "
                f"median error ({validation.median_px:.1f} px): check the picture, its detection and its pose"
                ] if outliers and limit > 0 else []
    if len(validation.skipped):
        warnings.append("Held-out prediction skipped " + "; ".join(str(entry) for entry in validation.skipped))
    return warnings


def kinematic_section(record, nominal_mm, calibrated_mm, labels) -> Section:
    """A calibration through the arm's chain (its KinematicsRecord): the corrections it estimated and every
    picture's board predicted without it through both chains."""
    estimated = [p for p in record.parameters if p.estimated]
    held = [p for p in record.parameters if not p.estimated]
    prediction = record.held_out
    note = (f"Held out, the calibrated chain predicts the pictures to {prediction.calibrated_px:.3f} px RMS "
            f"({prediction.calibrated_mm:.2f} mm median), the nominal one to {prediction.nominal_px:.3f} px "
            f"({prediction.nominal_mm:.2f} mm): "
            + ("the saved transforms are solved through the calibrated chain." if record.applied else
               "the calibrated chain does not predict clearly better; the saved transforms are the nominal chain's."))
    if held:
        note += " Held at nominal: " + "; ".join(f"{p.name} ({p.held})" for p in held) + "."
    body = partial(kinematic_corrections.figure_svg, estimated, nominal_mm, calibrated_mm, labels)
    return Section("kinematics", f"Kinematic corrections ({record.mode})", body, note)


def held_out_views_section(validation, labels=None) -> Section:
    """Intrinsics or rig: every picture predicted from a calibration solved without it, beside its fitted
    residual; a rig shows one bar pair per camera and frame."""
    frames = list(validation.frames)
    cameras = list(validation.cameras)
    many = len(set(cameras)) > 1
    names = [f"cam {c} frame {f}" if many else (labels[f] if labels else f"frame {f}")
             for c, f in zip(cameras, frames)]
    worst = [labels[f] if labels and not many else f"frame {f}" for f in validation.worst_frames]
    note = (validation.sentence() + ". Worst: " + ", ".join(worst) +
            ". Expect about the held-out error on new pictures; the fitted residual flatters.")
    body = partial(held_out.figure_svg, frames, list(validation.held_out_rms_px), list(validation.fitted_rms_px),
                   validation.median_px, set(validation.worst_frames), labels=names)
    return Section("held-out", "Held-out prediction per picture", body, note, held_out_warnings(validation, names))


def method_section(method_results, text: str, saved=None, matrix_name: str = "tcp_T_camera") -> Section:
    note = ("Angles within half a turn of the saved result's; the last two columns give each solver's distance "
            "from it." if saved is not None else "")
    return Section("methods", "Hand-eye method comparison",
                   method_table.table_html(method_results, text, saved, matrix_name), note)


def rig_section(result, camera_names, triangulation=None) -> Section:
    points = triangulation.points_3d if triangulation is not None else None
    return Section("rig", "Rig top view",
                   partial(rig_top_view.figure_svg, result.reference_T_camera_list, camera_names, points))


def cell_section(mount_T_camera_list, camera_names, board_points, eye_to_hand: bool) -> Section:
    """The cameras of a cell in their mount frame, with where the board stood at each robot pose."""
    frame = "robot base" if eye_to_hand else "flange"
    note = ("Stationary cameras and the board the robot held up to them, seen from above the robot base."
            if eye_to_hand else "The cameras on the flange, seen from above the flange (looking down its z axis).")
    return Section("cell", "Cell top view",
                   partial(cell_top_view.figure_svg, mount_T_camera_list, camera_names, board_points, frame), note)


def report_text_section(text: str) -> Section:
    """The command's console text, which closes the report folded (a click opens it): every figure of it is shown
    above, in the summary and the plots."""
    body = (f'<details id="console-text"><summary>The command\'s console text, as printed</summary>'
            f"<pre>{html.escape(text)}</pre></details>")
    return Section("console", "Console output", body)


def worst_view(errors) -> int:
    return int(np.argmax(errors)) if len(errors) else 0


def plan_sections(scene, captured, planned, steps, corners_seen=None, noise_note: str = "", warnings=()) -> list:
    """A capture plan: its predicted 1-sigma per axis against the number of pictures, the planned poses in a table
    and a sketch of their camera poses; ``noise_note`` says where the noise levels came from, ``warnings`` what
    the user should change."""
    import _velk

    from ..planning import sigma_text

    last = steps[-1] if steps else None
    note = (f"After {len(captured) + len(steps)} pictures: {sigma_text(last.camera_sigma)}."
            if last is not None and last.determined else "The poses do not yet determine the hand-eye transform.")
    note += (" " + noise_note) if noise_note else ""
    cameras = [_velk.plan_camera_T_target(scene, pose) for pose in planned]
    before = [_velk.plan_camera_T_target(scene, pose) for pose in captured]
    headline = (f'<p class="rms" id="plan-headline">{len(planned)} poses planned'
                + (f" after the {len(captured)} captured" if captured else "") + f". {html.escape(note)}</p>")
    return [Section("summary", "Summary", headline,
                    render=lambda lifted: summary.warnings_html(lifted) + headline),
            Section("plan-sigma", "Predicted 1-sigma per axis against the number of pictures",
                    partial(plan_sigma.figure_svg, steps, len(captured) + 1), note, list(warnings)),
            Section("plan-poses", "Planned poses", plan_pose_table(planned, steps, len(captured), corners_seen),
                    "Flange poses in the robot base frame, in the order planned, each with the picture it is to "
                    "be paired with and the predicted 1-sigma of the hand-eye transform once it is taken."),
            Section("plan-sketch", "Planned camera poses around the board",
                    partial(plan_sketch.figure_svg, scene.object_points, cameras, before),
                    "Cameras in the board frame, numbered in the order planned; grey: already captured.")]


def plan_pose_table(planned, steps, first: int, corners_seen=None) -> str:
    """One row per planned flange pose: the picture it pairs with, x y z [mm], rx ry rz [deg], the corners the
    camera sees there and the predicted translation and rotation 1-sigma per axis after it."""
    from .summary import pose_mm_deg

    rows = []
    for k, (pose, step) in enumerate(zip(planned, steps)):
        values = pose_mm_deg(pose)
        cells = "".join(f"<td>{v:.1f}</td>" for v in values[:3]) + "".join(f"<td>{v:.2f}</td>" for v in values[3:])
        seen = f"<td>{corners_seen[k]}</td>" if corners_seen is not None else "<td></td>"
        sigma = (" ".join(f"{v:.3f}" for v in step.camera_sigma.translation_mm) + " mm | "
                 + " ".join(f"{v:.4f}" for v in step.camera_sigma.rotation_deg) + " deg") if step.determined \
            else "not yet determined"
        rows.append(f'<tr class="planned-pose"><td>{k + 1}</td><td class="name">image_{first + k}</td>{cells}{seen}'
                    f'<td class="detail">{sigma}</td></tr>')
    header = ("<tr><th>#</th><th>picture</th><th>x [mm]</th><th>y [mm]</th><th>z [mm]</th><th>rx [deg]</th>"
              "<th>ry [deg]</th><th>rz [deg]</th><th>corners seen</th>"
              "<th>1-sigma after it (x y z | rx ry rz)</th></tr>")
    return f'<table class="plan" id="planned-poses">{header}{"".join(rows)}</table>'
