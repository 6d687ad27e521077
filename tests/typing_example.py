"""A small program over the main classes, type-checked by mypy against the shipped stubs.

It is also run as a program (on blank pictures, where nothing is found) so that what it
claims about the interface stays true at run time.
"""

from __future__ import annotations

import numpy as np

import quorvane.velk as velk
from quorvane.velk import io, tf


def intrinsics(images: list[np.ndarray]) -> tuple[bool, float]:
    target = velk.ChessboardTarget((9, 6), 0.025)
    options = velk.IntrinsicOptions()
    options.per_view_error_threshold = 1.5
    result: velk.IntrinsicResult = velk.IntrinsicCalibrator(target, options).calibrate(images)
    corners: np.ndarray = target.object_points()
    return result.ok, float(result.reprojection_error) + 0.0 * float(corners.shape[0])


def hand_eye(images: list[np.ndarray], robot_T_tcp_list: list[np.ndarray]) -> np.ndarray:
    calibrator = velk.EyeInHandCalibrator(velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100"))
    result: velk.HandEyeResult = calibrator.calibrate(robot_T_tcp_list, images, method="PARK")
    if result.ok and result.has_consistency:
        stats: velk.TargetConsistencyStats = result.consistency
        print(stats.mean_translation_m, stats.max_rotation_deg)
    return result.tcp_T_camera


def rig(image_lists: list[list[np.ndarray]]) -> list[np.ndarray]:
    calibrator = velk.MultiCameraCalibrator(velk.ArucoTarget((6, 5), 0.04, 0.01), num_cameras=len(image_lists))
    result: velk.MultiCameraResult = calibrator.calibrate(image_lists)
    return result.reference_T_camera_list


def poses() -> list[float]:
    robot_T_tcp = tf.pose_to_transformation_matrix([0.4, 0.0, 0.3, 180.0, 0.0, 90.0])
    mean = tf.average_pose([robot_T_tcp, robot_T_tcp])
    return tf.transformation_matrix_to_pose(mean)


def records() -> int:
    record = io.HandEyeResultRecord()
    record.method = "TSAI"
    record.tcp_T_camera_list = [np.eye(4)]
    return record.num_cameras + len(velk.hand_eye_method_by_name_map())


if __name__ == "__main__":
    blank = [np.full((120, 160, 3), 90, np.uint8) for _ in range(3)]
    ok, _ = intrinsics(blank)
    assert not ok
    assert hand_eye(blank, [np.eye(4)] * 3).size in (0, 16)
    try:
        rig([blank, blank])
    except RuntimeError as error:  # no camera sees the board: the rig cannot be calibrated
        assert "Intrinsic calibration failed" in str(error)
    assert len(poses()) == 6
    print("typing example ran", records())
