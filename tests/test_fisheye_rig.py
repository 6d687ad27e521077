"""A rig of three 160-degree fisheye cameras: the multi-camera calibration through the equidistant model (intrinsics,
stereo pairs, refinement, held-out validation, triangulation), its record and ``velk rig --camera-model fisheye``."""

import json
import math

import numpy as np
import pytest

import _velk
import cli_data
import render_cache
from _velk import MultiCameraCalibrator
from quorvane.velk import cli
from rig_scene import image_lists, log_lines, rotation_error_deg

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

SQUARE_M = 0.04


@pytest.fixture(scope="session")
def fisheye_rig():
    """14 synchronized frames of the three fisheye cameras (about a minute to render, once)."""
    from fisheye_rig_scene import render_fisheye_rig

    with render_cache.active():
        return render_fisheye_rig(14, seed=5)


def fisheye_options(**fields):
    options = MultiCameraCalibrator.default_options()
    options.camera_model = "fisheye"
    for name, value in fields.items():
        setattr(options, name, value)
    return options


@pytest.fixture(scope="module")
def calibrated(fisheye_rig, tmp_path_factory):
    """(calibrator, refined and validated result, pairwise result, record folder)."""
    folder = tmp_path_factory.mktemp("fisheye_rig")
    calibrator = MultiCameraCalibrator(fisheye_rig.target, 3, 0, fisheye_options())
    pairwise = calibrator.calibrate(image_lists(fisheye_rig))
    refined = calibrator.calibrate(image_lists(fisheye_rig), output_path=folder, refine=True, validate=True)
    return calibrator, refined, pairwise, folder


def pose_errors(found, true):
    return np.linalg.norm(found[:3, 3] - true[:3, 3]) * 1000.0, rotation_error_deg(found, true)


# --------------------------------------------------------------------------
# Accuracy


@pytest.mark.parametrize("step, mm, deg", [("refined", 1.0, 0.1), ("pairwise", 1.5, 0.15)])
def test_camera_poses_match_the_mounted_rig(calibrated, fisheye_rig, step, mm, deg):
    _, refined, pairwise, _ = calibrated
    result = refined if step == "refined" else pairwise
    assert result.ok and result.camera_model == "fisheye"
    assert result.refined == (step == "refined")
    assert np.array_equal(result.reference_T_camera_list[0], np.eye(4))
    for k in (1, 2):
        position_mm, angle_deg = pose_errors(result.reference_T_camera_list[k], fisheye_rig.reference_T_camera[k])
        assert position_mm < mm and angle_deg < deg, (k, position_mm, angle_deg)


def test_intrinsics_and_pair_errors_under_the_fisheye_model(calibrated, fisheye_rig):
    _, result, pairwise, _ = calibrated
    for k in range(3):
        K, true_k = result.intrinsic_matrices[k], fisheye_rig.camera_matrices[k]
        assert result.distortion_coefficients[k].shape == (1, 4)
        assert abs(K[0, 0] / true_k[0, 0] - 1) < 0.003 and abs(K[1, 1] / true_k[1, 1] - 1) < 0.003
        assert np.hypot(K[0, 2] - true_k[0, 2], K[1, 2] - true_k[1, 2]) < 1.0
        assert 0 < result.intrinsic_reprojection_errors[k] < 0.1
    assert math.isnan(pairwise.pair_reprojection_errors[0])
    # The equidistant stereo solve reproduces the corners to a small fraction of a pixel.
    assert all(0 < pairwise.pair_reprojection_errors[k] < 0.3 for k in (1, 2))
    assert 0 < result.refinement.rms_px < 0.15


def test_held_out_frames_are_predicted_through_the_fisheye_model(calibrated):
    _, result, _, _ = calibrated
    validation = result.validation
    assert validation.validated, validation.reason
    held_out, fitted = np.median(validation.held_out_rms_px), np.median(validation.fitted_rms_px)
    assert held_out < 0.2 and held_out < 1.6 * fitted
    assert set(validation.cameras) == {1, 2}


