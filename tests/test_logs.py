"""Where the library's log lines go: a sink of the caller's, Python's logging, or standard error."""

import logging

import numpy as np
import pytest

import _velk
from quorvane.velk import logs

BLANK = np.full((40, 60, 3), 255, np.uint8)


def _not_found_twice():
    _velk.IntrinsicCalibrator(_velk.ChessboardTarget((9, 6), 0.025)).find_corners([BLANK, BLANK])


@pytest.fixture
def own_sink():
    yield
    logs.install()


def test_a_sink_receives_level_component_and_message_and_none_restores_standard_error(own_sink, capfd):
    heard = []
    _velk.set_log_sink(lambda level, component, message: heard.append((level, component, message)))
    _not_found_twice()
    assert heard == [(2, "IntrinsicCalibrator", f"[IntrinsicCalibrator] Chessboard not found in image {k}")
                     for k in (0, 1)]
    assert capfd.readouterr().err == ""
    _velk.set_log_sink(None)
    _not_found_twice()
    assert capfd.readouterr().err.splitlines() == [
        f"[velk][WARNING] [IntrinsicCalibrator] Chessboard not found in image {k}" for k in (0, 1)]


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # the sink's error, reported
def test_a_sink_that_raises_loses_no_line_and_breaks_nothing(own_sink, capfd):
    def broken(level, component, message):
        raise RuntimeError("sink down")

    _velk.set_log_sink(broken)
    _not_found_twice()
    err = capfd.readouterr().err
    assert err.count("[velk][WARNING] [IntrinsicCalibrator] Chessboard not found in image") == 2


def test_the_package_hands_lines_to_logging_and_prints_them_as_the_library_does(capfd):
    records = []
    keep = logging.Handler()
    keep.emit = records.append
    logs.LOGGER.addHandler(keep)
    try:
        _not_found_twice()
    finally:
        logs.LOGGER.removeHandler(keep)
    assert [(r.levelno, r.velk_component, r.velk_level) for r in records] == [
        (logging.WARNING, "IntrinsicCalibrator", "WARNING")] * 2
    assert logging.getLevelName(logs.SUCCESS) == "SUCCESS"
    assert capfd.readouterr().err.splitlines() == [
        f"[velk][WARNING] [IntrinsicCalibrator] Chessboard not found in image {k}" for k in (0, 1)]


def test_the_pictures_a_calibration_did_not_use_are_fields_of_its_result(eye_in_hand_scene):
    """What the log says of a picture without the board is also data: its position, its name and the reason."""
    scene = eye_in_hand_scene
    images = list(scene.images)
    images[3] = np.full_like(images[3], 255)
    options = _velk.IntrinsicOptions()
    options.image_names = [f"image_{k}.png" for k in range(len(images))]
    result = _velk.EyeInHandCalibrator(scene.target, options).calibrate(scene.robot_T_tcp_list, images,
                                                                         print_report=False)
    assert result.ok and 3 not in result.image_indices
    assert [(s.index, s.name, s.reason) for s in result.skipped_pictures if s.index == 3] == [
        (3, "image_3.png", "Not enough ChArUco corners")]
    assert list(result.image_names) == options.image_names
    used = set(result.image_indices) | {s.index for s in result.skipped_pictures}
    assert used == set(range(len(images)))
    assert not set(result.image_indices) & {s.index for s in result.skipped_pictures}


def test_detection_names_the_pictures_it_skipped_as_data():
    found = _velk.IntrinsicCalibrator(_velk.ChessboardTarget((9, 6), 0.025)).find_corners([BLANK, BLANK])
    assert list(found.skipped_indices) == [0, 1] and list(found.skipped_reasons) == ["Chessboard not found"] * 2
