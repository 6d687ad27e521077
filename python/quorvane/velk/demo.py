"""A complete hand-eye calibration on a simulated robot, from pictures to hand_eye.json.

A camera is mounted on a robot flange with a known ``tcp_T_camera``. The robot
moves it to a series of poses around a ChArUco board lying still in the robot's
workspace; at every pose the camera takes a picture (rendered by
:mod:`quorvane.velk.synthetic`) and the robot reports its flange pose
``robot_T_tcp``. The library then recovers ``tcp_T_camera`` from the pictures
and the flange poses alone, and the result is compared with the truth.

The other set-up, eye-to-hand (``run_demo(setup="eye-to-hand")``), keeps the camera
still and lets the robot carry the board on its flange: the library then recovers
the camera's pose in the robot base frame, ``robot_T_camera``, and the board's pose
in the flange frame, ``tcp_T_target``, and writes eye_to_hand.json.

Both simulations can also make the robot report its flange poses with the small
errors of a real controller (``robot_error``, see :func:`perturb_robot_poses`): the
pictures still come from the true poses, only the reported ones are off.

Replace the simulated pictures and poses with your own and the rest stays the
same: that is all a real calibration needs.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import _velk

from . import geometry, synthetic

#: The camera's true pose in the flange frame: 5 cm ahead of the flange, 3 cm to the side, turned a little.
TRUE_TCP_T_CAMERA_POSE = [0.03, -0.015, 0.05, 2.0, -3.0, 90.0]
#: Where the board lies in the robot base frame (face up on the table, 60 cm in front of the robot).
WORLD_T_TARGET_POSE = [0.55, -0.15, 0.02, 0.0, 0.0, 0.0]
#: Eye-to-hand: the stationary camera in the robot base frame (on a stand 1 m in front of the robot, looking back).
TRUE_ROBOT_T_CAMERA_POSE = [1.05, 0.12, 0.65, -120.0, 2.0, 95.0]
#: Eye-to-hand: the board on the flange, 6 cm out along the flange axis, its printed face looking away from the flange.
TRUE_TCP_T_TARGET_POSE = [-0.17, 0.13, 0.06, 180.0, 0.0, 10.0]


def perturb_robot_poses(robot_T_tcp_list, translation_mm, rotation_deg, rng):
    """The flange poses a robot reports when it stands at ``robot_T_tcp_list``: each true pose times a small
    random motion in the flange frame, ``reported = true @ exp(delta)``.

    ``delta`` is drawn afresh for every pose: a translation of ``translation_mm`` millimetres standard deviation
    along each flange axis and a rotation vector of ``rotation_deg`` degrees standard deviation about each flange
    axis. ``rng`` is a ``numpy.random.Generator``; the same generator state gives the same poses. With both
    deviations zero the poses come back unchanged (as copies) and ``rng`` is not used. Returns 4x4 float64
    arrays."""
    if not (translation_mm >= 0.0 and rotation_deg >= 0.0):
        raise ValueError(f"perturb_robot_poses: the deviations must be zero or positive, got translation_mm = "
                         f"{translation_mm}, rotation_deg = {rotation_deg}")
    poses = [np.array(pose, dtype=np.float64) for pose in robot_T_tcp_list]
    if translation_mm == 0.0 and rotation_deg == 0.0:
        return poses
    reported = []
    for pose in poses:
        delta = np.eye(4)
        delta[:3, 3] = rng.normal(0.0, translation_mm / 1000.0, 3)
        delta[:3, :3] = geometry.rotation_from_rotvec(np.radians(rng.normal(0.0, rotation_deg, 3)))
        reported.append(pose @ delta)
    return reported


def _reported_poses(true_robot_T_tcp_list, robot_error, seed):
    """The flange poses the simulated robot reports; its errors come from their own random stream, so that
    the pictures of a seed stay the same whatever the error."""
    translation_mm, rotation_deg = robot_error
    return perturb_robot_poses(true_robot_T_tcp_list, translation_mm, rotation_deg,
                               np.random.default_rng([seed, 1]))


@dataclass
class _SimulatedCapture:
    """What a simulated capture of either set-up holds before its two transforms."""

    target: object
    camera_matrix: np.ndarray
    distortion: np.ndarray
    image_size: tuple
    images: list
    robot_T_tcp_list: list
    camera_T_target_list: list


def _rendered_capture(flange_pose_of, num_poses, seed, noise_sigma, image_size, target, robot_error, camera_model):
    """The pictures of ``num_poses`` board views (ChArUco when ``target`` is None) and the reported flange poses,
    with the true ones: ``flange_pose_of(camera_T_target)`` is the flange pose that shows the board so."""
    if target is None:
        target = _velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100")
    camera_matrix, distortion, views = simulated_lens(camera_model, image_size)
    rng = np.random.default_rng(seed)
    camera_T_target_list = _camera_poses(target, num_poses, rng, **views)
    true_robot_T_tcp_list, images = [], []
    for k, camera_T_target in enumerate(camera_T_target_list):
        true_robot_T_tcp_list.append(flange_pose_of(camera_T_target))
        view = synthetic.render_target(target, camera_matrix, distortion, camera_T_target, image_size,
                                       noise_sigma=noise_sigma, blur_sigma=0.6, seed=seed * 1000 + k,
                                       camera_model=camera_model)
        images.append(view.image)
    capture = _SimulatedCapture(target, camera_matrix, distortion, image_size, images,
                                _reported_poses(true_robot_T_tcp_list, robot_error, seed), camera_T_target_list)
    return capture, true_robot_T_tcp_list


@dataclass
class EyeInHandScene(_SimulatedCapture):
    """Pictures and flange poses of a simulated eye-in-hand capture, with the truth.

    ``robot_T_tcp_list`` holds the poses the robot reports, ``true_robot_T_tcp_list`` the poses the pictures were
    taken from; they are equal unless the scene was simulated with a ``robot_error``."""

    tcp_T_camera: np.ndarray
    world_T_target: np.ndarray
    true_robot_T_tcp_list: list


#: The simulated fisheye lens: 160 degrees across the picture's width, equidistant model (k1..k4).
FISHEYE_FIELD_OF_VIEW_DEG = 160.0
FISHEYE_DISTORTION = (0.02, -0.01, 0.003, -0.0005)
FISHEYE_OFF_AXIS_DEG = 55.0


def simulated_lens(camera_model, image_size):
    """(camera matrix, distortion, where its views are taken from) of the simulated camera: a 1000 px pinhole lens
    with barrel distortion, or a 160-degree fisheye lens, which sees the board from closer up and, so that its
    rim is measured, off its axis."""
    if camera_model == "fisheye":
        return (synthetic.fisheye_matrix(FISHEYE_FIELD_OF_VIEW_DEG, image_size), np.array(FISHEYE_DISTORTION),
                {"distance_range": (0.25, 0.4), "off_axis_deg": FISHEYE_OFF_AXIS_DEG})
    if camera_model != "pinhole":
        raise ValueError(f"camera_model must be 'pinhole' or 'fisheye', got {camera_model!r}")
    return synthetic.pinhole_matrix(1000.0, image_size), np.array([-0.1, 0.02, 0.0, 0.0, 0.0]), {}


def camera_options(camera_model):
    """IntrinsicOptions for the simulated camera's lens model."""
    options = _velk.IntrinsicOptions()
    options.camera_model = camera_model
    return options


