"""Target corners projected through known cameras with Gaussian pixel noise, with the truth.

Cheap stand-ins for detected corners, so that refinement accuracy and its uncertainty can be
measured over many random seeds. Shared by the refinement tests and bench/refinement.py.
"""

import math
from dataclasses import dataclass

import cv2
import numpy as np

import _velk
import rig_scene
from quorvane.velk import arm_captures, demo

IMAGE_SIZE = (1280, 960)
BORDER_PX = 10
EYE_IN_HAND_K = np.array([[1000.0, 0.0, 639.5], [0.0, 1000.0, 479.5], [0.0, 0.0, 1.0]])
EYE_IN_HAND_D = np.array([-0.1, 0.02, 0.0, 0.0, 0.0])


def board_grid(columns=8, rows=6, spacing=0.04):
    """Inner chessboard corners of a 9 x 7 board of 4 cm squares, in the target frame."""
    return np.array([[(c + 1) * spacing, (r + 1) * spacing, 0.0] for r in range(rows) for c in range(columns)])


def project(points, camera_T_target, K, D, noise_px, rng, image_size=IMAGE_SIZE, border=BORDER_PX):
    """Object and noisy image points of the corners that land inside the picture, and their indices."""
    rvec, _ = cv2.Rodrigues(camera_T_target[:3, :3])
    pixels, _ = cv2.projectPoints(points, rvec, camera_T_target[:3, 3], K, D)
    pixels = pixels.reshape(-1, 2)
    depth = (points @ camera_T_target[:3, :3].T + camera_T_target[:3, 3])[:, 2]
    width, height = image_size
    inside = (depth > 0) & np.all((pixels >= border) & (pixels <= (width - 1 - border, height - 1 - border)), axis=1)
    noisy = pixels[inside] + rng.normal(0.0, noise_px, (int(inside.sum()), 2))
    return points[inside].astype(np.float32), noisy.astype(np.float32), np.flatnonzero(inside)


@dataclass
class EyeInHandCorners:
    object_points: list
    image_points: list
    robot_T_tcp_list: list  # as the robot reports them
    true_robot_T_tcp_list: list  # where the pictures were taken
    camera_T_target_list: list  # true poses
    tcp_T_camera: np.ndarray
    world_T_target: np.ndarray


def _views(num_views, noise_px, seed):
    """True camera_T_target of the demo's capture plan and the noisy corners seen from each."""
    rng = np.random.default_rng(seed)
    target = _velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100")
    grid = board_grid()
    camera_poses, objects, pixels = [], [], []
    for camera_T_target in demo._camera_poses(target, num_views, rng):
        o, p, _ = project(grid, camera_T_target, EYE_IN_HAND_K, EYE_IN_HAND_D, noise_px, rng)
        camera_poses.append(camera_T_target)
        objects.append(o)
        pixels.append(p)
    return camera_poses, objects, pixels


def eye_in_hand_corners(num_views=12, noise_px=0.3, seed=0, robot_error=(0.0, 0.0)):
    """A flange camera looking at a still board from num_views robot poses (the demo's geometry).

    robot_error = (translation mm, rotation deg) per flange axis in the reported robot poses; the corners
    always come from the true poses and do not depend on it."""
    tcp_T_camera = _velk.tf.pose_to_transformation_matrix(demo.TRUE_TCP_T_CAMERA_POSE)
    world_T_target = _velk.tf.pose_to_transformation_matrix(demo.WORLD_T_TARGET_POSE)
    camera_poses, objects, pixels = _views(num_views, noise_px, seed)
    true_robot = [world_T_target @ np.linalg.inv(c) @ np.linalg.inv(tcp_T_camera) for c in camera_poses]
    reported = demo.perturb_robot_poses(true_robot, *robot_error, np.random.default_rng([seed, 1]))
    return EyeInHandCorners(objects, pixels, reported, true_robot, camera_poses, tcp_T_camera, world_T_target)


