"""Joint rig refinement over every frame seen by two or more cameras, and refined result records."""

import json
import sys
from pathlib import Path

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
import _velk  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import projected_corners as pc  # noqa: E402
import rig_scene  # noqa: E402


@pytest.fixture(scope="module")
def projected_rig():
    scene = pc.rig_corners(num_cameras=3, num_frames=15, noise_px=0.3, seed=4)
    matrices, distortions = pc.rig_intrinsics(scene)
    return scene, matrices, distortions, pc.pairwise_rig(scene, matrices, distortions)


def test_noise_free_rig_is_recovered_from_a_perturbed_start():
    scene = pc.rig_corners(num_cameras=3, num_frames=8, noise_px=0.0, seed=2)
    start = [scene.reference_T_camera[0]] + [
        p @ _velk.tf.pose_to_transformation_matrix([0.003, -0.002, 0.004, 0.5, -0.4, 0.3])
        for p in scene.reference_T_camera[1:]]
    matrices = [K + np.diag([3.0, -2.0, 0.0]) for K in scene.camera_matrices]
    distortions = [d.reshape(1, -1) for d in scene.distortions]
    refinement = _velk.refine_rig(pc.rig_problem(scene, start, matrices, distortions))
    assert refinement.refined, refinement.reason
    for k in range(3):
        mm, deg = pc.transform_error(refinement.reference_T_camera_list[k], scene.reference_T_camera[k])
        assert mm < 1e-6 and deg < 1e-5
        assert np.allclose(refinement.intrinsic_matrices[k], scene.camera_matrices[k], atol=1e-4)
    assert refinement.frames_used == list(range(8))
    for f, board in zip(refinement.frames_used, refinement.reference_T_target_list):
        assert pc.transform_error(board, scene.reference_T_target[f])[0] < 1e-6


def test_predicted_camera_sigmas_match_the_spread_over_seeds():
    tally = pc.SigmaTally()
    for seed in range(12):
        scene = pc.rig_corners(num_cameras=3, num_frames=15, noise_px=0.3, seed=100 + seed)
        matrices, distortions = pc.rig_intrinsics(scene)
        start = pc.pairwise_rig(scene, matrices, distortions)
        refinement = _velk.refine_rig(pc.rig_problem(scene, start, matrices, distortions))
        assert refinement.refined, refinement.reason
        for k in (1, 2):
            tally.add(refinement.reference_T_camera_list[k], scene.reference_T_camera[k], refinement.camera_sigmas[k])
    for kind in ("translation", "rotation"):
        assert 0.7 < tally.honesty(kind) < 1.4, kind


def test_refined_rig_carries_sigmas_and_residuals(projected_rig):
    scene, matrices, distortions, start = projected_rig
    refinement = _velk.refine_rig(pc.rig_problem(scene, start, matrices, distortions))
    assert refinement.refined and refinement.summary.converged
    reference = refinement.camera_sigmas[0]
    assert reference.translation_norm_mm == 0.0 and reference.rotation_norm_deg == 0.0
    for k in (1, 2):
        sigma = refinement.camera_sigmas[k]
        assert 0.0 < sigma.translation_norm_mm < 3.0 and 0.0 < sigma.rotation_norm_deg < 1.0
        assert len(refinement.intrinsic_sigmas[k]) == 4
    views = len(refinement.per_view_rms_px)
    assert views == len(refinement.view_cameras) == len(refinement.view_frames) == 45
    assert 0.3 < refinement.rms_px < 0.5


