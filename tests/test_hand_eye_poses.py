"""Eye-in-hand calibration from given camera poses: solve, checks, log lines, report, record."""

import json
import math

import numpy as np
import pytest

import _velk
from _velk import CharucoTarget, ChessboardTarget, EyeInHandCalibrator, tf

BAR = "=" * 60
K = np.array([[1000.0, 0, 640], [0, 1000, 480], [0, 0, 1]])
TCP_T_CAMERA = tf.pose_to_transformation_matrix([0.03, -0.02, 0.08, 5, -3, 90])
WORLD_T_TARGET = tf.pose_to_transformation_matrix([0.6, 0.1, 0.0, 180, 0, 0])


def scene(count, seed=1, rotation_range=20.0):
    rng = np.random.default_rng(seed)
    robots = [tf.pose_to_transformation_matrix([
        0.5 + rng.uniform(-0.1, 0.1), rng.uniform(-0.1, 0.1), 0.5,
        180 + rng.uniform(-rotation_range, rotation_range), rng.uniform(-rotation_range, rotation_range),
        rng.uniform(-30, 30)]) for _ in range(count)]
    cameras = [np.linalg.inv(TCP_T_CAMERA) @ np.linalg.inv(r) @ WORLD_T_TARGET for r in robots]
    return robots, cameras


def calibrator():
    return EyeInHandCalibrator(CharucoTarget(7, 5, 0.04, 0.03))


def test_method_map():
    methods = _velk.hand_eye_method_by_name_map()
    assert methods == {"TSAI": 0, "PARK": 1, "HORAUD": 2, "ANDREFF": 3, "DANIILIDIS": 4}
    assert list(methods) == ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]


@pytest.mark.parametrize("method", ["TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS"])
def test_exact_poses_recover_the_transform(method, capfd):
    robots, cameras = scene(8)
    result = calibrator().calibrate(robots, [], method, cameras, K)
    assert result.ok and result.has_consistency
    assert np.allclose(result.tcp_T_camera, TCP_T_CAMERA, atol=1e-6)
    assert result.consistency.mean_translation_m < 1e-6
    assert math.isnan(result.reprojection_error)
    assert result.valid_image_list == [] and len(result.camera_T_target_list) == 8
    out, err = capfd.readouterr()
    assert err.startswith("[velk][INFO] Collected images 0\n[velk][INFO] Collected poses 8\n")
    assert err.endswith("[velk][INFO] Extrinsic calibration complete.\n")
    assert out.count("HAND-EYE RESULTS") == 1


def test_unknown_method_before_any_log(capfd):
    robots, cameras = scene(5)
    with pytest.raises(ValueError) as info:
        calibrator().calibrate(robots, [], "tsai", cameras, K)
    assert str(info.value) == "Unknown hand-eye method 'tsai'"
    assert capfd.readouterr().err == ""


def test_pre_alignment_error():
    robots, cameras = scene(6)
    with pytest.raises(ValueError) as info:
        calibrator().calibrate(robots[:5], [], "TSAI", cameras, K)
    assert str(info.value) == (
        "EyeInHandCalibrator: robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got 5 (robot) vs "
        "6 (camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in.")


def test_four_poses_solve_three_do_not(capfd):
    robots, cameras = scene(4)
    cal = calibrator()
    assert cal.calibrate(robots, [], "TSAI", cameras, K).ok
    first = cal.last_result().tcp_T_camera
    capfd.readouterr()
    failed = cal.calibrate(robots[:3], [], "TSAI", cameras[:3], K)
    assert not failed.ok and len(failed.valid_robot_T_tcp_list) == 3 and len(failed.camera_T_target_list) == 3
    assert failed.tcp_T_camera.shape == (0, 0)
    err = capfd.readouterr().err
    assert err.endswith("[velk][ERROR] Not enough valid poses for hand-eye calibration after filtering. "
                        "Got 3, need at least 4.\n")
    assert np.array_equal(cal.last_result().tcp_T_camera, first)


def test_identical_orientation_warning(capfd):
    robots, _ = scene(5)
    camera = np.linalg.inv(TCP_T_CAMERA) @ np.linalg.inv(robots[0]) @ WORLD_T_TARGET
    cameras = []
    for k in range(5):
        c = camera.copy()
        c[:3, 3] += [0.01 * k, 0.0, 0.0]
        cameras.append(c)
    calibrator().calibrate(robots, [], "TSAI", cameras, K)
    assert ("[velk][WARNING] [EyeInHandCalibrator] All camera poses have identical orientation! Hand-eye "
            "calibration requires varied rotations to solve uniquely.\n") in capfd.readouterr().err


