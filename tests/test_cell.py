"""A cell of several cameras around one robot, calibrated at once: the transforms against the truth of rendered
cells with robot pose error, their sigmas, the record that three readers read, and velk cell end to end."""

import numpy as np
import pytest

import _velk
import render_cache
from cli_data import write_target
from quorvane.velk import cell_captures, cli
from quorvane.velk.datasets import InputError, load_cell_folder
from quorvane.velk.progress import Progress

POSES = 9
MISSED = 4  # the second camera took no picture at this pose


def _error(estimate, truth):
    estimate, truth = np.asarray(estimate), np.asarray(truth)
    turn = np.clip((np.trace(estimate[:3, :3].T @ truth[:3, :3]) - 1.0) / 2.0, -1.0, 1.0)
    return np.linalg.norm(estimate[:3, 3] - truth[:3, 3]) * 1000.0, np.degrees(np.arccos(turn))


@pytest.fixture(scope="module", params=cell_captures.CELL_KINDS)
def calibrated(request):
    with render_cache.active():
        scene = cell_captures.simulate_cell(request.param, 2, POSES, seed=2, robot_error=(0.5, 0.05))
    images = [list(images) for images in scene.image_lists]
    images[1][MISSED] = np.empty((0, 0), np.uint8)
    result = _velk.CellCalibrator(scene.target).calibrate(scene.robot_T_tcp_list, images,
                                                          eye_to_hand=scene.eye_to_hand, validate=True)
    return scene, result


def test_every_transform_is_found_within_its_sigma_and_the_pair_far_better_than_either_camera(calibrated):
    scene, result = calibrated
    assert result.ok, result.reason
    refinement = result.refinement
    truths = list(scene.camera_mount_T_camera_list)
    for estimate, truth, sigma in zip(refinement.camera_mount_T_camera_list, truths, refinement.camera_sigmas):
        mm, deg = _error(estimate, truth)
        assert mm < 4.0 * sigma.translation_norm_mm and deg < 4.0 * sigma.rotation_norm_deg
    pair = refinement.camera_pairs[0]
    mm, deg = _error(pair.first_T_second, np.linalg.inv(truths[0]) @ truths[1])
    assert mm < 4.0 * pair.sigma.translation_norm_mm and deg < 4.0 * pair.sigma.rotation_norm_deg
    # The robot's error is common to both cameras at a pose: it cancels from their relative pose.
    assert pair.sigma.translation_norm_mm < 0.3 * min(s.translation_norm_mm for s in refinement.camera_sigmas)
    assert 0.2 < refinement.robot_translation_noise_mm < 1.0 and 0.02 < refinement.robot_rotation_noise_deg < 0.1
    assert list(refinement.pose_camera_counts) == [1 if k == MISSED else 2 for k in range(POSES)]
    assert list(result.starts[1].poses) == [k for k in range(POSES) if k != MISSED]
    for validation in result.validations:
        assert validation.validated and 0.5 < validation.observed_over_predicted < 2.0


def test_the_record_reads_as_a_cell_a_hand_eye_and_a_rig_record(calibrated, tmp_path):
    scene, result = calibrated
    path = _velk.io.save_cell_calibration(tmp_path, _velk.io.cell_calibration_record(result))
    refinement = result.refinement
    cell = _velk.io.load_cell_calibration(path)
    assert [c.name for c in cell.cameras] == ["0", "1"] and cell.cameras[1].poses == result.starts[1].poses
    np.testing.assert_allclose(cell.camera_pairs[0].first_T_second, refinement.camera_pairs[0].first_T_second)
    hand_eye = (_velk.io.load_eye_to_hand_result if scene.eye_to_hand else _velk.io.load_hand_eye_result)(path)
    cameras = hand_eye.robot_T_camera_list if scene.eye_to_hand else hand_eye.tcp_T_camera_list
    for saved, solved in zip(cameras, refinement.camera_mount_T_camera_list):
        np.testing.assert_allclose(saved, solved)
    rig = _velk.io.load_multi_camera_calibration(path)
    np.testing.assert_allclose(rig.reference_T_camera_list[1], refinement.camera_pairs[0].first_T_second, atol=1e-12)
    np.testing.assert_allclose(rig.intrinsic_matrices[1], refinement.intrinsic_matrices[1])


