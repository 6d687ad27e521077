"""The calibration commands end to end on rendered datasets written by the io module and on real photographs."""

import json
import subprocess
import sys

import numpy as np
import pytest

import _velk
import cli_data
import render_cache
from conftest import STEREO_DIR
from quorvane.velk import cli, distortion_model_choice
from quorvane.velk.demo import transform_error

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.fixture(scope="module")
def hand_eye_dataset(eye_in_hand_scene, tmp_path_factory):
    folder = tmp_path_factory.mktemp("hand_eye") / "data"
    cli_data.write_hand_eye_dataset(folder, eye_in_hand_scene.images, eye_in_hand_scene.robot_T_tcp_list)
    target = cli_data.write_target(folder.parent / "target.json", eye_in_hand_scene.target)
    return folder, target


@pytest.fixture(scope="module")
def hand_eye_run(hand_eye_dataset, eye_in_hand_scene):
    folder, target = hand_eye_dataset
    report = folder.parent / "hand_eye_report.html"
    code = cli.main(["hand-eye", str(folder), "--target", str(target), "--compare", "--report", str(report),
                     "--quiet"])
    return code, folder, report


def test_hand_eye_writes_the_record_and_report(hand_eye_run, eye_in_hand_scene):
    code, folder, report = hand_eye_run
    assert code == 0
    record = _velk.io.load_hand_eye_result(folder / "hand_eye.json")
    assert record.method == "TSAI" and record.num_frames_total == len(eye_in_hand_scene.images)
    translation, rotation = transform_error(np.asarray(record.tcp_T_camera_list[0]), eye_in_hand_scene.tcp_T_camera)
    assert translation < 0.003 and rotation < 0.3
    page = report.read_text()
    for section in ("summary", "view-errors", "residuals", "coverage", "distortion", "rotation-variety",
                    "consistency", "methods"):
        assert f'<section id="{section}">' in page
    assert page.count('class="method-row"') == 5
    # One consistency bar and one error bar per frame the calibration used.
    assert page.count('id="consistency-translation-') == record.num_frames_used
    assert page.count('id="view-error-bar-') == record.num_frames_used


def test_hand_eye_with_intrinsics_from_the_intrinsics_command(hand_eye_dataset, tmp_path, capsys):
    folder, target = hand_eye_dataset
    assert cli.main(["intrinsics", str(folder), "--target", str(target), "-o", str(tmp_path)]) == 0
    record = json.loads((tmp_path / "intrinsics.json").read_text())
    assert record["image_size"] == [1280, 960] and len(record["views"]) == len(record["per_view_errors"])
    assert abs(record["camera_matrix"][0][0] - 1000.0) < 10.0
    out = tmp_path / "given"
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "--intrinsics",
                     str(tmp_path / "intrinsics.json"), "--method", "PARK", "-o", str(out)]) == 0
    assert _velk.io.load_hand_eye_result(out / "hand_eye.json").method == "PARK"
    assert "Result written to" in capsys.readouterr().out


def test_check_gives_the_verdicts(hand_eye_dataset, tmp_path, capsys):
    folder, target = hand_eye_dataset
    report = tmp_path / "check.html"
    assert cli.main(["check", str(folder), "--target", str(target), "--report", str(report)]) == 0
    out = capsys.readouterr().out
    assert "ROTATION VARIETY OF CAPTURED CAMERA POSES" in out and "HAND-EYE CROSS-METHOD COMPARISON" in out
    assert "All 5 methods agree" in out
    page = report.read_text()
    assert '<section id="rotation-variety">' in page and "Verdict: PASS" in page and '<tr class="check">' in page
    # No saved result: no columns measured from one.
    assert "from saved" not in page