def test_consistency_statistics():
    robots, cameras = scene(6)
    cameras[2] = cameras[2].copy()
    cameras[2][:3, 3] += [0.004, 0.0, 0.0]
    result = calibrator().calibrate(robots, [], "PARK", cameras, K)
    c = result.consistency
    assert len(c.translation_deviations_m) == len(c.rotation_deviations_deg) == len(c.distances_m) == 6
    assert c.max_translation_m == max(c.translation_deviations_m)
    assert c.mean_translation_m == pytest.approx(np.mean(c.translation_deviations_m))
    assert c.mean_rotation_deg == pytest.approx(np.mean(c.rotation_deviations_deg))
    assert not any(math.isnan(v) for v in c.rotation_deviations_deg)
    assert c.distances_m == pytest.approx([np.linalg.norm(p[:3, 3]) for p in cameras])
    centre = np.array([[0.14, 0.10, 0.0]])  # mean of the inner corners of a 7 x 5 board of 4 cm squares
    for pose, u, v in zip(cameras, c.board_us, c.board_vs):
        p = pose[:3, :3] @ centre.T + pose[:3, 3:]
        assert (u, v) == pytest.approx((K[0, 0] * p[0, 0] / p[2, 0] + K[0, 2], K[1, 1] * p[1, 0] / p[2, 0] + K[1, 2]),
                                       abs=1e-3)


def test_camera_poses_without_intrinsics_give_nan_centres():
    robots, cameras = scene(5)
    result = calibrator().calibrate(robots, [], "TSAI", cameras)
    c = result.consistency
    assert result.ok and len(c.board_us) == len(c.board_vs) == 5
    assert all(math.isnan(u) for u in c.board_us + c.board_vs)


def test_fresh_report_exactly():
    assert calibrator().format_results() == f"\n{BAR}\nHAND-EYE RESULTS\n{BAR}\nCalibration failed.\n"


def test_report_general_notation_after_na():
    robots, cameras = scene(6)
    cameras[0] = cameras[0].copy()
    cameras[0][:3, 3] += [0.0015, 0, 0]
    cal = calibrator()
    cal.calibrate(robots, [], "TSAI", cameras, K)
    text = cal.format_results()
    assert "\nReprojection Error: n/a\n" in text
    line = next(l for l in text.splitlines() if l.startswith("  Translation - mean: "))
    mean_mm = cal.last_result().consistency.mean_translation_m * 1000
    assert line.startswith(f"  Translation - mean: {mean_mm:.6g} mm   max: ")
    assert "Frame 5: trans=" in text and "Frame 6" not in text
    assert f"\n\n{BAR}\nROTATION VARIETY OF CAPTURED CAMERA POSES\n{BAR}\n" in text
    pose = tf.transformation_matrix_to_pose(cal.last_result().tcp_T_camera)
    assert "\nPose [x, y, z, rx, ry, rz] (deg):\n  [" + ", ".join(f"{v:.6g}" for v in pose) + "]\n" in text


def test_print_results_writes_report(capfd):
    cal = calibrator()
    capfd.readouterr()
    cal.print_results()
    assert capfd.readouterr().out == cal.format_results()


def test_saves_record(tmp_path):
    robots, cameras = scene(4)
    result = calibrator().calibrate(robots, [], "HORAUD", cameras, K, output_path=tmp_path / "he")
    saved = json.loads((tmp_path / "he" / "hand_eye.json").read_text())
    assert saved["method"] == "HORAUD" and saved["num_cameras"] == 1 and saved["reference_index"] == 0
    assert saved["num_frames_used"] == 0 and saved["num_frames_total"] == 0
    assert np.allclose(saved["tcp_T_camera_list"][0], result.tcp_T_camera)


