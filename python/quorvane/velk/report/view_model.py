"""Each view's detected corners and where the model behind the saved result puts them.

A refined result (hand-eye or rig) carries, per view, the corners as its solver projected them through the refined
model: for a hand-eye result camera_T_target_i = inv(camera_mount_T_camera) * camera_mount_T_target_mount_i *
target_mount_T_target with the refined intrinsics, the flange pose moved by the refinement's correction when the
robot's error was modelled; for a rig inv(reference_T_camera_k) * reference_T_target_f. The closed-form hand-eye
result is projected here, through the library's projection, at each picture's own pose (solvePnP) with the
intrinsics it was solved with. Charts, residual arrows and thumbnails all take these, so they agree with each other
and with the per-view RMS the library prints."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np


@dataclass
class ViewResiduals:
    frames: list = field(default_factory=list)  # position of each view in the calibration's image list
    detected: list = field(default_factory=list)  # N x 2 pixels per view
    projected: list = field(default_factory=list)  # N x 2 pixels per view
    source: str = ""  # where the poses came from, for the report's notes
    solved_rms: list = None  # per-view RMS as the solver itself reported it, when it did

    def projected_rms(self) -> list[float]:
        """Per-view RMS distance between the detected and the projected corners."""
        return [float(np.sqrt(np.mean(np.sum((p - d) ** 2, axis=1)))) if len(d) else 0.0
                for d, p in zip(self.detected, self.projected)]

    def rms(self) -> list[float]:
        """Per-view RMS: the solver's own figures when it gave them (the projections reproduce them to about a
        thousandth of a pixel), else those of the projections."""
        return list(self.solved_rms) if self.solved_rms is not None else self.projected_rms()


def project(object_points, camera_T_target, camera_matrix, distortion, camera_model: str = "pinhole") -> np.ndarray:
    """Pixels (N x 2) of target points seen from camera_T_target, as the library projects them."""
    import _velk

    return np.asarray(_velk.project_points(np.asarray(object_points, np.float64).reshape(-1, 3),
                                           np.asarray(camera_T_target, np.float64), np.asarray(camera_matrix),
                                           np.asarray(distortion), camera_model), np.float64)


def _solver_projections(refinement, frames, detected) -> list | None:
    """The refined views' detected corners and the solver's projections of them, frame by frame; None unless the
    refinement projected every view and each was detected here with the same corners."""
    if refinement is None or not refinement.refined or not refinement.projected_corners:
        return None
    found = dict(zip(frames, detected))
    views = [(frame, found.get(frame), np.asarray(projected, np.float64).reshape(-1, 2))
             for frame, projected in zip(refinement.view_frames, refinement.projected_corners)]
    if len(views) != len(frames) or any(d is None or len(d) != len(p) for _, d, p in views):
        return None
    return views


def hand_eye_views(result, detections, eye_to_hand: bool) -> ViewResiduals:
    """The views of a hand-eye result whose corners were found again in result.valid_image_list: those of a refined
    result as its solver projected them, those of a closed-form one projected through the result's lens model.
    Either set-up (eye_to_hand) reads the same: the refined projections follow the result's own chain."""
    frames = list(detections.successful_indices)
    detected = [np.asarray(p, np.float64).reshape(-1, 2) for p in detections.image_points]
    refinement = result.refinement
    solved = _solver_projections(refinement, frames, detected)
    if solved is not None:
        intrinsics = "refined intrinsics" if refinement.intrinsics_refined else "the intrinsics (held fixed)"
        source = (f"the refined model: {intrinsics} and each view's pose from the refined transforms and its "
                  "robot pose" + (" (as corrected by the refinement)" if refinement.robot_error_modelled else ""))
        return ViewResiduals([f for f, _, _ in solved], [d for _, d, _ in solved], [p for _, _, p in solved], source,
                             solved_rms=list(refinement.per_view_rms_px))
    objects = [np.asarray(p, np.float64).reshape(-1, 3) for p in detections.object_points]
    poses = [result.camera_T_target_list[f] for f in frames]
    model = getattr(result, "camera_model", "pinhole")
    projected = [project(o, pose, result.intrinsic_matrix, result.distortion_coefficients, model)
                 for o, pose in zip(objects, poses)]
    return ViewResiduals(frames, detected, projected,
                         "the closed-form result: its intrinsics and each picture's own pose (solvePnP)")


def intrinsic_views(result, detections) -> ViewResiduals:
    """The views of an intrinsic calibration under its camera model, each at its best pose (solvePnP)."""
    from ..lens import project_points, solve_pose

    model = getattr(result, "camera_model", "pinhole")
    camera_matrix = np.asarray(result.intrinsic_matrix, np.float64)
    distortion = np.asarray(result.distortion_coefficients, np.float64)
    views = ViewResiduals(source="the calibrated intrinsics, each picture at its own best pose")
    for frame, objects, points in zip(detections.successful_indices, detections.object_points,
                                      detections.image_points):
        objects = np.asarray(objects, np.float64).reshape(-1, 3)
        points = np.asarray(points, np.float64).reshape(-1, 2)
        ok, rvec, tvec = solve_pose(objects, points, camera_matrix, distortion, model)
        projected = project_points(objects, rvec, tvec, camera_matrix, distortion, model) if ok else points.copy()
        views.frames.append(frame)
        views.detected.append(points)
        views.projected.append(projected)
    return views


def rig_views(refinement, detections_per_camera, camera_model: str = "pinhole") -> ViewResiduals:
    """The views of a refined rig: the corners each camera's detection found in frame f, and where the refinement's
    solver projected them through camera k's refined intrinsics and the rig's lens model (camera_model, the one the
    solver used) with camera_k_T_target_f = inv(reference_T_camera_k) * reference_T_target_f."""
    intrinsics = "refined intrinsics" if refinement.intrinsics_refined else "the intrinsics (held fixed)"
    views = ViewResiduals(source=f"the refined rig: {intrinsics}, camera poses and board poses",
                          solved_rms=list(refinement.per_view_rms_px))
    for camera, frame, projected in zip(refinement.view_cameras, refinement.view_frames,
                                        refinement.projected_corners):
        detections = detections_per_camera[camera]
        position = list(detections.successful_indices).index(frame)
        views.frames.append((camera, frame))
        views.detected.append(np.asarray(detections.image_points[position], np.float64).reshape(-1, 2))
        views.projected.append(np.asarray(projected, np.float64).reshape(-1, 2))
    return views
