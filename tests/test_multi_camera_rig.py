"""Multi-camera calibration of a rendered three-camera rig with known poses: accuracy, results, log
lines, report, intrinsics handling and triangulation."""

import math
import re

import numpy as np
import pytest

import _velk
from _velk import MultiCameraCalibrator

cv2 = pytest.importorskip("cv2")
rig_scene = pytest.importorskip("rig_scene")
from rig_scene import assert_pose_close, blank_like, given_intrinsics, log_lines  # noqa: E402
from rig_scene import image_lists as lists  # noqa: E402

BAR70 = "=" * 70


@pytest.fixture(scope="module")
def calibrated(rendered_rig):
    calibrator = MultiCameraCalibrator(rendered_rig.target, 3)
    result = calibrator.calibrate(lists(rendered_rig))
    return calibrator, result


# --------------------------------------------------------------------------
# Accuracy and results


def test_recovers_the_rig(calibrated, rendered_rig):
    calibrator, result = calibrated
    assert result.ok and result.reference_index == 0
    assert np.array_equal(result.reference_T_camera_list[0], np.eye(4))
    for k in (1, 2):
        assert_pose_close(result.reference_T_camera_list[k], rendered_rig.reference_T_camera[k])
        assert 0 < result.pair_reprojection_errors[k] < 0.5
    assert math.isnan(result.pair_reprojection_errors[0])
    for k in range(3):
        assert 0 < result.intrinsic_reprojection_errors[k] < 0.1
        assert result.distortion_coefficients[k].shape == (1, 5)
        assert np.allclose(result.intrinsic_matrices[k], rendered_rig.camera_matrices[k], atol=3.0)


def test_last_result_is_a_copy_of_the_returned_result(calibrated):
    calibrator, result = calibrated
    again = calibrator.last_result()
    again.reference_T_camera_list[1][0, 3] = 99.0  # the Python list holds copies
    assert calibrator.last_result().reference_T_camera_list[1][0, 3] == result.reference_T_camera_list[1][0, 3]
    for a, b in zip(again.intrinsic_matrices, result.intrinsic_matrices):
        assert np.array_equal(a, b)


def test_default_flags_keep_the_per_camera_intrinsics(calibrated, rendered_rig):
    _, result = calibrated
    options = MultiCameraCalibrator.default_options()
    for k in range(3):
        alone = _velk.IntrinsicCalibrator(rendered_rig.target, options).calibrate(rendered_rig.images[k])
        assert np.allclose(result.intrinsic_matrices[k], alone.intrinsic_matrix, rtol=1e-9, atol=0)
        assert np.allclose(result.distortion_coefficients[k], alone.distortion_coefficients, rtol=1e-7, atol=1e-12)
        assert result.intrinsic_reprojection_errors[k] == pytest.approx(alone.reprojection_error, rel=1e-7)


def test_log_lines_and_printed_report(rendered_rig, capfd):
    calibrator = MultiCameraCalibrator(rendered_rig.target, 3)
    result = calibrator.calibrate(lists(rendered_rig))
    out, err = capfd.readouterr()
    expected = ["[velk][INFO] [MultiCameraCalibrator] Running per-camera intrinsic calibration."]
    for k in range(3):
        expected.append(f"[velk][INFO] [MultiCameraCalibrator] Camera {k}: reprojection error "
                        f"{result.intrinsic_reprojection_errors[k]:.6f}px over 15 frames (15 pass per-view filter)")
    for k in (1, 2):
        expected.append(f"[velk][INFO] [MultiCameraCalibrator] Stereo pair (ref=0, cam={k}): RMS error "
                        f"{result.pair_reprojection_errors[k]:.6f}px over 15 frames")
    assert log_lines(err) == expected
    assert out == calibrator.format_results()


