"""Hand-eye calibration through the arm's kinematic chain, from pictures.

Each picture comes with the arm's joint readings instead of a flange pose: the flange pose is computed
through the chain (a KinematicChain, or a UrdfChain from :mod:`kinematic_models`) with corrections
that every picture shares (the joints' zero offsets, or with ``mode="full"`` every link value), beside
each picture's own correction for the arm's remaining repeatability. The corrections the pictures
cannot tell from the hand-eye transform, the board's pose or the pictures' own corrections are held at
nominal and named. :func:`held_out_prediction` predicts the board in the camera at configurations
left out of the fit, with the nominal chain and with the calibrated one.

Corners are given per picture as N x 3 board points (metres) and N x 2 pixels, with the intrinsics, or
found in the pictures themselves (:func:`calibrate_from_images`).
"""

from __future__ import annotations

from dataclasses import dataclass

import cv2
import numpy as np

import _velk
from _velk import kinematics as _kinematics

from .kinematic_models import UrdfChain


def _chain(chain):
    return chain.chain if isinstance(chain, UrdfChain) else chain


def _camera_T_target(object_points, image_points, K, D) -> np.ndarray:
    ok, rvec, tvec = cv2.solvePnP(np.asarray(object_points, np.float64), np.asarray(image_points, np.float64),
                                  np.asarray(K, np.float64), np.asarray(D, np.float64))
    if not ok:
        raise ValueError("a picture's corners could not be posed")
    pose = np.eye(4)
    pose[:3, :3] = cv2.Rodrigues(rvec)[0]
    pose[:3, 3] = tvec.ravel()
    return pose


def closed_form_camera_mount(known_transforms, camera_T_target_list) -> np.ndarray:
    """tcp_T_camera (eye-in-hand) or robot_T_camera (eye-to-hand) by the closed-form solve (Park's method)
    from the known transforms as the refinement takes them and the pictures' own camera_T_target."""
    # The closed form takes robot_T_tcp eye-in-hand and tcp_T_robot eye-to-hand: the inverse of the known
    # transform (inv(robot_T_tcp) eye-in-hand, robot_T_tcp eye-to-hand) either way.
    gripper = [np.linalg.inv(m) for m in known_transforms]
    rotation, translation = cv2.calibrateHandEye([g[:3, :3] for g in gripper], [g[:3, 3] for g in gripper],
                                                 [c[:3, :3] for c in camera_T_target_list],
                                                 [c[:3, 3] for c in camera_T_target_list],
                                                 method=cv2.CALIB_HAND_EYE_PARK)
    pose = np.eye(4)
    pose[:3, :3] = rotation
    pose[:3, 3] = np.ravel(translation)
    return pose


def refinement_problem(chain, joints, object_points, image_points, K, D, *, eye_to_hand: bool = False,
                       camera_mount_T_camera=None, view_frames=None) -> _velk.HandEyeRefinementProblem:
    """The refinement problem of the pictures with the nominal chain's flange poses; the camera's mount
    starts from the closed form unless given."""
    known = _kinematics.chain_known_transforms(_chain(chain), [list(map(float, q)) for q in joints], eye_to_hand)
    if camera_mount_T_camera is None:
        poses = [_camera_T_target(o, i, K, D) for o, i in zip(object_points, image_points)]
        camera_mount_T_camera = closed_form_camera_mount(known, poses)
    problem = _velk.HandEyeRefinementProblem()
    problem.camera_mount_T_camera = np.asarray(camera_mount_T_camera, np.float64)
    problem.camera_mount_T_target_mount_list = list(known)
    problem.object_points = [np.asarray(o, np.float64).reshape(-1, 3) for o in object_points]
    problem.image_points = [np.asarray(i, np.float64).reshape(-1, 2) for i in image_points]
    problem.intrinsic_matrix = np.asarray(K, np.float64)
    problem.distortion_coefficients = np.asarray(D, np.float64).reshape(1, -1)
    problem.eye_to_hand = eye_to_hand
    if view_frames is not None:
        problem.view_frames = list(view_frames)
    return problem