def test_the_projected_corners_are_those_of_the_refined_rig(projected_rig):
    scene, matrices, distortions, start = projected_rig
    refinement = _velk.refine_rig(pc.rig_problem(scene, start, matrices, distortions))
    assert refinement.refined
    boards = dict(zip(refinement.frames_used, refinement.reference_T_target_list))
    assert len(refinement.projected_corners) == len(refinement.view_cameras) == 45
    for camera, frame, projected, rms in zip(refinement.view_cameras, refinement.view_frames,
                                             refinement.projected_corners, refinement.per_view_rms_px):
        pose = np.linalg.inv(refinement.reference_T_camera_list[camera]) @ boards[frame]
        model, _ = cv2.projectPoints(np.asarray(scene.object_points[camera][frame], np.float64),
                                     cv2.Rodrigues(pose[:3, :3])[0], pose[:3, 3],
                                     refinement.intrinsic_matrices[camera], refinement.distortion_coefficients[camera])
        assert projected.shape == (len(model), 2) and np.abs(projected - model.reshape(-1, 2)).max() < 1e-6
        observed = scene.image_points[camera][frame]
        assert np.sqrt(np.mean(np.sum((projected - observed) ** 2, axis=1))) == pytest.approx(rms, rel=1e-9)


def test_frames_seen_by_one_camera_only_are_left_out(projected_rig):
    scene, matrices, distortions, start = projected_rig
    objects = [list(o) for o in scene.object_points]
    images = [list(i) for i in scene.image_points]
    for k in (1, 2):  # frame 3 seen by the reference alone, frame 7 by camera 2 and the reference
        objects[k][3] = np.empty((0, 3), np.float32)
        images[k][3] = np.empty((0, 2), np.float32)
    objects[1][7] = np.empty((0, 3), np.float32)
    images[1][7] = np.empty((0, 2), np.float32)
    problem = pc.rig_problem(scene, start, matrices, distortions)
    problem.object_points = objects
    problem.image_points = images
    refinement = _velk.refine_rig(problem)
    assert refinement.refined
    assert 3 not in refinement.frames_used and 7 in refinement.frames_used
    assert len(refinement.per_view_rms_px) == 45 - 3 - 1


@pytest.mark.parametrize("spoil, reason", [
    ("few_frames", "too few frames"),
    ("one_iteration", "did not converge"),
])
def test_a_rig_refinement_that_fails_keeps_the_pairwise_poses(projected_rig, capfd, spoil, reason):
    scene, matrices, distortions, start = projected_rig
    problem = pc.rig_problem(scene, start, matrices, distortions)
    options = _velk.RefinementOptions()
    if spoil == "few_frames":
        problem.object_points = [o[:2] for o in scene.object_points]
        problem.image_points = [i[:2] for i in scene.image_points]
    else:
        options.max_iterations = 1
    refinement = _velk.refine_rig(problem, options)
    assert not refinement.refined and reason in refinement.reason
    assert all(np.array_equal(a, b) for a, b in zip(refinement.reference_T_camera_list, start))
    assert refinement.camera_sigmas == []
    assert "[velk][WARNING] [RigRefinement] Refinement not applied: " in capfd.readouterr().err


def test_lists_of_the_wrong_length_are_refused(projected_rig):
    scene, matrices, distortions, start = projected_rig
    problem = pc.rig_problem(scene, start, matrices[:2], distortions)
    with pytest.raises(ValueError, match="^refineRig: "):
        _velk.refine_rig(problem)


# --------------------------------------------------------------------------
# Through the multi-camera calibrator, on rendered pictures


@pytest.fixture(scope="module")
def refined_rig_run(rendered_rig, tmp_path_factory):
    out = tmp_path_factory.mktemp("rig")
    calibrator = _velk.MultiCameraCalibrator(rendered_rig.target, 3)
    result = calibrator.calibrate(rig_scene.image_lists(rendered_rig), output_path=out, refine=True)
    return calibrator, result, out


def test_calibrator_refines_the_rig(rendered_rig, refined_rig_run):
    calibrator, result, _ = refined_rig_run
    assert result.ok and result.refined, result.refinement_reason
    assert len(result.pairwise_reference_T_camera_list) == 3
    for k in (1, 2):
        rig_scene.assert_pose_close(result.reference_T_camera_list[k], rendered_rig.reference_T_camera[k],
                                    mm=1.0, deg=0.05)
    assert np.array_equal(result.reference_T_camera_list[1], result.refinement.reference_T_camera_list[1])
    text = calibrator.format_results()
    assert "JOINT REFINEMENT  -  reference_T_camera with 1-sigma" in text
    assert "translation [mm]: x = " in text and " +- " in text