def _camera_poses(target, count, rng, distance_range=(0.4, 0.7), tilt_range_deg=(15.0, 30.0), off_axis_deg=0.0):
    """camera_T_target for cameras around the board, tilted and rolled about all axes; with ``off_axis_deg`` each
    camera also turns away from the board by up to that angle, so that a wide lens sees it towards its rim."""
    centre = synthetic.board_center(target)
    poses = []
    for k in range(count):
        distance = rng.uniform(*distance_range)
        tilt = math.radians(rng.uniform(*tilt_range_deg))
        azimuth = 2.0 * math.pi * k / count + rng.uniform(-0.3, 0.3)
        # The printed face looks towards board-frame -z (+z for a circle grid with a marked origin).
        offset = distance * np.array([math.sin(tilt) * math.cos(azimuth), math.sin(tilt) * math.sin(azimuth),
                                      synthetic.printed_face_side(target) * math.cos(tilt)])
        look = synthetic.look_at_pose(centre + offset, centre + rng.uniform(-0.02, 0.02, 3) * [1, 1, 0])
        roll = _velk.tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, rng.uniform(-25.0, 25.0)])
        if off_axis_deg > 0.0:
            # Turning the camera about an axis across its view moves the board off the optical axis.
            direction = rng.uniform(0.0, 2.0 * math.pi)
            angle = off_axis_deg * math.sqrt(rng.uniform(0.0, 1.0))
            roll = _velk.tf.pose_to_transformation_matrix(
                [0, 0, 0, angle * math.cos(direction), angle * math.sin(direction), 0]) @ roll
        poses.append(roll @ look)
    return poses


