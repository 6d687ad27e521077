"""Eye-in-hand calibration from rendered pictures of a simulated robot camera."""

import numpy as np
import pytest

import _velk
import render_cache
from _velk import ArucoTarget, ChessboardTarget, EyeInHandCalibrator

cv2 = pytest.importorskip("cv2")
demo = pytest.importorskip("quorvane.velk.demo")

METHODS = ["TSAI", "PARK", "HORAUD", "DANIILIDIS"]
_SCENES = {}


def scene(kind="charuco"):
    if kind not in _SCENES:
        target = {"charuco": None, "chessboard": ChessboardTarget((9, 6), 0.035),
                  "aruco": ArucoTarget((6, 5), 0.045, 0.01)}[kind]
        with render_cache.active():
            _SCENES[kind] = demo.simulate_eye_in_hand(num_poses=15 if kind == "charuco" else 12, seed=3, target=target)
    return _SCENES[kind]


@pytest.fixture(scope="module")
def charuco_scene():
    pytest.importorskip("cv2")
    return scene("charuco")


def assert_close_to_truth(result, truth):
    translation_error, rotation_error = demo.transform_error(result.tcp_T_camera, truth)
    assert translation_error < 0.002, f"{translation_error * 1000:.3f} mm"
    assert rotation_error < 0.2, f"{rotation_error:.4f} deg"


@pytest.mark.parametrize("method", METHODS)
def test_image_based_path(method, charuco_scene):
    s = charuco_scene
    result = EyeInHandCalibrator(s.target).calibrate(s.robot_T_tcp_list, s.images, method)
    assert result.ok
    assert_close_to_truth(result, s.tcp_T_camera)
    assert result.consistency.mean_translation_m < 0.002
    assert 0 < result.reprojection_error < 0.5
    assert abs(result.intrinsic_matrix[0, 0] / s.camera_matrix[0, 0] - 1) < 0.01
    assert len(result.valid_image_list) == len(result.camera_T_target_list) == len(result.valid_robot_T_tcp_list)


@pytest.mark.parametrize("method", METHODS)
def test_given_intrinsics_path(method, charuco_scene):
    s = charuco_scene
    result = EyeInHandCalibrator(s.target).calibrate(s.robot_T_tcp_list, s.images, method,
                                                     intrinsic_matrix=s.camera_matrix,
                                                     distortion_coefficients=s.distortion)
    assert result.ok and np.isnan(result.reprojection_error)
    assert_close_to_truth(result, s.tcp_T_camera)
    assert result.consistency.mean_translation_m < 0.002
    assert len(result.valid_image_list) == 15


@pytest.mark.parametrize("kind", ["chessboard", "aruco"])
def test_other_targets_on_the_image_path(kind):
    s = scene(kind)
    result = EyeInHandCalibrator(s.target).calibrate(s.robot_T_tcp_list, s.images, "PARK")
    assert result.ok
    # ArUco corners are not refined to sub-pixel precision: allow them a little more.
    limit = 0.002 if kind == "chessboard" else 0.004
    assert demo.transform_error(result.tcp_T_camera, s.tcp_T_camera)[0] < limit


def test_compute_camera_poses_stops_at_the_shorter_list(charuco_scene, capfd):
    s = charuco_scene
    cal = EyeInHandCalibrator(s.target)
    aligned = cal.compute_camera_T_target_list(s.images, s.robot_T_tcp_list[:10], s.camera_matrix, s.distortion)
    assert len(aligned.camera_T_target_list) == len(aligned.valid_image_list) == len(aligned.valid_robot_T_tcp_list)
    assert len(aligned.camera_T_target_list) == 10
    for pose, truth in zip(aligned.camera_T_target_list, s.camera_T_target_list):
        assert np.linalg.norm(pose[:3, 3] - truth[:3, 3]) < 0.002
    assert capfd.readouterr().err.endswith("[velk][INFO] compute_camera_T_target_list: 10/15 frames passed\n")
    assert cal.last_result().ok is False