def test_check_fails_on_poses_rotating_about_one_axis(eye_in_hand_scene, tmp_path, capsys):
    """Views turning only about the board's normal leave one hand-eye axis unobserved: exit code 1."""
    from quorvane.velk import synthetic

    scene = eye_in_hand_scene
    centre = synthetic.board_center(scene.target)
    images, robots = [], []
    for k in range(6):
        spin = _velk.tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, 12.0 * k])
        camera_T_target = spin @ synthetic.look_at_pose(centre + [0.0, 0.0, -0.5], centre)
        robots.append(scene.world_T_target @ np.linalg.inv(camera_T_target) @ np.linalg.inv(scene.tcp_T_camera))
        images.append(synthetic.render_target(scene.target, scene.camera_matrix, scene.distortion, camera_T_target,
                                              scene.image_size, seed=k).image)
    folder = cli_data.write_hand_eye_dataset(tmp_path / "flat", images, robots)
    target = cli_data.write_target(tmp_path / "t.json", scene.target)
    report = tmp_path / "check.html"
    assert cli.main(["check", str(folder), "--target", str(target), "--quiet", "--report", str(report)]) == 1
    out = capsys.readouterr().out
    assert ">>> POOR rotation variety" in out and "Calibration failed:" in out
    # A failing check still writes its report, with the verdict that failed it.
    page = report.read_text()
    assert "Verdict: FAIL" in page and "rotation variety" in page


def test_hand_eye_without_the_target_in_view_fails_with_exit_code_1(tmp_path, capsys, eye_in_hand_scene):
    blank = [np.full((480, 640, 3), 200, np.uint8) for _ in range(5)]
    folder = cli_data.write_hand_eye_dataset(tmp_path / "blank", blank, cli_data.identity_poses(5))
    target = cli_data.write_target(tmp_path / "t.json", eye_in_hand_scene.target)
    assert cli.main(["hand-eye", str(folder), "--target", str(target)]) == 1
    captured = capsys.readouterr()
    assert "Calibration failed: hand-eye calibration used 0 of 5 views" in captured.out
    assert captured.err.splitlines()[-1].startswith("velk: error: hand-eye calibration used 0 of 5 views")
    assert not (folder / "hand_eye.json").exists()


def test_intrinsics_on_rendered_views(rendered_intrinsic_scene, tmp_path):
    target, views = rendered_intrinsic_scene("chessboard")
    folder = cli_data.write_hand_eye_dataset(tmp_path / "views", [v.image for v in views[:8]],
                                             cli_data.identity_poses(8))
    target_file = cli_data.write_target(tmp_path / "t.json", target)
    assert cli.main(["intrinsics", str(folder), "--target", str(target_file), "-o", str(tmp_path / "k.json")]) == 0
    record = json.loads((tmp_path / "k.json").read_text())
    assert record["views"] == [f"image_{k}.png" for k in range(8)]
    np.testing.assert_allclose(record["camera_matrix"], [[1000, 0, 639.5], [0, 1000, 479.5], [0, 0, 1]], atol=3.0)
    assert record["reprojection_error"] < 0.5


def test_intrinsics_on_the_left_photographs(tmp_path, left_photos):
    paths = sorted(STEREO_DIR.glob("left*.jpg"))
    target = cli_data.write_target(tmp_path / "t.json", _velk.ChessboardTarget((9, 6), 0.025))
    report = tmp_path / "left.html"
    assert cli.main(["intrinsics", *map(str, paths), "--target", str(target), "-o", str(tmp_path / "left.json"),
                     "--report", str(report)]) == 0
    record = json.loads((tmp_path / "left.json").read_text())
    # The command chose the distortion model from the pictures; the library solves the same with that model.
    model = distortion_model_choice.distortion_model(record["distortion_model"]["name"])
    direct = distortion_model_choice.calibrator_for(_velk.ChessboardTarget((9, 6), 0.025), model).calibrate(left_photos)
    assert record["image_size"] == [640, 480]
    assert record["views"] == [paths[k].name for k in direct.successful_indices]
    # The same pictures give the same calibration (up to the solver's last-bit noise).
    assert record["reprojection_error"] == pytest.approx(direct.reprojection_error, rel=1e-9)
    np.testing.assert_allclose(record["camera_matrix"], direct.intrinsic_matrix, rtol=1e-9)
    assert '<section id="residuals">' in report.read_text()


