"""Eye-to-hand calibration from rendered pictures of a board carried by a simulated robot."""

import numpy as np
import pytest

import _velk
import render_cache
from _velk import CalibrationBenchmark, EyeInHandCalibrator, EyeToHandCalibrator, IntrinsicOptions, diagnostics, tf

cv2 = pytest.importorskip("cv2")
demo = pytest.importorskip("quorvane.velk.demo")

ACCURATE_METHODS = ["TSAI", "PARK", "HORAUD", "DANIILIDIS", "SHAH", "LI"]
_SCENES = {}


@pytest.fixture(scope="module")
def scene():
    """Fifteen flange poses, ChArUco board, noise of 1 grey level and blur."""
    if "eye-to-hand" not in _SCENES:
        with render_cache.active():
            _SCENES["eye-to-hand"] = demo.simulate_eye_to_hand(num_poses=15, seed=3)
    return _SCENES["eye-to-hand"]


@pytest.fixture(scope="module")
def image_based_results(scene):
    return {method: EyeToHandCalibrator(scene.target).calibrate(scene.robot_T_tcp_list, scene.images, method)
            for method in ACCURATE_METHODS + ["ANDREFF"]}


def errors(result, s):
    return (demo.transform_error(result.robot_T_camera, s.robot_T_camera),
            demo.transform_error(result.tcp_T_target, s.tcp_T_target))


def assert_within(result, s, millimetres, degrees):
    for name, (translation, rotation) in zip(["robot_T_camera", "tcp_T_target"], errors(result, s)):
        assert translation * 1000 < millimetres, f"{name}: {translation * 1000:.3f} mm"
        assert rotation < degrees, f"{name}: {rotation:.4f} deg"


@pytest.mark.parametrize("method", ACCURATE_METHODS)
def test_given_intrinsics(method, scene):
    result = EyeToHandCalibrator(scene.target).calibrate(scene.robot_T_tcp_list, scene.images, method,
                                                         intrinsic_matrix=scene.camera_matrix,
                                                         distortion_coefficients=scene.distortion)
    assert result.ok and result.image_indices == list(range(15))
    assert_within(result, scene, 0.5, 0.05)
    assert result.consistency.mean_translation_m < 0.0005


@pytest.mark.parametrize("method", ACCURATE_METHODS)
def test_from_images(method, scene, image_based_results):
    result = image_based_results[method]
    assert result.ok and 0 < result.reprojection_error < 0.5
    assert_within(result, scene, 1.0, 0.1)
    assert len(result.valid_image_list) == len(result.camera_T_target_list) == len(result.image_indices)


def test_andreff_gives_a_sound_result(scene, image_based_results):
    # The linear formulation is not held to the tight bounds of the others, only to a sound result.
    assert image_based_results["ANDREFF"].ok
    assert_within(image_based_results["ANDREFF"], scene, 10.0, 1.0)


def test_missed_detections_drop_their_robot_poses(scene, capfd):
    images = list(scene.images[:9])
    images[4] = np.full_like(images[4], 90)
    for given in (False, True):
        extra = dict(intrinsic_matrix=scene.camera_matrix, distortion_coefficients=scene.distortion) if given else {}
        result = EyeToHandCalibrator(scene.target).calibrate(scene.robot_T_tcp_list[:9], images, "TSAI", **extra)
        assert result.ok
        assert result.image_indices == [0, 1, 2, 3, 5, 6, 7, 8]
        for k, index in enumerate(result.image_indices):
            assert np.array_equal(result.valid_robot_T_tcp_list[k], scene.robot_T_tcp_list[index])
            assert np.array_equal(result.valid_image_list[k], images[index])
    err = capfd.readouterr().err
    assert "[velk][WARNING] frame 4: ChArUco detection failed  -  skipping\n" in err


def test_shorter_robot_list(scene, capfd):
    cal = EyeToHandCalibrator(scene.target)
    with pytest.raises(ValueError) as info:
        cal.calibrate(scene.robot_T_tcp_list[:10], scene.images, "TSAI")
    assert str(info.value).startswith("EyeToHandCalibrator: robot_T_tcp_list has 10 poses but image 10 needs one")
    aligned = cal.compute_camera_T_target_list(scene.images, scene.robot_T_tcp_list[:10], scene.camera_matrix,
                                               scene.distortion)
    assert len(aligned.camera_T_target_list) == len(aligned.valid_robot_T_tcp_list) == 10
    assert capfd.readouterr().err.endswith("[velk][INFO] compute_camera_T_target_list: 10/15 frames passed\n")
    # A chessboard is posed too; the ChArUco pictures show none.
    aligned = EyeToHandCalibrator(_velk.ChessboardTarget((9, 6), 0.03)).compute_camera_T_target_list(
        scene.images[:3], scene.robot_T_tcp_list[:3], scene.camera_matrix, scene.distortion)
    assert aligned.camera_T_target_list == []