def test_frames_without_board_are_skipped_and_aligned(charuco_scene, capfd):
    s = charuco_scene
    images = list(s.images[:6])
    images[2] = np.full_like(images[2], 90)
    aligned = EyeInHandCalibrator(s.target).compute_camera_T_target_list(images, s.robot_T_tcp_list[:6],
                                                                         s.camera_matrix, s.distortion)
    err = capfd.readouterr().err
    assert "[velk][WARNING] frame 2: ChArUco detection failed  -  skipping\n" in err
    assert "compute_camera_T_target_list: 5/6 frames passed" in err
    kept = [0, 1, 3, 4, 5]
    for k, index in enumerate(kept):
        assert np.array_equal(aligned.valid_robot_T_tcp_list[k], s.robot_T_tcp_list[index])
        assert np.array_equal(aligned.valid_image_list[k], images[index])


def test_too_few_frames_with_given_intrinsics(charuco_scene, capfd):
    s = charuco_scene
    cal = EyeInHandCalibrator(s.target)
    result = cal.calibrate(s.robot_T_tcp_list[:3], s.images[:3], "TSAI", intrinsic_matrix=s.camera_matrix,
                           distortion_coefficients=s.distortion)
    assert not result.ok and len(result.valid_image_list) == 3 and len(result.valid_robot_T_tcp_list) == 3
    assert "[velk][ERROR] Only 3 valid frames after solvePnP  -  need at least 4.\n" in capfd.readouterr().err


def test_too_few_images_on_the_image_path(charuco_scene, capfd):
    s = charuco_scene
    cal = EyeInHandCalibrator(s.target)
    good = cal.calibrate(s.robot_T_tcp_list, s.images, "TSAI")
    capfd.readouterr()
    result = cal.calibrate(s.robot_T_tcp_list[:3], s.images[:3], "TSAI")
    assert not result.ok and len(result.valid_image_list) == 3
    err = capfd.readouterr().err
    assert "[velk][ERROR] Not enough valid images for extrinsic calibration. Need at least 4!\n" in err
    assert "Calculating extrinsic" not in err
    assert np.array_equal(cal.last_result().tcp_T_camera, good.tcp_T_camera)
    assert len(cal.corner_images()) == 3


def test_robot_list_shorter_than_image_list_is_refused(charuco_scene):
    s = charuco_scene
    with pytest.raises(ValueError, match="robot_T_tcp_list has 8 poses"):
        EyeInHandCalibrator(s.target).calibrate(s.robot_T_tcp_list[:8], s.images, "TSAI")


def test_saves_and_reports(charuco_scene, tmp_path, capfd):
    s = charuco_scene
    cal = EyeInHandCalibrator(s.target)
    result = cal.calibrate(s.robot_T_tcp_list, s.images, "TSAI", output_path=str(tmp_path))
    out = capfd.readouterr().out
    assert out == cal.format_results()
    assert f"\nReprojection Error: {result.reprojection_error:.4f} px\n" in out
    mean_mm = result.consistency.mean_translation_m * 1000
    assert f"  Translation - mean: {mean_mm:.4f} mm   max: " in out
    assert "  Frame 0: trans=" in out and "mm center=(" in out
    record = _velk.io.load_hand_eye_result(tmp_path)
    assert record.method == "TSAI" and record.num_frames_total == 15
    assert record.num_frames_used == len(result.valid_image_list)
    assert np.allclose(record.tcp_T_camera_list[0], result.tcp_T_camera)


def test_demo_command_runs_end_to_end(tmp_path, capfd):
    from quorvane.velk import cli

    assert cli.main(["demo", "--output", str(tmp_path / "out"), "--poses", "8"]) == 0
    out = capfd.readouterr().out
    assert "HAND-EYE RESULTS" in out and "translation error:" in out
    assert (tmp_path / "out" / "hand_eye.json").is_file()


@pytest.mark.parametrize("setup, record", [("eye-in-hand", "hand_eye.json"), ("eye-to-hand", "eye_to_hand.json")])
def test_demo_with_a_fisheye_lens(tmp_path, capfd, setup, record):
    """The demo renders through a 160-degree fisheye lens and calibrates with the fisheye model: the recovered
    transform is close to the truth and the record names the model."""
    import json
    import re

    from quorvane.velk import cli

    output = tmp_path / "out"
    assert cli.main(["demo", "--setup", setup, "--camera-model", "fisheye", "--output", str(output),
                     "--poses", "10"]) == 0
    out = capfd.readouterr().out
    assert "160-degree fisheye lens" in out
    errors = [float(v) for v in re.findall(r"translation error: ([0-9.]+) mm", out)]
    assert errors and errors[0] < 0.5
    assert json.loads((output / record).read_text())["camera_model"] == "fisheye"
