"""Synthetic views of calibration targets, checked against OpenCV's own detectors and board layouts."""

import importlib.util
import sys
from dataclasses import dataclass
from pathlib import Path

import cv2
import numpy as np
import pytest

SYNTHETIC_PATH = Path(__file__).resolve().parent.parent / "python" / "quorvane" / "velk" / "synthetic"


def _load_from_file(name):
    file_spec = importlib.util.spec_from_file_location(name, SYNTHETIC_PATH / "__init__.py",
                                                       submodule_search_locations=[str(SYNTHETIC_PATH)])
    module = importlib.util.module_from_spec(file_spec)
    # The package's own modules import each other through it, and dataclasses look their module
    # up while the class is created.
    sys.modules[name] = module
    try:
        file_spec.loader.exec_module(module)
    finally:
        for loaded in [key for key in sys.modules if key == name or key.startswith(name + ".")]:
            del sys.modules[loaded]
    return module


try:
    from quorvane.velk import synthetic
except ImportError:  # the compiled core is not built: the module itself is pure Python
    synthetic = _load_from_file("velk_synthetic_under_test")


@dataclass
class ChessboardTarget:
    size: tuple
    square_size: float


@dataclass
class CharucoTarget:
    squares_x: int
    squares_y: int
    square_length: float
    marker_length: float
    aruco_dict_id: int


@dataclass
class ArucoGridTarget:
    board_size: tuple
    marker_length: float
    marker_separation: float
    aruco_dict_id: int


CHESSBOARD = ChessboardTarget((9, 6), 0.03)
CHARUCO = CharucoTarget(7, 5, 0.04, 0.03, cv2.aruco.DICT_4X4_1000)
CHARUCO_5X5 = CharucoTarget(7, 5, 0.04, 0.03, cv2.aruco.DICT_5X5_100)
GRID = ArucoGridTarget((5, 4), 0.04, 0.01, cv2.aruco.DICT_4X4_1000)
GRID_5X5 = ArucoGridTarget((5, 4), 0.04, 0.01, cv2.aruco.DICT_5X5_100)

IMAGE_SIZE = (1280, 960)
CAMERA = np.array([[1000.0, 0.0, 640.0], [0.0, 1000.0, 480.0], [0.0, 0.0, 1.0]])
K1_ONLY = np.array([-0.1, 0.0, 0.0, 0.0])
K1_K2_P1_P2 = np.array([-0.12, 0.03, 0.0008, -0.0005])

TOLERANCE_PX = 0.3


def _board(target):
    dictionary = cv2.aruco.getPredefinedDictionary(target.aruco_dict_id)
    if isinstance(target, CharucoTarget):
        return cv2.aruco.CharucoBoard(
            (target.squares_x, target.squares_y), target.square_length, target.marker_length, dictionary
        )
    return cv2.aruco.GridBoard(target.board_size, target.marker_length, target.marker_separation, dictionary)


def _view_from(target, offset, up=(0.0, -1.0, 0.0)):
    centre = synthetic.board_center(target)
    return synthetic.look_at_pose(centre + np.asarray(offset), centre, up)


def _grey(view):
    return view.image[:, :, 0]


# --------------------------------------------------------------------------
# Detection with plain OpenCV


def _detect_chessboard(target, view, camera, dist):
    grey = _grey(view)
    found, corners = cv2.findChessboardCorners(grey, target.size)
    assert found
    criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_COUNT, 50, 1e-4)
    corners = cv2.cornerSubPix(grey, corners, (11, 11), (-1, -1), criteria).reshape(-1, 2)
    # The detector may report the rows in either direction; its first corner tells which.
    if np.linalg.norm(corners[0] - view.corners[-1]) < np.linalg.norm(corners[0] - view.corners[0]):
        corners = corners[::-1]
    return np.arange(len(corners)), corners


def _detect_charuco(target, view, camera, dist):
    grey = _grey(view)
    corners, ids, _, _ = cv2.aruco.CharucoDetector(_board(target)).detectBoard(grey)
    assert ids is not None
    # A small window keeps the marker edges next to each corner out of the refinement.
    criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_COUNT, 50, 1e-4)
    corners = cv2.cornerSubPix(grey, corners, (5, 5), (-1, -1), criteria).reshape(-1, 2)
    return ids.ravel(), corners


