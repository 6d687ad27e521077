"""Held-out validation of rig and intrinsic calibrations: each frame or picture predicted by a
calibration solved without it, in results, records, the CLI and the report."""

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
import rig_scene  # noqa: E402

DESYNCHRONIZED_FRAME = 4


@pytest.fixture(scope="module")
def rig():
    with render_cache.active():
        return rig_scene.render_rig(3, 9)


def calibrate_rig(lists, refine, **options):
    calibrator = _velk.MultiCameraCalibrator(_velk.CharucoTarget(*rig_scene.BOARD), len(lists))
    return calibrator, calibrator.calibrate(lists, refine=refine, validate=True, **options)


@pytest.mark.parametrize("refine", [True, False])
def test_rig_predicts_every_other_camera_in_frames_it_did_not_see(rig, refine):
    calibrator, result = calibrate_rig(rig_scene.image_lists(rig), refine)
    validation = result.validation
    assert result.ok and validation.validated, validation.reason
    # One entry per non-reference camera and frame, in frame order.
    assert sorted(set(validation.cameras)) == [1, 2] and validation.camera_indices == [1, 2]
    assert len(validation.frames) == 2 * 9 and validation.frames == sorted(validation.frames)
    # Rendered pictures with 0.5 grey levels of noise: a fraction of a pixel, above the fitted residual.
    assert 0.02 < validation.median_px < 1.0 and validation.p90_px >= validation.median_px
    assert np.median(validation.held_out_rms_px) > np.median(validation.fitted_rms_px)
    report = calibrator.format_results()
    assert "Held-out Validation (each frame predicted from a solve without it)" in report
    assert "Predicts pictures it did not see to " in report and "; camera 1 " in report


@pytest.mark.parametrize("desynchronized", [False, True], ids=["in step", "one camera a frame late"])
def test_one_step_from_the_refined_rig_predicts_each_frame_as_a_re_solve_does(rig, desynchronized):
    lists = rig_scene.image_lists(rig)
    if desynchronized:  # corners far beyond the robust loss's bound
        lists[2][DESYNCHRONIZED_FRAME] = lists[2][DESYNCHRONIZED_FRAME + 1]
    runs = []
    for resolves in (False, True):
        options = _velk.RefinementOptions()
        options.held_out_resolves = resolves
        runs.append(calibrate_rig(lists, True, refinement_options=options, print_report=False)[1].validation)
    stepped, resolved = runs
    assert stepped.validated and stepped.frames == resolved.frames and stepped.cameras == resolved.cameras
    assert stepped.worst_frames == resolved.worst_frames
    assert stepped.median_px == pytest.approx(resolved.median_px, rel=0.02)
    # Leaving the late frame out moves the rig by far more than its noise: one step goes most of the way.
    kept = [k for k, frame in enumerate(resolved.frames) if not desynchronized or frame != DESYNCHRONIZED_FRAME]
    np.testing.assert_allclose(np.take(stepped.held_out_rms_px, kept), np.take(resolved.held_out_rms_px, kept),
                               rtol=0.05 if desynchronized else 0.01)


@pytest.mark.parametrize("refine", [True, False])
def test_a_desynchronized_camera_frame_is_the_worst_held_out_frame(rig, refine):
    lists = rig_scene.image_lists(rig)
    # Camera 2 fired one frame late: its picture of frame 4 shows the board of frame 5.
    lists[2][DESYNCHRONIZED_FRAME] = lists[2][DESYNCHRONIZED_FRAME + 1]
    _, result = calibrate_rig(lists, refine)
    validation = result.validation
    assert validation.validated and validation.worst_frames[0] == DESYNCHRONIZED_FRAME
    worst = int(np.argmax(validation.held_out_rms_px))
    assert validation.cameras[worst] == 2
    others = [e for k, e in enumerate(validation.held_out_rms_px) if k != worst]
    assert validation.held_out_rms_px[worst] > 10 * np.median(others)


def test_rig_frames_the_reference_camera_missed_are_skipped_and_named(rig, capfd):
    lists = rig_scene.image_lists(rig)
    lists[0][2] = rig_scene.blank_like(lists[0][2])
    lists[1][6] = rig_scene.blank_like(lists[1][6])
    lists[2][6] = rig_scene.blank_like(lists[2][6])
    calibrator, result = calibrate_rig(lists, True)
    validation = result.validation
    assert validation.validated and 2 not in validation.frames and 6 not in validation.frames
    assert "frame 2: the reference camera did not find the board" in validation.skipped
    assert "frame 6: only the reference camera found the board" in validation.skipped
    assert "Skipped frame 2: the reference camera did not find the board" in calibrator.format_results()