def test_rig_on_the_stereo_photographs(tmp_path, left_photos, right_photos):
    folder = cli_data.write_rig_dataset(tmp_path / "rig", [left_photos, right_photos])
    target = cli_data.write_target(tmp_path / "t.json", _velk.ChessboardTarget((9, 6), 0.025))
    report = tmp_path / "rig.html"
    assert cli.main(["rig", str(folder), "--target", str(target), "--report", str(report), "--quiet"]) == 0
    record = _velk.io.load_multi_camera_calibration(folder / "multi_camera_calibration.json")
    assert record.num_cameras == 2
    baseline = np.linalg.norm(np.asarray(record.reference_T_camera_list[1])[:3, 3])
    # The command refines by default, as the library does when asked.
    direct = _velk.MultiCameraCalibrator(_velk.ChessboardTarget((9, 6), 0.025), 2).calibrate(
        [left_photos, right_photos], refine=True)
    assert baseline == pytest.approx(np.linalg.norm(np.asarray(direct.reference_T_camera_list[1])[:3, 3]), rel=1e-9)
    assert 'id="rig-camera-0"' in report.read_text() and 'id="rig-camera-1"' in report.read_text()


def test_rig_on_a_rendered_rig(rendered_rig, tmp_path):
    import rig_scene  # importable once the rendered_rig fixture has run

    scene = rendered_rig
    folder = cli_data.write_rig_dataset(tmp_path / "rig", rig_scene.image_lists(scene))
    target = cli_data.write_target(tmp_path / "t.json", scene.target)
    report = tmp_path / "rig.html"
    assert cli.main(["rig", str(folder), "--target", str(target), "--reference", "1", "--report", str(report),
                     "-o", str(tmp_path / "out.json")]) == 0
    record = _velk.io.load_multi_camera_calibration(tmp_path / "out.json")
    assert record.reference_index == 1
    truth = np.linalg.inv(scene.reference_T_camera[1]) @ scene.reference_T_camera[2]
    found = np.asarray(record.reference_T_camera_list[2])
    assert np.linalg.norm(found[:3, 3] - truth[:3, 3]) < 0.003
    assert "triangulated target" in report.read_text()


@pytest.mark.parametrize("arguments, message", [
    (["hand-eye", "{tmp}/none", "--target", "{target}"], "no such dataset folder"),
    (["hand-eye", "{tmp}", "--target", "{target}"], "no calibration_data.npz in"),
    (["intrinsics", "{tmp}/missing.png", "--target", "{target}"], "no such file or folder"),
    (["intrinsics", "{tmp}/broken.png", "--target", "{target}"], "cannot read image"),
    (["rig", "{tmp}", "--target", "{target}"], "at least two camera folders"),
    (["hand-eye", "{tmp}", "--target", "{tmp}/missing.json"], "target: cannot read"),
    (["hand-eye", "{tmp}", "--target", "{target}", "--method", "NOPE"], "invalid choice: 'NOPE'"),
    (["hand-eye", "{tmp}", "--target", "{target}", "--method", "PARK", "--compare"], "not allowed with"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
])
def test_bad_usage_and_unreadable_input_exit_with_code_2(tmp_path, capsys, arguments, message):
    (tmp_path / "broken.png").write_bytes(b"not a picture")
    target = cli_data.write_target(tmp_path / "t.json", _velk.ChessboardTarget((9, 6), 0.025))
    argv = [a.format(tmp=tmp_path, target=target) for a in arguments]
    assert cli.main(argv) == 2
    error = capsys.readouterr().err.strip().splitlines()
    assert error[-1].startswith("velk: error: ") and message in error[-1]


def test_installed_command_prints_one_line_and_a_traceback_only_with_debug(tmp_path):
    argv = [sys.executable, "-m", "quorvane.velk", "intrinsics", str(tmp_path / "none.png"), "--target",
            str(tmp_path / "none.json")]
    plain = subprocess.run(argv, capture_output=True, text=True)
    assert plain.returncode == 2 and plain.stderr.strip() == f"velk: error: target: cannot read {tmp_path}/none.json: " \
                                                              "No such file or directory"
    debug = subprocess.run(argv + ["--debug"], capture_output=True, text=True)
    assert debug.returncode != 0 and "Traceback" in debug.stderr


@pytest.fixture(scope="module")
def eye_to_hand_dataset(tmp_path_factory):
    from quorvane.velk import demo

    with render_cache.active():
        scene = demo.simulate_eye_to_hand(num_poses=10, seed=4)
    folder = tmp_path_factory.mktemp("eye_to_hand") / "data"
    cli_data.write_hand_eye_dataset(folder, scene.images, scene.robot_T_tcp_list)
    return scene, folder, cli_data.write_target(folder.parent / "target.json", scene.target)


def test_eye_to_hand_writes_its_record_and_report(eye_to_hand_dataset, tmp_path, capsys):
    scene, folder, target = eye_to_hand_dataset
    report = tmp_path / "report.html"
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "--eye-to-hand", "--compare",
                     "--report", str(report), "--quiet"]) == 0
    assert f"Result written to {folder / 'eye_to_hand.json'}" in capsys.readouterr().out
    record = _velk.io.load_eye_to_hand_result(folder / "eye_to_hand.json")
    translation, rotation = transform_error(np.asarray(record.robot_T_camera_list[0]), scene.robot_T_camera)
    assert translation < 0.005 and rotation < 0.5
    assert not (folder / "hand_eye.json").exists()
    page = report.read_text()
    assert "<h1>Eye-to-hand calibration</h1>" in page and page.count('class="method-row"') == 5
    assert "same place on the flange" in page