def calibrate(chain, joints, object_points, image_points, K, D, *, eye_to_hand: bool = False,
              mode: str = "offsets", refine_intrinsics: bool = False, options=None, camera_mount_T_camera=None,
              view_frames=None, log: bool = True) -> _kinematics.KinematicHandEyeResult:
    """The camera's and the board's mounts and the chain's corrections from pictures with joint readings.

    The result holds ``refinement`` (tcp_T_camera or robot_T_camera as ``camera_mount_T_camera``, the board's
    pose as ``target_mount_T_target``, their 1-sigma, the corner and repeatability noise levels),
    ``parameters`` (every correction with its 1-sigma, or held with the reason), ``held``,
    ``corrected_chain`` and ``robot_T_tcp_list`` (the corrected flange poses)."""
    problem = refinement_problem(chain, joints, object_points, image_points, K, D, eye_to_hand=eye_to_hand,
                                 camera_mount_T_camera=camera_mount_T_camera, view_frames=view_frames)
    problem.refine_intrinsics = refine_intrinsics
    if options is None:
        options = _kinematics.KinematicHandEyeOptions()
        options.mode = mode
    return _kinematics.refine_hand_eye_with_kinematics(problem, _chain(chain), [list(map(float, q)) for q in joints],
                                                       options, log)


def calibrate_from_images(chain, joints, images, target, K, D, **options) -> _kinematics.KinematicHandEyeResult:
    """:func:`calibrate` from 8-bit BGR pictures of the target (ChessboardTarget, CharucoTarget, ...): the
    pictures without the target are left out with their joint readings, and ``refinement.view_frames``
    names the position of every picture used."""
    detections = _velk.IntrinsicCalibrator(target).find_corners(list(images), annotate=False)
    used = list(detections.successful_indices)
    if len(used) < 3:
        raise ValueError(f"the target was found in {len(used)} pictures; at least 3 are needed")
    result = calibrate(chain, [joints[k] for k in used], list(detections.object_points),
                       [np.asarray(p).reshape(-1, 2) for p in detections.image_points], K, D, view_frames=used,
                       **options)
    return result


def nominal_refinement(chain, joints, object_points, image_points, K, D, *, eye_to_hand: bool = False,
                       camera_mount_T_camera=None) -> _velk.HandEyeRefinement:
    """The robot-aware refinement with the flange poses of the nominal chain taken as reported (each pose
    corrected on its own), at the board's described size as the calibration through the chain solves it."""
    problem = refinement_problem(chain, joints, object_points, image_points, K, D, eye_to_hand=eye_to_hand,
                                 camera_mount_T_camera=camera_mount_T_camera)
    options = _velk.RefinementOptions()
    options.target_scale = "fixed"
    return _velk.refine_hand_eye(problem, options)


def predicted_camera_T_target(chain, joints, camera_mount_T_camera, target_mount_T_target,
                              eye_to_hand: bool = False) -> list[np.ndarray]:
    """camera_T_target at each configuration: inv(camera mount) * known transform * target mount."""
    known = _kinematics.chain_known_transforms(_chain(chain), [list(map(float, q)) for q in joints], eye_to_hand)
    inverse_mount = np.linalg.inv(np.asarray(camera_mount_T_camera))
    return [inverse_mount @ np.asarray(m) @ np.asarray(target_mount_T_target) for m in known]


@dataclass
class PredictionErrors:
    """The board predicted at configurations left out of the fit against what their pictures show."""

    rms_px: float  # RMS over every predicted corner, per image coordinate
    position_mm: np.ndarray  # per picture: the board's predicted origin against its own pose
    orientation_deg: np.ndarray


def prediction_errors(predicted, object_points, image_points, K, D) -> PredictionErrors:
    """Predicted camera_T_target per picture against the picture's corners and its own pose."""
    squares, count, position, orientation = 0.0, 0, [], []
    for pose, objects, pixels in zip(predicted, object_points, image_points):
        objects = np.asarray(objects, np.float64).reshape(-1, 3)
        pixels = np.asarray(pixels, np.float64).reshape(-1, 2)
        projected, _ = cv2.projectPoints(objects, cv2.Rodrigues(pose[:3, :3])[0], pose[:3, 3], np.asarray(K),
                                         np.asarray(D, np.float64))
        squares += float(np.sum((projected.reshape(-1, 2) - pixels) ** 2))
        count += pixels.size
        seen = _camera_T_target(objects, pixels, K, D)
        position.append(1000.0 * np.linalg.norm(pose[:3, 3] - seen[:3, 3]))
        orientation.append(np.degrees(np.linalg.norm(cv2.Rodrigues(seen[:3, :3].T @ pose[:3, :3])[0])))
    return PredictionErrors(float(np.sqrt(squares / max(count, 1))), np.array(position), np.array(orientation))


