"""Circle grids: the target, its detection against the renderer's truth, intrinsics, printing and target files."""

import json

import numpy as np
import pytest

import _velk
import render_cache
from _velk import CircleGridTarget, IntrinsicCalibrator
from conftest import IMAGE_SIZE, TRUE_DIST, TRUE_K

cv2 = pytest.importorskip("cv2")
synthetic = pytest.importorskip("quorvane.velk.synthetic")

ASYMMETRIC = CircleGridTarget((4, 11), 0.02, True)
SYMMETRIC = CircleGridTarget((7, 5), 0.03, False, 0.012)


@pytest.mark.parametrize("target, message", [
    (CircleGridTarget((2, 5), 0.02), "CircleGridTarget: size must count at least 3 circles per side, got (2, 5)"),
    (CircleGridTarget((4, 2), 0.02, True), "CircleGridTarget: size must count at least 3 circles per side, got (4, 2)"),
    (CircleGridTarget((1001, 3), 0.02), "CircleGridTarget: size must count at most 1000 circles per side"),
    (CircleGridTarget((4, 4), -0.02), "CircleGridTarget: spacing must be a positive, finite length in metres, got -0.02"),
    (CircleGridTarget((4, 4), 0.02, False, 0.02), "CircleGridTarget: circle_diameter 0.02 must be smaller than the "
                                                  "distance between neighbouring centres (0.02)"),
])
def test_unusable_grids_are_refused_naming_class_and_value(target, message):
    with pytest.raises(ValueError) as info:
        target.validate()
    assert str(info.value).startswith(message)
    with pytest.raises(ValueError, match="CircleGridTarget"):
        IntrinsicCalibrator(target)


def test_diameter_defaults_to_half_the_spacing_and_asymmetric_rows_interleave():
    assert ASYMMETRIC.circle_diameter == pytest.approx(0.01) and ASYMMETRIC.asymmetric
    # A wider circle fits an asymmetric grid: its nearest neighbours are sqrt(2) spacings apart.
    CircleGridTarget((4, 11), 0.02, True, 0.025).validate()
    points = ASYMMETRIC.object_points()
    assert points.shape == (44, 3) and points.dtype == np.float32
    np.testing.assert_allclose(points[:5], [[0, 0, 0], [0.04, 0, 0], [0.08, 0, 0], [0.12, 0, 0], [0.02, 0.02, 0]],
                               atol=1e-7)
    np.testing.assert_allclose(points[-1], [0.12, 0.20, 0.0], atol=1e-7)  # row 10 is not shifted
    assert points[:, 0].max() == pytest.approx(0.14)
    symmetric = SYMMETRIC.object_points()
    np.testing.assert_allclose(symmetric[8], [0.03, 0.03, 0.0], atol=1e-7)
    assert repr(SYMMETRIC) == "CircleGridTarget(size=(7, 5), spacing=0.030000, asymmetric=False, " \
                              "circle_diameter=0.012000)"


def oblique_views(target, count, seed, distance=(0.3, 0.45), tilt=(10.0, 40.0)):
    rng = np.random.default_rng(seed)
    centre = synthetic.board_center(target)
    poses = []
    for k in range(count):
        d = rng.uniform(*distance)
        t = np.radians(rng.uniform(*tilt))
        azimuth = 2 * np.pi * k / count
        eye = centre + d * np.array([np.sin(t) * np.cos(azimuth), np.sin(t) * np.sin(azimuth), -np.cos(t)])
        aim = centre + np.array([rng.uniform(-0.08, 0.08), rng.uniform(-0.06, 0.06), 0.0])
        roll = _velk.tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, rng.uniform(-20, 20)])
        poses.append(roll @ synthetic.look_at_pose(eye, aim))
    return [synthetic.render_target(target, TRUE_K, TRUE_DIST, pose, IMAGE_SIZE, noise_sigma=1.0, blur_sigma=0.5,
                                    seed=seed + k, supersample=2) for k, pose in enumerate(poses)]


_VIEWS = {}


def views(name):
    if name not in _VIEWS:
        with render_cache.active():
            _VIEWS[name] = oblique_views(ASYMMETRIC if name == "asymmetric" else SYMMETRIC, 20, seed=21)
    return _VIEWS[name]