@pytest.mark.parametrize("refine", [True, False])
def test_too_few_rig_frames_keep_the_calibration_without_validation(rig, refine, capfd):
    lists = [images[:4] for images in rig_scene.image_lists(rig)]
    calibrator, result = calibrate_rig(lists, refine)
    assert result.ok and not result.validation.validated and not result.validation.frames
    assert result.validation.reason.startswith("too few frames seen by the reference camera and another (4)")
    assert "Held-out validation not done: too few frames" in capfd.readouterr().err
    assert "Not done: too few frames" in calibrator.format_results()


def test_rig_validation_is_off_unless_asked_for_and_changes_nothing(rig):
    lists = rig_scene.image_lists(rig)
    plain = _velk.MultiCameraCalibrator(_velk.CharucoTarget(*rig_scene.BOARD), 3).calibrate(lists, refine=True)
    _, validated = calibrate_rig(lists, True)
    assert plain.validation is None
    for a, b in zip(plain.reference_T_camera_list, validated.reference_T_camera_list):
        assert np.array_equal(a, b)


def test_rig_record_stores_the_validation_and_older_records_load(rig, tmp_path):
    _, result = calibrate_rig(rig_scene.image_lists(rig), True, output_path=tmp_path)
    path = tmp_path / "multi_camera_calibration.json"
    document = json.loads(path.read_text())
    stored = document["validation"]
    assert stored["cameras"] == list(result.validation.cameras)
    assert stored["frames"] == list(result.validation.frames) and stored["median_px"] == result.validation.median_px
    loaded = _velk.io.load_multi_camera_calibration(path).validation
    assert loaded.cameras == list(result.validation.cameras)
    assert loaded.held_out_rms_px == pytest.approx(list(result.validation.held_out_rms_px))
    del document["validation"]
    path.write_text(json.dumps(document))
    assert _velk.io.load_multi_camera_calibration(path).validation is None


@pytest.fixture(scope="module")
def pictures():
    with render_cache.active():
        return demo.simulate_eye_in_hand(num_poses=10, seed=11)


def test_intrinsics_predict_each_picture_from_the_others(pictures):
    calibrator = _velk.IntrinsicCalibrator(pictures.target)
    result = calibrator.calibrate(pictures.images, validate=True)
    validation = result.validation
    assert result.ok and validation.validated, validation.reason
    assert validation.frames == list(result.successful_indices) and set(validation.cameras) == {0}
    assert np.allclose(validation.fitted_rms_px, result.per_view_errors)
    held, fitted = np.array(validation.held_out_rms_px), np.array(validation.fitted_rms_px)
    assert np.median(held) >= np.median(fitted) and np.all(held < 1.0)
    assert validation.sentence().startswith(f"Predicts pictures it did not see to {validation.median_px:.1f} px")
    assert "; camera" not in validation.sentence()


def test_intrinsics_name_pictures_without_the_board_and_leave_the_result_unchanged(pictures):
    images = list(pictures.images)
    images[3] = np.full_like(images[3], 90)
    plain = _velk.IntrinsicCalibrator(pictures.target).calibrate(images)
    result = _velk.IntrinsicCalibrator(pictures.target).calibrate(images, validate=True)
    assert plain.validation is None
    assert np.array_equal(plain.intrinsic_matrix, result.intrinsic_matrix)
    assert result.validation.skipped == ["frame 3: the board was not found"]
    assert 3 not in result.validation.frames and len(result.validation.frames) == 9


def test_intrinsics_from_too_few_pictures_are_not_validated(pictures):
    result = _velk.IntrinsicCalibrator(pictures.target).calibrate(pictures.images[:4], validate=True)
    assert result.ok and not result.validation.validated
    assert result.validation.reason.startswith("too few views with the board (4)")


