"""Detection on pictures larger than detection_max_side: searched on a reduced copy and refined at
full resolution, as accurate as the full-resolution search, pictures without the board rejected,
and pictures at or below the limit searched exactly as before. The session's 1280 x 960 views stand
in for large pictures by lowering the limit to 640 (they are then searched at 640 x 480)."""

import numpy as np
import pytest

import _velk
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


def same_points(a, b):
    return a.successful_indices == b.successful_indices and len(a.image_points) == len(b.image_points) and all(
        np.array_equal(p, q) for p, q in zip(a.image_points, b.image_points))


@pytest.mark.parametrize("kind", KINDS)
def test_reduced_search_of_bgra_pictures_finds_the_bgr_corners(kind, rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene(kind)
    bgr = [v.image for v in views[:3]]
    calibrator = IntrinsicCalibrator(target, options_with(HALVING_LIMIT))
    from_bgr = calibrator.find_corners(bgr)
    from_bgra = calibrator.find_corners([cv2.cvtColor(image, cv2.COLOR_BGR2BGRA) for image in bgr])
    assert from_bgr.successful_indices == [0, 1, 2]
    assert same_points(from_bgra, from_bgr)
    assert [a.shape for a in from_bgra.annotated_images] == [bgr[0].shape[:2] + (4,)] * 3


@pytest.fixture
def restore_threads():
    before = _velk.get_num_threads()
    yield
    _velk.set_num_threads(before)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kind", KINDS)
def test_batch_of_mixed_sizes_finds_what_each_picture_gives_alone(kind, threads, rendered_intrinsic_scene,
                                                                  restore_threads):
    # Each thread keeps its buffers from picture to picture; pictures reduced by 2 and by 4 (the
    # views doubled in size) and one at the limit in turn must not see each other's rows.
    target, views = rendered_intrinsic_scene(kind)
    small = cv2.resize(views[2].image, (640, 480), interpolation=cv2.INTER_AREA)
    pictures = [views[0].image, cv2.resize(views[1].image, (2560, 1920)), small, views[3].image,
                cv2.resize(views[4].image, (2562, 1922))]
    calibrator = IntrinsicCalibrator(target, options_with(HALVING_LIMIT))
    _velk.set_num_threads(threads)
    together = calibrator.find_corners(pictures)
    _velk.set_num_threads(1)
    alone = [calibrator.find_corners([picture]) for picture in pictures]
    assert together.successful_indices == [k for k, one in enumerate(alone) if one.successful_indices == [0]]
    assert len(together.successful_indices) >= 4
    for index, points in zip(together.successful_indices, together.image_points):
        assert np.array_equal(points, alone[index].image_points[0])


@pytest.mark.parametrize("max_side", [HALVING_LIMIT, 0])
@pytest.mark.parametrize("kind", KINDS)
def test_find_corners_without_annotation_finds_the_same_points(kind, max_side, rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene(kind)
    pictures = [views[0].image, np.full_like(views[0].image, 180), views[1].image]
    calibrator = IntrinsicCalibrator(target, options_with(max_side))
    drawn = calibrator.find_corners(pictures)
    bare = calibrator.find_corners(pictures, annotate=False)
    assert drawn.successful_indices == bare.successful_indices == [0, 2]
    for field in ("image_points", "object_points", "point_ids"):
        assert len(getattr(drawn, field)) == len(getattr(bare, field))
        assert all(np.array_equal(a, b) for a, b in zip(getattr(drawn, field), getattr(bare, field)))
    assert bare.annotated_images == [] and len(drawn.annotated_images) == 2
    assert not np.array_equal(drawn.annotated_images[0], pictures[0])


def chessboard_seen_from(distance, size=(1280, 960)):
    """A 9 x 6 chessboard of 3 cm squares seen square-on from distance metres (f = 1000 px)."""
    from quorvane.velk import synthetic

    target = _velk.ChessboardTarget((9, 6), 0.03)
    centre = synthetic.board_center(target)
    pose = synthetic.look_at_pose(centre + np.array([0.02, 0.03, -distance]), centre)
    view = synthetic.render_target(target, synthetic.pinhole_matrix(1000.0, size), np.zeros(5), pose, size,
                                   noise_sigma=1.0, blur_sigma=0.5, seed=3, supersample=2)
    return target, view.image


def glance_sees_a_board(image, factor):
    """Whether the quick check finds the board on the picture sampled at 1/factor, as the glance is."""
    size = (image.shape[1] // factor, image.shape[0] // factor)
    glance = cv2.cvtColor(cv2.resize(image, size, interpolation=cv2.INTER_LINEAR), cv2.COLOR_BGR2GRAY)
    return cv2.checkChessboard(glance, (9, 6))


# Near: squares of about 85 px, found on the glance (reduced 4 times); cornerSubPix settles on
# the same corners as at full resolution from either start, to its stopping tolerance. Far:
# squares of about 27 px, too small for the glance (7 px there), found on the reduced copy
# (reduced twice); the refinement window is narrowed to 10 px there to keep within 0.4 of the
# corner spacing, which full resolution does not do, so the corners move by a hundredth at most.
@pytest.mark.parametrize("distance, seen_by_glance, tolerance", [(0.35, True, 0.002), (1.1, False, 0.02)])
def test_chessboard_found_on_the_glance_or_the_reduced_copy_gives_the_full_resolution_corners(
        distance, seen_by_glance, tolerance):
    target, image = chessboard_seen_from(distance)
    assert glance_sees_a_board(image, 4) == seen_by_glance
    reduced = IntrinsicCalibrator(target, options_with(HALVING_LIMIT)).find_corners([image])
    full = IntrinsicCalibrator(target, options_with(0)).find_corners([image])
    assert reduced.successful_indices == full.successful_indices == [0]
    assert np.abs(reduced.image_points[0] - full.image_points[0]).max() < tolerance


def true_corners(scene, target, index):
    camera_T_target = np.asarray(scene.camera_T_target_list[index])
    rotation = cv2.Rodrigues(camera_T_target[:3, :3])[0]
    points, _ = cv2.projectPoints(np.asarray(target.object_points(), np.float64).reshape(-1, 3), rotation,
                                  camera_T_target[:3, 3], scene.camera_matrix, scene.distortion)
    return points.reshape(-1, 2)


# Boards of many squares about 20 px apart: 10 px on the halved copy, where the search finds them
# but the quick structural check (squares of about 12 px and more) does not see them.
@pytest.mark.parametrize("pattern", [(28, 17), (21, 13)])
def test_board_of_small_squares_is_found_on_the_reduced_copy(pattern):
    from quorvane.velk import demo

    target = _velk.ChessboardTarget(pattern, 0.012)
    scene = demo.simulate_eye_in_hand(num_poses=3, seed=7, image_size=(1280, 960), target=target)
    halved = [cv2.resize(image, (640, 480), interpolation=cv2.INTER_AREA) for image in scene.images]
    assert all(cv2.findChessboardCorners(image, pattern)[0] for image in halved)
    reduced, full = (IntrinsicCalibrator(target, options_with(max_side)).find_corners(scene.images, annotate=False)
                     for max_side in (HALVING_LIMIT, 0))
    assert reduced.successful_indices == full.successful_indices == [0, 1, 2]
    assert list(reduced.found_by) == ["plain"] * 3
    errors = [[np.linalg.norm(points.reshape(-1, 2) - true_corners(scene, target, index), axis=1)
               for index, points in enumerate(found.image_points)] for found in (reduced, full)]
    assert np.median(errors[0]) <= np.median(errors[1]) + 0.01 < 0.1


@pytest.mark.parametrize("interpolation", [cv2.INTER_LINEAR, cv2.INTER_CUBIC])
@pytest.mark.parametrize("photos", ["left_photos", "right_photos"])
def test_real_photographs_enlarged_give_the_full_resolution_corners(photos, interpolation, request):
    # Real 640 x 480 photographs enlarged 4 times (2560 x 1920) are searched on the glance at
    # their own size. There findChessboardCorners leaves some corners of the steeply tilted boards
    # several pixels off, further than the full-resolution window reaches once mapped up, and a
    # large window on the glance can settle on a neighbouring edge: both showed here as corners
    # 15 px from the full-resolution ones.
    enlarged = [cv2.resize(photo, None, fx=4, fy=4, interpolation=interpolation)
                for photo in request.getfixturevalue(photos)]
    target = _velk.ChessboardTarget((9, 6), 0.025)
    default = IntrinsicCalibrator(target).find_corners(enlarged, annotate=False)
    full = IntrinsicCalibrator(target, options_with(0)).find_corners(enlarged, annotate=False)
    assert set(full.successful_indices) <= set(default.successful_indices)
    assert len(full.successful_indices) >= 12
    for index, points in zip(full.successful_indices, full.image_points):
        found = default.image_points[default.successful_indices.index(index)]
        assert np.abs(found - points).max() < 0.005, f"picture {index}"
