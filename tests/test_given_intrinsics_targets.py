"""Hand-eye calibration with given intrinsics on every target kind, from rendered pictures (15 poses)."""

import numpy as np
import pytest

import _velk
import render_cache
from _velk import ArucoTarget, ChessboardTarget, CircleGridTarget, EyeInHandCalibrator, EyeToHandCalibrator

cv2 = pytest.importorskip("cv2")
demo = pytest.importorskip("quorvane.velk.demo")

TARGETS = {
    "chessboard": lambda: ChessboardTarget((9, 6), 0.035),
    "aruco grid": lambda: ArucoTarget((6, 5), 0.045, 0.01),
    # One printed AprilTag of 48 mm with id 10: four corners per picture.
    "single marker": lambda: ArucoTarget((1, 1), 0.048, 0.01, "DICT_APRILTAG_36H11", 10),
    "circle grid": lambda: CircleGridTarget((4, 11), 0.02, True),
    # Light circles on a dark plate, a larger circle marking the origin of the symmetric grid.
    "marked light circle grid": lambda: CircleGridTarget((7, 6), 0.03, False, 0.012, "light", 0.024),
}
# Largest camera-transform error allowed: millimetres, degrees.
BOUNDS = {"chessboard": (0.5, 0.05), "aruco grid": (0.5, 0.05), "single marker": (3.0, 0.3),
          "circle grid": (0.5, 0.05), "marked light circle grid": (0.5, 0.05)}
SETUPS = {
    "eye-in-hand": (demo.simulate_eye_in_hand, EyeInHandCalibrator, "tcp_T_camera"),
    "eye-to-hand": (demo.simulate_eye_to_hand, EyeToHandCalibrator, "robot_T_camera"),
}
_SCENES = {}


def scene(setup, kind):
    if (setup, kind) not in _SCENES:
        simulate = SETUPS[setup][0]
        with render_cache.active():
            _SCENES[setup, kind] = simulate(num_poses=15, seed=3, target=TARGETS[kind]())
    return _SCENES[setup, kind]


def truth_of(setup, s):
    return s.tcp_T_camera if setup == "eye-in-hand" else s.robot_T_camera


def calibrate(setup, s, **options):
    calibrator = SETUPS[setup][1](s.target)
    result = calibrator.calibrate(s.robot_T_tcp_list, s.images, "TSAI", intrinsic_matrix=s.camera_matrix,
                                  distortion_coefficients=s.distortion, **options)
    return calibrator, result


@pytest.mark.parametrize("kind", TARGETS)
@pytest.mark.parametrize("setup", SETUPS)
def test_given_intrinsics_on_every_target(setup, kind, capfd):
    s = scene(setup, kind)
    calibrator, result = calibrate(setup, s, refine=True)
    assert result.ok and len(result.image_indices) == 15
    assert np.array_equal(result.intrinsic_matrix, s.camera_matrix)  # given intrinsics are kept
    millimetres, degrees = BOUNDS[kind]
    translation, rotation = demo.transform_error(getattr(result, SETUPS[setup][2]), truth_of(setup, s))
    assert translation * 1000 < millimetres and rotation < degrees, f"{translation * 1000:.3f} mm, {rotation:.4f} deg"
    for pose, true_pose in zip(result.camera_T_target_list, (s.camera_T_target_list[i] for i in result.image_indices)):
        assert np.linalg.norm(pose[:3, 3] - true_pose[:3, 3]) < (0.01 if kind == "single marker" else 0.002)
    few = "WARNING: The target gives only 4 corners per picture (fewer than 8)"
    err = capfd.readouterr().err
    assert (few in calibrator.format_results()) == (kind == "single marker")
    assert ("The target gives only 4 corners per picture" in err) == (kind == "single marker")
    assert "only supports CharucoTarget" not in err


