"""Multi-camera calibration of a rendered three-camera rig with known poses: accuracy, log lines,
frame and corner selection, intrinsics handling, triangulation, subsets and the report."""

import math
import re

import numpy as np
import pytest

import _velk
from _velk import MultiCameraCalibrator

cv2 = pytest.importorskip("cv2")
rig_scene = pytest.importorskip("rig_scene")

BAR70 = "=" * 70
BAR90 = "=" * 90


def rotation_error_deg(a, b):
    relative = a[:3, :3].T @ b[:3, :3]
    return math.degrees(math.acos(np.clip((np.trace(relative) - 1) / 2, -1.0, 1.0)))


def assert_pose_close(found, true, mm=2.0, deg=0.1):
    assert found.shape == (4, 4) and found.dtype == np.float64
    assert np.linalg.norm(found[:3, 3] - true[:3, 3]) * 1000 < mm
    assert rotation_error_deg(found, true) < deg
    assert np.array_equal(found[3], [0, 0, 0, 1])


def lists(scene, cameras=None):
    cameras = range(len(scene.images)) if cameras is None else cameras
    return [list(scene.images[k]) for k in cameras]


def given_intrinsics(scene, cameras=None):
    cameras = range(len(scene.images)) if cameras is None else cameras
    return [scene.camera_matrices[k] for k in cameras], [scene.distortions[k].reshape(1, -1) for k in cameras]


def blank_like(image):
    return np.full_like(image, 90)


def log_lines(err):
    return [line for line in err.splitlines() if line.startswith("[velk]")]


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
# Frame selection


def test_per_view_filter_narrows_the_shared_frames(rendered_rig, capfd):
    probe = _velk.IntrinsicCalibrator(rendered_rig.target, MultiCameraCalibrator.default_options())
    errors = [probe.calibrate(rendered_rig.images[k]).per_view_errors for k in (0, 1)]
    options = MultiCameraCalibrator.default_options()
    ordered = sorted(errors[1])
    options.per_view_error_threshold = (ordered[7] + ordered[8]) / 2  # away from any error value
    passing = [{f for f, e in enumerate(camera) if e <= options.per_view_error_threshold} for camera in errors]
    shared = len(passing[0] & passing[1])
    assert 4 <= shared < 15

    result = MultiCameraCalibrator(rendered_rig.target, 2, options=options).calibrate(lists(rendered_rig, [0, 1]))
    lines = log_lines(capfd.readouterr().err)
    for k in (0, 1):
        assert lines[1 + k].endswith(f"px over 15 frames ({len(passing[k])} pass per-view filter)")
    assert lines[3:] == [
        f"[velk][INFO] [MultiCameraCalibrator] Pair (ref=0, cam=1): 15 frames detected in both cameras -> {shared} "
        "after per-view intrinsic-error filter",
        f"[velk][INFO] [MultiCameraCalibrator] Stereo pair (ref=0, cam=1): RMS error "
        f"{result.pair_reprojection_errors[1]:.6f}px over {shared} frames"]


def test_no_view_under_the_threshold_means_all_frames(rendered_rig, capfd):
    options = MultiCameraCalibrator.default_options()
    options.per_view_error_threshold = 0.0
    result = MultiCameraCalibrator(rendered_rig.target, 2, options=options).calibrate(lists(rendered_rig, [0, 1]))
    lines = log_lines(capfd.readouterr().err)
    for k in (0, 1):
        assert (f"[velk][WARNING] [MultiCameraCalibrator] Camera {k}: reprojection error "
                f"{result.intrinsic_reprojection_errors[k]:.6f}px over 15 frames (no frames pass per-view filter  -  "
                "stereo will use ALL)") in lines
    assert lines[-1].endswith("px over 15 frames") and not any("Pair (ref" in line for line in lines)
    assert result.ok


