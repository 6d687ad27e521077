"""Eye-to-hand calibration from given camera poses; robot-world solvers; pose checks of both set-ups."""

import json
import math

import numpy as np
import pytest

import _velk
from _velk import CharucoTarget, EyeInHandCalibrator, EyeToHandCalibrator, diagnostics, io, tf

BAR = "=" * 60
K = np.array([[1000.0, 0, 640], [0, 1000, 480], [0, 0, 1]])
NO_DISTORTION = np.zeros((1, 5))
ROBOT_T_CAMERA = tf.pose_to_transformation_matrix([1.1, 0.2, 0.7, -115, 3, 92])
TCP_T_TARGET = tf.pose_to_transformation_matrix([-0.14, 0.1, 0.05, 180, 0, 12])
# Eye-in-hand truth for the robot-world solvers.
TCP_T_CAMERA = tf.pose_to_transformation_matrix([0.03, -0.02, 0.08, 5, -3, 90])
WORLD_T_TARGET = tf.pose_to_transformation_matrix([0.6, 0.1, 0.0, 180, 0, 0])
ALL_METHODS = ["TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS", "SHAH", "LI"]
COMPARED = ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]


def robot_poses(count, seed=1, rotation_range=20.0):
    rng = np.random.default_rng(seed)
    return [tf.pose_to_transformation_matrix([
        0.5 + rng.uniform(-0.1, 0.1), rng.uniform(-0.1, 0.1), 0.5 + rng.uniform(-0.05, 0.05),
        180 + rng.uniform(-rotation_range, rotation_range), rng.uniform(-rotation_range, rotation_range),
        rng.uniform(-30, 30)]) for _ in range(count)]


def eye_to_hand_scene(count, seed=1):
    robots = robot_poses(count, seed)
    cameras = [np.linalg.inv(ROBOT_T_CAMERA) @ r @ TCP_T_TARGET for r in robots]
    return robots, cameras


def eye_in_hand_scene(count, seed=1):
    robots = robot_poses(count, seed)
    cameras = [np.linalg.inv(TCP_T_CAMERA) @ np.linalg.inv(r) @ WORLD_T_TARGET for r in robots]
    return robots, cameras


def calibrator():
    return EyeToHandCalibrator(CharucoTarget(7, 5, 0.04, 0.03))


@pytest.mark.parametrize("method", ALL_METHODS)
def test_exact_poses_recover_both_transforms(method, capfd):
    robots, cameras = eye_to_hand_scene(8)
    result = calibrator().calibrate(robots, [], method, cameras, K)
    assert result.ok and result.has_consistency and result.method == method
    assert np.allclose(result.robot_T_camera, ROBOT_T_CAMERA, atol=1e-6)
    assert np.allclose(result.tcp_T_target, TCP_T_TARGET, atol=1e-6)
    assert result.consistency.max_translation_m < 1e-6 and result.consistency.max_rotation_deg < 1e-4
    assert math.isnan(result.reprojection_error)
    assert result.image_indices == list(range(8)) and result.valid_image_list == []
    assert result.rotation_variety is not None and result.rotation_variety.num_motions == 7
    out, err = capfd.readouterr()
    assert err.startswith("[velk][INFO] Collected images 0\n[velk][INFO] Collected poses 8\n")
    assert err.endswith("[velk][INFO] Extrinsic calibration complete.\n")
    assert out.count("EYE-TO-HAND RESULTS") == 1


@pytest.mark.parametrize("method", ["SHAH", "LI"])
def test_robot_world_solvers_serve_eye_in_hand(method):
    robots, cameras = eye_in_hand_scene(8)
    result = EyeInHandCalibrator(CharucoTarget(7, 5, 0.04, 0.03)).calibrate(robots, [], method, cameras, K)
    assert result.ok
    assert np.allclose(result.tcp_T_camera, TCP_T_CAMERA, atol=1e-6)
    assert np.allclose(result.world_T_target, WORLD_T_TARGET, atol=1e-6)


def test_target_transform_of_a_hand_eye_solver_is_the_mean_of_the_frames():
    robots, cameras = eye_in_hand_scene(6)
    cameras[1] = cameras[1] @ tf.pose_to_transformation_matrix([0.003, 0, 0, 0, 0, 0])
    result = EyeInHandCalibrator(CharucoTarget(7, 5, 0.04, 0.03)).calibrate(robots, [], "TSAI", cameras, K)
    estimates = [r @ result.tcp_T_camera @ c for r, c in zip(robots, cameras)]
    assert np.allclose(result.world_T_target, tf.average_pose(estimates), atol=1e-12)
    assert not np.allclose(result.world_T_target, WORLD_T_TARGET, atol=1e-4)