def test_a_picture_stretched_sideways_is_the_worst_held_out_intrinsic_view(pictures):
    """A picture whose columns were resampled 2 % wider (as a different lens setting or a resampling
    step would) fits the intrinsics solved without it poorly: no board pose absorbs it."""
    images = list(pictures.images)
    height, width = images[6].shape[:2]
    images[6] = np.ascontiguousarray(cv2.resize(images[6], (round(width * 1.02), height))[:, :width])
    result = _velk.IntrinsicCalibrator(pictures.target).calibrate(images, validate=True)
    validation = result.validation
    assert validation.worst_frames[0] == 6
    held = dict(zip(validation.frames, validation.held_out_rms_px))
    assert held[6] > 3 * np.median(list(held.values()))


@pytest.mark.parametrize("flag, validated", [([], True), (["--no-validate"], False)])
def test_velk_intrinsics_validates_by_default(pictures, tmp_path, capfd, flag, validated):
    folder = tmp_path / "pictures"
    folder.mkdir()
    for k, image in enumerate(pictures.images):
        cv2.imwrite(str(folder / f"view_{k:02d}.png"), image)
    target = cli_data.write_target(tmp_path / "target.json", pictures.target)
    report = tmp_path / "report.html"
    assert cli.main(["intrinsics", str(folder), "--target", str(target), "-o", str(tmp_path), "--report",
                     str(report), "--quiet", *flag]) == 0
    document = json.loads((tmp_path / "intrinsics.json").read_text())
    assert ("validation" in document) == validated
    assert ("Predicts pictures it did not see to" in capfd.readouterr().out) == validated
    page = report.read_text()
    assert ('<section id="held-out">' in page) == validated
    if validated:
        assert document["validation"]["frames"] == list(range(10))
        assert page.count('id="held-out-bar-') == 10


@pytest.mark.parametrize("flag, validated", [([], True), (["--no-validate"], False)])
def test_velk_rig_validates_by_default(rig, tmp_path, capfd, flag, validated):
    folder = cli_data.write_rig_dataset(tmp_path / "rig", rig_scene.image_lists(rig))
    target = cli_data.write_target(tmp_path / "target.json", rig.target)
    report = tmp_path / "report.html"
    assert cli.main(["rig", str(folder), "--target", str(target), "--report", str(report), "--quiet", *flag]) == 0
    document = json.loads((folder / "multi_camera_calibration.json").read_text())
    assert ("validation" in document) == validated
    assert ("Predicts pictures it did not see to" in capfd.readouterr().out) == validated
    page = report.read_text()
    assert ('<section id="held-out">' in page) == validated
    if validated:
        assert page.count('id="held-out-bar-') == 18 and "cam 2 frame 8" in page


@pytest.mark.parametrize("flag, validated", [([], True), (["--no-validate"], False)])
def test_velk_check_validates_the_closed_form_by_default(tmp_path, capfd, flag, validated):
    scene = demo.simulate_eye_in_hand(num_poses=8, seed=4)
    folder = cli_data.write_hand_eye_dataset(tmp_path / "data", scene.images, scene.robot_T_tcp_list)
    target = cli_data.write_target(tmp_path / "target.json", scene.target)
    report = tmp_path / "report.html"
    cli.main(["check", str(folder), "--target", str(target), "--report", str(report), "--quiet", *flag])
    out = capfd.readouterr().out
    assert ("TSAI, held out: Predicts pictures it did not see to" in out) == validated
    assert ('<section id="held-out">' in report.read_text()) == validated


def test_stereo_photographs_are_predicted_to_a_fraction_of_a_pixel(left_photos, right_photos):
    calibrator = _velk.MultiCameraCalibrator(_velk.ChessboardTarget((9, 6), 0.025), 2)
    result = calibrator.calibrate([left_photos, right_photos], refine=True, validate=True)
    validation = result.validation
    assert result.ok and validation.validated and len(validation.frames) >= 10
    assert set(validation.cameras) == {1}
    assert 0.1 < validation.median_px < 2.0 and validation.p90_px < 4.0
    assert np.median(validation.held_out_rms_px) > np.median(validation.fitted_rms_px)
    assert all(math.isfinite(e) for e in validation.held_out_rms_px)


def test_left_camera_photographs_are_predicted_from_the_others(left_photos):
    result = _velk.IntrinsicCalibrator(_velk.ChessboardTarget((9, 6), 0.025)).calibrate(left_photos, validate=True)
    validation = result.validation
    assert result.ok and validation.validated and len(validation.frames) >= 10 and not validation.skipped
    assert 0.05 < validation.median_px < 1.0 and validation.p90_px < 2.0
    assert validation.median_px >= np.median(validation.fitted_rms_px)