@pytest.mark.parametrize("frames_seen", [3, 4])
def test_shared_frame_minimum(rendered_rig, frames_seen, capfd):
    images = lists(rendered_rig, [0, 1])
    images[1] = images[1][:frames_seen] + [blank_like(image) for image in images[1][frames_seen:]]
    matrices, distortions = given_intrinsics(rendered_rig, [0, 1])
    calibrator = MultiCameraCalibrator(rendered_rig.target, 2)
    result = calibrator.calibrate(images, matrices, distortions)
    out, err = capfd.readouterr()
    if frames_seen == 3:
        assert ("[velk][ERROR] [MultiCameraCalibrator] Only 3 shared detections between reference camera 0 and "
                "camera 1; skipping pair.\n") in err
        assert not result.ok and result.reference_T_camera_list[1].size == 0
        assert math.isnan(result.pair_reprojection_errors[1])
        assert "[cam_1]  FAILED  -  too few shared detections with cam_0\n" in out
        assert "TRIANGULATION" not in out and "Triangulation" not in err
    else:
        assert "Only " not in err and err.endswith("px over 4 frames\n")
        assert result.ok and "TRIANGULATION VALIDATION  (frame 0)" in out
        assert_pose_close(result.reference_T_camera_list[1], rendered_rig.reference_T_camera[1], mm=3.0, deg=0.2)


def test_a_skipped_pair_does_not_keep_an_earlier_pose(rendered_rig, capfd):
    matrices, distortions = given_intrinsics(rendered_rig, [0, 1])
    calibrator = MultiCameraCalibrator(rendered_rig.target, 2)
    assert calibrator.calibrate(lists(rendered_rig, [0, 1]), matrices, distortions).ok
    assert "TRIANGULATION VALIDATION" in calibrator.format_results()
    images = lists(rendered_rig, [0, 1])
    images[1] = [blank_like(image) for image in images[1]]
    result = calibrator.calibrate(images, matrices, distortions)
    assert not result.ok and result.reference_T_camera_list[1].size == 0
    assert math.isnan(result.pair_reprojection_errors[1])
    text = calibrator.format_results()
    assert "FAILED" in text and "TRIANGULATION VALIDATION" not in text
    assert "Only 0 shared detections" in capfd.readouterr().err


@pytest.mark.parametrize("corners", [14, 15])
def test_common_corner_minimum(rendered_rig, corners, capfd):
    target = rendered_rig.target
    kept = rig_scene.markers_for_corner_count(target, corners)
    masked = rig_scene.with_only_markers(rendered_rig, 1, 0, kept)
    seen = _velk.IntrinsicCalibrator(target).find_corners([masked]).point_ids[0].ravel()
    assert sorted(seen) == sorted(rig_scene.corners_with_markers(target, kept))  # what the test relies on
    images = lists(rendered_rig, [0, 1])
    images[1][0] = masked
    matrices, distortions = given_intrinsics(rendered_rig, [0, 1])
    capfd.readouterr()
    result = MultiCameraCalibrator(target, 2).calibrate(images, matrices, distortions)
    err = capfd.readouterr().err
    warning = ("[velk][WARNING] [MultiCameraCalibrator] Frame 0: only 14 corners shared between ref (cam 0) and "
               "cam 1; dropping from pair.\n")
    assert (warning in err) == (corners == 14)
    assert err.endswith(f"px over {15 if corners == 15 else 14} frames\n")
    assert result.ok


def test_no_frame_with_enough_common_corners_skips_the_pair(rendered_rig, capfd):
    target = rendered_rig.target
    kept = rig_scene.markers_for_corner_count(target, 14)
    images = lists(rendered_rig, [0, 1])
    images[1] = [rig_scene.with_only_markers(rendered_rig, 1, f, kept) for f in range(15)]
    matrices, distortions = given_intrinsics(rendered_rig, [0, 1])
    capfd.readouterr()
    result = MultiCameraCalibrator(target, 2).calibrate(images, matrices, distortions)
    err = capfd.readouterr().err
    assert err.count("corners shared between ref (cam 0) and cam 1; dropping from pair.") == 15
    assert err.endswith("[velk][ERROR] [MultiCameraCalibrator] No usable frames after per-corner intersection between "
                        "reference camera 0 and camera 1; skipping pair.\n")
    assert not result.ok and result.reference_T_camera_list[1].size == 0


