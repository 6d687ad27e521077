"""Leave-one-view-out validation of hand-eye calibrations: what it finds, how it is stored and shown."""

import json
import math
import sys
from pathlib import Path

import numpy as np
import pytest

import render_cache

cv2 = pytest.importorskip("cv2")
import _velk  # noqa: E402
from quorvane.velk import cli, demo  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import cli_data  # noqa: E402
import eye_to_hand_photos  # noqa: E402


def calibrate(scene, **options):
    calibrator = _velk.EyeInHandCalibrator(scene.target)
    return calibrator, calibrator.calibrate(scene.robot_T_tcp_list, scene.images, "TSAI", validate=True, **options)


@pytest.fixture(scope="module")
def imprecise_scene():
    with render_cache.active():
        return demo.simulate_eye_in_hand(num_poses=12, seed=5, robot_error=(0.5, 0.05))


@pytest.mark.parametrize("refine", [True, False])
def test_a_picture_taken_before_the_robot_settled_is_the_worst_held_out_view(refine):
    scene = demo.simulate_eye_in_hand(num_poses=12, seed=9)
    offset = np.eye(4)
    offset[:3, 3] = [0.004, -0.003, 0.002]
    scene.robot_T_tcp_list[7] = scene.robot_T_tcp_list[7] @ offset
    calibrator, result = calibrate(scene, refine=refine)
    validation = result.validation
    assert result.ok and validation.validated and validation.worst_frames[0] == 7
    others = [e for f, e in zip(validation.frames, validation.held_out_rms_px) if f != 7]
    assert max(validation.held_out_rms_px) > 2 * max(others)
    report = calibrator.format_results()
    assert "Held-out Validation" in report and "Worst views: frame 7 (" in report


def test_held_out_error_agrees_with_what_the_model_predicts(imprecise_scene):
    _, result = calibrate(imprecise_scene, refine=True)
    validation = result.validation
    assert validation.validated and len(validation.frames) == len(result.valid_image_list)
    # 0.5 mm / 0.05 deg per axis of robot error: several pixels at 0.5 m, far above the fitted residuals.
    assert np.median(validation.held_out_rms_px) > 5 * np.median(validation.fitted_rms_px)
    assert all(p > 0 for p in validation.predicted_rms_px)
    assert 0.7 < validation.observed_over_predicted < 1.3
    assert validation.median_mm > 0.0 and validation.median_deg > 0.0
    assert validation.p90_px >= validation.median_px


@pytest.mark.parametrize("setup, target_scale", [("eye-in-hand", "measured"), ("eye-in-hand", "fitted"),
                                                  ("eye-to-hand", "measured")])
def test_one_step_from_the_full_solution_predicts_each_view_as_a_re_solve_does(imprecise_scene, setup,
                                                                                target_scale):
    scene = imprecise_scene if setup == "eye-in-hand" else demo.simulate_eye_to_hand(
        num_poses=12, seed=5, robot_error=(0.5, 0.05))
    kind = _velk.EyeInHandCalibrator if setup == "eye-in-hand" else _velk.EyeToHandCalibrator
    runs = []
    for resolves in (False, True):
        options = _velk.RefinementOptions()
        options.target_scale, options.held_out_resolves = target_scale, resolves
        result = kind(scene.target).calibrate(scene.robot_T_tcp_list, scene.images, "TSAI", refine=True,
                                              validate=True, refinement_options=options, print_report=False)
        assert result.ok and result.validation.validated
        runs.append(result.validation)
    stepped, resolved = runs
    assert stepped.frames == resolved.frames
    np.testing.assert_allclose(stepped.held_out_rms_px, resolved.held_out_rms_px, rtol=0.01)
    np.testing.assert_allclose(stepped.predicted_rms_px, resolved.predicted_rms_px, rtol=0.01)
    np.testing.assert_allclose(stepped.translation_mm, resolved.translation_mm, rtol=0.02, atol=0.005)
    assert stepped.observed_over_predicted == pytest.approx(resolved.observed_over_predicted, rel=0.01)


