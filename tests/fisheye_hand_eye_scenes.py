"""Hand-eye captures through the 160-degree fisheye lens of fisheye_scenes, with the truth.

The board poses come from fisheye_scenes.scene_poses (0.22-0.34 m away, up to 70 degrees off the optical axis, so
the corners reach the wide rim, with varied tilts and rolls); the flange poses are those that put the camera (or
the board) there under the true hand-eye transforms of the demo scenes. A robot with pose error reports each
flange pose moved as demo.perturb_robot_poses moves it; the pictures stay those of the true poses. Rendering
takes about 1.5 s a view: callers cache the scenes per session."""

from __future__ import annotations

from types import SimpleNamespace

import numpy as np

import fisheye_scenes

#: Robot pose error of a real robot, 1-sigma per flange axis: millimetres and degrees.
ROBOT_ERROR = (0.5, 0.05)


def render_hand_eye(eye_to_hand: bool, count: int = 15, seed: int = 0):
    """A capture of ``count`` views. camera_transform is tcp_T_camera (eye-in-hand) or robot_T_camera (eye-to-hand),
    target_transform world_T_target or tcp_T_target; robot_T_tcp_list holds the true flange poses."""
    import _velk
    from quorvane.velk import demo

    poses = fisheye_scenes.scene_poses(count, seed=seed)
    views = fisheye_scenes.render_views(poses, seed=100 * seed)
    if eye_to_hand:
        camera = _velk.tf.pose_to_transformation_matrix(demo.TRUE_ROBOT_T_CAMERA_POSE)
        target = _velk.tf.pose_to_transformation_matrix(demo.TRUE_TCP_T_TARGET_POSE)
        # robot_T_camera @ camera_T_target = robot_T_tcp @ tcp_T_target
        robots = [camera @ pose @ np.linalg.inv(target) for pose in poses]
    else:
        camera = _velk.tf.pose_to_transformation_matrix(demo.TRUE_TCP_T_CAMERA_POSE)
        target = _velk.tf.pose_to_transformation_matrix(demo.WORLD_T_TARGET_POSE)
        # world_T_target = robot_T_tcp @ tcp_T_camera @ camera_T_target
        robots = [target @ np.linalg.inv(pose) @ np.linalg.inv(camera) for pose in poses]
    return SimpleNamespace(eye_to_hand=eye_to_hand, images=views.images, camera_T_target_list=list(poses),
                           robot_T_tcp_list=robots, camera_transform=camera, target_transform=target,
                           K=views.K, D=views.D, target=views.target)


def reported_poses(scene, robot_error=ROBOT_ERROR, seed: int = 1) -> list:
    """The flange poses a robot with ``robot_error`` (mm, deg per flange axis) reports for the scene."""
    from quorvane.velk import demo

    return demo.perturb_robot_poses(scene.robot_T_tcp_list, *robot_error, np.random.default_rng(seed))


def camera_transform_of(result, eye_to_hand: bool):
    return result.robot_T_camera if eye_to_hand else result.tcp_T_camera


def closed_form_of(result, eye_to_hand: bool):
    return result.closed_form_robot_T_camera if eye_to_hand else result.closed_form_tcp_T_camera


def error_mm_deg(estimate, truth) -> tuple:
    """Translation error in millimetres and rotation error in degrees."""
    from quorvane.velk import demo

    metres, degrees = demo.transform_error(np.asarray(estimate, np.float64), truth)
    return metres * 1000.0, degrees
