"""Detection across images on the library's OpenCV thread pool: the same detections and log
lines as on one thread, progress reported on the calling thread, the thread count setting."""

import threading

import numpy as np
import pytest

import _velk
from _velk import (
    CalibrationBenchmark,
    EyeInHandCalibrator,
    IntrinsicCalibrator,
    IntrinsicOptions,
    MultiCameraCalibrator,
)

cv2 = pytest.importorskip("cv2")

KINDS = ["chessboard", "charuco", "aruco"]


@pytest.fixture
def restore_threads():
    before = _velk.get_num_threads()
    yield
    _velk.set_num_threads(before)


def with_blanks(images):
    """The views with blank pictures among them, so that detection has warnings to log."""
    blank = np.full_like(images[0], 180)
    return [blank] + images[:3] + [blank, blank] + images[3:6] + [blank]


def detections_on(threads, calibrator, images, capfd):
    _velk.set_num_threads(threads)
    capfd.readouterr()
    detections = calibrator.find_corners(images)
    return detections, capfd.readouterr().err


def assert_same_detections(a, b):
    assert a.successful_indices == b.successful_indices
    for field in ("image_points", "object_points", "point_ids", "annotated_images"):
        first, second = getattr(a, field), getattr(b, field)
        assert len(first) == len(second)
        for x, y in zip(first, second):
            assert x.dtype == y.dtype and np.array_equal(x, y)


@pytest.mark.parametrize("kind", KINDS)
def test_parallel_detection_equals_one_thread(kind, rendered_intrinsic_scene, capfd, restore_threads):
    target, views = rendered_intrinsic_scene(kind)
    images = with_blanks([v.image for v in views])
    calibrator = IntrinsicCalibrator(target)
    alone, alone_log = detections_on(1, calibrator, images, capfd)
    together, together_log = detections_on(4, calibrator, images, capfd)
    assert_same_detections(alone, together)
    assert together_log == alone_log
    assert alone.successful_indices == [1, 2, 3, 6, 7, 8]
    assert alone_log.count("[velk][WARNING]") == 4
    skipped = [int(line.rsplit(" ", 1)[1]) for line in alone_log.splitlines()]
    assert skipped == [0, 4, 5, 9]


@pytest.mark.parametrize("kind", KINDS)
def test_calibration_with_a_callback_reports_every_image(kind, rendered_intrinsic_scene, restore_threads):
    target, views = rendered_intrinsic_scene(kind)
    images = with_blanks([v.image for v in views[:12]])
    _velk.set_num_threads(2)
    plain = IntrinsicCalibrator(target).calibrate(images)
    calls = []
    options = IntrinsicOptions()
    options.progress_callback = lambda done, total: calls.append((done, total, threading.get_ident()))
    reported = IntrinsicCalibrator(target, options).calibrate(images)
    assert np.array_equal(reported.intrinsic_matrix, plain.intrinsic_matrix)
    assert reported.per_view_errors == plain.per_view_errors
    assert reported.successful_indices == plain.successful_indices
    done = [c[0] for c in calls]
    assert done == sorted(set(done)) and done[-1] == len(images)
    assert all(c[1] == len(images) for c in calls)
    assert {c[2] for c in calls} == {threading.get_ident()}


def test_progress_comes_in_chunks_of_a_few_images_per_thread(rendered_intrinsic_scene, restore_threads):
    target, views = rendered_intrinsic_scene("charuco")
    images = [v.image for v in views]
    _velk.set_num_threads(1)
    options = IntrinsicOptions()
    calls = []
    options.progress_callback = lambda done, total: calls.append(done)
    IntrinsicCalibrator(target, options).find_corners(images)
    assert calls == [4, 8, 12, 16, 20]


def test_callback_default_and_reset():
    options = IntrinsicOptions()
    assert options.progress_callback is None
    options.progress_callback = print
    assert callable(options.progress_callback)
    options.progress_callback = None
    assert options.progress_callback is None


class Stop(Exception):
    pass