def _edge_fit_corners(grey, approx, camera, dist):
    """Marker corners as intersections of lines fitted to the marker's outer edges.

    Each edge point is where the black-to-white profile across the edge has
    accumulated half the contrast (area method), away from the corners; the
    points are undistorted so that the edges are straight lines.
    """
    grey = grey.astype(np.float32)
    contrast = synthetic.WHITE_LEVEL - synthetic.BLACK_LEVEL
    centre = approx.mean(axis=0)
    step = 0.25
    offsets = np.arange(-4.0, 4.0 + step / 2, step)
    lines = []
    for k in range(4):
        p0, p1 = approx[k], approx[(k + 1) % 4]
        along = (p1 - p0) / np.linalg.norm(p1 - p0)
        normal = np.array([along[1], -along[0]])
        if normal @ ((p0 + p1) / 2 - centre) < 0:
            normal = -normal
        points = p0 + np.linspace(0.2, 0.8, 30)[:, None] * (p1 - p0)
        samples = (points[:, None, :] + offsets[None, :, None] * normal).astype(np.float32)
        profile = cv2.remap(grey, samples[..., 0], samples[..., 1], cv2.INTER_LINEAR)
        dark = np.clip((synthetic.WHITE_LEVEL - profile) / contrast, 0.0, 1.0)
        edge = points + (offsets[0] - step / 2 + dark.sum(axis=1) * step)[:, None] * normal
        criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_COUNT, 100, 1e-12)
        straight = cv2.undistortPointsIter(edge.reshape(-1, 1, 2), camera, dist, None, camera, criteria)
        straight = straight.reshape(-1, 2)
        mean = straight.mean(axis=0)
        line_normal = np.linalg.svd(straight - mean)[2][1]
        lines.append((line_normal, line_normal @ mean))
    corners = []
    for k in range(4):
        (na, da), (nb, db) = lines[k - 1], lines[k]
        u, v = np.linalg.solve(np.array([na, nb]), np.array([da, db]))
        ray = np.array([[(u - camera[0, 2]) / camera[0, 0], (v - camera[1, 2]) / camera[1, 1], 1.0]])
        projected, _ = cv2.projectPoints(ray, np.zeros(3), np.zeros(3), camera, dist)
        corners.append(projected.ravel())
    return np.array(corners)


def _detect_grid(target, view, camera, dist):
    grey = _grey(view)
    parameters = cv2.aruco.DetectorParameters()
    parameters.cornerRefinementMethod = cv2.aruco.CORNER_REFINE_SUBPIX
    dictionary = cv2.aruco.getPredefinedDictionary(target.aruco_dict_id)
    markers, ids, _ = cv2.aruco.ArucoDetector(dictionary, parameters).detectMarkers(grey)
    assert ids is not None
    index, refined = [], []
    for marker, marker_id in zip(markers, ids.ravel()):
        m = int(np.flatnonzero(view.marker_ids == marker_id)[0])
        marker = marker.reshape(4, 2).astype(np.float64)
        # Sub-pixel refinement pulls the outer corner of a dark square inwards by
        # up to a few tenths of a pixel, so the detector's own corners get a
        # looser check and the edge fit the tight one.
        np.testing.assert_allclose(marker, view.marker_corners[m], atol=0.5)
        index.extend(4 * m + np.arange(4))
        refined.append(_edge_fit_corners(grey, marker, camera, dist))
    return np.array(index), np.concatenate(refined)


DETECTORS = {ChessboardTarget: _detect_chessboard, CharucoTarget: _detect_charuco, ArucoGridTarget: _detect_grid}


def _check_detections(target, view, camera, dist, min_found=0.9):
    index, detected = DETECTORS[type(target)](target, view, camera, dist)
    assert np.all(view.visible[index]), "a point was detected where the ground truth says it cannot be seen"
    errors = np.linalg.norm(detected - view.corners[index], axis=1)
    assert errors.max() < TOLERANCE_PX, f"max error {errors.max():.3f} px"
    assert len(set(index.tolist())) >= min_found * view.visible.sum()
    return errors.max()


VIEW_CASES = {
    "right-above-k1": ((0.15, -0.10, -0.50), (0.0, -1.0, 0.0), K1_ONLY, 0.0, 0.0),
    "left-below-rolled-k1k2p1p2": ((-0.25, 0.15, -0.45), (0.2, -1.0, 0.0), K1_K2_P1_P2, 0.0, 0.0),
    "steep-blur-noise-k1": ((0.05, 0.30, -0.55), (0.0, -1.0, 0.0), K1_ONLY, 0.7, 2.0),
}
TARGETS = {"chessboard": CHESSBOARD, "charuco": CHARUCO, "grid": GRID}


