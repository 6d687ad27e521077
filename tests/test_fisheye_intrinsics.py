"""Fisheye (equidistant) lenses: the renderer's fisheye camera, intrinsic calibration through cv2.fisheye's model,
its records and the command line, against a rendered 160-degree lens."""

import json
import math
import subprocess
import sys

import numpy as np
import pytest

import _velk
import render_cache
from cli_data import write_target
from fisheye_scenes import IMAGE_SIZE, board, fisheye_camera, render_views, scene_poses
from quorvane.velk import lens, records, synthetic

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.fixture(scope="session")
def fisheye_scene():
    """20 training views and 6 further views of the 160-degree lens."""
    with render_cache.active():
        return render_views(scene_poses(26, seed=3), noise_sigma=1.0)


def _fisheye_options(**fields):
    options = _velk.IntrinsicOptions()
    options.camera_model = "fisheye"
    for name, value in fields.items():
        setattr(options, name, value)
    return options


@pytest.fixture(scope="session")
def fisheye_result(fisheye_scene):
    calibrator = _velk.IntrinsicCalibrator(fisheye_scene.target, _fisheye_options())
    return calibrator, calibrator.calibrate(fisheye_scene.images[:20], validate=True)


# ---------------------------------------------------------------------------------------------------------------
# The renderer's fisheye camera


@pytest.mark.parametrize("off_axis_deg", [0.0, 45.0, 75.0])
def test_rendered_truth_is_cv2_fisheye_projection(off_axis_deg):
    import cv2

    from fisheye_scenes import view_pose

    k, d = fisheye_camera()
    pose = view_pose(off_axis_deg, 30.0, 0.3, 20.0, 10.0, synthetic.board_center(board()))
    view = synthetic.render_target(board(), k, d, pose, IMAGE_SIZE, camera_model="fisheye", supersample=1)
    rvec = cv2.Rodrigues(pose[:3, :3])[0]
    expected, _ = cv2.fisheye.projectPoints(view.object_points.reshape(-1, 1, 3), rvec,
                                            np.ascontiguousarray(pose[:3, 3]).reshape(3, 1), k, d.reshape(1, 4))
    assert view.visible.any()
    np.testing.assert_allclose(view.corners[view.visible], expected.reshape(-1, 2)[view.visible], atol=1e-9)
    # The board is drawn where the truth says: its corners are found there.
    dictionary = cv2.aruco.getPredefinedDictionary(board().aruco_dict_id)
    detector = cv2.aruco.CharucoDetector(cv2.aruco.CharucoBoard((5, 7), 0.04, 0.03, dictionary))
    corners, ids, _, _ = detector.detectBoard(cv2.cvtColor(view.image, cv2.COLOR_BGR2GRAY))
    assert ids is not None and len(ids) >= 6
    errors = np.linalg.norm(corners.reshape(-1, 2) - view.corners[ids.ravel()], axis=1)
    assert np.median(errors) < 0.15


