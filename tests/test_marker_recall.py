"""ChArUco and ArUco boards the default marker search misses (markers too small for it), found by the wider
search tried after it: reported per picture, close to the truth, and never changing a picture the first
search finds."""

import numpy as np
import pytest

from _velk import IntrinsicCalibrator, IntrinsicOptions
from conftest import TRUE_DIST, TRUE_K, intrinsic_targets

cv2 = pytest.importorskip("cv2")

FAR_M = {"charuco": 2.5, "aruco": 4.0}  # markers of 8 to 10 px across
# Median and largest distance (px) of the found corners to the rendered ones: ChArUco corners are refined
# chessboard corners, an 8 px marker's own corners are placed to about a pixel.
CLOSE_PX = {"charuco": (0.3, 1.0), "aruco": (1.0, 2.0)}


def options_with(fallback):
    options = IntrinsicOptions()
    options.fallback_searches = fallback
    return options


@pytest.fixture(scope="module")
def far_view():
    """Each marker board rendered far enough away that the default marker search finds nothing."""
    from quorvane.velk import synthetic

    def view(kind):
        target = intrinsic_targets()[kind]
        centre = synthetic.board_center(target)
        eye = centre + FAR_M[kind] * np.array([0.1, 0.05, -1.0]) / np.linalg.norm([0.1, 0.05, -1.0])
        return target, synthetic.render_target(target, TRUE_K, TRUE_DIST, synthetic.look_at_pose(eye, centre),
                                               (1280, 960), noise_sigma=1.0, blur_sigma=0.5, seed=3, supersample=2)

    return view


@pytest.mark.parametrize("kind, skipped", [("charuco", "Not enough ChArUco corners"),
                                           ("aruco", "Not enough ArUco markers")])
def test_small_markers_the_first_search_misses_are_found_by_the_wider_one(kind, skipped, far_view, capfd):
    target, view = far_view(kind)
    off = IntrinsicCalibrator(target, options_with(False)).find_corners([view.image], annotate=False)
    assert off.successful_indices == [] and list(off.skipped_reasons) == [skipped]
    on = IntrinsicCalibrator(target, options_with(True)).find_corners([view.image], annotate=False)
    assert on.successful_indices == [0] and list(on.found_by) == ["wider"]
    found = on.image_points[0].reshape(-1, 2)
    nearest = np.linalg.norm(found[:, None] - view.corners[None], axis=2).min(axis=1)
    median_px, largest_px = CLOSE_PX[kind]
    assert len(found) >= 16 and np.median(nearest) < median_px and nearest.max() < largest_px
    assert "found by the wider search in image 0" in capfd.readouterr().err


@pytest.mark.parametrize("kind", ["charuco", "aruco"])
def test_pictures_the_first_search_finds_keep_their_corners_bit_for_bit(kind, rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene(kind)
    images = [v.image for v in views[:4]]
    on = IntrinsicCalibrator(target, options_with(True)).find_corners(images, annotate=False)
    off = IntrinsicCalibrator(target, options_with(False)).find_corners(images, annotate=False)
    assert on.successful_indices == off.successful_indices == list(range(4))
    assert list(on.found_by) == ["plain"] * 4
    for a, b in zip(on.image_points, off.image_points):
        assert np.array_equal(a, b)