@pytest.mark.parametrize(
    "target, case",
    [pytest.param(TARGETS[t], VIEW_CASES[c], id=f"{t}-{c}") for t in TARGETS for c in VIEW_CASES]
    + [
        pytest.param(
            CHARUCO_5X5, VIEW_CASES["left-below-rolled-k1k2p1p2"], id="charuco5x5-left-below-rolled-k1k2p1p2"
        ),
        pytest.param(GRID_5X5, VIEW_CASES["right-above-k1"], id="grid5x5-right-above-k1"),
    ],
)
def test_detected_points_match_ground_truth(target, case):
    offset, up, dist, blur, noise = case
    view = synthetic.render_target(
        target, CAMERA, dist, _view_from(target, offset, up), IMAGE_SIZE, blur_sigma=blur, noise_sigma=noise, seed=5
    )
    assert view.image.shape == (IMAGE_SIZE[1], IMAGE_SIZE[0], 3) and view.image.dtype == np.uint8
    assert np.array_equal(view.image[:, :, 0], view.image[:, :, 1])
    assert np.array_equal(view.image[:, :, 0], view.image[:, :, 2])
    assert view.visible.all()
    _check_detections(target, view, CAMERA, dist)


@pytest.mark.parametrize(
    "dist",
    [
        [-0.1, 0.02, 0.0005, -0.0003, 0.001, 0.05, -0.01, 0.002],
        [-0.1, 0.02, 0.0005, -0.0003, 0.001, 0.05, -0.01, 0.002, 0.001, -0.0005, 0.0008, 0.0002],
        [-0.1, 0.02, 0.0005, -0.0003, 0.001, 0.05, -0.01, 0.002, 0.001, -0.0005, 0.0008, 0.0002, 0.01, -0.008],
        [0.08, -0.05, 0.0, 0.0, 0.01],
    ],
    ids=["rational", "thin-prism", "tilted-sensor", "pincushion"],
)
def test_distortion_models_render_where_they_project(dist):
    dist = np.asarray(dist)
    view = synthetic.render_target(CHESSBOARD, CAMERA, dist, _view_from(CHESSBOARD, (0.2, 0.1, -0.45)), IMAGE_SIZE)
    assert view.visible.all()
    _check_detections(CHESSBOARD, view, CAMERA, dist)


def _inside(points, margin):
    return (
        (points[:, 0] >= margin) & (points[:, 0] <= IMAGE_SIZE[0] - 1 - margin)
        & (points[:, 1] >= margin) & (points[:, 1] <= IMAGE_SIZE[1] - 1 - margin)
    )


@pytest.mark.parametrize("margin", [None, 60.0], ids=["default-margin", "wide-margin"])
def test_partly_visible_board_marks_only_points_inside_the_image(margin):
    centre = synthetic.board_center(CHARUCO)
    pose = synthetic.look_at_pose(centre + (0.14, 0.0, -0.30), centre + (0.14, 0.0, 0.0))
    kwargs = {} if margin is None else {"visibility_margin": margin}
    view = synthetic.render_target(CHARUCO, CAMERA, K1_ONLY, pose, IMAGE_SIZE, **kwargs)
    inside = _inside(view.corners, 3.0 if margin is None else margin)
    assert 0 < view.visible.sum() < len(view.visible)
    assert np.array_equal(view.visible, inside)
    if margin is not None:
        assert (_inside(view.corners, 0.0) & ~inside).any()  # some points lie in the margin
    marker_inside = _inside(view.marker_corners.reshape(-1, 2), 3.0 if margin is None else margin)
    np.testing.assert_array_equal(view.marker_visible, marker_inside.reshape(-1, 4).all(axis=1))
    _check_detections(CHARUCO, view, CAMERA, K1_ONLY, min_found=0.7 if margin is None else 0.0)