def simulate_eye_in_hand(num_poses=15, seed=7, noise_sigma=1.0, image_size=(1280, 960), target=None,
                         robot_error=(0.0, 0.0), camera_model="pinhole"):
    """Renders the pictures a flange camera takes of a board (ChArUco by default) at ``num_poses`` robot poses.

    ``robot_error`` = (translation [mm], rotation [deg]): the standard deviation per flange axis of the error in
    the reported flange poses (see :func:`perturb_robot_poses`); the pictures are those of the true poses and do
    not depend on it. ``camera_model`` "fisheye" renders through a 160-degree fisheye lens (see
    :func:`simulated_lens`)."""
    tcp_T_camera = _velk.tf.pose_to_transformation_matrix(TRUE_TCP_T_CAMERA_POSE)
    world_T_target = _velk.tf.pose_to_transformation_matrix(WORLD_T_TARGET_POSE)
    # The robot pose that puts the camera exactly there: world_T_target = robot_T_tcp @ tcp_T_camera @ camera_T_target.
    capture, true_robot_T_tcp_list = _rendered_capture(
        lambda camera_T_target: world_T_target @ np.linalg.inv(camera_T_target) @ np.linalg.inv(tcp_T_camera),
        num_poses, seed, noise_sigma, image_size, target, robot_error, camera_model)
    return EyeInHandScene(**vars(capture), tcp_T_camera=tcp_T_camera, world_T_target=world_T_target,
                          true_robot_T_tcp_list=true_robot_T_tcp_list)


@dataclass
class EyeToHandScene(_SimulatedCapture):
    """Pictures and flange poses of a simulated eye-to-hand capture, with the truth.

    ``robot_T_tcp_list`` holds the poses the robot reports, ``true_robot_T_tcp_list`` the poses the pictures were
    taken at; they are equal unless the scene was simulated with a ``robot_error``."""

    robot_T_camera: np.ndarray
    tcp_T_target: np.ndarray
    true_robot_T_tcp_list: list


def simulate_eye_to_hand(num_poses=15, seed=7, noise_sigma=1.0, image_size=(1280, 960), target=None,
                         robot_error=(0.0, 0.0), camera_model="pinhole"):
    """Renders the pictures a stationary camera takes of a board (ChArUco by default) the robot holds up in
    ``num_poses`` flange poses.

    ``robot_error`` = (translation [mm], rotation [deg]): the standard deviation per flange axis of the error in
    the reported flange poses (see :func:`perturb_robot_poses`); the pictures are those of the true poses and do
    not depend on it. ``camera_model`` "fisheye" renders through a 160-degree fisheye lens (see
    :func:`simulated_lens`)."""
    robot_T_camera = _velk.tf.pose_to_transformation_matrix(TRUE_ROBOT_T_CAMERA_POSE)
    tcp_T_target = _velk.tf.pose_to_transformation_matrix(TRUE_TCP_T_TARGET_POSE)
    # The flange pose that shows the board there: robot_T_camera @ camera_T_target = robot_T_tcp @ tcp_T_target.
    capture, true_robot_T_tcp_list = _rendered_capture(
        lambda camera_T_target: robot_T_camera @ camera_T_target @ np.linalg.inv(tcp_T_target),
        num_poses, seed, noise_sigma, image_size, target, robot_error, camera_model)
    return EyeToHandScene(**vars(capture), robot_T_camera=robot_T_camera, tcp_T_target=tcp_T_target,
                          true_robot_T_tcp_list=true_robot_T_tcp_list)


def transform_error(estimate, truth):
    """Translation error [m] and rotation error [deg] between two 4x4 transforms."""
    estimate = np.asarray(estimate, dtype=np.float64)
    return float(np.linalg.norm(estimate[:3, 3] - truth[:3, 3])), geometry.rotation_angle_deg(truth, estimate)


def _print_comparison(name, estimate, truth):
    translation_error, rotation_error = transform_error(estimate, truth)
    print(f"\nRecovered {name} against the truth:")
    print(f"  true pose      [x, y, z, rx, ry, rz]: {np.round(_velk.tf.transformation_matrix_to_pose(truth), 4).tolist()}")
    recovered = _velk.tf.transformation_matrix_to_pose(estimate)
    print(f"  recovered pose [x, y, z, rx, ry, rz]: {np.round(recovered, 4).tolist()}")
    print(f"  translation error: {translation_error * 1000:.3f} mm")
    print(f"  rotation error:    {rotation_error:.4f} deg")