def test_check_of_an_eye_to_hand_dataset(eye_to_hand_dataset, capsys):
    _, folder, target = eye_to_hand_dataset
    assert cli.main(["check", str(folder), "--target", str(target), "--eye-to-hand", "--quiet"]) == 0
    assert "HAND-EYE CROSS-METHOD COMPARISON" in capsys.readouterr().out


@pytest.mark.parametrize("flag, refined", [([], True), (["--no-refine"], False)])
def test_hand_eye_refines_by_default(hand_eye_dataset, tmp_path, flag, refined):
    folder, target = hand_eye_dataset
    out = tmp_path / "out"
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "-o", str(out), "--quiet", *flag]) == 0
    document = json.loads((out / "hand_eye.json").read_text())
    assert ("refinement" in document) == refined


@pytest.fixture(scope="module")
def imprecise_robot_dataset(tmp_path_factory):
    """An eye-in-hand dataset whose robot reports its flange poses with 0.5 mm / 0.05 deg error per axis."""
    from quorvane.velk import demo

    with render_cache.active():
        scene = demo.simulate_eye_in_hand(num_poses=12, seed=5, robot_error=(0.5, 0.05))
    folder = tmp_path_factory.mktemp("imprecise_robot") / "data"
    cli_data.write_hand_eye_dataset(folder, scene.images, scene.robot_T_tcp_list)
    return scene, folder, cli_data.write_target(folder.parent / "target.json", scene.target)


def test_hand_eye_estimates_the_robot_noise_and_shows_every_pose_correction(imprecise_robot_dataset, tmp_path,
                                                                             capfd):
    scene, folder, target = imprecise_robot_dataset
    report = tmp_path / "report.html"
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "-o", str(tmp_path), "--report",
                     str(report), "--quiet"]) == 0
    out = capfd.readouterr().out
    assert "Robot poses agree with the pictures to " in out and "RMS per axis (estimated)" in out
    noise = json.loads((tmp_path / "hand_eye.json").read_text())["refinement"]["robot_noise"]
    assert noise["estimated"] and 0.2 < noise["translation_mm"] < 1.2 and 0.01 < noise["rotation_deg"] < 0.12
    assert len(noise["pose_corrections"]) == 12
    page = report.read_text()
    assert '<section id="robot-corrections">' in page
    assert page.count('id="robot-correction-translation-') == 12 + 1  # a bar per view and the noise line


@pytest.mark.parametrize("noise, modelled", [(["0", "0"], False), (["0.5", "0.05"], True)])
def test_hand_eye_holds_a_given_robot_noise(imprecise_robot_dataset, tmp_path, noise, modelled):
    _, folder, target = imprecise_robot_dataset
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "-o", str(tmp_path), "--quiet",
                     "--robot-noise", *noise]) == 0
    refinement = json.loads((tmp_path / "hand_eye.json").read_text())["refinement"]
    assert refinement["refined"] and ("robot_noise" in refinement) == modelled
    if modelled:
        assert not refinement["robot_noise"]["estimated"]
        assert refinement["robot_noise"]["translation_mm"] == pytest.approx(0.5)


@pytest.mark.parametrize("noise", [["-1", "0.1"], ["0.5", "nan"], ["inf", "0"]])
def test_hand_eye_refuses_a_robot_noise_that_is_not_a_level(imprecise_robot_dataset, noise, capsys):
    _, folder, target = imprecise_robot_dataset
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "--quiet", "--robot-noise", *noise]) == 2
    assert "--robot-noise" in capsys.readouterr().err