def test_rig_report_and_record_without_refine_have_no_refinement(rendered_rig, tmp_path):
    calibrator = _velk.MultiCameraCalibrator(rendered_rig.target, 3)
    result = calibrator.calibrate(rig_scene.image_lists(rendered_rig), output_path=tmp_path)
    assert not result.refined and result.refinement is None
    assert "JOINT REFINEMENT" not in calibrator.format_results()
    document = json.loads((tmp_path / "multi_camera_calibration.json").read_text())
    assert "refinement" not in document
    assert _velk.io.load_multi_camera_calibration(tmp_path).refinement is None


def test_rig_record_stores_the_refinement(refined_rig_run):
    _, result, out = refined_rig_run
    record = _velk.io.load_multi_camera_calibration(out)
    refinement = record.refinement
    assert refinement.refined and refinement.converged
    assert len(refinement.unrefined_poses) == 3 and len(refinement.pose_sigmas) == 3
    assert np.allclose(refinement.unrefined_poses[1], result.pairwise_reference_T_camera_list[1])
    assert np.allclose(refinement.pose_sigmas[1][:3], result.refinement.camera_sigmas[1].translation_mm)
    assert np.allclose(record.reference_T_camera_list[1], result.reference_T_camera_list[1])


def test_hand_eye_record_round_trips_the_refinement(eye_in_hand_scene, tmp_path):
    scene = eye_in_hand_scene
    calibrator = _velk.EyeInHandCalibrator(scene.target)
    result = calibrator.calibrate(scene.robot_T_tcp_list, scene.images, "TSAI", output_path=tmp_path, refine=True)
    record = _velk.io.load_hand_eye_result(tmp_path)
    refinement = record.refinement
    assert refinement.refined and refinement.reason == ""
    assert np.allclose(record.tcp_T_camera_list[0], result.tcp_T_camera)
    assert np.allclose(refinement.unrefined_poses[0], result.closed_form_tcp_T_camera)
    sigma = result.refinement.camera_sigma
    assert np.allclose(refinement.pose_sigmas[0], list(sigma.translation_mm) + list(sigma.rotation_deg))
    assert np.allclose(refinement.target_poses[0], result.refinement.target_mount_T_target)
    assert refinement.per_view_rms_px == pytest.approx(result.refinement.per_view_rms_px)
    assert len(refinement.intrinsic_sigmas) == 1 and len(refinement.intrinsic_sigmas[0]) == 4
    # Saved again, the loaded record gives the same document.
    again = tmp_path / "again.json"
    _velk.io.save_hand_eye_result(again, record)
    assert json.loads(again.read_text()) == json.loads((tmp_path / "hand_eye.json").read_text())


def test_old_hand_eye_records_still_load(tmp_path):
    old = {"method": "TSAI", "num_cameras": 1, "num_frames_total": 10, "num_frames_used": 9, "reference_index": 0,
           "tcp_T_camera_list": [np.eye(4).tolist()]}
    (tmp_path / "hand_eye.json").write_text(json.dumps(old))
    record = _velk.io.load_hand_eye_result(tmp_path)
    assert record.refinement is None and record.num_frames_used == 9
    partial = dict(old, refinement={"refined": False, "reason": "the covariance at the solution is singular"})
    (tmp_path / "hand_eye.json").write_text(json.dumps(partial))
    refinement = _velk.io.load_hand_eye_result(tmp_path).refinement
    assert not refinement.refined and refinement.pose_sigmas == [] and "singular" in refinement.reason


@pytest.mark.parametrize("bad", [3, [1, 2], {"refined": "yes"}, {"pose_sigmas": "none"}])
def test_a_malformed_refinement_member_is_refused_naming_the_file(tmp_path, bad):
    old = {"method": "TSAI", "num_cameras": 1, "reference_index": 0, "tcp_T_camera_list": [np.eye(4).tolist()],
           "refinement": bad}
    (tmp_path / "hand_eye.json").write_text(json.dumps(old))
    with pytest.raises(RuntimeError, match="refinement.*hand_eye.json"):
        _velk.io.load_hand_eye_result(tmp_path)