def test_another_reference_camera(rendered_rig):
    matrices, distortions = given_intrinsics(rendered_rig)
    result = MultiCameraCalibrator(rendered_rig.target, 3, reference_index=2).calibrate(
        lists(rendered_rig), matrices, distortions)
    assert result.ok and result.reference_index == 2
    assert np.array_equal(result.reference_T_camera_list[2], np.eye(4))
    assert math.isnan(result.pair_reprojection_errors[2])
    truth_2 = rendered_rig.reference_T_camera[2]
    for k in (0, 1):
        assert_pose_close(result.reference_T_camera_list[k],
                          np.linalg.inv(truth_2) @ rendered_rig.reference_T_camera[k], mm=1.0, deg=0.05)


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


# --------------------------------------------------------------------------
# Subsets


def test_subsets_of_three_cameras(calibrated, rendered_rig, capfd):
    calibrator = MultiCameraCalibrator(rendered_rig.target, 3)
    full = calibrator.calibrate(lists(rendered_rig))
    capfd.readouterr()
    subsets = calibrator.calibrate_subsets(lists(rendered_rig))
    out, err = capfd.readouterr()
    assert [s.subset for s in subsets] == [[0, 1], [0, 2], [1, 2], [0, 1, 2]]
    assert [line for line in log_lines(err) if "Calibrating subset" in line] == \
        ["[velk][INFO] Calibrating subset of size 2"] * 3 + ["[velk][INFO] Calibrating subset of size 3"]
    assert out.count("PER-CAMERA INTRINSICS") == 4  # every nested calibration prints its report
    for entry in subsets:
        assert entry.result.ok and entry.result.reference_index == 0 and entry.has_triangulation
        assert len(entry.result.reference_T_camera_list) == len(entry.subset)
        assert entry.triangulation.frame_index == 0 and entry.triangulation.plane_thickness_m < 0.002
    assert np.allclose(subsets[1].result.reference_T_camera_list[1], full.reference_T_camera_list[2],
                       rtol=1e-6, atol=1e-9)
    between = np.linalg.inv(rendered_rig.reference_T_camera[1]) @ rendered_rig.reference_T_camera[2]
    assert_pose_close(subsets[2].result.reference_T_camera_list[1], between)

    summary = f"\n{BAR90}\nSUBSET SUMMARY\n{BAR90}\n"
    for entry in subsets:
        names = ", ".join(f"cam_{k}" for k in entry.subset)
        summary += f"({names}): ok=yes  plane_thickness_mm={entry.triangulation.plane_thickness_m * 1000:g}\n"
    assert calibrator.format_results().endswith(summary)

    calibrator.calibrate(lists(rendered_rig))
    assert calibrator.format_results().endswith(summary)  # survives later calibrations
    assert calibrator.calibrate_subsets(lists(rendered_rig), [4]) == []
    assert "SUBSET SUMMARY" not in calibrator.format_results()


def test_subset_sizes_in_the_given_order(rendered_rig):
    images = [frames[:8] for frames in lists(rendered_rig)]
    calibrator = MultiCameraCalibrator(rendered_rig.target, 3)
    subsets = calibrator.calibrate_subsets(images, [3, 2], frame_index=2)
    assert [s.subset for s in subsets] == [[0, 1, 2], [0, 1], [0, 2], [1, 2]]
    assert all(s.has_triangulation and s.triangulation.frame_index == 2 for s in subsets)
    assert not calibrator.last_result().ok  # the rig itself was never calibrated
    assert "SUBSET SUMMARY" in calibrator.format_results()


def test_subset_without_triangulation(rendered_rig, capfd):
    images = lists(rendered_rig)
    images[1][0] = blank_like(images[1][0])
    images[2][0] = blank_like(images[2][0])
    calibrator = MultiCameraCalibrator(rendered_rig.target, 3)
    subsets = calibrator.calibrate_subsets([frames[:10] for frames in images], [2])
    err = capfd.readouterr().err
    assert [s.has_triangulation for s in subsets] == [False, False, False]
    assert err.count("[velk][WARNING] Triangulation failed for subset: MultiCameraCalibrator: only 0 corners "
                     "visible in >=2 cameras  -  need at least 4.\n") == 3
    assert all(s.result.ok for s in subsets)
    assert calibrator.format_results().endswith("(cam_0, cam_1): ok=yes\n(cam_0, cam_2): ok=yes\n(cam_1, cam_2): ok=yes\n")