def test_report_sections(calibrated, rendered_rig):
    calibrator, result = calibrated
    text = calibrator.format_results()
    report = calibrator.triangulate(lists(rendered_rig), 0)
    assert text.startswith(f"\n{BAR70}\nPER-CAMERA INTRINSICS\n{BAR70}\n\n[cam_0]  intrinsic RPE: "
                           f"{result.intrinsic_reprojection_errors[0]:g} px\nK =\n[")
    assert f"\n{BAR70}\nEXTRINSICS  -  reference_T_camera  (reference = cam_0)\n{BAR70}\n" \
           "\n[cam_0]  identity (reference)\n" in text
    for k in (1, 2):
        assert f"\n[cam_{k}]  stereo RMS vs reference: {result.pair_reprojection_errors[k]:g} px\n" \
               f"reference_T_cam_{k} =\n[" in text
    tail = (f"\n{BAR70}\nTRIANGULATION VALIDATION  (frame 0)\n{BAR70}\n"
            "  Expected square length: 25 mm\n"
            f"  Co-planarity (3rd SV):  {report.plane_thickness_m * 1000:g} mm\n")
    for k in range(3):
        tail += f"  Reprojection RMS (cam_{k}): {report.rms_per_camera[k]:g} px over 63 corners\n"
    assert text.endswith(tail)
    assert "SUBSET SUMMARY" not in text
    # a distortion row prints as one bracketed row of five numbers
    assert re.search(r"\nd = \[[^;\n]+\]\n", text)


