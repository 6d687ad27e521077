"""Chessboards the plain search misses, found by the searches tried after it: reported per picture, in
the plain search's corner order, and never changing a picture the plain search finds."""

import numpy as np
import pytest

import degraded_views
from _velk import ChessboardTarget, IntrinsicCalibrator, IntrinsicOptions

cv2 = pytest.importorskip("cv2")

TARGET = ChessboardTarget((9, 6), 0.025)
ENLARGEMENT = 4
RIGHT02 = 1  # position of right02.jpg among the right photographs
DEFAULT_MAX_SIDE = IntrinsicOptions().detection_max_side


def options_with(fallback, max_side=DEFAULT_MAX_SIDE):
    options = IntrinsicOptions()
    options.fallback_searches = fallback
    options.detection_max_side = max_side
    return options


def enlarged(photo):
    return cv2.resize(photo, None, fx=ENLARGEMENT, fy=ENLARGEMENT, interpolation=cv2.INTER_CUBIC)


@pytest.fixture(scope="module")
def enlarged_right02(right_photos):
    """right02 enlarged 4 times: at full resolution the plain search misses it."""
    return enlarged(right_photos[RIGHT02])


def test_fallback_is_on_by_default():
    assert IntrinsicOptions().fallback_searches is True


def test_enlarged_photograph_missed_by_the_plain_search_is_found_in_its_corner_order(enlarged_right02,
                                                                                     right_photos):
    off = IntrinsicCalibrator(TARGET, options_with(False, 0)).find_corners([enlarged_right02], annotate=False)
    assert off.successful_indices == [] and list(off.skipped_reasons) == ["Chessboard not found"]
    on = IntrinsicCalibrator(TARGET, options_with(True, 0)).find_corners([enlarged_right02], annotate=False)
    assert on.successful_indices == [0] and list(on.found_by) == ["adaptive"]
    # The plain search finds the photograph at its own size; its corners mapped onto the enlarged
    # picture (pixel centres at integers) are where the enlarged picture's corners are, in the same
    # order (a board read in another order puts most corners a square, here ~100 px, away).
    own = IntrinsicCalibrator(TARGET).find_corners([right_photos[RIGHT02]], annotate=False)
    assert list(own.found_by) == ["plain"]
    mapped = ENLARGEMENT * own.image_points[0].reshape(-1, 2) + (ENLARGEMENT - 1) / 2
    assert np.median(np.linalg.norm(on.image_points[0].reshape(-1, 2) - mapped, axis=1)) < 0.5 * ENLARGEMENT


def test_log_names_the_picture_a_later_search_found(enlarged_right02, capfd):
    options = options_with(True, 0)
    options.image_names = ["blank.png", "right02.jpg"]
    blank = np.full((480, 640, 3), 200, np.uint8)
    found = IntrinsicCalibrator(TARGET, options).find_corners([blank, enlarged_right02], annotate=False)
    assert found.successful_indices == [1] and list(found.found_by) == ["adaptive"]
    assert capfd.readouterr().err == (
        "[velk][WARNING] [IntrinsicCalibrator] Chessboard not found in image 0 (blank.png)\n"
        "[velk][INFO] [IntrinsicCalibrator] Chessboard found by the adaptive search in image 1 (right02.jpg)\n")


@pytest.mark.parametrize("max_side", [DEFAULT_MAX_SIDE, 640])
def test_pictures_the_plain_search_finds_keep_their_corners_bit_for_bit(max_side, rendered_intrinsic_scene,
                                                                        left_photos):
    # The rendered 1280 x 960 views are searched on a reduced copy with the lower limit.
    rendered_target, views = rendered_intrinsic_scene("chessboard")
    for target, images in ((TARGET, left_photos[:4]), (rendered_target, [v.image for v in views[:4]])):
        on = IntrinsicCalibrator(target, options_with(True, max_side)).find_corners(images, annotate=False)
        off = IntrinsicCalibrator(target, options_with(False, max_side)).find_corners(images, annotate=False)
        assert on.successful_indices == off.successful_indices == list(range(4))
        assert list(on.found_by) == list(off.found_by) == ["plain"] * 4
        for a, b in zip(on.image_points, off.image_points):
            assert np.array_equal(a, b)


def with_glare(view, row, column, reach):
    """The view with a saturated blob centred on the square right of and below corner (row, column),
    reaching `reach` corner spacings from its centre, with a soft rim."""
    corners = view.corners.reshape(6, 9, 2)
    centre = corners[row:row + 2, column:column + 2].reshape(-1, 2).mean(axis=0)
    spacing = np.linalg.norm(corners[row, column + 1] - corners[row, column])
    rows, columns = np.mgrid[:view.image.shape[0], :view.image.shape[1]]
    distance = np.hypot(columns - centre[0], rows - centre[1])
    level = np.clip((reach * spacing - distance) / (0.3 * spacing), 0.0, 1.0)
    return np.maximum(view.image, (255 * level)[:, :, None]).astype(np.uint8)


# Glare where only the sector-based search still finds the board; with the lower limit the 1280 x 960
# view is searched on its 640 x 480 copy and refined at full resolution.
@pytest.mark.parametrize("view, row, column, reach, max_side", [(0, 1, 5, 0.8, DEFAULT_MAX_SIDE),
                                                                (2, 3, 1, 0.6, DEFAULT_MAX_SIDE), (2, 3, 1, 0.6, 640)])
def test_board_under_glare_is_found_by_the_sector_search_in_the_true_corner_order(view, row, column, reach, max_side,
                                                                                   rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene("chessboard")
    image = with_glare(views[view], row, column, reach)
    off = IntrinsicCalibrator(target, options_with(False, max_side)).find_corners([image], annotate=False)
    assert off.successful_indices == []
    on = IntrinsicCalibrator(target, options_with(True, max_side)).find_corners([image], annotate=False)
    assert list(on.found_by) == ["sector"]
    # The sector search's own corners: close everywhere, least close beside the glare.
    errors = np.linalg.norm(on.image_points[0].reshape(-1, 2) - views[view].corners, axis=1)
    assert np.median(errors) < 0.1 and errors.max() < 1.0


# The first view of the recall benchmark under uneven light, low contrast, blur and noise: the plain
# search misses it, and the sector search reads its board one row of squares over (its outer row of
# corners along the board's edge against the margin, the darkest row of corners left out), which its
# ordering then turned half round.
def test_degraded_board_read_one_row_over_by_the_sector_search_comes_on_its_own_corners_in_order():
    target = ChessboardTarget((9, 6), 0.03)
    view = degraded_views.render_view(target, degraded_views.view_poses(target, 12)[0], 0)
    image = degraded_views.everything_but_glare(view, np.random.default_rng(1))
    off = IntrinsicCalibrator(target, options_with(False)).find_corners([image], annotate=False)
    assert off.successful_indices == []
    on = IntrinsicCalibrator(target).find_corners([image], annotate=False)
    assert on.successful_indices == [0]
    errors = np.linalg.norm(on.image_points[0].reshape(-1, 2) - view.corners, axis=1)
    assert np.median(errors) < 1.0