def test_without_refinement_there_is_no_prediction_to_compare_with(imprecise_scene):
    calibrator, result = calibrate(imprecise_scene, refine=False)
    assert result.validation.validated and math.isnan(result.validation.observed_over_predicted)
    assert all(math.isnan(p) for p in result.validation.predicted_rms_px)
    assert "No predicted error to hold it against" in calibrator.format_results()


def test_too_few_views_leave_the_calibration_but_not_its_validation(capfd):
    scene = demo.simulate_eye_in_hand(num_poses=4, seed=3)
    _, result = calibrate(scene, refine=True)
    assert result.ok and not result.validation.validated
    assert "too few views" in result.validation.reason
    assert "Held-out validation not done: too few views" in capfd.readouterr().err


def test_validation_is_off_unless_asked_for(imprecise_scene):
    result = _velk.EyeInHandCalibrator(imprecise_scene.target).calibrate(
        imprecise_scene.robot_T_tcp_list, imprecise_scene.images, "TSAI", refine=True)
    assert result.validation is None


def test_record_round_trip_keeps_missing_figures_missing(tmp_path):
    record = _velk.io.HandEyeResultRecord()
    record.tcp_T_camera_list = [np.eye(4)]
    validation = _velk.io.ValidationRecord()
    validation.validated = True
    validation.frames = [0, 2, 5]
    validation.held_out_rms_px = [1.0, 2.0, 3.0]
    validation.predicted_rms_px = [float("nan")] * 3
    validation.median_px = 2.0
    validation.worst_frames = [5, 2, 0]
    record.validation = validation
    _velk.io.save_hand_eye_result(tmp_path, record)
    document = json.loads((tmp_path / "hand_eye.json").read_text())
    assert document["validation"]["observed_over_predicted"] is None
    loaded = _velk.io.load_hand_eye_result(tmp_path / "hand_eye.json").validation
    assert loaded.frames == [0, 2, 5] and loaded.median_px == 2.0 and loaded.worst_frames == [5, 2, 0]
    assert all(math.isnan(p) for p in loaded.predicted_rms_px) and math.isnan(loaded.observed_over_predicted)
    del document["validation"]
    (tmp_path / "hand_eye.json").write_text(json.dumps(document))
    assert _velk.io.load_hand_eye_result(tmp_path / "hand_eye.json").validation is None


@pytest.mark.parametrize("flag, validated", [([], True), (["--no-validate"], False)])
def test_velk_hand_eye_validates_by_default(imprecise_scene, tmp_path, capfd, flag, validated):
    folder = tmp_path / "data"
    cli_data.write_hand_eye_dataset(folder, imprecise_scene.images, imprecise_scene.robot_T_tcp_list)
    target = cli_data.write_target(tmp_path / "target.json", imprecise_scene.target)
    report = tmp_path / "report.html"
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "--report", str(report), "--quiet",
                     *flag]) == 0
    document = json.loads((folder / "hand_eye.json").read_text())
    assert ("validation" in document) == validated
    page = report.read_text()
    assert ('<section id="held-out">' in page) == validated
    assert ("Predicts pictures it did not see to" in capfd.readouterr().out) == validated
    if validated:
        assert page.count('id="held-out-bar-') == len(document["validation"]["frames"])


def test_real_eye_to_hand_pictures_are_predicted_to_a_few_pixels():
    photos = eye_to_hand_photos.load()
    calibrator = _velk.EyeToHandCalibrator(photos.target)
    result = calibrator.calibrate(photos.robot_T_tcp_list, photos.images, "TSAI", refine=True, validate=True)
    validation = result.validation
    assert result.ok and validation.validated and len(validation.frames) >= 12
    assert 0.5 < validation.median_px < 5.0
    assert validation.median_mm < 10.0 and validation.median_deg < 2.0
    assert 0.4 < validation.observed_over_predicted < 2.5
