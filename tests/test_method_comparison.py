"""Cross-method hand-eye comparison: every solver on one data set, per-solver failures, the verdict text."""

import math

import numpy as np
import pytest

from _velk import CharucoTarget, ChessboardTarget, IntrinsicCalibrator, IntrinsicOptions, diagnostics, tf

METHODS = ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]
BAR = "=" * 60
RULE = "  " + "-" * 58
HEADER = (f"{BAR}\nHAND-EYE CROSS-METHOD COMPARISON\n{BAR}\n"
          "  Method         x (m)   y (m)   z (m)     rx     ry     rz\n" + RULE + "\n")
K = np.array([[1000.0, 0, 640], [0, 1000, 480], [0, 0, 1]])
NO_DISTORTION = np.zeros((1, 5))
TCP_T_CAMERA = tf.pose_to_transformation_matrix([0.03, -0.02, 0.08, 5, -3, 90])
WORLD_T_TARGET = tf.pose_to_transformation_matrix([0.6, 0.1, 0.0, 180, 0, 0])
CHARUCO = CharucoTarget(7, 5, 0.04, 0.03)


def pose_scene(count, rotation_range=20.0, seed=1):
    rng = np.random.default_rng(seed)
    robots = [tf.pose_to_transformation_matrix([
        0.5 + rng.uniform(-0.1, 0.1), rng.uniform(-0.1, 0.1), 0.5,
        180 + rng.uniform(-rotation_range, rotation_range), rng.uniform(-rotation_range, rotation_range),
        rng.uniform(-rotation_range, rotation_range)]) for _ in range(count)]
    cameras = [np.linalg.inv(TCP_T_CAMERA) @ np.linalg.inv(r) @ WORLD_T_TARGET for r in robots]
    return robots, cameras


def row(name, pose):
    x, y, z, rx, ry, rz = pose
    return f"  {name:<12}{x:8.4f}{y:8.4f}{z:8.4f}{rx:7.2f}{ry:7.2f}{rz:7.2f}\n"


def diag_lines(err):
    return [line for line in err.splitlines() if line.startswith("[velk][WARNING] [diag] method ")]


def test_every_solver_runs_the_full_calibration(capfd):
    robots, cameras = pose_scene(8)
    results = diagnostics.compare_hand_eye_methods(CHARUCO, robots, [], cameras, K, NO_DISTORTION)
    assert list(results) == METHODS
    for name, result in results.items():
        assert result.method_name == name
        assert np.allclose(result.tcp_T_camera, TCP_T_CAMERA, atol=1e-6)
        assert result.pose_deg == pytest.approx(tf.transformation_matrix_to_pose(result.tcp_T_camera), abs=1e-12)
    out, err = capfd.readouterr()
    assert out.count("HAND-EYE RESULTS") == 5 and err.count("[velk][INFO] Extrinsic calibration complete.\n") == 5
    assert diag_lines(err) == []

    text = diagnostics.format_method_comparison(results)
    rzs = sorted(r.pose_deg[5] for r in results.values())
    assert text.startswith(HEADER + "".join(row(name, results[name].pose_deg) for name in METHODS) + RULE + "\n")
    assert text.endswith(
        f"  >>> All 5 methods agree to within ~1.50 deg of median ({rzs[2]:.2f} deg).\n"
        "      The data uniquely determines rz. If this differs from\n"
        "      visual ground truth, the bias is in the *data* (robot\n"
        "      kinematics or detection), not the solver.\n")