@pytest.mark.parametrize("kind", TARGETS)
@pytest.mark.parametrize("setup", SETUPS)
def test_compute_camera_poses_for_every_target(setup, kind, capfd):
    s = scene(setup, kind)
    aligned = SETUPS[setup][1](s.target).compute_camera_T_target_list(s.images, s.robot_T_tcp_list[:12],
                                                                       s.camera_matrix, s.distortion)
    assert len(aligned.camera_T_target_list) == len(aligned.valid_image_list) == 12
    for k, (pose, robot) in enumerate(zip(aligned.camera_T_target_list, aligned.valid_robot_T_tcp_list)):
        assert np.array_equal(robot, s.robot_T_tcp_list[k])
        translation, rotation = demo.transform_error(pose, s.camera_T_target_list[k])
        assert translation < (0.01 if kind == "single marker" else 0.002) and rotation < 1.0
    assert capfd.readouterr().err.endswith("[velk][INFO] compute_camera_T_target_list: 12/15 frames passed\n")


def test_frames_without_the_target_are_dropped_with_their_robot_poses(capfd):
    s = scene("eye-in-hand", "chessboard")
    images = list(s.images)
    images[4] = np.full_like(images[4], 128)
    result = EyeInHandCalibrator(s.target).calibrate(s.robot_T_tcp_list, images, "PARK",
                                                     intrinsic_matrix=s.camera_matrix,
                                                     distortion_coefficients=s.distortion)
    assert result.ok and 4 not in result.image_indices and len(result.image_indices) == 14
    for index, robot in zip(result.image_indices, result.valid_robot_T_tcp_list):
        assert np.array_equal(robot, s.robot_T_tcp_list[index])
    err = capfd.readouterr().err
    assert "Chessboard not found in image 4" in err
    assert "[velk][INFO] compute_camera_T_target_list: 14/15 frames passed\n" in err


def test_a_marker_of_another_id_is_not_the_target():
    # The same pictures, but the calibrator looks for id 11: nothing to pose.
    s = scene("eye-in-hand", "single marker")
    other = ArucoTarget((1, 1), 0.048, 0.01, "DICT_APRILTAG_36H11", 11)
    aligned = EyeInHandCalibrator(other).compute_camera_T_target_list(s.images, s.robot_T_tcp_list, s.camera_matrix,
                                                                      s.distortion)
    assert aligned.camera_T_target_list == []


@pytest.mark.parametrize("kind", ["single marker", "circle grid"])
def test_cli_hand_eye_with_given_intrinsics(kind, tmp_path, capfd):
    import json

    from cli_data import write_hand_eye_dataset, write_target
    from quorvane.velk import cli

    s = scene("eye-in-hand", kind)
    folder = write_hand_eye_dataset(tmp_path / "data", s.images, s.robot_T_tcp_list)
    target = write_target(tmp_path / "target.json", s.target)
    intrinsics = tmp_path / "intrinsics.json"
    intrinsics.write_text(json.dumps({"camera_matrix": s.camera_matrix.tolist(),
                                      "distortion_coefficients": np.ravel(s.distortion).tolist()}))
    out = tmp_path / "out"
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "--intrinsics", str(intrinsics),
                     "--method", "TSAI", "-o", str(out)]) == 0
    record = _velk.io.load_hand_eye_result(out / "hand_eye.json")
    assert record.num_frames_used == 15
    translation, rotation = demo.transform_error(record.tcp_T_camera_list[0], s.tcp_T_camera)
    assert translation * 1000 < 3.0 and rotation < 0.3
    text = capfd.readouterr().out  # the calibrator's report comes from the library, on the process's stdout
    assert "Result written to" in text
    assert ("WARNING: The target gives only 4 corners per picture" in text) == (kind == "single marker")


@pytest.mark.parametrize("asymmetric, origin_circle_diameter", [(False, 0.0), (True, 0.0), (False, 0.015)])
def test_symmetric_circle_grids_are_named_as_ambiguous_for_hand_eye(asymmetric, origin_circle_diameter, capfd):
    target = CircleGridTarget((4, 5), 0.02, asymmetric, 0.01, "either", origin_circle_diameter)
    blank = [np.full((120, 160, 3), 200, np.uint8)] * 4
    result = EyeToHandCalibrator(target).calibrate([np.eye(4)] * 4, blank, "TSAI", intrinsic_matrix=np.eye(3),
                                                   distortion_coefficients=np.zeros((1, 5)))
    assert not result.ok
    err = capfd.readouterr().err
    ambiguous = not asymmetric and not origin_circle_diameter  # a larger origin circle tells the ends apart
    assert ("[EyeToHandCalibrator] A symmetric circle grid looks the same turned half a turn" in err) == ambiguous
