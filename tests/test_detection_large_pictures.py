"""Detection on pictures larger than detection_max_side: searched on a reduced copy and refined at
full resolution, as accurate as the full-resolution search, pictures without the board rejected,
and pictures at or below the limit searched exactly as before. The session's 1280 x 960 views stand
in for large pictures by lowering the limit to 640 (they are then searched at 640 x 480)."""

import numpy as np
import pytest

from _velk import IntrinsicCalibrator, IntrinsicOptions

cv2 = pytest.importorskip("cv2")

KINDS = ["chessboard", "charuco", "aruco"]
HALVING_LIMIT = 640


def options_with(max_side):
    options = IntrinsicOptions()
    options.detection_max_side = max_side
    return options


def truth_points(view):
    """Every visible corner the detectors can report: board corners and marker corners."""
    points = [view.corners[view.visible]]
    if view.marker_corners.size:
        points.append(view.marker_corners[view.marker_visible].reshape(-1, 2))
    return np.concatenate(points).reshape(-1, 2)


def errors_to_truth(detections, views):
    """Distance of every found corner to the nearest true corner."""
    errors = []
    for index, points in zip(detections.successful_indices, detections.image_points):
        truth = truth_points(views[index])
        errors.append(np.linalg.norm(points.reshape(-1, 1, 2) - truth[None, :, :], axis=2).min(axis=1))
    return np.concatenate(errors)


def detect(kind, scene, max_side, count=6):
    target, views = scene(kind)
    return IntrinsicCalibrator(target, options_with(max_side)).find_corners([v.image for v in views[:count]])


def test_default_limit_is_1600_pixels():
    assert IntrinsicOptions().detection_max_side == 1600


@pytest.mark.parametrize("kind", KINDS)
def test_reduced_search_is_as_accurate_as_full_resolution(kind, rendered_intrinsic_scene):
    _, views = rendered_intrinsic_scene(kind)
    reduced = detect(kind, rendered_intrinsic_scene, HALVING_LIMIT)
    full = detect(kind, rendered_intrinsic_scene, 0)
    assert reduced.successful_indices == full.successful_indices == list(range(6))
    # The 640 x 480 copy loses at most a few corners at the edge of the board.
    assert sum(map(len, reduced.image_points)) >= 0.9 * sum(map(len, full.image_points))
    reduced_errors, full_errors = errors_to_truth(reduced, views), errors_to_truth(full, views)
    for q in (50, 95):
        assert np.percentile(reduced_errors, q) <= np.percentile(full_errors, q) + 0.01


@pytest.mark.parametrize("kind", KINDS)
def test_reduced_search_reports_the_layout_of_full_resolution(kind, rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene(kind)
    reduced = detect(kind, rendered_intrinsic_scene, HALVING_LIMIT, count=2)
    full = detect(kind, rendered_intrinsic_scene, 0, count=2)
    for points, objects in zip(reduced.image_points, reduced.object_points):
        assert points.dtype == np.float32 and points.shape == (len(objects), 1, 2)
        assert objects.dtype == np.float32 and objects.shape[1:] == (3,)
    assert len(reduced.point_ids) == len(full.point_ids)
    for ids, full_ids in zip(reduced.point_ids, full.point_ids):
        assert set(ids.ravel()) <= set(full_ids.ravel())
    assert [a.shape for a in reduced.annotated_images] == [views[0].image.shape] * 2


@pytest.mark.parametrize("kind", KINDS)
def test_pictures_without_the_board_are_rejected(kind, rendered_intrinsic_scene, capfd):
    target, views = rendered_intrinsic_scene(kind)
    noise = np.random.default_rng(4).normal(128.0, 1.0, views[0].image.shape)
    # The two marker boards share a dictionary: each may rightly find the other's markers.
    others = [rendered_intrinsic_scene(other)[1][0].image for other in KINDS
              if other != kind and "chessboard" in (kind, other)]
    pictures = [np.clip(noise, 0, 255).astype(np.uint8)] + others + [views[0].image]
    capfd.readouterr()
    detections = IntrinsicCalibrator(target, options_with(HALVING_LIMIT)).find_corners(pictures)
    assert detections.successful_indices == [len(pictures) - 1]
    assert capfd.readouterr().err.count("[velk][WARNING]") == len(pictures) - 1


@pytest.mark.parametrize("max_side", [1280, 1600])
@pytest.mark.parametrize("kind", KINDS)
def test_pictures_at_or_below_the_limit_are_searched_as_they_are(kind, max_side, rendered_intrinsic_scene):
    limited = detect(kind, rendered_intrinsic_scene, max_side, count=4)
    full = detect(kind, rendered_intrinsic_scene, 0, count=4)
    assert limited.successful_indices == full.successful_indices
    assert all(np.array_equal(a, b) for a, b in zip(limited.image_points, full.image_points))