def imaged_centre_bias(truth_corners, target):
    """Offset (N, 2) of each imaged circle's area centroid from its projected centre.

    The pose comes from the true projected centres; each rim is projected (with distortion) as a
    720-gon, whose area centroid is where a blob detector puts the circle."""
    ok, rvec, tvec = cv2.solvePnP(target.object_points(), truth_corners.astype(np.float32), TRUE_K, TRUE_DIST)
    angles = np.linspace(0.0, 2 * np.pi, 720, endpoint=False)
    rim = np.stack([np.cos(angles), np.sin(angles), np.zeros_like(angles)], axis=1) * target.circle_diameter / 2
    offsets = []
    for centre, projected in zip(target.object_points().astype(np.float64), truth_corners):
        uv, _ = cv2.projectPoints(centre + rim, rvec, tvec, TRUE_K, TRUE_DIST)
        x, y = uv.reshape(-1, 2).T
        x1, y1 = np.roll(x, -1), np.roll(y, -1)
        cross = x * y1 - x1 * y
        centroid = np.array([((x + x1) * cross).sum(), ((y + y1) * cross).sum()]) / (3 * cross.sum())
        offsets.append(centroid - projected)
    return np.array(offsets)


@pytest.mark.parametrize("name", ["asymmetric", "symmetric"])
def test_detected_centres_match_the_truth(name):
    target = ASYMMETRIC if name == "asymmetric" else SYMMETRIC
    rendered = views(name)
    detections = IntrinsicCalibrator(target).find_corners([v.image for v in rendered])
    assert len(detections.successful_indices) >= 18
    errors = []
    for index, points, objects in zip(detections.successful_indices, detections.image_points,
                                      detections.object_points):
        np.testing.assert_array_equal(objects, target.object_points())
        points, truth = points.reshape(-1, 2), rendered[index].corners
        if not target.asymmetric:
            # A symmetric grid looks the same turned half a turn: the finder may number it from either end.
            reversed_error = np.linalg.norm(points - truth[::-1], axis=1)
            if reversed_error.max() < np.linalg.norm(points - truth, axis=1).max():
                truth = truth[::-1]
        errors.append(np.linalg.norm(points - truth, axis=1))
    errors = np.concatenate(errors)
    # Mostly the projection bias of circle centres (next test), a tenth of a pixel on average.
    assert errors.mean() < 0.15 and errors.max() < 0.4, (errors.mean(), errors.max())
    assert len(detections.annotated_images) == len(detections.successful_indices)
    assert not np.array_equal(detections.annotated_images[0], rendered[detections.successful_indices[0]].image)


def test_the_detection_error_is_the_projection_bias_of_the_circle_centres():
    # Seen obliquely, a circle's image is not centred on its projected centre. The detector finds
    # the image's centre; the renderer's truth is the projected centre. Their measured difference is
    # that bias, to a few hundredths of a pixel: the bias is not corrected, and it is the dominant error.
    rendered = views("asymmetric")[:8]
    detections = IntrinsicCalibrator(ASYMMETRIC).find_corners([v.image for v in rendered])
    raw, unbiased, bias = [], [], []
    for index, points in zip(detections.successful_indices, detections.image_points):
        truth = rendered[index].corners
        offsets = imaged_centre_bias(truth, ASYMMETRIC)
        raw.append(np.linalg.norm(points.reshape(-1, 2) - truth, axis=1))
        unbiased.append(np.linalg.norm(points.reshape(-1, 2) - truth - offsets, axis=1))
        bias.append(np.linalg.norm(offsets, axis=1))
    raw, unbiased, bias = map(np.concatenate, (raw, unbiased, bias))
    assert 0.02 < bias.mean() < 0.15 and bias.max() < 0.3, (bias.mean(), bias.max())
    assert unbiased.mean() < 0.3 * raw.mean() and unbiased.max() < 0.05, (raw.mean(), unbiased.mean(), unbiased.max())


def test_intrinsics_from_twenty_rendered_views():
    result = IntrinsicCalibrator(ASYMMETRIC).calibrate([v.image for v in views("asymmetric")])
    assert result.ok and len(result.successful_indices) >= 18
    k = result.intrinsic_matrix
    assert abs(k[0, 0] / TRUE_K[0, 0] - 1) < 0.003 and abs(k[1, 1] / TRUE_K[1, 1] - 1) < 0.003, k
    assert abs(k[0, 2] - TRUE_K[0, 2]) < 1.0 and abs(k[1, 2] - TRUE_K[1, 2]) < 1.0, k