def test_triangulation_undistorts_through_the_fisheye_model(calibrated, fisheye_rig):
    calibrator, _, _, _ = calibrated
    report = calibrator.triangulate(image_lists(fisheye_rig), 0)
    distances = np.asarray(report.neighbor_distances_m)
    assert len(distances) >= 30
    assert abs(distances.mean() - SQUARE_M) < 1e-4 and np.abs(distances - SQUARE_M).max() < 5e-4
    assert report.plane_thickness_m < 1e-3
    assert all(0 < rms < 0.1 for rms in report.rms_per_camera)


def test_the_record_holds_the_fisheye_model(calibrated):
    _, result, _, folder = calibrated
    document = json.loads((folder / "multi_camera_calibration.json").read_text())
    assert document["camera_model"] == "fisheye"
    assert [len(row) for row in document["distortion_coefficients"]] == [4, 4, 4]
    record = _velk.io.load_multi_camera_calibration(folder)
    assert record.camera_model == "fisheye"
    np.testing.assert_array_equal(record.reference_T_camera_list[2], result.reference_T_camera_list[2])


# --------------------------------------------------------------------------
# Bad input


def test_a_pair_opencv_cannot_solve_is_a_warning_not_a_crash(fisheye_rig, capfd):
    """Camera 1's given distortion is far from any lens: cv::fisheye::stereoCalibrate gives up on that pair only."""
    matrices = [np.asarray(k, np.float64) for k in fisheye_rig.camera_matrices]
    distortions = [np.asarray(d, np.float64).reshape(1, 4) for d in fisheye_rig.distortions]
    distortions[1] = np.array([[50.0, -80.0, 30.0, 5.0]])
    calibrator = MultiCameraCalibrator(fisheye_rig.target, 3, 0, fisheye_options())
    capfd.readouterr()
    result = calibrator.calibrate(image_lists(fisheye_rig), matrices, distortions)
    err = capfd.readouterr().err
    assert not result.ok
    assert result.reference_T_camera_list[1].size == 0 and math.isnan(result.pair_reprojection_errors[1])
    position_mm, angle_deg = pose_errors(result.reference_T_camera_list[2], fisheye_rig.reference_T_camera[2])
    assert position_mm < 1.5 and angle_deg < 0.15
    assert any(line.startswith("[velk][WARNING] [MultiCameraCalibrator] Fisheye stereo calibration failed between "
                               "reference camera 0 and camera 1") for line in log_lines(err))


@pytest.mark.parametrize("fields, given_distortion, message", [
    ({"camera_model": "kannala"}, None, "camera_model must be 'pinhole' or 'fisheye', got 'kannala'"),
    ({}, np.zeros((1, 5)), "a fisheye camera has 4 distortion coefficients"),
])
def test_bad_fisheye_rig_arguments_are_value_errors(fisheye_rig, fields, given_distortion, message):
    with pytest.raises(ValueError, match=message):
        calibrator = MultiCameraCalibrator(fisheye_rig.target, 3, 0, fisheye_options(**fields))
        matrices = [np.asarray(k, np.float64) for k in fisheye_rig.camera_matrices]
        calibrator.calibrate(image_lists(fisheye_rig), matrices, [given_distortion] * 3)


def _rig_document(**members):
    document = {"distortion_coefficients": [[0.02, -0.01, 0.003, -0.0005]] * 2,
                "intrinsic_matrices": [np.diag([460.0, 460.0, 1.0]).tolist()] * 2, "num_cameras": 2,
                "reference_T_camera_list": [np.eye(4).tolist()] * 2, "reference_index": 0}
    document.update(members)
    return {name: value for name, value in document.items() if value is not None}