def test_pixels_beyond_the_lens_field_show_background():
    # Strong barrel distortion: r_d = r (1 - 0.5 r^2) never exceeds r_max, so
    # pixels farther than f * r_max from the centre receive no ray at all.
    dist = np.array([-0.5, 0.0, 0.0, 0.0])
    r_max = np.sqrt(1.0 / 1.5) * (1.0 - 0.5 / 1.5)
    board = ChessboardTarget((40, 30), 0.02)  # covers the whole field of view
    pose = _view_from(board, (0.0, 0.0, -0.3))
    view = synthetic.render_target(board, CAMERA, dist, pose, IMAGE_SIZE)
    v, u = np.mgrid[0:IMAGE_SIZE[1], 0:IMAGE_SIZE[0]]
    radius = np.hypot(u - CAMERA[0, 2], v - CAMERA[1, 2]) / CAMERA[0, 0]
    grey = _grey(view)
    assert np.all(grey[radius > r_max + 2e-3] == synthetic.BACKGROUND_LEVEL)
    assert np.mean(grey[radius < r_max - 5e-3] == synthetic.BACKGROUND_LEVEL) < 0.01
    seen = view.corners[view.visible]
    assert len(seen) > 100
    assert np.hypot(seen[:, 0] - CAMERA[0, 2], seen[:, 1] - CAMERA[1, 2]).max() <= r_max * CAMERA[0, 0]
    # Points the lens folds back into the image are not where the rendered image shows them.
    folded = _inside(view.corners, 3.0) & ~view.visible
    assert folded.any()


# --------------------------------------------------------------------------
# Layout: a fronto-parallel view lined up with the pixel grid is the printed board itself


def _expected_pattern(target, px_per_m):
    """The printed pattern, one image pixel per px_per_m metres, in grey levels."""
    if isinstance(target, ChessboardTarget):
        cols, rows = target.size
        side = int(round(target.square_size * px_per_m))
        parity = (np.add.outer(np.arange(rows + 1), np.arange(cols + 1)) % 2).astype(np.uint8)
        printed = np.kron(parity, np.ones((side, side), np.uint8)) * 255  # top-left square black
    else:
        board = _board(target)
        xs = np.asarray(board.getObjPoints())[..., 0]
        ys = np.asarray(board.getObjPoints())[..., 1]
        if isinstance(target, CharucoTarget):
            width, height = target.squares_x * target.square_length, target.squares_y * target.square_length
        else:
            width, height = xs.max(), ys.max()
        size = (int(round(width * px_per_m)), int(round(height * px_per_m)))
        printed = board.generateImage(size, marginSize=0, borderBits=1)
    return np.where(printed > 127, synthetic.WHITE_LEVEL, synthetic.BLACK_LEVEL)


def _pattern_origin(target):
    """Board-frame position of the top-left corner of the printed pattern."""
    if isinstance(target, ChessboardTarget):
        return np.array([-target.square_size, -target.square_size])
    return np.zeros(2)


def _quiet_zone(target):
    if isinstance(target, ArucoGridTarget):
        return target.marker_length
    return target.square_length if isinstance(target, CharucoTarget) else target.square_size


@pytest.mark.parametrize(
    "target",
    [
        ChessboardTarget((9, 6), 0.03),
        ChessboardTarget((4, 3), 0.025),
        CharucoTarget(7, 5, 0.04, 0.03, cv2.aruco.DICT_4X4_1000),
        CharucoTarget(5, 6, 0.035, 0.028, cv2.aruco.DICT_5X5_100),
        ArucoGridTarget((5, 4), 0.035, 0.01, cv2.aruco.DICT_5X5_100),
        ArucoGridTarget((3, 2), 0.03, 0.015, cv2.aruco.DICT_4X4_1000),
    ],
    ids=["chessboard9x6", "chessboard4x3", "charuco7x5", "charuco5x6", "grid5x4", "grid3x2"],
)
def test_front_view_shows_printed_board_on_white_sheet(target):
    px_per_m = 2000.0  # every square, marker and bit cell is a whole number of pixels
    width, height = 800, 640
    camera = np.array([[1000.0, 0.0, 400.0], [0.0, 1000.0, 320.0], [0.0, 0.0, 1.0]])
    x0, y0, x1, y1 = synthetic.sheet_bounds(target)
    origin = _pattern_origin(target)
    expected_pattern = _expected_pattern(target, px_per_m)
    pattern_h, pattern_w = expected_pattern.shape
    assert x0 <= origin[0] - _quiet_zone(target) + 1e-12 and y0 <= origin[1] - _quiet_zone(target) + 1e-12
    assert x1 >= origin[0] + pattern_w / px_per_m + _quiet_zone(target) - 1e-12
    assert y1 >= origin[1] + pattern_h / px_per_m + _quiet_zone(target) - 1e-12

    # Sheet corner at the top-left corner of pixel (20, 20): board x -> pixel x0 + 19.5 + (x - x0) * px_per_m.
    pose = np.eye(4)
    pose[:3, 3] = [(19.5 - 400.0) / px_per_m - x0, (19.5 - 320.0) / px_per_m - y0, 1000.0 / px_per_m]
    view = synthetic.render_target(target, camera, None, pose, (width, height))
    grey = _grey(view).astype(int)

    sheet_w, sheet_h = int(round((x1 - x0) * px_per_m)), int(round((y1 - y0) * px_per_m))
    expected = np.full((height, width), synthetic.BACKGROUND_LEVEL)
    expected[20:20 + sheet_h, 20:20 + sheet_w] = synthetic.WHITE_LEVEL
    top = 20 + int(round((origin[1] - y0) * px_per_m))
    left = 20 + int(round((origin[0] - x0) * px_per_m))
    expected[top:top + pattern_h, left:left + pattern_w] = expected_pattern
    assert np.abs(grey - expected).max() <= 1