def test_robot_world_names_are_a_separate_map():
    assert _velk.robot_world_hand_eye_method_by_name_map() == {"LI": 1, "SHAH": 0}
    assert len(_velk.hand_eye_method_by_name_map()) == 5


@pytest.mark.parametrize("make", [EyeToHandCalibrator, EyeInHandCalibrator])
@pytest.mark.parametrize("name", ["shah", "Li", "NONE"])
def test_unknown_method_before_any_log(make, name, capfd):
    robots, cameras = eye_to_hand_scene(5)
    with pytest.raises(ValueError) as info:
        make(CharucoTarget(7, 5, 0.04, 0.03)).calibrate(robots, [], name, cameras, K)
    assert str(info.value) == f"Unknown hand-eye method '{name}'"
    assert capfd.readouterr().err == ""


def test_pre_alignment_error_names_the_calibrator():
    robots, cameras = eye_to_hand_scene(6)
    with pytest.raises(ValueError) as info:
        calibrator().calibrate(robots[:5], [], "TSAI", cameras, K)
    assert str(info.value) == (
        "EyeToHandCalibrator: robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got 5 (robot) vs "
        "6 (camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in.")


def test_four_poses_solve_three_do_not(capfd):
    robots, cameras = eye_to_hand_scene(4)
    cal = calibrator()
    assert cal.calibrate(robots, [], "LI", cameras, K).ok
    first = cal.last_result().robot_T_camera
    capfd.readouterr()
    failed = cal.calibrate(robots[:3], [], "TSAI", cameras[:3], K)
    assert not failed.ok and failed.robot_T_camera.shape == (0, 0) and failed.tcp_T_target.shape == (0, 0)
    assert len(failed.camera_T_target_list) == 3 and failed.rotation_variety is None
    assert capfd.readouterr().err.endswith(
        "[velk][ERROR] Not enough valid poses for hand-eye calibration after filtering. Got 3, need at least 4.\n")
    assert np.array_equal(cal.last_result().robot_T_camera, first)


def test_identical_orientations_warn_and_never_give_a_non_finite_result(capfd):
    # The robot only translates: every camera pose has one rotation, and the rotation is undetermined.
    robots = [tf.pose_to_transformation_matrix([0.5 + 0.03 * k, 0.02 * (k % 3), 0.5 - 0.01 * k, 180, 0, 0])
              for k in range(6)]
    cameras = [np.linalg.inv(ROBOT_T_CAMERA) @ r @ TCP_T_TARGET for r in robots]
    for method in ALL_METHODS:
        try:
            result = calibrator().calibrate(robots, [], method, cameras, K)
        except RuntimeError as error:  # some OpenCV solvers refuse such data outright
            assert "OpenCV" in str(error)
            result = None
        err = capfd.readouterr().err
        assert ("[velk][WARNING] [EyeToHandCalibrator] All camera poses have identical orientation! Hand-eye "
                "calibration requires varied rotations to solve uniquely.\n") in err
        if result is None:
            continue
        if not result.ok:
            assert (f"[velk][ERROR] [EyeToHandCalibrator] The {method} solver returned a non-finite "
                    "robot_T_camera") in err
        else:
            assert np.all(np.isfinite(result.robot_T_camera)) and np.all(np.isfinite(result.tcp_T_target))


def _bad(kind):
    pose = ROBOT_T_CAMERA.copy()
    if kind == "3x4":
        return pose[:3]
    if kind == "NaN":
        pose[1, 3] = np.nan
    elif kind == "infinity":
        pose[0, 0] = np.inf
    elif kind == "scaled rotation":
        pose[:3, :3] *= 1.001
    elif kind == "reflection":
        pose[:3, 0] *= -1
    elif kind == "sheared rotation":
        pose[0, 1] += 1e-4
    elif kind == "bottom row":
        pose[3, 0] = 0.5
    return pose


PROBLEMS = {"3x4": "is not a 4x4 pose (got 3x4)", "NaN": "holds NaN or infinity", "infinity": "holds NaN or infinity",
            "scaled rotation": "has a rotation block that is not a rotation",
            "reflection": "has a rotation block that is not a rotation",
            "sheared rotation": "has a rotation block that is not a rotation",
            "bottom row": "has a bottom row that is not [0 0 0 1]"}