def held_out_prediction(chain, joints, object_points, image_points, K, D, *, eye_to_hand: bool = False,
                        mode: str = "offsets", folds: int | None = None) -> dict[str, PredictionErrors]:
    """Each picture predicted by fits without its fold (picture i in fold i % folds; every picture its own
    fold by default): ``"nominal"`` by the robot-aware refinement on the nominal chain's flange poses,
    ``"calibrated"`` by the calibration through the chain with its corrections."""
    count = len(joints)
    folds = count if folds is None else folds
    if not 2 <= folds <= count:
        raise ValueError("folds must be between 2 and the number of pictures")
    predicted = {"nominal": [None] * count, "calibrated": [None] * count}
    for fold in range(folds):
        train = [k for k in range(count) if k % folds != fold]
        test = [k for k in range(count) if k % folds == fold]
        subset = [[items[k] for k in train] for items in (joints, object_points, image_points)]
        nominal = nominal_refinement(chain, *subset, K, D, eye_to_hand=eye_to_hand)
        calibrated = calibrate(chain, *subset, K, D, eye_to_hand=eye_to_hand, mode=mode, log=False)
        for name, fit, fit_chain in (("nominal", nominal, _chain(chain)),
                                     ("calibrated", calibrated.refinement, calibrated.corrected_chain)):
            poses = predicted_camera_T_target(fit_chain, [joints[k] for k in test], fit.camera_mount_T_camera,
                                              fit.target_mount_T_target, eye_to_hand)
            for k, pose in zip(test, poses):
                predicted[name][k] = pose
    return {name: prediction_errors(poses, object_points, image_points, K, D) for name, poses in predicted.items()}


#: The calibrated chain is taken over the nominal one when it predicts the corners of held-out pictures with
#: at most this share of the nominal chain's RMS error: a smaller gain is within what the fit adapts to noise.
HELPS_FACTOR = 0.9


def model_helps(result: _kinematics.KinematicHandEyeResult, held_out: dict[str, PredictionErrors]) -> bool:
    """Whether the calibrated chain is worth its corrections: some were kept and held-out pictures are predicted
    clearly better with them than with the nominal chain."""
    kept = any(p.estimated for p in result.parameters)
    return kept and held_out["calibrated"].rms_px <= HELPS_FACTOR * held_out["nominal"].rms_px


#: Reported flange poses that differ from the chain's by more than this, beyond one constant tool offset,
#: were not computed by the same model (another chain, another joint order, a controller's own calibration).
FLANGE_AGREEMENT_MM = 1.0
FLANGE_AGREEMENT_DEG = 0.1


@dataclass
class FlangePoseAgreement:
    """Reported flange poses against the chain's: the constant offset flange_T_tcp between them (a tool
    frame) and the largest difference beyond it."""

    flange_T_tcp: np.ndarray
    max_mm: float
    max_deg: float

    @property
    def agrees(self) -> bool:
        return self.max_mm <= FLANGE_AGREEMENT_MM and self.max_deg <= FLANGE_AGREEMENT_DEG

    def sentence(self, base_frame: str, flange_frame: str) -> str:
        offset = self.flange_T_tcp
        tool = (f"a tool offset of {1000 * np.linalg.norm(offset[:3, 3]):.1f} mm and "
                f"{np.degrees(np.linalg.norm(cv2.Rodrigues(offset[:3, :3])[0])):.2f} deg")
        if self.agrees:
            return f"the robot poses equal the model's {base_frame}_T_{flange_frame} up to {tool}"
        return (f"the robot poses differ from the model's {base_frame}_T_{flange_frame} by up to {self.max_mm:.2f} mm "
                f"and {self.max_deg:.3f} deg beyond {tool}: check the model, its base and flange links and the "
                "joint order (or the controller runs a calibrated model of its own); the calibration uses the "
                "model's poses")


def flange_pose_agreement(chain_poses, reported_poses) -> FlangePoseAgreement:
    """The constant flange_T_tcp that best maps the chain's flange poses onto the reported ones (the mean
    rotation by projection onto the rotations, the mean translation) and the largest difference left."""
    offsets = [np.linalg.inv(np.asarray(c)) @ np.asarray(r) for c, r in zip(chain_poses, reported_poses)]
    u, _, vt = np.linalg.svd(sum(o[:3, :3] for o in offsets))
    rotation = u @ np.diag([1.0, 1.0, np.linalg.det(u @ vt)]) @ vt
    offset = np.eye(4)
    offset[:3, :3] = rotation
    offset[:3, 3] = np.mean([o[:3, 3] for o in offsets], axis=0)
    worst_mm, worst_deg = 0.0, 0.0
    for chain, reported in zip(chain_poses, reported_poses):
        difference = np.linalg.inv(np.asarray(chain) @ offset) @ np.asarray(reported)
        worst_mm = max(worst_mm, 1000.0 * float(np.linalg.norm(difference[:3, 3])))
        worst_deg = max(worst_deg, float(np.degrees(np.linalg.norm(cv2.Rodrigues(difference[:3, :3])[0]))))
    return FlangePoseAgreement(offset, worst_mm, worst_deg)