def _pixel_overlap(count, edges):
    """(count, len(edges) - 1) overlap of pixel u, spanning [u - 0.5, u + 0.5], with each interval between edges."""
    low = np.arange(count)[:, None] - 0.5
    return np.clip(np.minimum(low + 1.0, edges[None, 1:]) - np.maximum(low, edges[None, :-1]), 0.0, None)


@pytest.mark.parametrize("supersample", [3, 4, 6])
@pytest.mark.parametrize("shift", [(0.3, 0.17), (0.61, 0.42)])
def test_pixels_average_the_sheet_over_their_area(supersample, shift):
    # Fronto-parallel chessboard with edges at fractions of a pixel: each pixel
    # should show the area-weighted mix of paper, print and background under it.
    width, height, px_per_m = 720, 560, 2000.0
    centre = ((width - 1) / 2 + shift[0], (height - 1) / 2 + shift[1])
    camera = synthetic.pinhole_matrix(1000.0, (width, height), centre)
    pose = np.eye(4)
    pose[:3, 3] = [-0.12, -0.075, 1000.0 / px_per_m]
    cols, rows = CHESSBOARD.size
    square = CHESSBOARD.square_size * px_per_m
    u0, v0 = camera[0, 2] + px_per_m * pose[0, 3], camera[1, 2] + px_per_m * pose[1, 3]  # board origin
    # Intervals: left quiet zone, the cols + 1 squares, right quiet zone (likewise down the rows).
    across = _pixel_overlap(width, u0 + square * np.arange(-2, cols + 2))
    down = _pixel_overlap(height, v0 + square * np.arange(-2, rows + 2))
    a = np.r_[-1, np.arange(cols + 1), -1]
    b = np.r_[-1, np.arange(rows + 1), -1]
    printed = ((a[None, :] >= 0) & (b[:, None] >= 0) & ((a[None, :] + b[:, None]) % 2 == 0)).astype(float)
    paper = np.outer(down.sum(axis=1), across.sum(axis=1))
    black = down @ printed @ across.T
    expected = (
        synthetic.BACKGROUND_LEVEL
        + (synthetic.WHITE_LEVEL - synthetic.BACKGROUND_LEVEL) * paper
        - (synthetic.WHITE_LEVEL - synthetic.BLACK_LEVEL) * black
    )
    view = synthetic.render_target(CHESSBOARD, camera, None, pose, (width, height), supersample=supersample)
    difference = np.abs(_grey(view) - expected)
    assert difference.max() < 12.0 and difference.mean() < 0.25


# --------------------------------------------------------------------------
# Ground truth bookkeeping