@pytest.mark.parametrize("kind", PROBLEMS)
@pytest.mark.parametrize("which", ["robot_T_tcp_list", "camera_T_target_list"])
@pytest.mark.parametrize("make", [EyeToHandCalibrator, EyeInHandCalibrator])
def test_bad_poses_are_refused_before_any_work(make, which, kind, capfd):
    robots, cameras = eye_to_hand_scene(6)
    lists = {"robot_T_tcp_list": robots, "camera_T_target_list": cameras}
    lists[which][3] = _bad(kind)
    name = make.__name__
    with pytest.raises(ValueError) as info:
        make(CharucoTarget(7, 5, 0.04, 0.03)).calibrate(robots, [], "SHAH", cameras, K)
    assert str(info.value).startswith(f"{name}: {which}[3] {PROBLEMS[kind]}")
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("make", [EyeToHandCalibrator, EyeInHandCalibrator])
def test_a_bad_robot_pose_is_refused_on_the_image_path_too(make):
    robots = [np.eye(4), _bad("NaN")]
    with pytest.raises(ValueError, match=r"robot_T_tcp_list\[1\] holds NaN or infinity"):
        make(CharucoTarget(7, 5, 0.04, 0.03)).calibrate(robots, [np.zeros((10, 10, 3), np.uint8)] * 2)


def test_float32_poses_pass_the_check():
    robots, cameras = eye_to_hand_scene(6)
    robots = [r.astype(np.float32) for r in robots]
    cameras = [c.astype(np.float32) for c in cameras]
    result = calibrator().calibrate(robots, [], "PARK", cameras, K)
    assert result.ok and np.allclose(result.robot_T_camera, ROBOT_T_CAMERA, atol=1e-4)


def test_fresh_report_exactly():
    assert calibrator().format_results() == f"\n{BAR}\nEYE-TO-HAND RESULTS\n{BAR}\nCalibration failed.\n"


def test_report_sections(capfd):
    robots, cameras = eye_to_hand_scene(6)
    cal = calibrator()
    cal.calibrate(robots, [], "TSAI", cameras, K)
    assert capfd.readouterr().out == cal.format_results()
    text = cal.format_results()
    result = cal.last_result()
    for heading, matrix in [("Hand-Eye Transform (Robot Base -> Camera)", result.robot_T_camera),
                            ("Target Transform (TCP -> Target)", result.tcp_T_target)]:
        pose = tf.transformation_matrix_to_pose(matrix)
        assert f"\n{heading}:\n" in text
        assert "\nPose [x, y, z, rx, ry, rz] (deg):\n  [" + ", ".join(f"{v:.6g}" for v in pose) + "]\n" in text
    assert text.index("Robot Base -> Camera") < text.index("TCP -> Target") < text.index("Intrinsic Matrix")
    assert "\nReprojection Error: n/a\n" in text and "\nTarget Consistency Residual:\n" in text
    assert "Frame 5: trans=" in text and "Frame 6" not in text
    assert text.endswith(diagnostics.format_rotation_variety(diagnostics.analyze_rotation_variety(cameras)))


def test_calibrate_writes_the_record(tmp_path):
    robots, cameras = eye_to_hand_scene(5)
    result = calibrator().calibrate(robots, [], "SHAH", cameras, K, output_path=tmp_path / "run")
    saved = json.loads((tmp_path / "run" / "eye_to_hand.json").read_text())
    assert list(saved) == ["method", "num_cameras", "num_frames_total", "num_frames_used", "reference_index",
                           "robot_T_camera_list", "tcp_T_target"]
    assert saved["method"] == "SHAH" and saved["num_cameras"] == 1 and saved["num_frames_used"] == 0
    assert np.allclose(saved["robot_T_camera_list"][0], result.robot_T_camera)
    assert np.allclose(saved["tcp_T_target"], result.tcp_T_target)
    assert not (tmp_path / "run" / "hand_eye.json").exists()


def test_record_layout_and_round_trip(tmp_path, capfd):
    written = io.save_eye_to_hand_result(tmp_path, io.EyeToHandResultRecord())
    assert written == tmp_path / "eye_to_hand.json"
    assert written.read_text() == (
        '{\n  "method": "",\n  "num_cameras": 0,\n  "num_frames_total": -1,\n  "num_frames_used": -1,\n'
        '  "reference_index": 0,\n  "robot_T_camera_list": [],\n  "tcp_T_target": []\n}')
    assert capfd.readouterr().err == f"[velk][SUCCESS] Saved eye-to-hand result to {written}\n"
    r = io.EyeToHandResultRecord()
    r.reference_index, r.num_cameras, r.method, r.num_frames_used, r.num_frames_total = 1, 2, "LI", 11, 15
    r.robot_T_camera_list = [ROBOT_T_CAMERA, np.eye(4, dtype=np.float32)]
    r.tcp_T_target = TCP_T_TARGET
    back = io.load_eye_to_hand_result(io.save_eye_to_hand_result(tmp_path / "sub" / "e.json", r))
    assert (back.reference_index, back.num_cameras, back.method, back.num_frames_used, back.num_frames_total) == (
        1, 2, "LI", 11, 15)
    assert np.array_equal(back.robot_T_camera_list[0], ROBOT_T_CAMERA)
    assert back.robot_T_camera_list[1].dtype == np.float64 and np.array_equal(back.tcp_T_target, TCP_T_TARGET)
    assert io.load_eye_to_hand_result(tmp_path).tcp_T_target.shape == (0, 0)