def test_board_command_prints_a_grid_that_is_found_at_its_scale(tmp_path, capsys):
    from quorvane.velk import cli
    from quorvane.velk.target_file import load_target_file

    out = tmp_path / "circles.png"
    assert cli.main(["board", "circle-grid", "--cols", "4", "--rows", "11", "--spacing", "0.02", "--asymmetric",
                     "-o", str(out), "--dpi", "150"]) == 0
    assert "Board: asymmetric circle grid 4 x 11 circles, spacing 20.00 mm, circle 10.00 mm" in capsys.readouterr().out
    printed = load_target_file(tmp_path / "circles.json")
    assert json.loads((tmp_path / "circles.json").read_text()) == {
        "kind": "circle_grid", "cols": 4, "rows": 11, "spacing": 0.02, "circle_diameter": 0.01, "asymmetric": True}
    target = printed.build()
    assert isinstance(target, CircleGridTarget) and target.asymmetric and target.size == (4, 11)
    page = cv2.imread(str(out))
    detections = IntrinsicCalibrator(target).find_corners([page])
    assert detections.successful_indices == [0]
    centres = detections.image_points[0].reshape(-1, 2)
    # Circles 0 and 3 lie in the first row, 3 x 2 spacings apart.
    measured = np.linalg.norm(centres[3] - centres[0]) / 6
    expected = 0.02 / 0.0254 * 150
    assert abs(measured - expected) / expected < 0.005


@pytest.mark.parametrize("document, message", [
    ({"kind": "circle_grid", "cols": 2, "rows": 11, "spacing": 0.02, "circle_diameter": 0.01},
     "CircleGridTarget: size must count at least 3 circles per side, got (2, 11)"),
    ({"kind": "circle_grid", "cols": 4, "rows": 4, "spacing": 0.02, "circle_diameter": 0.03},
     "CircleGridTarget: circle_diameter 0.03"),
    ({"kind": "circle_grid", "cols": 4, "rows": 4, "spacing": 0.02, "circle_diameter": 0.01, "asymmetric": 1},
     "'asymmetric' must be true or false"),
    ({"kind": "circle_grid", "cols": 4, "rows": 4, "circle_diameter": 0.01}, "missing field 'spacing'"),
])
def test_bad_circle_grid_files_are_refused(document, message):
    from quorvane.velk.target_file import TargetFileError, printed_from_json

    with pytest.raises(TargetFileError) as info:
        printed_from_json(document)
    assert message in str(info.value)


def test_the_renderer_draws_circles_only_on_the_printed_face():
    centre = synthetic.board_center(SYMMETRIC)
    camera = synthetic.pinhole_matrix(600.0, (640, 480))
    front = synthetic.render_target(SYMMETRIC, camera, None, synthetic.look_at_pose(centre + [0, 0, -0.4], centre),
                                    (640, 480))
    back = synthetic.render_target(SYMMETRIC, camera, None, synthetic.look_at_pose(centre + [0, 0, 0.4], centre),
                                   (640, 480))
    assert front.visible.all() and not back.visible.any()
    u, v = np.rint(front.corners[0]).astype(int)
    assert front.image[v, u, 0] == synthetic.BLACK_LEVEL
    assert back.image[v, u, 0] == synthetic.WHITE_LEVEL


def test_intrinsics_command_on_a_circle_grid_target_file(tmp_path):
    from cli_data import identity_poses, write_hand_eye_dataset, write_target
    from quorvane.velk import cli

    rendered = views("asymmetric")[:10]
    folder = write_hand_eye_dataset(tmp_path / "views", [v.image for v in rendered], identity_poses(10))
    target_file = write_target(tmp_path / "t.json", ASYMMETRIC)
    assert cli.main(["intrinsics", str(folder), "--target", str(target_file), "-o", str(tmp_path / "k.json")]) == 0
    record = json.loads((tmp_path / "k.json").read_text())
    assert record["target"] == {"kind": "circle_grid", "cols": 4, "rows": 11, "spacing": 0.02,
                                "circle_diameter": 0.01, "asymmetric": True}
    np.testing.assert_allclose(record["camera_matrix"], TRUE_K, atol=3.0)
    assert len(record["views"]) >= 9


def test_the_planner_plans_with_the_circle_centres():
    from quorvane.velk import planning
    from quorvane.velk.target_file import printed_from_json

    printed = printed_from_json({"kind": "circle_grid", "cols": 4, "rows": 11, "spacing": 0.02,
                                 "circle_diameter": 0.01, "asymmetric": True})
    corners = planning.target_corners(printed)
    np.testing.assert_allclose(corners, ASYMMETRIC.object_points(), atol=1e-7)
    assert synthetic.sheet_bounds(ASYMMETRIC) == pytest.approx((-0.025, -0.025, 0.165, 0.225))