@pytest.mark.parametrize("target", [CHESSBOARD, CHARUCO, GRID], ids=["chessboard", "charuco", "grid"])
def test_ground_truth_follows_board_order(target):
    pose = _view_from(target, (0.1, 0.05, -0.5))
    view = synthetic.render_target(target, CAMERA, K1_ONLY, pose, (320, 240))
    rvec, tvec = cv2.Rodrigues(pose[:3, :3])[0], pose[:3, 3]

    def project(points):
        return cv2.projectPoints(points.reshape(-1, 3), rvec, tvec, CAMERA, K1_ONLY)[0].reshape(-1, 2)

    np.testing.assert_allclose(view.corners, project(view.object_points), atol=1e-9)
    if isinstance(target, ChessboardTarget):
        cols, rows = target.size
        i, j = np.divmod(np.arange(cols * rows), cols)
        expected = np.stack([j * target.square_size, i * target.square_size, np.zeros(cols * rows)], axis=1)
        np.testing.assert_allclose(view.object_points, expected, atol=1e-12)
        np.testing.assert_array_equal(view.ids, np.arange(cols * rows))
        assert view.marker_ids.shape == (0,) and view.marker_corners.shape == (0, 4, 2)
    else:
        board = _board(target)
        marker_points = np.asarray(board.getObjPoints(), dtype=np.float64).reshape(-1, 4, 3)
        np.testing.assert_array_equal(view.marker_ids, np.asarray(board.getIds()).ravel())
        if isinstance(target, CharucoTarget):
            chessboard = np.asarray(board.getChessboardCorners(), dtype=np.float64)
            np.testing.assert_allclose(view.object_points, chessboard, atol=1e-12)
            np.testing.assert_array_equal(view.ids, np.arange(len(chessboard)))
        else:
            np.testing.assert_allclose(view.object_points, marker_points.reshape(-1, 3), atol=1e-12)
            np.testing.assert_array_equal(view.ids, np.repeat(view.marker_ids, 4))
        np.testing.assert_allclose(view.marker_corners.reshape(-1, 2), project(marker_points), atol=1e-9)
    assert view.corners.shape == (len(view.ids), 2) and view.visible.shape == view.ids.shape


@pytest.mark.parametrize("target", [CHESSBOARD, CHARUCO, GRID], ids=["chessboard", "charuco", "grid"])
def test_board_center_is_centre_of_points(target):
    if isinstance(target, ChessboardTarget):
        cols, rows = target.size
        expected = np.array([(cols - 1) * target.square_size / 2, (rows - 1) * target.square_size / 2, 0.0])
    elif isinstance(target, CharucoTarget):
        expected = np.asarray(_board(target).getChessboardCorners(), dtype=np.float64).mean(axis=0)
    else:
        expected = np.asarray(_board(target).getObjPoints(), dtype=np.float64).reshape(-1, 3).mean(axis=0)
    np.testing.assert_allclose(synthetic.board_center(target), expected, atol=1e-7)


# --------------------------------------------------------------------------
# Poses that show nothing


def _behind_camera(target):
    pose = np.eye(4)
    pose[:3, 3] = -synthetic.board_center(target) + (0.0, 0.0, -0.5)
    return pose


def _beside_view(target):
    pose = np.eye(4)
    pose[:3, 3] = -synthetic.board_center(target) + (2.0, 0.0, 0.5)
    return pose


@pytest.mark.parametrize(
    "pose_of, behind", [(_behind_camera, True), (_beside_view, False)], ids=["behind-camera", "out-of-view"]
)
@pytest.mark.parametrize("target", [CHESSBOARD, CHARUCO, GRID], ids=["chessboard", "charuco", "grid"])
def test_board_out_of_sight_gives_background_only(target, pose_of, behind):
    view = synthetic.render_target(target, CAMERA, K1_ONLY, pose_of(target), (320, 240))
    assert np.all(view.image == synthetic.BACKGROUND_LEVEL)
    assert not view.visible.any()
    assert not view.marker_visible.any()
    # Points behind the camera have no image position.
    assert np.all(np.isnan(view.corners)) == behind and np.all(np.isfinite(view.corners)) != behind


@pytest.mark.parametrize("target", [CHESSBOARD, CHARUCO, GRID], ids=["chessboard", "charuco", "grid"])
def test_back_of_sheet_is_blank_paper(target):
    centre = synthetic.board_center(target)
    camera = np.array([[500.0, 0.0, 320.0], [0.0, 500.0, 240.0], [0.0, 0.0, 1.0]])
    front_pose = synthetic.look_at_pose(centre + (0.05, 0.0, -0.5), centre)
    back_pose = synthetic.look_at_pose(centre + (0.05, 0.0, 0.5), centre)
    front = synthetic.render_target(target, camera, K1_ONLY, front_pose, (640, 480))
    back = synthetic.render_target(target, camera, K1_ONLY, back_pose, (640, 480))
    assert front.visible.all() and _grey(front).min() <= synthetic.BLACK_LEVEL + 1
    assert not back.visible.any()
    assert np.all(np.isfinite(back.corners))  # in front of the camera, just not facing it
    assert _grey(back).min() >= synthetic.BACKGROUND_LEVEL
    assert _grey(back).max() == synthetic.WHITE_LEVEL