def _print_refinement(result, closed_form, truth, method):
    """The predicted 1-sigma of the refined camera transform and what the closed form alone gave."""
    if result.refined:
        sigma = result.refinement.camera_sigma
        print(f"  predicted 1-sigma: {sigma.translation_norm_mm:.3f} mm, {sigma.rotation_norm_deg:.4f} deg")
        closed_translation, closed_rotation = transform_error(closed_form, truth)
        print(f"  closed-form {method} alone: {closed_translation * 1000:.3f} mm, {closed_rotation:.4f} deg")
    elif result.refinement_reason:
        print(f"  refinement not applied: {result.refinement_reason}")


def _lens_words(camera_model):
    return " through a 160-degree fisheye lens" if camera_model == "fisheye" else ""


def run_eye_to_hand_demo(output_dir="velk-demo-output", num_poses=15, method="TSAI", seed=7, refine=True,
                         camera_model="pinhole"):
    """Simulates an eye-to-hand capture, calibrates it, prints the report and the comparison with the truth."""
    print(f"Rendering {num_poses} pictures of a ChArUco board held up by a simulated robot to a stationary camera"
          f"{_lens_words(camera_model)}...")
    scene = simulate_eye_to_hand(num_poses=num_poses, seed=seed, camera_model=camera_model)

    calibrator = _velk.EyeToHandCalibrator(scene.target, camera_options(camera_model))
    result = calibrator.calibrate(scene.robot_T_tcp_list, scene.images, method, output_path=Path(output_dir),
                                  refine=refine)
    if not result.ok:
        print("Calibration failed; see the log lines above.")
        return result
    _print_comparison("robot_T_camera", result.robot_T_camera, scene.robot_T_camera)
    _print_refinement(result, result.closed_form_robot_T_camera, scene.robot_T_camera, method)
    _print_comparison("tcp_T_target", result.tcp_T_target, scene.tcp_T_target)
    print(f"\nResult written to {Path(output_dir) / 'eye_to_hand.json'}")
    return result


def run_demo(output_dir="velk-demo-output", num_poses=15, method="TSAI", seed=7, setup="eye-in-hand", refine=True,
             camera_model="pinhole"):
    """Simulates a capture, calibrates it (refined over all corners unless refine is False),
    prints the report and the comparison with the truth.

    ``setup`` is "eye-in-hand" (the camera on the flange, the default) or "eye-to-hand"
    (a stationary camera, the board on the flange); ``camera_model`` "fisheye" simulates and
    calibrates a 160-degree fisheye lens instead of the pinhole camera."""
    if setup == "eye-to-hand":
        return run_eye_to_hand_demo(output_dir=output_dir, num_poses=num_poses, method=method, seed=seed,
                                    refine=refine, camera_model=camera_model)
    if setup != "eye-in-hand":
        raise ValueError(f"run_demo: unknown set-up {setup!r} (expected 'eye-in-hand' or 'eye-to-hand')")
    print(f"Rendering {num_poses} pictures of a ChArUco board taken by a camera on a simulated robot"
          f"{_lens_words(camera_model)}...")
    scene = simulate_eye_in_hand(num_poses=num_poses, seed=seed, camera_model=camera_model)

    calibrator = _velk.EyeInHandCalibrator(scene.target, camera_options(camera_model))
    result = calibrator.calibrate(scene.robot_T_tcp_list, scene.images, method, output_path=Path(output_dir),
                                  refine=refine)
    if not result.ok:
        print("Calibration failed; see the log lines above.")
        return result

    translation_error, rotation_error = transform_error(result.tcp_T_camera, scene.tcp_T_camera)
    print("\nRecovered tcp_T_camera against the truth:")
    print(f"  true pose      [x, y, z, rx, ry, rz]: {np.round(TRUE_TCP_T_CAMERA_POSE, 4).tolist()}")
    recovered = _velk.tf.transformation_matrix_to_pose(result.tcp_T_camera)
    print(f"  recovered pose [x, y, z, rx, ry, rz]: {np.round(recovered, 4).tolist()}")
    print(f"  translation error: {translation_error * 1000:.3f} mm")
    print(f"  rotation error:    {rotation_error:.4f} deg")
    _print_refinement(result, result.closed_form_tcp_T_camera, scene.tcp_T_camera, method)
    print(f"\nResult written to {Path(output_dir) / 'hand_eye.json'}")
    return result
