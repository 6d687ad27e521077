"""Identical input gives bit-identical results, run after run, at the default thread count."""

import numpy as np
import pytest

import _velk
from _velk import EyeInHandCalibrator, IntrinsicCalibrator, MultiCameraCalibrator

cv2 = pytest.importorskip("cv2")

RUNS = 4


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.fixture(autouse=True)
def several_threads():
    """Threaded detection and the default pool around the solvers, where the last bits used to move."""
    before = _velk.get_num_threads()
    _velk.set_num_threads(max(before, 2))
    yield
    _velk.set_num_threads(before)


@pytest.mark.parametrize("kind", ["chessboard", "charuco", "aruco"])
def test_intrinsic_calibration_repeats_bit_for_bit(kind, rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene(kind)
    images = [v.image for v in views]
    results = [IntrinsicCalibrator(target).calibrate(images) for _ in range(RUNS)]
    first = results[0]
    assert first.ok
    for other in results[1:]:
        for field in ("intrinsic_matrix", "distortion_coefficients", "std_deviations_intrinsics",
                      "std_deviations_extrinsics"):
            assert same_bits(getattr(first, field), getattr(other, field)), field
        assert other.per_view_errors == first.per_view_errors
        assert other.reprojection_error == first.reprojection_error
        assert other.low_view_error_indices == first.low_view_error_indices


def test_multi_camera_calibration_repeats_bit_for_bit(rendered_rig):
    from rig_scene import image_lists

    lists = image_lists(rendered_rig)
    flags = _velk.CALIB_USE_INTRINSIC_GUESS
    results = [MultiCameraCalibrator(rendered_rig.target, 3, 0, MultiCameraCalibrator.default_options(),
                                     flags).calibrate(lists) for _ in range(3)]
    first = results[0]
    assert first.ok
    for other in results[1:]:
        for k in range(3):
            assert same_bits(first.reference_T_camera_list[k], other.reference_T_camera_list[k])
            assert same_bits(first.intrinsic_matrices[k], other.intrinsic_matrices[k])
            assert same_bits(first.distortion_coefficients[k], other.distortion_coefficients[k])
        assert same_bits(first.pair_reprojection_errors, other.pair_reprojection_errors)


@pytest.mark.parametrize("method", ["TSAI", "DANIILIDIS"])
def test_hand_eye_calibration_repeats_bit_for_bit(eye_in_hand_scene, method, capfd):
    scene = eye_in_hand_scene
    results = [EyeInHandCalibrator(scene.target).calibrate(scene.robot_T_tcp_list, scene.images, method)
               for _ in range(3)]
    assert results[0].ok
    for other in results[1:]:
        assert same_bits(results[0].tcp_T_camera, other.tcp_T_camera)
        assert same_bits(results[0].intrinsic_matrix, other.intrinsic_matrix)
        assert other.consistency.translation_deviations_m == results[0].consistency.translation_deviations_m
        assert all(same_bits(a, b) for a, b in zip(results[0].camera_T_target_list, other.camera_T_target_list))