@dataclass
class EyeToHandCorners:
    object_points: list
    image_points: list
    robot_T_tcp_list: list  # as the robot reports them
    true_robot_T_tcp_list: list  # where the pictures were taken
    camera_T_target_list: list  # true poses
    robot_T_camera: np.ndarray
    tcp_T_target: np.ndarray


def eye_to_hand_corners(num_views=12, noise_px=0.3, seed=0, robot_error=(0.0, 0.0)):
    """A still camera watching the board the robot holds up in num_views flange poses (the demo's geometry).

    The views and corners of a seed are those of eye_in_hand_corners; robot_error as there."""
    robot_T_camera = _velk.tf.pose_to_transformation_matrix(demo.TRUE_ROBOT_T_CAMERA_POSE)
    tcp_T_target = _velk.tf.pose_to_transformation_matrix(demo.TRUE_TCP_T_TARGET_POSE)
    camera_poses, objects, pixels = _views(num_views, noise_px, seed)
    # robot_T_camera @ camera_T_target = robot_T_tcp @ tcp_T_target.
    true_robot = [robot_T_camera @ c @ np.linalg.inv(tcp_T_target) for c in camera_poses]
    reported = demo.perturb_robot_poses(true_robot, *robot_error, np.random.default_rng([seed, 1]))
    return EyeToHandCorners(objects, pixels, reported, true_robot, camera_poses, robot_T_camera, tcp_T_target)


def arm_corners(arm, setup="eye-in-hand", num_views=15, noise_px=0.3, seed=0, robot_error=(0.0, 0.0)):
    """The corners of an arm_captures capture (a SCARA, a 5-axis or a 6-axis arm) through the eye-in-hand
    camera, as EyeInHandCorners or EyeToHandCorners."""
    capture = arm_captures.arm_capture(arm, setup, num_views, seed, robot_error)
    rng = np.random.default_rng([seed, 3])
    objects, pixels = [], []
    for camera_T_target in capture.camera_T_target_list:
        o, p, _ = project(board_grid(), camera_T_target, EYE_IN_HAND_K, EYE_IN_HAND_D, noise_px, rng)
        objects.append(o)
        pixels.append(p)
    poses = (objects, pixels, capture.robot_T_tcp_list, capture.true_robot_T_tcp_list, capture.camera_T_target_list,
             capture.camera_mount_T_camera, capture.target_mount_T_target)
    return EyeInHandCorners(*poses) if setup == "eye-in-hand" else EyeToHandCorners(*poses)


def pose_from_vectors(rvec, tvec):
    """4 x 4 camera_T_target from OpenCV's rotation and translation vectors."""
    pose = np.eye(4)
    pose[:3, :3] = cv2.Rodrigues(rvec)[0]
    pose[:3, 3] = np.ravel(tvec)
    return pose


def poses_with_intrinsics(scene, K, D):
    """One solvePnP pose per view with the given intrinsics."""
    return [pose_from_vectors(*cv2.solvePnP(objects, pixels, K, D)[1:]) for objects, pixels in
            zip(scene.object_points, scene.image_points)]


def intrinsics_from_views(scene, flags=0):
    """calibrateCamera over the noisy corners, with the poses it found for the views."""
    _, K, D, rvecs, tvecs = cv2.calibrateCamera(scene.object_points, scene.image_points, IMAGE_SIZE, None, None,
                                                flags=flags)
    return K, D.reshape(1, -1), [pose_from_vectors(r, t) for r, t in zip(rvecs, tvecs)]


CLOSED_FORM_METHODS = dict(_velk.hand_eye_method_by_name_map())