@pytest.mark.parametrize("members, model", [
    ({}, "pinhole"),  # written before rigs had a camera model
    ({"camera_model": None}, "pinhole"),
    ({"camera_model": "pinhole", "distortion_coefficients": [[0.1, 0.0, 0.0, 0.0, 0.01]] * 2}, "pinhole"),
    ({"camera_model": "fisheye"}, "fisheye"),
])
def test_rig_records_load_their_camera_model(tmp_path, members, model):
    path = tmp_path / "multi_camera_calibration.json"
    path.write_text(json.dumps(_rig_document(**members)))
    assert _velk.io.load_multi_camera_calibration(path).camera_model == model


@pytest.mark.parametrize("members, fragment", [
    ({"camera_model": "equisolid"}, "camera_model must be 'pinhole' or 'fisheye', got 'equisolid' in 'camera_model'"),
    ({"camera_model": 3}, "in 'camera_model'"),
    ({"camera_model": "fisheye", "distortion_coefficients": [[0.1, 0.0, 0.0, 0.0, 0.01]] * 2},
     "a fisheye camera has 4 distortion coefficients .* in 'distortion_coefficients'"),
])
def test_rig_records_with_a_bad_camera_model_fail_naming_the_member(tmp_path, members, fragment):
    path = tmp_path / "multi_camera_calibration.json"
    path.write_text(json.dumps(_rig_document(**members)))
    with pytest.raises(RuntimeError, match=fragment) as raised:
        _velk.io.load_multi_camera_calibration(path)
    assert str(path) in str(raised.value)


def test_a_record_with_an_unknown_camera_model_is_not_written(tmp_path):
    record = _velk.io.MultiCameraCalibrationRecord()
    record.num_cameras, record.camera_model = 1, "fisheye "
    with pytest.raises(ValueError, match="camera_model must be"):
        _velk.io.save_multi_camera_calibration(tmp_path, record)
    assert list(tmp_path.iterdir()) == []


# --------------------------------------------------------------------------
# Command line


def test_velk_rig_with_the_fisheye_model(fisheye_rig, tmp_path, capfd):
    folder = cli_data.write_rig_dataset(tmp_path / "rig", image_lists(fisheye_rig))
    target = cli_data.write_target(tmp_path / "target.json", fisheye_rig.target)
    report = tmp_path / "report.html"
    assert cli.main(["rig", str(folder), "--target", str(target), "--camera-model", "fisheye", "--report",
                     str(report), "--quiet"]) == 0
    out = capfd.readouterr().out
    assert "Calibrated 3 cameras (fisheye model); stereo RMS errors: " in out
    assert "PER-CAMERA INTRINSICS  (fisheye model: d = k1, k2, k3, k4)" in report.read_text()
    record = _velk.io.load_multi_camera_calibration(folder / "multi_camera_calibration.json")
    assert record.camera_model == "fisheye" and record.refinement is not None and record.validation is not None
    for k in (1, 2):
        position_mm, angle_deg = pose_errors(np.asarray(record.reference_T_camera_list[k]),
                                             fisheye_rig.reference_T_camera[k])
        assert position_mm < 1.0 and angle_deg < 0.1
    page = report.read_text()
    for k in range(3):
        assert f"Fisheye lens mapping of cam_{k}" in page
    assert "Distortion field of" not in page
    assert '<section id="residuals">' in page


def test_report_views_project_through_the_fisheye_model(calibrated, fisheye_rig):
    """The report's per-view residuals reproduce the refinement's own figures only through the rig's model."""
    from quorvane.velk.report.view_model import rig_views

    _, result, _, _ = calibrated
    detections = [_velk.IntrinsicCalibrator(fisheye_rig.target, fisheye_options()).find_corners(images)
                  for images in image_lists(fisheye_rig)]
    views = rig_views(result.refinement, detections, result.camera_model)
    np.testing.assert_allclose(views.projected_rms(), result.refinement.per_view_rms_px, atol=2e-3)