def test_output_path_writes_the_record(calibrated, rendered_rig, tmp_path, monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    calibrator = MultiCameraCalibrator(rendered_rig.target, 2)
    matrices, distortions = given_intrinsics(rendered_rig, [0, 1])
    images = lists(rendered_rig, [0, 1])
    calibrator.calibrate(images, matrices, distortions)
    assert list(tmp_path.iterdir()) == []  # no path: nothing written, not even into the working directory
    capfd.readouterr()

    result = calibrator.calibrate(images, matrices, distortions, tmp_path / "run")
    written = tmp_path / "run" / "multi_camera_calibration.json"
    assert capfd.readouterr().err.endswith(f"[velk][SUCCESS] Saved multi-camera calibration to {written}\n")
    record = _velk.io.load_multi_camera_calibration(written)
    assert (record.reference_index, record.num_cameras) == (0, 2)
    for saved, ours in zip(record.reference_T_camera_list, result.reference_T_camera_list):
        assert np.array_equal(saved, ours)
    for saved, ours in zip(record.intrinsic_matrices, result.intrinsic_matrices):
        assert np.array_equal(saved, ours)
    assert all(math.isnan(e) for e in record.intrinsic_reprojection_errors)
    assert math.isnan(record.pair_reprojection_errors[0])
    assert record.pair_reprojection_errors[1] == result.pair_reprojection_errors[1]

    calibrator.calibrate(images, matrices, distortions, str(tmp_path / "rig.json"))
    assert (tmp_path / "rig.json").is_file()


# --------------------------------------------------------------------------
# Intrinsics: given, computed, refined


def test_given_intrinsics_are_used_and_errors_kept(rendered_rig, capfd):
    calibrator = MultiCameraCalibrator(rendered_rig.target, 3)
    matrices, distortions = given_intrinsics(rendered_rig)
    result = calibrator.calibrate(lists(rendered_rig), matrices, distortions)
    err = capfd.readouterr().err
    assert "Running per-camera intrinsic calibration" not in err and "reprojection error" not in err
    assert result.ok
    for k in range(3):
        assert np.array_equal(result.intrinsic_matrices[k], matrices[k])
        assert np.array_equal(result.distortion_coefficients[k], distortions[k])
        assert math.isnan(result.intrinsic_reprojection_errors[k])
        assert_pose_close(result.reference_T_camera_list[k], rendered_rig.reference_T_camera[k], mm=1.0, deg=0.05)

    computed = calibrator.calibrate(lists(rendered_rig))
    after = calibrator.calibrate(lists(rendered_rig), matrices, distortions)
    assert after.intrinsic_reprojection_errors == computed.intrinsic_reprojection_errors
    assert not any(math.isnan(e) for e in after.intrinsic_reprojection_errors)


def test_intrinsic_failure_keeps_earlier_cameras(rendered_rig):
    images = lists(rendered_rig)
    images[2] = [blank_like(image) for image in images[2]]
    calibrator = MultiCameraCalibrator(rendered_rig.target, 3)
    with pytest.raises(RuntimeError) as info:
        calibrator.calibrate(images)
    assert str(info.value) == "[MultiCameraCalibrator] Intrinsic calibration failed for camera 2"
    stored = calibrator.last_result()
    assert stored.intrinsic_matrices[0].shape == stored.intrinsic_matrices[1].shape == (3, 3)
    assert stored.intrinsic_matrices[2].size == 0 and math.isnan(stored.intrinsic_reprojection_errors[2])
    assert not stored.ok and all(pose.size == 0 for pose in stored.reference_T_camera_list)


def test_intrinsic_guess_flag_refines_intrinsics_pair_by_pair(calibrated, rendered_rig):
    flags = _velk.CALIB_USE_INTRINSIC_GUESS
    _, fixed = calibrated
    three = MultiCameraCalibrator(rendered_rig.target, 3, stereo_calibrate_flags=flags).calibrate(lists(rendered_rig))
    two = MultiCameraCalibrator(rendered_rig.target, 2, stereo_calibrate_flags=flags).calibrate(
        lists(rendered_rig, [0, 1]))
    assert three.ok and two.ok
    for k in range(3):
        assert not np.allclose(three.intrinsic_matrices[k], fixed.intrinsic_matrices[k], rtol=1e-6, atol=0)
        assert np.allclose(three.intrinsic_matrices[k], rendered_rig.camera_matrices[k], atol=3.0)
        assert three.distortion_coefficients[k].shape == (1, 5)
    # camera 1 is refined by its own pair only; the reference once more by the pair with camera 2
    assert np.allclose(three.intrinsic_matrices[1], two.intrinsic_matrices[1], rtol=1e-9, atol=0)
    assert not np.allclose(three.intrinsic_matrices[0], two.intrinsic_matrices[0], rtol=1e-6, atol=0)
    for k in (1, 2):
        assert_pose_close(three.reference_T_camera_list[k], rendered_rig.reference_T_camera[k])


# --------------------------------------------------------------------------
# Triangulation


def test_triangulation_of_frame_zero(calibrated, rendered_rig):
    calibrator, _ = calibrated
    report = calibrator.triangulate(lists(rendered_rig))
    assert report.frame_index == 0
    assert report.points_3d.shape == (63, 3) and report.points_3d.dtype == np.float64
    assert report.ids.shape == (63, 1) and report.ids.dtype == np.int32
    assert np.array_equal(report.ids.ravel(), np.arange(63))
    assert len(report.neighbor_distances_m) == 8 * 7 + 9 * 6
    assert np.max(np.abs(np.array(report.neighbor_distances_m) - 0.025)) < 0.0005
    assert report.plane_thickness_m < 0.001
    assert report.counts_per_camera == [63, 63, 63]
    assert max(report.rms_per_camera) < 0.5
    truth = rig_scene._board_corners(rendered_rig.target) @ rendered_rig.reference_T_target[0][:3, :3].T \
        + rendered_rig.reference_T_target[0][:3, 3]
    assert np.max(np.linalg.norm(report.points_3d - truth, axis=1)) < 0.002


def expected_neighbour_distances(points, ids, per_row):
    row_of = {int(c): i for i, c in enumerate(ids)}
    distances = []
    for c in ids:
        c = int(c)
        if c + 1 in row_of and c % per_row != per_row - 1:
            distances.append(np.linalg.norm(points[row_of[c + 1]] - points[row_of[c]]))
        if c + per_row in row_of:
            distances.append(np.linalg.norm(points[row_of[c + per_row]] - points[row_of[c]]))
    return distances


def test_triangulation_of_part_of_the_board(calibrated, rendered_rig):
    calibrator, _ = calibrated
    kept = rig_scene.markers_for_corner_count(rendered_rig.target, 15)
    images = lists(rendered_rig)
    for k in range(3):
        images[k][0] = rig_scene.with_only_markers(rendered_rig, k, 0, kept)
    report = calibrator.triangulate(images, 0)
    ids = report.ids.ravel()
    assert list(ids) == sorted(rig_scene.corners_with_markers(rendered_rig.target, kept))
    assert report.counts_per_camera == [15, 15, 15]
    # right neighbours stop at the end of a row of 9 corners
    assert report.neighbor_distances_m == pytest.approx(
        expected_neighbour_distances(report.points_3d, ids, 9), rel=1e-12)
    assert 8 in ids and 9 in ids and len(report.neighbor_distances_m) < 2 * len(ids)


def test_triangulation_of_another_frame(calibrated, rendered_rig):
    calibrator, _ = calibrated
    report = calibrator.triangulate(lists(rendered_rig), frame_index=6)
    assert report.frame_index == 6
    truth = rig_scene._board_corners(rendered_rig.target)[report.ids.ravel()] \
        @ rendered_rig.reference_T_target[6][:3, :3].T + rendered_rig.reference_T_target[6][:3, 3]
    assert np.max(np.linalg.norm(report.points_3d - truth, axis=1)) < 0.003


def test_camera_without_the_board(calibrated, rendered_rig, capfd):
    calibrator, _ = calibrated
    images = lists(rendered_rig)
    images[2][3] = blank_like(images[2][3])
    report = calibrator.triangulate(images, 3)
    assert capfd.readouterr().err == "[velk][WARNING] cam_2: detection failed on frame 3\n"
    assert math.isnan(report.rms_per_camera[2]) and report.counts_per_camera[2] == 0
    assert report.counts_per_camera[0] > 0 and report.counts_per_camera[1] > 0


def markers_sharing(target, corners, overlap):
    """Every marker but one or two, chosen so that exactly `overlap` of `corners` stay detectable."""
    every = rig_scene.all_markers(target)
    for dropped in [(a,) for a in every] + [(a, b) for a in every for b in every if a < b]:
        kept = [m for m in every if m not in dropped]
        if len(corners & rig_scene.corners_with_markers(target, kept)) == overlap:
            return kept
    raise ValueError("no such markers")


@pytest.mark.parametrize("overlap", [3, 4])
def test_corners_seen_by_two_cameras_minimum(calibrated, rendered_rig, overlap):
    calibrator, _ = calibrated
    target = rendered_rig.target
    in_one = rig_scene.markers_for_corner_count(target, 5)
    images = lists(rendered_rig)
    images[0][0] = rig_scene.with_only_markers(
        rendered_rig, 0, 0, markers_sharing(target, rig_scene.corners_with_markers(target, in_one), overlap))
    images[1][0] = rig_scene.with_only_markers(rendered_rig, 1, 0, in_one)
    images[2][0] = blank_like(images[2][0])
    if overlap == 3:
        with pytest.raises(RuntimeError) as info:
            calibrator.triangulate(images, 0)
        assert str(info.value) == "MultiCameraCalibrator: only 3 corners visible in >=2 cameras  -  need at least 4."
    else:
        report = calibrator.triangulate(images, 0)
        assert report.points_3d.shape == (4, 3) and report.counts_per_camera == [4, 4, 0]
        assert math.isnan(report.rms_per_camera[2])


@pytest.mark.parametrize("change, message", [
    (lambda images: images[:2], "MultiCameraCalibrator::triangulate: expected 3 image lists, got 2"),
    (lambda images: [images[0], images[1][:15], images[2][:14]],
     "MultiCameraCalibrator::triangulate: image list 2 has no frame 14"),
])
def test_triangulate_refuses_lists_without_the_frame(calibrated, rendered_rig, change, message, capfd):
    calibrator, _ = calibrated
    with pytest.raises(ValueError) as info:
        calibrator.triangulate(change(lists(rendered_rig)), 14)
    assert str(info.value) == message
    assert capfd.readouterr().err == ""


def test_triangulate_refuses_a_negative_frame(calibrated, rendered_rig):
    calibrator, _ = calibrated
    with pytest.raises(ValueError) as info:
        calibrator.triangulate(lists(rendered_rig), -1)
    assert str(info.value) == "MultiCameraCalibrator::triangulate: frame_index must be >= 0, got -1"


def test_failed_validation_keeps_the_calibration(rendered_rig, capfd):
    images = lists(rendered_rig, [0, 1])
    images[1][0] = blank_like(images[1][0])
    matrices, distortions = given_intrinsics(rendered_rig, [0, 1])
    calibrator = MultiCameraCalibrator(rendered_rig.target, 2)
    result = calibrator.calibrate(images, matrices, distortions)
    out, err = capfd.readouterr()
    assert result.ok
    assert ("[velk][WARNING] [MultiCameraCalibrator] Triangulation validation skipped: MultiCameraCalibrator: only "
            "0 corners visible in >=2 cameras  -  need at least 4.\n") in err
    assert "TRIANGULATION VALIDATION" not in out and out == calibrator.format_results()