def _calibrate_hand_eye(gripper_T_base_list, camera_T_target_list, method):
    rotation, translation = cv2.calibrateHandEye([r[:3, :3] for r in gripper_T_base_list],
                                                 [r[:3, 3] for r in gripper_T_base_list],
                                                 [c[:3, :3] for c in camera_T_target_list],
                                                 [c[:3, 3] for c in camera_T_target_list],
                                                 method=CLOSED_FORM_METHODS[method])
    pose = np.eye(4)
    pose[:3, :3] = rotation
    pose[:3, 3] = translation.ravel()
    return pose


def closed_form_tcp_T_camera(robot_T_tcp_list, camera_T_target_list, method):
    """The closed-form solve the eye-in-hand calibrator runs (cv2.calibrateHandEye), without its report."""
    return _calibrate_hand_eye(robot_T_tcp_list, camera_T_target_list, method)


def closed_form_robot_T_camera(robot_T_tcp_list, camera_T_target_list, method):
    """The closed-form solve the eye-to-hand calibrator runs: the same call fed the inverted flange poses
    (tcp_T_robot in place of robot_T_tcp) gives robot_T_camera."""
    return _calibrate_hand_eye([np.linalg.inv(r) for r in robot_T_tcp_list], camera_T_target_list, method)


def _hand_eye_problem(scene, camera_mount_T_camera, camera_mount_T_target_mount_list, K, D, refine_intrinsics):
    problem = _velk.HandEyeRefinementProblem()
    problem.camera_mount_T_camera = camera_mount_T_camera
    problem.camera_mount_T_target_mount_list = camera_mount_T_target_mount_list
    problem.object_points = scene.object_points
    problem.image_points = scene.image_points
    problem.intrinsic_matrix = K
    problem.distortion_coefficients = D
    problem.refine_intrinsics = refine_intrinsics
    return problem


def eye_in_hand_problem(scene, tcp_T_camera, K, D, refine_intrinsics):
    """camera mount = flange, target mount = robot base: the known link is inv(robot_T_tcp)."""
    return _hand_eye_problem(scene, tcp_T_camera, [np.linalg.inv(r) for r in scene.robot_T_tcp_list], K, D,
                             refine_intrinsics)


def eye_to_hand_problem(scene, robot_T_camera, K, D, refine_intrinsics):
    """camera mount = robot base, target mount = flange: the known link is robot_T_tcp; the refinement's
    target_mount_T_target is tcp_T_target."""
    problem = _hand_eye_problem(scene, robot_T_camera, list(scene.robot_T_tcp_list), K, D, refine_intrinsics)
    problem.eye_to_hand = True
    return problem


def transform_error(estimate, truth):
    """Translation error [m] and rotation error [deg]."""
    return demo.transform_error(estimate, truth)


def error_vectors(estimate, truth):
    """Translation error [m] and the small rotation taking truth to estimate [rad], both in the parent frame."""
    rotation = estimate[:3, :3] @ truth[:3, :3].T
    return estimate[:3, 3] - truth[:3, 3], cv2.Rodrigues(rotation)[0].ravel()


def honesty(errors, sigmas):
    """Predicted over observed: RMS of the predicted 1-sigma against the RMS of the errors."""
    return float(np.sqrt(np.mean(np.square(sigmas))) / np.sqrt(np.mean(np.square(errors))))


class SigmaTally:
    """Per-axis errors of estimates against the truth beside their predicted 1-sigma (mm, deg)."""

    def __init__(self):
        self.errors = {"translation": [], "rotation": []}
        self.sigmas = {"translation": [], "rotation": []}

    def add(self, estimate, truth, sigma):
        dt, dr = error_vectors(estimate, truth)
        self.errors["translation"].append(dt * 1000)
        self.errors["rotation"].append(np.degrees(dr))
        self.sigmas["translation"].append(sigma.translation_mm)
        self.sigmas["rotation"].append(sigma.rotation_deg)

    def honesty(self, kind):
        return honesty(np.array(self.errors[kind]), np.array(self.sigmas[kind]))