def test_nothing_is_written_to_disk(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    robots, cameras = pose_scene(5)
    diagnostics.compare_hand_eye_methods(CHARUCO, robots, [], cameras, K, NO_DISTORTION)
    assert list(tmp_path.iterdir()) == []


FAILURES = {
    "misaligned": (CHARUCO, 5, 6, K,
                   "EyeInHandCalibrator: robot_T_tcp_list must be pre-aligned to camera_T_target_list. Got 5 (robot) "
                   "vs 6 (camera). Filter robot_T_tcp_list by the backend's successful indices before passing it in."),
}


@pytest.mark.parametrize("case", FAILURES.values(), ids=FAILURES.keys())
def test_a_throwing_solver_is_caught_and_named(case, capfd):
    target, robot_count, camera_count, intrinsics, message = case
    robots, cameras = pose_scene(6)
    results = diagnostics.compare_hand_eye_methods(target, robots[:robot_count], [], cameras[:camera_count],
                                                   intrinsics, NO_DISTORTION)
    assert results == dict.fromkeys(METHODS)
    err = capfd.readouterr().err
    assert diag_lines(err) == [f"[velk][WARNING] [diag] method {name} failed: {message}" for name in METHODS]
    assert diagnostics.format_method_comparison(results) == HEADER + "".join(
        f"  {name:<12}(failed)\n" for name in METHODS)


def test_a_solve_that_is_not_ok_is_an_empty_entry_without_warning(capfd):
    robots, cameras = pose_scene(3)
    results = diagnostics.compare_hand_eye_methods(CHARUCO, robots, [], cameras, K, NO_DISTORTION)
    assert results == dict.fromkeys(METHODS)
    err = capfd.readouterr().err
    assert diag_lines(err) == []
    assert err.count("[velk][ERROR] Not enough valid poses for hand-eye calibration after filtering. Got 3, "
                     "need at least 4.\n") == 5


def test_a_chessboard_with_given_intrinsics_but_no_pictures_is_an_empty_entry(capfd):
    # Every target kind is posed from given intrinsics; without pictures no frame passes.
    robots, cameras = pose_scene(6)
    results = diagnostics.compare_hand_eye_methods(ChessboardTarget((9, 6), 0.025), robots, [], [], K, NO_DISTORTION)
    assert results == dict.fromkeys(METHODS)
    err = capfd.readouterr().err
    assert diag_lines(err) == [] and "only supports CharucoTarget" not in err
    assert err.count("[velk][INFO] compute_camera_T_target_list: 0/0 frames passed\n") == 5


def test_solvers_returning_nan_count_as_failed(capfd):
    # Pure translations leave the rotation undetermined; some solvers then answer NaN,
    # which the calibrator reports as a failed solve (an empty entry, no "[diag]" line).
    robots = [tf.pose_to_transformation_matrix([0.5 + 0.01 * k, 0.02 * k, 0.5 - 0.01 * k, 180, 0, 0])
              for k in range(6)]
    cameras = [np.linalg.inv(TCP_T_CAMERA) @ np.linalg.inv(r) @ WORLD_T_TARGET for r in robots]
    results = diagnostics.compare_hand_eye_methods(CHARUCO, robots, [], cameras, K, NO_DISTORTION)
    err = capfd.readouterr().err
    for name in ("DANIILIDIS", "PARK"):
        assert results[name] is None
        assert not any(f"method {name} failed" in line for line in diag_lines(err))
        assert f"[velk][ERROR] [EyeInHandCalibrator] The {name} solver returned a non-finite tcp_T_camera" in err
    for result in results.values():
        assert result is None or all(math.isfinite(v) for v in result.pose_deg)
    assert "nan" not in diagnostics.format_method_comparison(results).lower()


def test_one_success_prints_the_table_only():
    robots, cameras = pose_scene(5)
    tsai = diagnostics.compare_hand_eye_methods(CHARUCO, robots, [], cameras, K, NO_DISTORTION)["TSAI"]
    text = diagnostics.format_method_comparison({"TSAI": tsai, "PARK": None}, consensus_threshold_deg=0.1)
    assert text == HEADER + "  PARK        (failed)\n" + row("TSAI", tsai.pose_deg)
    assert diagnostics.format_method_comparison({}) == HEADER


@pytest.mark.parametrize("intrinsics", ["solved from the images", "given"])
def test_rendered_scene_all_solvers_agree(eye_in_hand_scene, intrinsics, capfd):
    scene = eye_in_hand_scene
    matrix, distortion = ((np.empty((0, 0)), np.empty((0, 0))) if intrinsics == "solved from the images"
                          else (scene.camera_matrix, scene.distortion))
    results = diagnostics.compare_hand_eye_methods(scene.target, scene.robot_T_tcp_list, scene.images, [],
                                                   matrix, distortion)
    assert diag_lines(capfd.readouterr().err) == []
    truth = tf.transformation_matrix_to_pose(scene.tcp_T_camera)
    for result in results.values():
        assert np.linalg.norm(np.subtract(result.pose_deg[:3], truth[:3])) < 0.005
        assert result.pose_deg[3:] == pytest.approx(truth[3:], abs=0.5)
    verdict = diagnostics.format_method_comparison(results).split(RULE + "\n")[-1]
    assert "  >>> All 5 methods agree to within ~1.50 deg of median (" in verdict


def test_view_error_threshold_reaches_every_calibration(eye_in_hand_scene, capfd):
    scene = eye_in_hand_scene
    errors = sorted(IntrinsicCalibrator(scene.target, IntrinsicOptions()).calibrate(scene.images).per_view_errors)
    # Only three views at or below the threshold: too few for any solver.
    results = diagnostics.compare_hand_eye_methods(scene.target, scene.robot_T_tcp_list, scene.images, [],
                                                   np.empty((0, 0)), np.empty((0, 0)),
                                                   per_view_error_threshold=errors[2])
    assert results == dict.fromkeys(METHODS)
    err = capfd.readouterr().err
    assert err.count("[velk][ERROR] Not enough valid images for extrinsic calibration. Need at least 4!\n") == 5