# --------------------------------------------------------------------------
# Noise, blur and determinism


@pytest.mark.parametrize(
    "noise_sigma, seed_a, seed_b, identical",
    [(2.0, 7, 7, True), (2.0, 7, 8, False), (0.0, 7, 8, True)],
    ids=["same-seed", "other-seed", "no-noise"],
)
def test_rendering_is_deterministic(noise_sigma, seed_a, seed_b, identical):
    pose = _view_from(CHARUCO, (0.1, -0.05, -0.5))
    a = synthetic.render_target(CHARUCO, CAMERA, K1_ONLY, pose, (480, 360), noise_sigma=noise_sigma, seed=seed_a)
    b = synthetic.render_target(CHARUCO, CAMERA, K1_ONLY, pose, (480, 360), noise_sigma=noise_sigma, seed=seed_b)
    assert (a.image.tobytes() == b.image.tobytes()) == identical


@pytest.mark.parametrize("sigma, blur", [(1.0, 0.0), (4.0, 0.0), (2.0, 1.5)])
def test_noise_has_requested_strength(sigma, blur):
    pose = _view_from(CHARUCO, (0.1, -0.05, -0.5))
    clean = synthetic.render_target(CHARUCO, CAMERA, K1_ONLY, pose, (480, 360), blur_sigma=blur)
    noisy = synthetic.render_target(
        CHARUCO, CAMERA, K1_ONLY, pose, (480, 360), blur_sigma=blur, noise_sigma=sigma, seed=3
    )
    # The noise is added after the blur, so the blur does not weaken it.
    difference = _grey(noisy).astype(float) - _grey(clean).astype(float)
    # Rounding to whole grey levels adds 1/12 to the variance.
    assert np.sqrt(difference.var() - 1.0 / 12.0) == pytest.approx(sigma, rel=0.05)
    assert abs(difference.mean()) < 0.05


@pytest.mark.parametrize("sigma", [0.8, 2.0])
def test_blur_is_gaussian_before_noise(sigma):
    pose = _view_from(GRID, (0.1, -0.05, -0.5))
    sharp = synthetic.render_target(GRID, CAMERA, K1_ONLY, pose, (480, 360))
    blurred = synthetic.render_target(GRID, CAMERA, K1_ONLY, pose, (480, 360), blur_sigma=sigma)
    expected = cv2.GaussianBlur(_grey(sharp).astype(np.float32), (0, 0), sigma, borderType=cv2.BORDER_REPLICATE)
    assert np.abs(_grey(blurred) - expected).max() <= 1.0
    def steepest(view):
        return np.abs(np.diff(_grey(view).astype(int), axis=1)).max()

    assert steepest(blurred) < steepest(sharp)


# --------------------------------------------------------------------------
# Helpers and argument checks


@pytest.mark.parametrize(
    "position, target_point, up",
    [
        ((0.1, 0.05, -0.5), (0.1, 0.05, 0.0), (0.0, -1.0, 0.0)),
        ((0.4, -0.2, -0.3), (0.12, 0.08, 0.0), (0.0, -1.0, 0.0)),
        ((-0.2, 0.3, -0.6), (0.0, 0.0, 0.0), (1.0, -1.0, 0.0)),
    ],
)
def test_look_at_pose_aims_camera(position, target_point, up):
    pose = synthetic.look_at_pose(position, target_point, up)
    rotation, translation = pose[:3, :3], pose[:3, 3]
    np.testing.assert_allclose(rotation.T @ rotation, np.eye(3), atol=1e-12)
    assert np.linalg.det(rotation) == pytest.approx(1.0)
    np.testing.assert_allclose(pose[3], [0, 0, 0, 1])
    np.testing.assert_allclose(rotation @ np.asarray(position) + translation, 0.0, atol=1e-12)
    aimed = rotation @ np.asarray(target_point) + translation
    np.testing.assert_allclose(aimed[:2], 0.0, atol=1e-12)
    assert aimed[2] == pytest.approx(np.linalg.norm(np.subtract(target_point, position)))
    # "up" points to the top of the image (camera -y), with no sideways component.
    up_in_camera = rotation @ np.asarray(up, dtype=float)
    assert up_in_camera[0] == pytest.approx(0.0, abs=1e-12) and up_in_camera[1] < 0