@dataclass
class RigCorners:
    object_points: list  # [camera][frame]
    image_points: list
    corner_ids: list
    reference_T_camera: list
    camera_matrices: list
    distortions: list
    reference_T_target: list


def rig_corners(num_cameras=3, num_frames=15, noise_px=0.3, seed=0):
    """The rendered rig's cameras and board poses, with projected corners instead of pictures."""
    target = _velk.CharucoTarget(*rig_scene.BOARD)
    rng = np.random.default_rng(seed)
    reference_T_camera = [rig_scene.pose(*rig_scene._RIG[k]) for k in range(num_cameras)]
    matrices = [np.array([[f, 0.0, c[0]], [0.0, f, c[1]], [0.0, 0.0, 1.0]]) for f, c, _ in
                rig_scene._INTRINSICS[:num_cameras]]
    distortions = [np.array(d) for _, _, d in rig_scene._INTRINSICS[:num_cameras]]
    cameras = list(zip(reference_T_camera, matrices, distortions))
    boards = rig_scene._board_poses(target, cameras, num_frames, rng)
    corners = rig_scene._board_corners(target)
    scene = RigCorners([], [], [], reference_T_camera, matrices, distortions, boards)
    for reference_T_cam, K, D in cameras:
        objects, pixels, ids = [], [], []
        for board in boards:
            o, p, i = project(corners, np.linalg.inv(reference_T_cam) @ board, K, D, noise_px, rng,
                              image_size=rig_scene.IMAGE_SIZE, border=rig_scene.BORDER_PX)
            objects.append(o)
            pixels.append(p)
            ids.append(i)
        scene.object_points.append(objects)
        scene.image_points.append(pixels)
        scene.corner_ids.append(ids)
    return scene


def rig_intrinsics(scene):
    """calibrateCamera per camera over its noisy corners."""
    size = rig_scene.IMAGE_SIZE
    solved = [cv2.calibrateCamera(o, p, size, None, None)[1:3] for o, p in zip(scene.object_points,
                                                                               scene.image_points)]
    return [K for K, _ in solved], [D.reshape(1, -1) for _, D in solved]


def pairwise_rig(scene, matrices, distortions, reference=0):
    """reference_T_camera per camera from one stereoCalibrate against the reference over common corners."""
    poses = []
    for k in range(len(matrices)):
        if k == reference:
            poses.append(np.eye(4))
            continue
        objects, ref_points, points = [], [], []
        for f in range(len(scene.reference_T_target)):
            common, in_ref, in_k = np.intersect1d(scene.corner_ids[reference][f], scene.corner_ids[k][f],
                                                  return_indices=True)
            if len(common) >= 6:
                objects.append(scene.object_points[reference][f][in_ref])
                ref_points.append(scene.image_points[reference][f][in_ref])
                points.append(scene.image_points[k][f][in_k])
        stereo = cv2.stereoCalibrate(objects, ref_points, points, matrices[reference], distortions[reference],
                                     matrices[k], distortions[k], rig_scene.IMAGE_SIZE,
                                     flags=cv2.CALIB_FIX_INTRINSIC)
        camera_T_reference = np.eye(4)
        camera_T_reference[:3, :3] = stereo[5]
        camera_T_reference[:3, 3] = stereo[6].ravel()
        poses.append(np.linalg.inv(camera_T_reference))
    return poses


def rig_problem(scene, poses, matrices, distortions, refine_intrinsics=True, reference=0):
    problem = _velk.RigRefinementProblem()
    problem.reference_index = reference
    problem.reference_T_camera_list = poses
    problem.intrinsic_matrices = matrices
    problem.distortion_coefficients = distortions
    problem.object_points = scene.object_points
    problem.image_points = scene.image_points
    problem.refine_intrinsics = refine_intrinsics
    return problem


def rotation_error_deg(a, b):
    return math.degrees(np.linalg.norm(error_vectors(a, b)[1]))