def test_saves_reports_and_records(scene, tmp_path, capfd):
    cal = EyeToHandCalibrator(scene.target)
    result = cal.calibrate(scene.robot_T_tcp_list, scene.images, "PARK", output_path=str(tmp_path))
    out = capfd.readouterr().out
    assert out == cal.format_results()
    assert f"\nReprojection Error: {result.reprojection_error:.4f} px\n" in out
    # The result's rotation-variety analysis is the one the report shows.
    assert result.rotation_variety.num_motions == len(result.camera_T_target_list) - 1
    assert out.endswith("\n" + diagnostics.format_rotation_variety(result.rotation_variety))
    record = _velk.io.load_eye_to_hand_result(tmp_path)
    assert record.method == "PARK" and record.num_frames_total == 15
    assert record.num_frames_used == len(result.valid_image_list)
    assert np.allclose(record.robot_T_camera_list[0], result.robot_T_camera)
    assert np.allclose(record.tcp_T_target, result.tcp_T_target)


def test_robot_world_solvers_match_tsai_on_eye_in_hand(eye_in_hand_scene):
    s = eye_in_hand_scene
    found = {}
    for method in ("TSAI", "SHAH", "LI"):
        result = EyeInHandCalibrator(s.target).calibrate(s.robot_T_tcp_list, s.images, method,
                                                         intrinsic_matrix=s.camera_matrix,
                                                         distortion_coefficients=s.distortion)
        assert result.ok
        found[method] = (demo.transform_error(result.tcp_T_camera, s.tcp_T_camera),
                         demo.transform_error(result.world_T_target, s.world_T_target))
    (tsai_t, tsai_r), _ = found["TSAI"]
    for method in ("SHAH", "LI"):
        (translation, rotation), (world_translation, world_rotation) = found[method]
        assert translation < max(1.5 * tsai_t, 0.0005), f"{method}: {translation * 1000:.3f} mm"
        assert rotation < max(1.5 * tsai_r, 0.05), f"{method}: {rotation:.4f} deg"
        assert world_translation < 0.001 and world_rotation < 0.1


def test_comparison_on_the_rendered_scene(scene, capfd):
    results = diagnostics.compare_hand_eye_methods(scene.target, scene.robot_T_tcp_list, scene.images, [],
                                                   scene.camera_matrix, scene.distortion, setup="eye-to-hand")
    assert "[diag]" not in capfd.readouterr().err
    truth = tf.transformation_matrix_to_pose(scene.robot_T_camera)
    for result in results.values():
        assert np.linalg.norm(np.subtract(result.pose_deg[:3], truth[:3])) < 0.005
    assert "  >>> All 5 methods agree" in diagnostics.format_method_comparison(results)


def roundtrip(s, robot_T_camera):
    return CalibrationBenchmark().hand_eye_roundtrip(s.images, s.robot_T_tcp_list, robot_T_camera, s.camera_matrix,
                                                     s.distortion, s.target, s.camera_T_target_list,
                                                     setup="eye-to-hand")


def test_roundtrip_separates_true_and_wrong_transforms(scene):
    true = roundtrip(scene, scene.robot_T_camera)
    assert 0.0 < true < 0.05
    for shift_m, turn_deg in [(0.005, 0.0), (0.0, 1.0)]:
        wrong = scene.robot_T_camera @ tf.pose_to_transformation_matrix([shift_m, 0, 0, 0, 0, turn_deg])
        assert roundtrip(scene, wrong) > 10 * true
    # The eye-in-hand reading of the same data does not fit.
    eye_in_hand = CalibrationBenchmark().hand_eye_roundtrip(
        scene.images, scene.robot_T_tcp_list, scene.robot_T_camera, scene.camera_matrix, scene.distortion,
        scene.target, scene.camera_T_target_list)
    assert eye_in_hand > 10 * true


def test_roundtrip_refuses_a_bad_transform(scene):
    with pytest.raises(ValueError, match=r"hand_eye_roundtrip: robot_T_camera has a rotation block"):
        roundtrip(scene, scene.robot_T_camera * 1.01)


def test_benchmark_run_on_eye_to_hand(scene):
    result = CalibrationBenchmark().run(scene.images, scene.target, IntrinsicOptions(), scene.robot_T_tcp_list,
                                        IntrinsicOptions(), n_splits=0, setup="eye-to-hand")
    assert 0.0 < result.hand_eye_roundtrip_error < 1.0
    with pytest.raises(ValueError, match="unknown set-up 'sideways'"):
        CalibrationBenchmark().run(scene.images, scene.target, IntrinsicOptions(), setup="sideways")


def test_demo_command_on_eye_to_hand(tmp_path, capfd):
    from quorvane.velk import cli

    assert cli.main(["demo", "--setup", "eye-to-hand", "--output", str(tmp_path / "out"), "--poses", "8"]) == 0
    out = capfd.readouterr().out
    assert "EYE-TO-HAND RESULTS" in out and "Recovered tcp_T_target against the truth" in out
    assert (tmp_path / "out" / "eye_to_hand.json").is_file()
    assert not (tmp_path / "out" / "hand_eye.json").exists()