def test_no_output_path_writes_nothing(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    robots, cameras = scene(4)
    calibrator().calibrate(robots, [], "TSAI", cameras, K)
    assert list(tmp_path.iterdir()) == []


def test_default_result_and_records():
    cal = calibrator()
    r = cal.last_result()
    assert not r.ok and math.isnan(r.reprojection_error) and not r.has_consistency
    assert r.consistency.translation_deviations_m == [] and r.consistency.mean_translation_m == 0.0
    for cls in (_velk.HandEyeResult, _velk.TargetConsistencyStats, _velk.AlignedTargetPoses):
        with pytest.raises(TypeError):
            cls()
    assert isinstance(cal.target(), CharucoTarget)


def test_compute_camera_poses_takes_a_chessboard(capfd):
    # Given intrinsics pose every target kind; a picture without the board is skipped, not refused.
    cal = EyeInHandCalibrator(ChessboardTarget((9, 6), 0.025))
    aligned = cal.compute_camera_T_target_list([], [], K, np.zeros((1, 5)))
    assert aligned.camera_T_target_list == [] and aligned.valid_robot_T_tcp_list == []
    result = cal.calibrate([np.eye(4)], [np.zeros((10, 10, 3), np.uint8)], "TSAI", [], K)
    assert not result.ok and result.image_indices == []
    err = capfd.readouterr().err
    assert "[velk][INFO] compute_camera_T_target_list: 1/1 frames passed" not in err
    assert "[velk][ERROR] Only 0 valid frames after solvePnP  -  need at least 4.\n" in err


@pytest.mark.parametrize("method", ["PARK", "DANIILIDIS"])
def test_non_finite_solution_is_a_failure_not_a_result(method, capfd):
    # Pure translations leave the rotation undetermined; these solvers then return NaN.
    robots = [tf.pose_to_transformation_matrix([0.5 + 0.05 * k, 0.02 * (k % 2), 0.5, 180, 0, 0]) for k in range(6)]
    cameras = [np.linalg.inv(TCP_T_CAMERA) @ np.linalg.inv(r) @ WORLD_T_TARGET for r in robots]
    cal = calibrator()
    result = cal.calibrate(robots, [], method, cameras, K)
    if result.ok:
        assert np.all(np.isfinite(result.tcp_T_camera))
        pytest.skip(f"{method} found a finite solution for pure translations here")
    assert result.tcp_T_camera.shape == (0, 0) and not result.has_consistency
    assert not cal.last_result().ok
    out, err = capfd.readouterr()
    assert f"[velk][ERROR] [EyeInHandCalibrator] The {method} solver returned a non-finite tcp_T_camera" in err
    assert "HAND-EYE RESULTS" not in out


def test_float32_and_float64_poses_mix():
    robots, cameras = scene(6)
    cameras = [c.astype(np.float32) if k % 2 else c for k, c in enumerate(cameras)]
    robots = [r.astype(np.float32) if k % 3 == 0 else r for k, r in enumerate(robots)]
    result = calibrator().calibrate(robots, [], "PARK", cameras, K)
    assert result.ok and np.allclose(result.tcp_T_camera, TCP_T_CAMERA, atol=1e-4)


@pytest.mark.parametrize("setup", ["eye-in-hand", "eye-to-hand"])
@pytest.mark.parametrize("method", ["TSAI", "PARK", "SHAH"])
def test_the_closed_form_solve_alone_gives_both_transforms_of_either_set_up(setup, method, capfd):
    robots, _ = scene(8)
    if setup == "eye-in-hand":
        camera_mount, target_mount = TCP_T_CAMERA, WORLD_T_TARGET
        cameras = [np.linalg.inv(camera_mount) @ np.linalg.inv(r) @ target_mount for r in robots]
    else:
        # robot_T_camera and tcp_T_target: camera_T_target = inv(robot_T_camera) * robot_T_tcp * tcp_T_target.
        camera_mount = tf.pose_to_transformation_matrix([0.8, 0.1, 0.6, 170, 5, -30])
        target_mount = tf.pose_to_transformation_matrix([0.01, 0.02, 0.12, 0, 180, 15])
        cameras = [np.linalg.inv(camera_mount) @ r @ target_mount for r in robots]
    camera, target = _velk.solve_hand_eye(robots, cameras, method, setup)
    assert np.allclose(camera, camera_mount, atol=1e-6) and np.allclose(target, target_mount, atol=1e-6)
    assert capfd.readouterr().err == ""


def test_the_closed_form_solve_alone_refuses_what_it_cannot_solve():
    robots, cameras = scene(6)
    with pytest.raises(ValueError, match="entry for entry"):
        _velk.solve_hand_eye(robots, cameras[:5])
    with pytest.raises(ValueError, match="unknown set-up"):
        _velk.solve_hand_eye(robots, cameras, "TSAI", "eye-on-hand")
    translations = [tf.pose_to_transformation_matrix([0.5 + 0.05 * k, 0.02 * (k % 2), 0.5, 180, 0, 0])
                    for k in range(6)]
    cameras = [np.linalg.inv(TCP_T_CAMERA) @ np.linalg.inv(r) @ WORLD_T_TARGET for r in translations]
    solution = _velk.solve_hand_eye(translations, cameras, "PARK")
    assert solution is None or np.all(np.isfinite(solution[0]))