def test_look_at_pose_shows_board_upright_and_unmirrored():
    pose = synthetic.look_at_pose((0.0, 0.0, -0.5), (0.0, 0.0, 0.0))
    points = np.array([[0.0, 0.0, 0.0], [0.1, 0.0, 0.0], [0.0, 0.1, 0.0]])
    projected, _ = cv2.projectPoints(points, cv2.Rodrigues(pose[:3, :3])[0], pose[:3, 3], CAMERA, None)
    origin, along_x, along_y = projected.reshape(-1, 2)
    assert along_x[0] > origin[0] + 10 and abs(along_x[1] - origin[1]) < 1e-9  # board x to the right
    assert along_y[1] > origin[1] + 10 and abs(along_y[0] - origin[0]) < 1e-9  # board y downwards


def test_look_at_pose_rejects_up_along_view():
    with pytest.raises(ValueError, match="parallel"):
        synthetic.look_at_pose((0.0, 0.0, -0.5), (0.0, 0.0, 0.0), up=(0.0, 0.0, 1.0))


@pytest.mark.parametrize(
    "focal, size, principal, expected_centre",
    [(1000.0, (1280, 960), None, (639.5, 479.5)), ((800.0, 820.0), (640, 480), (300.0, 250.0), (300.0, 250.0))],
)
def test_pinhole_matrix(focal, size, principal, expected_centre):
    matrix = synthetic.pinhole_matrix(focal, size, principal)
    fx, fy = np.broadcast_to(focal, (2,))
    np.testing.assert_array_equal(matrix, [[fx, 0, expected_centre[0]], [0, fy, expected_centre[1]], [0, 0, 1]])


def _shear_pose():
    pose = _view_from(CHARUCO, (0.0, 0.0, -0.5))
    pose[0, 1] += 0.1
    return pose


@pytest.mark.parametrize(
    "target, camera, dist, pose_of, kwargs, error",
    [
        (CHARUCO, CAMERA[:2], K1_ONLY, None, {}, ValueError),
        (CHARUCO, CAMERA + [[0, 0.5, 0], [0, 0, 0], [0, 0, 0]], K1_ONLY, None, {}, ValueError),
        (CHARUCO, CAMERA, [-0.1, 0.0, 0.0], None, {}, ValueError),
        (CHARUCO, CAMERA, K1_ONLY, _shear_pose, {}, ValueError),
        (CHARUCO, CAMERA, K1_ONLY, None, {"supersample": 0}, ValueError),
        (CHARUCO, CAMERA, K1_ONLY, None, {"noise_sigma": -1.0}, ValueError),
        (CHARUCO, CAMERA, K1_ONLY, None, {"blur_sigma": float("nan")}, ValueError),
        (CharucoTarget(7, 5, 0.04, 0.05, cv2.aruco.DICT_4X4_1000), CAMERA, K1_ONLY, None, {}, ValueError),
        (ChessboardTarget((1, 6), 0.03), CAMERA, K1_ONLY, None, {}, ValueError),
        (object(), CAMERA, K1_ONLY, None, {}, TypeError),
    ],
    ids=[
        "camera-shape", "camera-skew", "dist-length", "pose-not-rigid", "supersample",
        "negative-noise", "nan-blur", "marker-larger-than-square", "chessboard-too-small", "unknown-target",
    ],
)
def test_bad_arguments_are_rejected(target, camera, dist, pose_of, kwargs, error):
    pose = pose_of() if pose_of else _view_from(CHARUCO, (0.0, 0.0, -0.5))
    with pytest.raises(error):
        synthetic.render_target(target, camera, dist, pose, (320, 240), **kwargs)


def test_missing_opencv_gives_clear_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "cv2", None)  # makes "import cv2" fail
    module = _load_from_file("velk_synthetic_without_opencv")  # importing needs no OpenCV
    cols, rows = CHESSBOARD.size
    middle = [(cols - 1) * CHESSBOARD.square_size / 2, (rows - 1) * CHESSBOARD.square_size / 2, 0.0]
    np.testing.assert_allclose(module.board_center(CHESSBOARD), middle)
    pose = module.look_at_pose((0.1, 0.0, -0.5), module.board_center(CHESSBOARD))
    with pytest.raises(ImportError, match="pip install opencv-python-headless"):
        module.render_target(CHESSBOARD, CAMERA, K1_ONLY, pose, (320, 240))