def test_pictures_that_do_not_pair_with_the_poses_are_refused(calibrated):
    scene, _ = calibrated
    with pytest.raises(ValueError, match="pictures for"):
        _velk.CellCalibrator(scene.target).calibrate(scene.robot_T_tcp_list[:-1], scene.image_lists)


def _write_cell(folder, scene, skip=()):
    for c, images in enumerate(scene.image_lists):
        for k, image in enumerate(images):
            if (c, k) not in skip:
                _velk.io.save_hand_eye_image(folder / f"cam_{c}", k, image)
        _velk.io.save_robot_poses(folder / f"cam_{c}", scene.robot_T_tcp_list)
    return folder


def test_velk_cell_calibrates_a_dataset_with_a_missing_picture_and_writes_its_record_and_report(calibrated, tmp_path,
                                                                                            capsys):
    scene, _ = calibrated
    folder = _write_cell(tmp_path / "cell", scene, skip={(1, MISSED)})
    report = tmp_path / "cell.html"
    arguments = ["cell", str(folder), "--target", str(write_target(tmp_path / "board.json", scene.target)),
                 "--report", str(report), "--quiet"] + (["--eye-to-hand"] if scene.eye_to_hand else [])
    assert cli.main(arguments) == 0
    out = capsys.readouterr().out
    assert "cam_0_T_cam_1" in out and "Verdict: PASS" in out
    record = _velk.io.load_cell_calibration(folder / "cell.json")
    assert record.eye_to_hand == scene.eye_to_hand and record.verdict.passed
    assert record.cameras[1].image_names[MISSED - 1:MISSED + 1] == [f"image_{MISSED - 1}.png",
                                                                    f"image_{MISSED + 1}.png"]
    page = report.read_text()
    assert "Cell top view" in page and "Held-out prediction per picture: cam_1" in page


@pytest.mark.parametrize("fault, message", [
    ("poses differ", "robot poses of cam_0 and cam_1 differ"),
    ("picture beyond the poses", "has no robot pose"),
])
def test_a_cell_dataset_that_does_not_pair_is_refused(calibrated, tmp_path, fault, message):
    scene, _ = calibrated
    folder = tmp_path / "cell"
    for c in range(2):
        _velk.io.save_hand_eye_image(folder / f"cam_{c}", 0, scene.image_lists[c][0])
        poses = [np.array(pose) for pose in scene.robot_T_tcp_list[:2]]
        if fault == "poses differ" and c == 1:
            poses[0][0, 3] += 0.001
        _velk.io.save_robot_poses(folder / f"cam_{c}", poses)
    if fault == "picture beyond the poses":
        _velk.io.save_hand_eye_image(folder / "cam_1", 2, scene.image_lists[1][2])
    with pytest.raises(InputError, match=message):
        load_cell_folder(folder, Progress.for_stderr(True))


def test_cameras_that_share_no_pose_still_calibrate_through_the_robot_with_a_larger_sigma(calibrated):
    scene, shared = calibrated
    empty = np.empty((0, 0), np.uint8)
    images = [[image if (k < 5) == (c == 0) else empty for k, image in enumerate(pictures)]
              for c, pictures in enumerate(scene.image_lists)]
    result = _velk.CellCalibrator(scene.target).calibrate(scene.robot_T_tcp_list, images,
                                                          eye_to_hand=scene.eye_to_hand)
    assert result.ok, result.reason
    pair = result.refinement.camera_pairs[0]
    truths = scene.camera_mount_T_camera_list
    mm, deg = _error(pair.first_T_second, np.linalg.inv(truths[0]) @ truths[1])
    assert mm < 4.0 * pair.sigma.translation_norm_mm and deg < 4.0 * pair.sigma.rotation_norm_deg
    assert pair.sigma.translation_norm_mm > 3.0 * shared.refinement.camera_pairs[0].sigma.translation_norm_mm
    assert set(result.refinement.pose_camera_counts) == {1}
