"""Each view's detected corners and where the model behind the saved result puts them.

A refined hand-eye result predicts view i's board pose from the chain camera_T_target_i = inv(camera_mount_T_camera)
* camera_mount_T_target_mount_i * target_mount_T_target with the refined intrinsics, the flange pose moved by the
refinement's correction when the robot's error was modelled; the closed-form result uses each picture's own pose
(solvePnP) with the intrinsics it was solved with. Charts, residual arrows and thumbnails all take these, so they
agree with each other and with the per-view RMS the library prints."""

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
    import cv2

    from ..lens import project_points

    pose = np.asarray(camera_T_target, np.float64)
    rvec = cv2.Rodrigues(pose[:3, :3])[0]
    return project_points(object_points, rvec, pose[:3, 3].copy(), camera_matrix, distortion, camera_model)


def correction_matrix(correction) -> np.ndarray:
    """A flange correction ([x, y, z] mm, rotation vector [deg]) as a 4x4 transform in metres."""
    import cv2

    matrix = np.eye(4)
    matrix[:3, :3] = cv2.Rodrigues(np.radians(np.asarray(correction[3:], np.float64)))[0]
    matrix[:3, 3] = np.asarray(correction[:3], np.float64) / 1000.0
    return matrix


def refined_camera_T_target(refinement, robot_T_tcp_list, eye_to_hand: bool) -> list:
    """camera_T_target of every refined view, as the refinement's model predicts it."""
    camera = np.asarray(refinement.camera_mount_T_camera, np.float64)
    target = np.asarray(refinement.target_mount_T_target, np.float64)
    corrections = list(refinement.robot_pose_corrections) if refinement.robot_error_modelled else []
    poses = []
    for view, robot in enumerate(robot_T_tcp_list):
        flange = np.asarray(robot, np.float64)
        if corrections:
            flange = flange @ correction_matrix(corrections[view])
        mount = flange if eye_to_hand else np.linalg.inv(flange)
        poses.append(np.linalg.inv(camera) @ mount @ target)
    return poses


def hand_eye_views(result, detections, eye_to_hand: bool) -> ViewResiduals:
    """The views of a hand-eye result whose corners were found again in result.valid_image_list, projected through
    the result's lens model."""
    frames = list(detections.successful_indices)
    objects = [np.asarray(p, np.float64).reshape(-1, 3) for p in detections.object_points]
    detected = [np.asarray(p, np.float64).reshape(-1, 2) for p in detections.image_points]
    refinement = result.refinement
    if (refinement is not None and refinement.refined and len(refinement.per_view_rms_px) == len(frames)):
        robots = [result.valid_robot_T_tcp_list[f] for f in frames]
        poses = refined_camera_T_target(refinement, robots, eye_to_hand)
        camera_matrix, distortion = refinement.intrinsic_matrix, refinement.distortion_coefficients
        source = ("the refined model: refined intrinsics and each view's pose from the refined transforms and its "
                  "robot pose" + (" (as corrected by the refinement)" if refinement.robot_error_modelled else ""))
    else:
        poses = [result.camera_T_target_list[f] for f in frames]
        camera_matrix, distortion = result.intrinsic_matrix, result.distortion_coefficients
        source = "the closed-form result: its intrinsics and each picture's own pose (solvePnP)"
    model = getattr(result, "camera_model", "pinhole")
    projected = [project(o, pose, camera_matrix, distortion, model) for o, pose in zip(objects, poses)]
    views = ViewResiduals(frames, detected, projected, source)
    if refinement is not None and refinement.refined and len(refinement.per_view_rms_px) == len(frames):
        views.solved_rms = list(refinement.per_view_rms_px)
    return views


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
    """The views of a refined rig: camera_k_T_target_f = inv(reference_T_camera_k) * reference_T_target_f with the
    refined intrinsics of camera k, over the corners each camera's detection found in frame f, projected through the
    rig's camera model."""
    frames_used = list(refinement.frames_used)
    views = ViewResiduals(source="the refined rig: refined intrinsics, camera poses and board poses",
                          solved_rms=list(refinement.per_view_rms_px))
    for camera, frame in zip(refinement.view_cameras, refinement.view_frames):
        detections = detections_per_camera[camera]
        position = list(detections.successful_indices).index(frame)
        objects = np.asarray(detections.object_points[position], np.float64).reshape(-1, 3)
        pose = (np.linalg.inv(np.asarray(refinement.reference_T_camera_list[camera], np.float64)) @
                np.asarray(refinement.reference_T_target_list[frames_used.index(frame)], np.float64))
        views.frames.append((camera, frame))
        views.detected.append(np.asarray(detections.image_points[position], np.float64).reshape(-1, 2))
        views.projected.append(project(objects, pose, refinement.intrinsic_matrices[camera],
                                       refinement.distortion_coefficients[camera], camera_model))
    return views
