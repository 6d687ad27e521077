"""Multi-camera calibrator: construction, argument checks, records and the report of a fresh calibrator."""

import math

import numpy as np
import pytest

import _velk
from _velk import ArucoTarget, CharucoTarget, ChessboardTarget, MultiCameraCalibrator

BAR70 = "=" * 70
CHARUCO = CharucoTarget(5, 7, 0.04, 0.03)


def blank(count, shape=(48, 64, 3)):
    return [np.full(shape, 128, np.uint8) for _ in range(count)]


def test_module_constants_are_opencv_flags():
    cv2 = pytest.importorskip("cv2")
    assert _velk.CALIB_FIX_INTRINSIC == cv2.CALIB_FIX_INTRINSIC == 256
    assert _velk.CALIB_USE_INTRINSIC_GUESS == cv2.CALIB_USE_INTRINSIC_GUESS == 1


def test_registration_order():
    names = list(vars(_velk))
    order = ["CALIB_FIX_INTRINSIC", "CALIB_USE_INTRINSIC_GUESS", "TriangulationReport", "MultiCameraResult",
             "SubsetResult", "MultiCameraCalibrator"]
    positions = [names.index(name) for name in order]
    assert positions == sorted(positions)
    assert names.index("EyeInHandCalibrator") < positions[0]


@pytest.mark.parametrize("cls, doc", [
    (_velk.MultiCameraResult, "Result of MultiCameraCalibrator.calibrate()."),
    (_velk.TriangulationReport, "Triangulation validation report for one synchronized frame."),
    (_velk.SubsetResult, "Result of one entry of MultiCameraCalibrator.calibrate_subsets()."),
    (MultiCameraCalibrator, "Multi-camera extrinsic calibrator built on cv::stereoCalibrate."),
])
def test_docstrings(cls, doc):
    assert cls.__doc__ == doc


@pytest.mark.parametrize("cls", [_velk.MultiCameraResult, _velk.TriangulationReport, _velk.SubsetResult])
def test_records_have_no_python_constructor(cls):
    with pytest.raises(TypeError):
        cls()


def test_default_options():
    options = MultiCameraCalibrator.default_options()
    plain = _velk.IntrinsicOptions()
    assert (options.criteria.type, options.criteria.max_count, options.criteria.epsilon) == (3, 30, 1e-6)
    assert options.per_view_error_threshold == 3.0
    for field in ("chessboard_corner_detector", "chessboard_flags", "fallback_searches",
                  "sub_pixel_detection_window_size",
                  "sub_pixel_detection_zero_zone_size", "calibrate_camera_method", "calibrate_camera_flags",
                  "index_of_fixed_3d_point", "intrinsic_matrix_guess", "distortion_coefficients_guess"):
        assert getattr(options, field) == getattr(plain, field)


@pytest.mark.parametrize("num_cameras, reference_index, message", [
    (1, 0, "MultiCameraCalibrator: num_cameras must be >= 2, got 1"),
    (0, 0, "MultiCameraCalibrator: num_cameras must be >= 2, got 0"),
    (-3, 0, "MultiCameraCalibrator: num_cameras must be >= 2, got -3"),
    (3, 3, "MultiCameraCalibrator: reference_index out of range for 3 cameras"),
    (3, -1, "MultiCameraCalibrator: reference_index out of range for 3 cameras"),
    (2, 7, "MultiCameraCalibrator: reference_index out of range for 2 cameras"),
])
def test_constructor_checks(num_cameras, reference_index, message):
    with pytest.raises(ValueError) as info:
        MultiCameraCalibrator(CHARUCO, num_cameras, reference_index)
    assert str(info.value) == message


@pytest.mark.parametrize("target", [CHARUCO, ChessboardTarget((9, 6), 0.025), ArucoTarget((4, 5), 0.04, 0.01)])
def test_accessors(target):
    calibrator = MultiCameraCalibrator(target, 4, reference_index=2)
    assert calibrator.num_cameras() == 4 and calibrator.reference_index() == 2
    assert type(calibrator.target()) is type(target)
    assert str(calibrator.target()) == str(target)


def test_fresh_last_result():
    result = MultiCameraCalibrator(CHARUCO, 3, 1).last_result()
    assert not result.ok and result.reference_index == 1
    for matrices in (result.reference_T_camera_list, result.intrinsic_matrices, result.distortion_coefficients):
        assert len(matrices) == 3 and all(m.size == 0 for m in matrices)
    for errors in (result.intrinsic_reprojection_errors, result.pair_reprojection_errors):
        assert len(errors) == 3 and all(math.isnan(e) for e in errors)


def test_fresh_report():
    calibrator = MultiCameraCalibrator(CHARUCO, 3, 1)
    expected = f"\n{BAR70}\nPER-CAMERA INTRINSICS\n{BAR70}\n"
    for i in range(3):
        expected += f"\n[cam_{i}]  intrinsic RPE: nan px\nK =\n[]\nd = []\n"
    expected += f"\n{BAR70}\nEXTRINSICS  -  reference_T_camera  (reference = cam_1)\n{BAR70}\n"
    expected += "\n[cam_0]  FAILED  -  too few shared detections with cam_1\n"
    expected += "\n[cam_1]  identity (reference)\n"
    expected += "\n[cam_2]  FAILED  -  too few shared detections with cam_1\n"
    assert calibrator.format_results() == expected


