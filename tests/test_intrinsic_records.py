"""Options, detections and result records of intrinsic calibration."""

import numpy as np
import pytest

import _velk
from _velk import ChessboardTarget, IntrinsicCalibrator, IntrinsicOptions, TermCriteria


def test_term_criteria_constants():
    assert (_velk.TERM_CRITERIA_COUNT, _velk.TERM_CRITERIA_MAX_ITER, _velk.TERM_CRITERIA_EPS) == (1, 1, 2)


def test_default_options():
    o = IntrinsicOptions()
    assert (o.criteria.type, o.criteria.max_count, o.criteria.epsilon) == (3, 30, 0.001)
    assert o.chessboard_corner_detector == "Default"
    assert o.chessboard_flags == 0
    assert o.sub_pixel_detection_window_size == 11
    assert o.sub_pixel_detection_zero_zone_size == -1
    assert o.calibrate_camera_method == "Default"
    assert o.calibrate_camera_flags == 0
    assert o.index_of_fixed_3d_point == 0
    assert o.intrinsic_matrix_guess is None and o.distortion_coefficients_guess is None
    assert o.per_view_error_threshold == 1.0


def test_criteria_is_a_live_view():
    o = IntrinsicOptions()
    o.criteria.max_count = 100
    o.criteria.epsilon = 1e-9
    assert (o.criteria.max_count, o.criteria.epsilon) == (100, 1e-9)
    o.criteria = TermCriteria(type=1, max_count=7, epsilon=0.5)
    assert (o.criteria.type, o.criteria.max_count, o.criteria.epsilon) == (1, 7, 0.5)


def test_guesses_can_be_set_and_cleared():
    o = IntrinsicOptions()
    k = np.array([[1000.0, 0, 640], [0, 1000, 480], [0, 0, 1]])
    o.intrinsic_matrix_guess = k
    got = o.intrinsic_matrix_guess
    assert np.array_equal(got, k)
    got[0, 0] = 1.0
    assert o.intrinsic_matrix_guess[0, 0] == 1000.0
    o.intrinsic_matrix_guess = None
    assert o.intrinsic_matrix_guess is None


@pytest.mark.parametrize("cls", [_velk.TargetDetections, _velk.IntrinsicResult])
def test_records_have_no_python_constructor(cls):
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize("field", ["successful_indices", "image_points"])
def test_result_properties_are_read_only(field, left_photos):
    result = IntrinsicCalibrator(ChessboardTarget((9, 6), 0.025)).calibrate(left_photos[:1] * 0)
    with pytest.raises(AttributeError):
        setattr(result, field, [])


def test_fresh_calibrator_state():
    target = ChessboardTarget((9, 6), 0.025)
    options = IntrinsicOptions()
    options.per_view_error_threshold = 0.5
    cal = IntrinsicCalibrator(target, options)
    target.square_size = 1.0
    options.per_view_error_threshold = 9.0
    assert cal.target().square_size == 0.025
    assert isinstance(cal.target(), ChessboardTarget)
    assert cal.options().per_view_error_threshold == 0.5
    copy = cal.options()
    copy.per_view_error_threshold = 3.0
    assert cal.options().per_view_error_threshold == 0.5
    assert cal.corner_images() == []
    d = cal.detections()
    assert d.successful_indices == [] and d.image_points == [] and d.annotated_images == []


@pytest.mark.parametrize(
    "target",
    [ChessboardTarget((9, 6), 0.025), _velk.CharucoTarget(5, 7, 0.04, 0.03), _velk.ArucoTarget((4, 5), 0.04, 0.01)],
)
def test_calibrator_keeps_target_kind(target):
    assert type(IntrinsicCalibrator(target).target()) is type(target)


def test_calibrator_refuses_non_target():
    with pytest.raises(TypeError):
        IntrinsicCalibrator("chessboard")