@pytest.mark.parametrize("missing", ["robot_T_camera_list", "tcp_T_target", "reference_index"])
def test_record_required_members(tmp_path, missing):
    document = {"num_cameras": 1, "reference_index": 0, "robot_T_camera_list": [], "tcp_T_target": []}
    del document[missing]
    (tmp_path / "eye_to_hand.json").write_text(json.dumps(document))
    with pytest.raises(RuntimeError, match=f"key '{missing}' not found"):
        io.load_eye_to_hand_result(tmp_path)


def test_record_optional_members(tmp_path):
    (tmp_path / "e.json").write_text(json.dumps({"num_cameras": 1, "reference_index": 0, "robot_T_camera_list": [],
                                                 "tcp_T_target": [], "method": None}))
    r = io.load_eye_to_hand_result(tmp_path / "e.json")
    assert (r.method, r.num_frames_used, r.num_frames_total) == ("", -1, -1)


def test_failed_record_save_keeps_the_earlier_file(tmp_path):
    good = io.EyeToHandResultRecord()
    good.method = "TSAI"
    path = io.save_eye_to_hand_result(tmp_path, good)
    before = path.read_text()
    bad = io.EyeToHandResultRecord()
    bad.method = b"\xff\xfe"  # not UTF-8
    with pytest.raises(RuntimeError, match="invalid UTF-8"):
        io.save_eye_to_hand_result(tmp_path, bad)
    assert path.read_text() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["eye_to_hand.json"]


def test_comparison_on_eye_to_hand_poses(capfd):
    robots, cameras = eye_to_hand_scene(8)
    results = diagnostics.compare_hand_eye_methods(CharucoTarget(7, 5, 0.04, 0.03), robots, [], cameras, K,
                                                   NO_DISTORTION, setup="eye-to-hand")
    assert list(results) == COMPARED
    for name, result in results.items():
        assert result.method_name == name and result.tcp_T_camera.shape == (0, 0)
        assert np.allclose(result.robot_T_camera, ROBOT_T_CAMERA, atol=1e-6)
        assert np.allclose(result.tcp_T_target, TCP_T_TARGET, atol=1e-6)
        assert result.pose_deg == pytest.approx(tf.transformation_matrix_to_pose(ROBOT_T_CAMERA), abs=1e-5)
    out, err = capfd.readouterr()
    assert out.count("EYE-TO-HAND RESULTS") == 5 and "[diag]" not in err
    assert "  >>> All 5 methods agree to within ~1.50 deg of median (" in diagnostics.format_method_comparison(results)


def test_comparison_catches_bad_poses_per_method(capfd):
    robots, cameras = eye_to_hand_scene(6)
    robots[2] = _bad("scaled rotation")
    results = diagnostics.compare_hand_eye_methods(CharucoTarget(7, 5, 0.04, 0.03), robots, [], cameras, K,
                                                   NO_DISTORTION, setup="eye-to-hand")
    assert results == dict.fromkeys(COMPARED)
    assert capfd.readouterr().err.count(
        "failed: EyeToHandCalibrator: robot_T_tcp_list[2] has a rotation block that is not a rotation") == 5


def test_unknown_set_up_is_refused():
    with pytest.raises(ValueError) as info:
        diagnostics.compare_hand_eye_methods(CharucoTarget(7, 5, 0.04, 0.03), [], [], [], K, NO_DISTORTION,
                                             setup="eye_to_hand")
    assert str(info.value) == ("compare_hand_eye_methods: unknown set-up 'eye_to_hand' "
                               "(expected \"eye-in-hand\" or \"eye-to-hand\")")


def test_default_result_and_classes():
    r = calibrator().last_result()
    assert not r.ok and r.method == "" and math.isnan(r.reprojection_error) and r.rotation_variety is None
    assert r.image_indices == [] and r.robot_T_camera.shape == (0, 0)
    with pytest.raises(TypeError):
        _velk.EyeToHandResult()
    assert isinstance(calibrator().target(), CharucoTarget)