def test_print_results_writes_the_report_unchanged(capfd):
    calibrator = MultiCameraCalibrator(CHARUCO, 2)
    assert calibrator.print_results() is None
    out, err = capfd.readouterr()
    assert out == calibrator.format_results() and err == ""


@pytest.mark.parametrize("image_lists, message", [
    ([blank(5), blank(5)], "MultiCameraCalibrator: expected 3 image lists, got 2"),
    ([blank(5), blank(6)], "MultiCameraCalibrator: expected 3 image lists, got 2"),
    ([blank(5), blank(6), blank(5)], "MultiCameraCalibrator: all cameras must have the same number of frames"),
    ([blank(5), blank(5), blank(6)], "MultiCameraCalibrator: all cameras must have the same number of frames"),
    ([[], blank(1), []], "MultiCameraCalibrator: all cameras must have the same number of frames"),
    ([[], [], []], "MultiCameraCalibrator: empty image lists"),
    ([blank(2)] * 4, "MultiCameraCalibrator: expected 3 image lists, got 4"),
])
def test_image_list_checks(image_lists, message, capfd):
    with pytest.raises(ValueError) as info:
        MultiCameraCalibrator(CHARUCO, 3).calibrate(image_lists)
    assert str(info.value) == message
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("count", [2, 4])
def test_intrinsics_count_check(count, capfd):
    matrices = [np.eye(3)] * count
    distortions = [np.zeros((1, 5))] * count
    with pytest.raises(ValueError) as info:
        MultiCameraCalibrator(CHARUCO, 3).calibrate([blank(2)] * 3, matrices, distortions)
    assert str(info.value) == "MultiCameraCalibrator: expected 3 intrinsic matrices/distortion coefficient sets"
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("matrices, distortions", [
    ([np.eye(3)] * 3, []),
    ([], [np.zeros((1, 5))] * 3),
    ([np.eye(3)] * 2, []),  # a count that would be refused is ignored when intrinsics are computed
])
def test_one_empty_intrinsics_list_means_computed_intrinsics(matrices, distortions, capfd):
    calibrator = MultiCameraCalibrator(CHARUCO, 3)
    with pytest.raises(RuntimeError) as info:
        calibrator.calibrate([blank(2)] * 3, matrices, distortions)
    assert str(info.value) == "[MultiCameraCalibrator] Intrinsic calibration failed for camera 0"
    err = capfd.readouterr().err
    assert err.startswith("[velk][INFO] [MultiCameraCalibrator] Running per-camera intrinsic calibration.\n")
    # camera 0 stopped the run: nothing was detected in any other camera
    assert err.count("Not enough ChArUco corners") == 2
    assert all(m.size == 0 for m in calibrator.last_result().intrinsic_matrices)


def test_triangulate_needs_a_calibration_first():
    for target in (CHARUCO, ChessboardTarget((9, 6), 0.025)):
        with pytest.raises(RuntimeError) as info:
            MultiCameraCalibrator(target, 2).triangulate([blank(1), blank(1)])
        assert str(info.value) == "MultiCameraCalibrator: run calibrate() before triangulate()."


def test_subsets_need_one_list_per_camera():
    with pytest.raises(ValueError) as info:
        MultiCameraCalibrator(CHARUCO, 3).calibrate_subsets([blank(2)] * 2, [4])
    assert str(info.value) == "MultiCameraCalibrator: expected 3 image lists, got 2"


def test_subset_size_larger_than_the_rig_is_skipped(capfd):
    calibrator = MultiCameraCalibrator(CHARUCO, 3)
    assert calibrator.calibrate_subsets([blank(2)] * 3, [4, 5]) == []
    assert capfd.readouterr().err == ("[velk][WARNING] Skipping subsets of size 4: only 3 cameras.\n"
                                      "[velk][WARNING] Skipping subsets of size 5: only 3 cameras.\n")
    assert "SUBSET SUMMARY" not in calibrator.format_results()


@pytest.mark.parametrize("size", [0, 1])
def test_subset_size_below_two_fails_in_the_sub_rig(size, capfd):
    with pytest.raises(ValueError) as info:
        MultiCameraCalibrator(CHARUCO, 3).calibrate_subsets([blank(2)] * 3, [size])
    assert str(info.value) == f"MultiCameraCalibrator: num_cameras must be >= 2, got {size}"
    assert capfd.readouterr().err == f"[velk][INFO] Calibrating subset of size {size}\n"


def test_negative_subset_size_is_refused(capfd):
    with pytest.raises(ValueError) as info:
        MultiCameraCalibrator(CHARUCO, 3).calibrate_subsets([blank(2)] * 3, [-1])
    assert str(info.value) == "MultiCameraCalibrator: subset size must not be negative, got -1"
    assert capfd.readouterr().err == ""