def plan_scene(setup, pixel_noise_px=0.2, robot_noise=(0.3, 0.03), free_intrinsics=True):
    """The demo's set-up as a plan scene: its camera, the 9 x 7 board's corners and the true transforms."""
    from quorvane.velk import planning

    if setup == "eye-in-hand":
        camera = _velk.tf.pose_to_transformation_matrix(demo.TRUE_TCP_T_CAMERA_POSE)
        target = _velk.tf.pose_to_transformation_matrix(demo.WORLD_T_TARGET_POSE)
    else:
        camera = _velk.tf.pose_to_transformation_matrix(demo.TRUE_ROBOT_T_CAMERA_POSE)
        target = _velk.tf.pose_to_transformation_matrix(demo.TRUE_TCP_T_TARGET_POSE)
    return planning.make_scene(EYE_IN_HAND_K, EYE_IN_HAND_D, IMAGE_SIZE, board_grid(), setup == "eye-to-hand", camera,
                               target, pixel_noise_px, robot_noise, free_intrinsics)


def planned_corners(scene, robot_T_tcp_list, seed):
    """The corners a plan's flange poses show, with the scene's pixel noise, and the poses the robot reports with
    its noise; the truth is the scene's. An EyeInHandCorners or EyeToHandCorners like the generators above."""
    rng = np.random.default_rng([seed, 2])
    objects, pixels, camera_poses = [], [], []
    for robot_T_tcp in robot_T_tcp_list:
        camera_T_target = np.asarray(_velk.plan_camera_T_target(scene, robot_T_tcp))
        seen = np.asarray(_velk.plan_visible_corners(scene, robot_T_tcp), dtype=int)
        points = np.asarray(scene.object_points)[seen]
        rvec, _ = cv2.Rodrigues(camera_T_target[:3, :3])
        exact, _ = cv2.projectPoints(points, rvec, camera_T_target[:3, 3], scene.intrinsic_matrix,
                                     scene.distortion_coefficients)
        objects.append(points.astype(np.float32))
        pixels.append((exact.reshape(-1, 2) + rng.normal(0.0, scene.pixel_noise_px, (len(seen), 2))).astype(np.float32))
        camera_poses.append(camera_T_target)
    true_robot = [np.asarray(p, dtype=np.float64) for p in robot_T_tcp_list]
    reported = demo.perturb_robot_poses(true_robot, scene.robot_translation_noise_mm, scene.robot_rotation_noise_deg,
                                        np.random.default_rng([seed, 1]))
    camera, target = np.asarray(scene.camera_mount_T_camera), np.asarray(scene.target_mount_T_target)
    if scene.eye_to_hand:
        return EyeToHandCorners(objects, pixels, reported, true_robot, camera_poses, camera, target)
    return EyeInHandCorners(objects, pixels, reported, true_robot, camera_poses, camera, target)


def refine_planned(scene, corners, given_intrinsics=False):
    """TSAI from the noisy corners (intrinsics calibrated on them unless given), then the default refinement,
    which models the robot's error; the refinement and the true hand-eye transform."""
    if given_intrinsics:
        K, D = np.asarray(scene.intrinsic_matrix), np.asarray(scene.distortion_coefficients).reshape(1, -1)
        poses = poses_with_intrinsics(corners, K, D)
    else:
        K, D, poses = intrinsics_from_views(corners)
    if scene.eye_to_hand:
        start = closed_form_robot_T_camera(corners.robot_T_tcp_list, poses, "TSAI")
        problem = eye_to_hand_problem(corners, start, K, D, refine_intrinsics=not given_intrinsics)
        truth = corners.robot_T_camera
    else:
        start = closed_form_tcp_T_camera(corners.robot_T_tcp_list, poses, "TSAI")
        problem = eye_in_hand_problem(corners, start, K, D, refine_intrinsics=not given_intrinsics)
        truth = corners.tcp_T_camera
    return _velk.refine_hand_eye(problem), truth