def test_renderer_sees_beyond_ninety_degrees():
    """A 200-degree lens sees a board beside the camera (its centre 95 degrees off the axis)."""
    from fisheye_scenes import view_pose

    k = synthetic.fisheye_matrix(200.0, IMAGE_SIZE)
    pose = view_pose(95.0, 0.0, 0.3, 0.0, 0.0, synthetic.board_center(board()))
    view = synthetic.render_target(board(), k, np.zeros(4), pose, IMAGE_SIZE, camera_model="fisheye",
                                   supersample=1)
    printed = view.image[..., 0] != synthetic.BACKGROUND_LEVEL
    assert printed.sum() > 1000
    assert printed[:, IMAGE_SIZE[0] * 3 // 4:].sum() > 0.9 * printed.sum()  # on the right rim, as placed
    # Corners behind the image plane (z <= 0) have no cv2 projection and are not reported visible.
    assert not view.visible[(view.object_points @ pose[:3, :3].T + pose[:3, 3])[:, 2] <= 0].any()


@pytest.mark.parametrize("arguments, message", [
    (dict(camera_model="fish"), "camera_model"),
    (dict(camera_model="fisheye", dist_coeffs=np.zeros(5)), "4 finite values"),
])
def test_renderer_rejects_bad_fisheye_arguments(arguments, message):
    k, d = fisheye_camera()
    call = dict(camera_matrix=k, dist_coeffs=d, camera_T_target=np.eye(4), image_size=IMAGE_SIZE)
    call.update(arguments)
    with pytest.raises(ValueError, match=message):
        synthetic.render_target(board(), **call)


# ---------------------------------------------------------------------------------------------------------------
# Intrinsic calibration


def test_fisheye_intrinsics_recover_the_lens(fisheye_scene, fisheye_result):
    _, result = fisheye_result
    assert result.ok and result.camera_model == "fisheye"
    k = np.asarray(result.intrinsic_matrix)
    true_k = fisheye_scene.K
    assert abs(k[0, 0] / true_k[0, 0] - 1) < 0.003 and abs(k[1, 1] / true_k[1, 1] - 1) < 0.003
    assert np.hypot(k[0, 2] - true_k[0, 2], k[1, 2] - true_k[1, 2]) < 1.0
    assert np.ravel(result.distortion_coefficients).shape == (4,)
    np.testing.assert_allclose(np.ravel(result.distortion_coefficients), fisheye_scene.D, atol=0.01)
    # Per-view errors are the RMS of each view under the fisheye projection: well below a pixel here.
    assert len(result.per_view_errors) == len(result.successful_indices) and max(result.per_view_errors) < 0.3
    sigmas = np.ravel(result.std_deviations_intrinsics)
    assert sigmas.shape == (8,) and np.all(sigmas[:8] > 0)
    # The 1-sigma figures are honest: the focal length's error is within a few of them.
    assert abs(k[0, 0] - true_k[0, 0]) < 5 * sigmas[0] + 0.05


def test_fisheye_held_out_views_predict_like_the_fit(fisheye_result):
    _, result = fisheye_result
    validation = result.validation
    assert validation.validated
    held_out = np.sqrt(np.mean(np.square(validation.held_out_rms_px)))
    fitted = np.sqrt(np.mean(np.square(validation.fitted_rms_px)))
    assert held_out <= 1.2 * fitted


def test_pinhole_model_fits_the_fisheye_lens_clearly_worse(fisheye_result):
    calibrator, _ = fisheye_result
    detections = calibrator.detections()
    fits = lens.model_fits(detections.object_points, detections.image_points, IMAGE_SIZE)
    assert fits["fisheye"] < 0.2
    assert fits["pinhole"] is None or fits["pinhole"] > 5 * fits["fisheye"]
    assert "pinhole model fits" not in lens.model_fit_text(fits, "fisheye")
    assert "calibrate with --camera-model fisheye" in lens.model_fit_text(fits, "pinhole")


def test_fisheye_poses_match_the_rendered_poses(fisheye_scene, fisheye_result):
    _, result = fisheye_result
    k, d = np.asarray(result.intrinsic_matrix), np.asarray(result.distortion_coefficients)
    for position, frame in enumerate(result.successful_indices[:6]):
        view = fisheye_scene.views[frame]
        seen = view.visible
        ok, rvec, tvec = lens.solve_pose(view.object_points[seen], view.corners[seen], k, d, "fisheye")
        assert ok
        assert np.linalg.norm(np.ravel(tvec) - fisheye_scene.poses[frame][:3, 3]) < 2e-3


@pytest.mark.parametrize("off_axis", [(0.0,), (0.0, 2.0)])
def test_a_fisheye_calibration_the_pictures_cannot_determine_is_a_warning(off_axis, capfd):
    """Boards seen straight on at the centre leave the fisheye focal length or principal point free (cv2 returns
    a focal length of tens of thousands of pixels for one such view): not ok, with a warning, never a throw."""
    from fisheye_scenes import view_pose

    centre = synthetic.board_center(board())
    scene = render_views([view_pose(angle, 0.0, 0.5 + 0.05 * k, 0.0, 5.0 * k, centre)
                          for k, angle in enumerate(off_axis)])
    result = _velk.IntrinsicCalibrator(scene.target, _fisheye_options()).calibrate(scene.images)
    assert not result.ok
    assert "fisheye calibration is not determined by these pictures" in capfd.readouterr().err


@pytest.mark.parametrize("fields, message", [
    (dict(camera_model="kannala"), "camera_model must be 'pinhole' or 'fisheye'"),
    (dict(camera_model="fisheye", distortion_coefficients_guess=np.zeros(5)), "4 distortion coefficients"),
    (dict(camera_model="fisheye", calibrate_camera_method="Release Object"), "calibrate_camera_method"),
])
def test_bad_fisheye_options_are_refused(fields, message):
    options = _velk.IntrinsicOptions()
    for name, value in fields.items():
        setattr(options, name, value)
    with pytest.raises(ValueError, match=message):
        _velk.IntrinsicCalibrator(_velk.ChessboardTarget((9, 6), 0.03), options)


def test_pinhole_stays_the_default():
    assert _velk.IntrinsicOptions().camera_model == "pinhole"


# ---------------------------------------------------------------------------------------------------------------
# Records and the command line


def _record(tmp_path, **members):
    document = {"camera_matrix": np.eye(3).tolist(), "distortion_coefficients": [0.1, 0.0, 0.0, 0.0]}
    document.update(members)
    path = tmp_path / "intrinsics.json"
    path.write_text(json.dumps(document))
    return path


@pytest.mark.parametrize("members, model", [({}, "pinhole"), ({"camera_model": "fisheye"}, "fisheye"),
                                            ({"camera_model": "pinhole"}, "pinhole")])
def test_records_name_their_lens_model(tmp_path, members, model):
    assert records.load_camera(_record(tmp_path, **members))[2] == model


@pytest.mark.parametrize("members, message", [
    ({"camera_model": "omnidirectional"}, "unknown camera_model 'omnidirectional'"),
    ({"camera_model": "fisheye", "distortion_coefficients": [0.1, 0, 0, 0, 0]}, "4 distortion coefficients"),
])
def test_bad_lens_models_in_records_are_refused(tmp_path, members, message):
    with pytest.raises(records.RecordError, match=message):
        records.load_camera(_record(tmp_path, **members))


def test_velk_intrinsics_with_the_fisheye_model(tmp_path, fisheye_scene):
    import cv2

    folder = tmp_path / "pictures"
    folder.mkdir()
    for k, image in enumerate(fisheye_scene.images[:12]):
        cv2.imwrite(str(folder / f"view_{k:02d}.png"), image)
    target = write_target(tmp_path / "target.json", fisheye_scene.target)
    output, report = tmp_path / "fisheye.json", tmp_path / "report.html"
    run = subprocess.run([sys.executable, "-m", "quorvane.velk", "intrinsics", str(folder), "--target", str(target),
                          "--camera-model", "fisheye", "-o", str(output), "--report", str(report), "--no-validate"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "(fisheye model)" in run.stdout
    k, d, model = records.load_camera(output)
    assert model == "fisheye" and d.size == 4
    assert abs(k[0, 0] / fisheye_scene.K[0, 0] - 1) < 0.005
    page = report.read_text(encoding="utf-8")
    assert "Fisheye lens mapping" in page and "Lens model (fisheye)" in page
    assert math.isfinite(json.loads(output.read_text())["reprojection_error"])


def test_a_view_the_fisheye_solver_cannot_start_from_is_left_out_by_name(fisheye_scene, capfd):
    """cv2.fisheye.calibrate throws for the whole batch when it cannot pose one view at its start (here a view
    with four corners at the picture's rim, on which it asserts): that view is left out with a warning naming
    it, the rest solve."""
    rim_view = render_views([scene_poses(40, seed=11)[33]], seed=33)
    images = fisheye_scene.images[:10] + rim_view.images
    result = _velk.IntrinsicCalibrator(fisheye_scene.target, _fisheye_options()).calibrate(images)
    assert result.ok
    assert 10 not in result.successful_indices and len(result.successful_indices) >= 9
    assert len(result.per_view_errors) == len(result.successful_indices) == len(result.image_points)
    assert "Image 10 left out of the fisheye calibration" in capfd.readouterr().err
    assert abs(np.asarray(result.intrinsic_matrix)[0, 0] / fisheye_scene.K[0, 0] - 1) < 0.003


@pytest.mark.parametrize("model, distortion", [("pinhole", [0.1, -0.05, 0.001, -0.002, 0.01]),
                                               ("fisheye", [0.05, -0.01, 0.002, -0.001])])
def test_the_library_projects_through_a_pose_as_the_lens_model_does(model, distortion):
    from quorvane.velk import geometry

    k = np.array([[800.0, 0.0, 640.0], [0.0, 810.0, 480.0], [0.0, 0.0, 1.0]])
    d = np.array([distortion])
    pose = _velk.tf.pose_to_transformation_matrix([0.05, -0.02, 0.6, 160.0, 10.0, 30.0])
    grid = np.array([[0.03 * i, 0.03 * j, 0.0] for j in range(-3, 4) for i in range(-4, 5)])
    expected = lens.project_points(grid, geometry.rotvec_from_rotation(pose), pose[:3, 3], k, d, model)
    assert np.allclose(_velk.project_points(grid, pose, k, d, model), expected, rtol=0, atol=1e-9)


def test_the_library_projection_refuses_a_pose_that_is_not_4x4_and_a_wrong_fisheye_distortion():
    k = np.array([[800.0, 0.0, 640.0], [0.0, 810.0, 480.0], [0.0, 0.0, 1.0]])
    grid = np.zeros((4, 3))
    with pytest.raises(ValueError, match="4 x 4"):
        _velk.project_points(grid, np.eye(3), k, np.zeros((1, 5)))
    with pytest.raises(ValueError, match="4 distortion coefficients"):
        _velk.project_points(grid, np.eye(4), k, np.zeros((1, 5)), "fisheye")
