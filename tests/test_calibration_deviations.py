"""The calibration's standard deviations against those cv2.calibrateCameraExtended gives for the same corners."""

import numpy as np
import pytest

from _velk import IntrinsicCalibrator, IntrinsicOptions
from conftest import TRUE_K

cv2 = pytest.importorskip("cv2")

FLAG_SETS = {
    "default": 0,
    "fixed aspect ratio": cv2.CALIB_FIX_ASPECT_RATIO,
    "fixed principal point, no tangential": cv2.CALIB_FIX_PRINCIPAL_POINT | cv2.CALIB_ZERO_TANGENT_DIST,
    "fixed focal length and k3": cv2.CALIB_FIX_FOCAL_LENGTH | cv2.CALIB_FIX_K3 | cv2.CALIB_USE_INTRINSIC_GUESS,
    "rational model": cv2.CALIB_RATIONAL_MODEL,
    "without Schur complement": cv2.CALIB_DISABLE_SCHUR_COMPLEMENT,
}


def options_for(flags):
    options = IntrinsicOptions()
    options.calibrate_camera_flags = flags
    options.intrinsic_matrix_guess = TRUE_K * [[1.01], [1.0], [1.0]]
    return options


@pytest.mark.parametrize("flags", FLAG_SETS.values(), ids=FLAG_SETS.keys())
def test_deviations_equal_those_of_calibrate_camera(flags, rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene("charuco")
    images = [v.image for v in views]
    options = options_for(flags)
    calibrator = IntrinsicCalibrator(target, options)
    result = calibrator.calibrate(images)
    assert result.ok
    detections = calibrator.find_corners(images)

    guess = options.intrinsic_matrix_guess.copy()
    criteria = (options.criteria.type, options.criteria.max_count, options.criteria.epsilon)
    _, k, d, _, _, intrinsic_sigmas, extrinsic_sigmas, _ = cv2.calibrateCameraExtended(
        list(detections.object_points), list(detections.image_points), images[0].shape[1::-1], guess, None,
        flags=flags, criteria=criteria)

    np.testing.assert_allclose(result.intrinsic_matrix, k, rtol=1e-9)
    ours = np.asarray(result.std_deviations_intrinsics).ravel()
    theirs = intrinsic_sigmas.ravel()
    assert ours.shape == theirs.shape == (18,)
    # Fixed parameters read zero in both. Free ones agree to the rounding of two different
    # inversions, which the poorly conditioned rational model magnifies to about 1e-5.
    np.testing.assert_array_equal(ours == 0, theirs == 0)
    np.testing.assert_allclose(ours, theirs, rtol=1e-4)
    np.testing.assert_allclose(np.asarray(result.std_deviations_extrinsics).ravel(), extrinsic_sigmas.ravel(),
                               rtol=1e-4)
    assert len(result.std_deviations_extrinsics) == 6 * len(result.successful_indices)
