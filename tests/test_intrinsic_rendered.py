"""Detection and intrinsic calibration on rendered views with known ground truth."""

import numpy as np
import pytest

import _velk
from _velk import ArucoTarget, CharucoTarget, IntrinsicCalibrator, IntrinsicOptions
from conftest import IMAGE_SIZE, TRUE_DIST, TRUE_K

cv2 = pytest.importorskip("cv2")
synthetic = pytest.importorskip("quorvane.velk.synthetic")

KINDS = ["chessboard", "charuco", "aruco"]


def frontal_view(target, distance=0.5, noise_sigma=0.0):
    centre = synthetic.board_center(target)
    pose = synthetic.look_at_pose(centre + [0.0, 0.0, -distance], centre)
    return synthetic.render_target(target, TRUE_K, TRUE_DIST, pose, IMAGE_SIZE, noise_sigma=noise_sigma, seed=3)


@pytest.mark.parametrize("kind", KINDS)
def test_calibration_accuracy(kind, rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene(kind)
    result = IntrinsicCalibrator(target).calibrate([v.image for v in views])
    assert result.ok
    assert len(result.successful_indices) >= 18
    k = result.intrinsic_matrix
    assert abs(k[0, 0] / TRUE_K[0, 0] - 1) < 0.005 and abs(k[1, 1] / TRUE_K[1, 1] - 1) < 0.005
    assert abs(k[0, 2] - TRUE_K[0, 2]) < 2.0 and abs(k[1, 2] - TRUE_K[1, 2]) < 2.0
    assert result.distortion_coefficients.shape == (1, 5)
    # k1..k3 trade off against each other; what matters is that the lens model maps like the true one.
    rays = np.array([[x, y, 1.0] for x in np.linspace(-0.35, 0.35, 7) for y in np.linspace(-0.25, 0.25, 5)])
    zero = np.zeros(3)
    ours, _ = cv2.projectPoints(rays, zero, zero, TRUE_K, result.distortion_coefficients)
    truth, _ = cv2.projectPoints(rays, zero, zero, TRUE_K, TRUE_DIST)
    assert np.abs(ours - truth).max() < 1.0
    assert result.reprojection_error < 0.3
    assert len(result.per_view_errors) == len(result.successful_indices)


@pytest.mark.parametrize("kind", KINDS)
def test_detected_points_match_ground_truth(kind, rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene(kind)
    detections = IntrinsicCalibrator(target).find_corners([v.image for v in views[:4]])
    for index, points, objects in zip(detections.successful_indices, detections.image_points,
                                      detections.object_points):
        view = views[index]
        points = points.reshape(-1, 2)
        assert points.dtype == np.float32 and objects.dtype == np.float32 and objects.shape == (len(points), 3)
        # Match every detected point to the ground-truth point with the same board coordinates.
        truth = {tuple(np.round(o, 5)): c for o, c in zip(view.object_points, view.corners)}
        errors = [np.linalg.norm(p - truth[tuple(np.round(o.astype(np.float64), 5))]) for p, o in zip(points, objects)]
        # Marker corners come unrefined from the marker detector; chessboard corners are sub-pixel.
        assert max(errors) < (2.0 if kind == "aruco" else 0.3)


@pytest.mark.parametrize("kind,expected", [("chessboard", 54), ("charuco", 48), ("aruco", 120)])
def test_point_counts_of_a_fully_visible_board(kind, expected):
    target = _velk_targets()[kind]
    detections = IntrinsicCalibrator(target).find_corners([frontal_view(target).image])
    assert detections.successful_indices == [0]
    assert detections.image_points[0].shape == (expected, 1, 2)
    assert len(detections.point_ids) == (1 if kind == "charuco" else 0)
    if kind == "charuco":
        ids = detections.point_ids[0]
        assert ids.shape == (expected, 1) and ids.dtype == np.int32
        assert sorted(ids.ravel()) == list(range(expected))


def _velk_targets():
    from conftest import intrinsic_targets
    return intrinsic_targets()


@pytest.mark.parametrize(
    "target,accepted,warning",
    [
        (CharucoTarget(4, 2, 0.06, 0.045), False, "[CharucoIntrinsicCalibrator] Not enough ChArUco corners in image 1"),
        (CharucoTarget(3, 3, 0.06, 0.045), True, None),
        (ArucoTarget((3, 1), 0.06, 0.015), False, "[ArucoIntrinsicCalibrator] Not enough ArUco markers in image 1"),
        (ArucoTarget((4, 1), 0.06, 0.015), True, None),
    ],
    ids=["charuco-3-corners", "charuco-4-corners", "aruco-3-markers", "aruco-4-markers"],
)
def test_minimum_point_counts(target, accepted, warning, capfd):
    blank = np.full((IMAGE_SIZE[1], IMAGE_SIZE[0], 3), 90, np.uint8)
    detections = IntrinsicCalibrator(target).find_corners([blank, frontal_view(target, 0.4).image])
    err = capfd.readouterr().err
    assert detections.successful_indices == ([1] if accepted else [])
    if accepted:
        assert detections.image_points[0].shape[0] == (4 if isinstance(target, CharucoTarget) else 16)
    else:
        assert f"[velk][WARNING] {warning}\n" in err


def test_foreign_markers_are_ignored():
    # A 6 x 5 grid printed with ids 0..29 seen by a detector for a 3 x 2 grid (ids 0..5): markers 6..29 exist in
    # the dictionary but not on the smaller board; they must be skipped, not read past the board's list.
    big = ArucoTarget((6, 5), 0.04, 0.01)
    small = ArucoTarget((3, 2), 0.04, 0.01)
    detections = IntrinsicCalibrator(small).find_corners([frontal_view(big).image])
    assert detections.successful_indices == [0]
    assert detections.image_points[0].shape == (24, 1, 2)
    assert detections.object_points[0].max() <= 0.04 * 3 + 0.01 * 2 + 1e-6


def test_charuco_ignores_calibration_method(rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene("charuco")
    options = IntrinsicOptions()
    options.calibrate_camera_method = "no such method"
    result = IntrinsicCalibrator(target, options).calibrate([v.image for v in views[:6]])
    assert result.ok


def test_detect_and_annotate_on_rendered_board():
    target = CharucoTarget(5, 7, 0.04, 0.03)
    image = frontal_view(target, 0.45).image
    original = image.copy()
    annotated, count = target.detect_and_annotate(image)
    assert count == (5 - 1) * (7 - 1)
    assert np.array_equal(image, original)
    assert annotated.shape == image.shape and annotated.dtype == np.uint8
    green = (annotated[:, :, 0] == 0) & (annotated[:, :, 1] == 255) & (annotated[:, :, 2] == 0)
    blue = (annotated[:, :, 0] == 255) & (annotated[:, :, 1] == 0) & (annotated[:, :, 2] == 0)
    assert green.sum() > 100 and blue.sum() > 100


@pytest.mark.parametrize("target", [CharucoTarget(5, 7, 0.04, 0.03), ArucoTarget((6, 5), 0.04, 0.01),
                                    _velk.ChessboardTarget((9, 6), 0.03)], ids=["charuco", "aruco", "chessboard"])
def test_four_channel_images_are_annotated_with_alpha_kept(target):
    bgra = cv2.cvtColor(frontal_view(target, 0.45).image, cv2.COLOR_BGR2BGRA)
    bgra[:, :, 3] = np.arange(bgra.shape[1], dtype=np.uint8)[None, :]
    detections = IntrinsicCalibrator(target).find_corners([bgra])
    annotated = detections.annotated_images[0]
    assert annotated.shape == bgra.shape
    assert np.array_equal(annotated[:, :, 3], bgra[:, :, 3])
    assert not np.array_equal(annotated[:, :, :3], bgra[:, :, :3])
    if isinstance(target, CharucoTarget):
        drawn, count = target.detect_and_annotate(bgra)
        assert drawn.shape == bgra.shape and count == 24 and np.array_equal(drawn[:, :, 3], bgra[:, :, 3])


def test_board_spacing_after_narrowing_to_float():
    target = CharucoTarget(5, 7, 0.04, 0.03)
    detections = IntrinsicCalibrator(target).find_corners([frontal_view(target, 0.45).image])
    objects = detections.object_points[0]
    ids = detections.point_ids[0].ravel()
    by_id = dict(zip(ids, objects))
    assert np.allclose(by_id[1] - by_id[0], [np.float32(0.04), 0, 0])