@pytest.mark.parametrize("stop_after", [1, 2])
def test_exception_in_the_callback_propagates(rendered_intrinsic_scene, stop_after, restore_threads):
    target, views = rendered_intrinsic_scene("charuco")
    _velk.set_num_threads(1)
    calls = []

    def callback(done, total):
        calls.append(done)
        if len(calls) == stop_after:
            raise Stop(f"stopped at {done} of {total}")

    options = IntrinsicOptions()
    options.progress_callback = callback
    calibrator = IntrinsicCalibrator(target, options)
    with pytest.raises(Stop, match=f"stopped at {4 * stop_after} of 20"):
        calibrator.calibrate([v.image for v in views])
    assert len(calls) == stop_after
    # The module keeps working after the exception.
    assert IntrinsicCalibrator(target).calibrate([v.image for v in views[:6]]).ok


def test_bad_image_throws_as_in_a_sequential_run(rendered_intrinsic_scene, capfd, restore_threads):
    target, views = rendered_intrinsic_scene("chessboard")
    images = [np.full_like(views[0].image, 180), views[0].image, np.zeros((40, 40, 2), np.uint8), views[1].image]
    for threads in (1, 4):
        _velk.set_num_threads(threads)
        capfd.readouterr()
        with pytest.raises(RuntimeError):
            IntrinsicCalibrator(target).find_corners(images)
        log = capfd.readouterr().err
        assert log == "[velk][WARNING] [IntrinsicCalibrator] Chessboard not found in image 0\n"


def test_rig_progress_counts_the_images_of_all_cameras(rendered_rig, restore_threads):
    from rig_scene import image_lists

    lists = image_lists(rendered_rig)
    options = MultiCameraCalibrator.default_options()
    calls = []
    options.progress_callback = lambda done, total: calls.append((done, total))
    MultiCameraCalibrator(rendered_rig.target, 3, 0, options).calibrate(lists)
    total = sum(len(images) for images in lists)
    assert calls[-1] == (total, total)
    assert all(t == total for _, t in calls)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)
    assert any(d == len(lists[0]) for d, _ in calls)


def test_hand_eye_and_benchmark_report_progress(eye_in_hand_scene, capfd):
    scene = eye_in_hand_scene
    calls = []
    options = IntrinsicOptions()
    options.progress_callback = lambda done, total: calls.append((done, total))
    result = EyeInHandCalibrator(scene.target, options).calibrate(scene.robot_T_tcp_list, scene.images, "TSAI")
    assert result.ok and calls[-1] == (len(scene.images), len(scene.images))
    calls.clear()
    CalibrationBenchmark().cross_validate(scene.images, scene.target, options, 3, 0)
    assert calls and all(done <= total < len(scene.images) for done, total in calls)


def test_thread_count_is_the_librarys_own(restore_threads):
    theirs = cv2.getNumThreads()
    _velk.set_num_threads(3)
    assert _velk.get_num_threads() == 3 and cv2.getNumThreads() == theirs
    _velk.set_num_threads(0)
    default = _velk.get_num_threads()
    assert default >= 1
    _velk.set_num_threads(-1)
    assert _velk.get_num_threads() == default


def test_solver_scope_restores_the_thread_count(rendered_intrinsic_scene, restore_threads):
    target, views = rendered_intrinsic_scene("charuco")
    _velk.set_num_threads(3)
    assert IntrinsicCalibrator(target).calibrate([v.image for v in views[:6]]).ok
    assert _velk.get_num_threads() == 3


def test_poses_with_given_intrinsics_equal_one_thread(eye_in_hand_scene, capfd, restore_threads):
    scene = eye_in_hand_scene
    images = with_blanks(scene.images)
    poses = [np.eye(4)] * len(images)
    runs = []
    for threads in (1, 4):
        _velk.set_num_threads(threads)
        capfd.readouterr()
        aligned = EyeInHandCalibrator(scene.target).compute_camera_T_target_list(images, poses, scene.camera_matrix,
                                                                                  scene.distortion)
        runs.append((aligned, capfd.readouterr().err))
    (alone, alone_log), (together, together_log) = runs
    assert together_log == alone_log
    assert [line.split("]")[-1].split(":")[0].strip() for line in alone_log.splitlines()[:4]] == [
        "frame 0", "frame 4", "frame 5", "frame 9"]
    assert len(alone.camera_T_target_list) == len(images) - 4
    for a, b in zip(alone.camera_T_target_list, together.camera_T_target_list):
        assert np.array_equal(a, b)
    for a, b in zip(alone.valid_image_list, together.valid_image_list):
        assert np.array_equal(a, b)
