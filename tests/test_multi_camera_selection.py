"""Multi-camera calibration of a rendered rig: which frames and corners enter each stereo pair, and
calibration of camera subsets."""

import math

import numpy as np
import pytest

import _velk
from _velk import MultiCameraCalibrator

cv2 = pytest.importorskip("cv2")
rig_scene = pytest.importorskip("rig_scene")
from rig_scene import assert_pose_close, blank_like, given_intrinsics, log_lines  # noqa: E402
from rig_scene import image_lists as lists  # noqa: E402

BAR90 = "=" * 90


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
# Subsets


def test_subsets_of_three_cameras(rendered_rig, capfd):
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
