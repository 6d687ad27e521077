"""Two-camera calibration of a real stereo camera from chessboard photographs, checked against plain OpenCV."""

import math
import sys
from pathlib import Path

import numpy as np
import pytest

from _velk import ChessboardTarget, MultiCameraCalibrator

cv2 = pytest.importorskip("cv2")

sys.path.insert(0, str(Path(__file__).resolve().parent))
import projected_corners as pc  # noqa: E402

PATTERN = (9, 6)
SQUARE = 0.025
CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 1e-6)  # the calibrator's default criteria
THRESHOLD = 3.0  # the calibrator's default per-view threshold, pixels
SKIPPED = "MultiCameraCalibrator::triangulate requires a CharucoTarget"


def opencv_camera(images):
    """Detection and intrinsic calibration of one camera, written directly with cv2."""
    objp = np.zeros((PATTERN[0] * PATTERN[1], 3), np.float32)
    objp[:, :2] = np.mgrid[0:PATTERN[0], 0:PATTERN[1]].T.reshape(-1, 2) * SQUARE
    frames, corners = [], []
    for index, image in enumerate(images):
        grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
        found, points = cv2.findChessboardCorners(grey, PATTERN, flags=0)
        if found:
            frames.append(index)
            corners.append(cv2.cornerSubPix(grey, points, (11, 11), (-1, -1), CRITERIA))
    size = (images[0].shape[1], images[0].shape[0])
    _, K, d, _, _, _, _, per_view = cv2.calibrateCameraExtended(
        [objp] * len(corners), corners, size, None, None, flags=0, criteria=CRITERIA)
    low_error = {frames[j] for j in range(len(frames)) if per_view[j, 0] <= THRESHOLD}
    return {"frames": frames, "corners": corners, "K": K, "d": d, "low_error": low_error or set(frames),
            "objp": objp, "size": size}


def opencv_stereo(left, right):
    a, b = opencv_camera(left), opencv_camera(right)
    shared = [f for f in a["frames"] if f in b["frames"] and f in a["low_error"] and f in b["low_error"]]
    rms, _, _, _, _, R, T, _, _ = cv2.stereoCalibrate(
        [a["objp"]] * len(shared), [a["corners"][a["frames"].index(f)] for f in shared],
        [b["corners"][b["frames"].index(f)] for f in shared], a["K"], a["d"], b["K"], b["d"], a["size"],
        flags=cv2.CALIB_FIX_INTRINSIC, criteria=CRITERIA)
    right_T_left = np.eye(4)
    right_T_left[:3, :3], right_T_left[:3, 3] = R, T.ravel()
    return a, b, rms, np.linalg.inv(right_T_left), len(shared)


def relative_difference(a, b):
    return np.max(np.abs(a - b)) / np.max(np.abs(b))


@pytest.fixture(scope="module")
def stereo_run(left_photos, right_photos):
    calibrator = MultiCameraCalibrator(ChessboardTarget(PATTERN, SQUARE), 2)
    return calibrator, calibrator.calibrate([left_photos, right_photos])


def test_agrees_with_opencv(stereo_run, left_photos, right_photos):
    _, result = stereo_run
    left, right, rms, left_T_right, frames = opencv_stereo(left_photos, right_photos)
    assert frames == len(left_photos) == 13
    assert result.ok
    assert relative_difference(result.reference_T_camera_list[1], left_T_right) < 1e-6
    assert result.pair_reprojection_errors[1] == pytest.approx(rms, rel=1e-6)
    for k, camera in enumerate((left, right)):
        assert relative_difference(result.intrinsic_matrices[k], camera["K"]) < 1e-6
        assert relative_difference(result.distortion_coefficients[k], camera["d"].reshape(1, -1)) < 1e-6
    baseline = np.linalg.norm(result.reference_T_camera_list[1][:3, 3])
    assert 0.05 < baseline < 0.2  # a desktop stereo camera, some centimetres apart


def test_chessboard_rig_is_never_triangulated(stereo_run, left_photos, right_photos, capfd):
    calibrator = MultiCameraCalibrator(ChessboardTarget(PATTERN, SQUARE), 2)
    result = calibrator.calibrate([left_photos, right_photos])
    out, err = capfd.readouterr()
    assert result.ok
    assert err.endswith(f"px over 13 frames\n[velk][WARNING] [MultiCameraCalibrator] Triangulation validation "
                        f"skipped: {SKIPPED}\n")
    assert "TRIANGULATION VALIDATION" not in out and out == calibrator.format_results()
    with pytest.raises(ValueError) as info:
        calibrator.triangulate([left_photos, right_photos])
    assert str(info.value) == SKIPPED


def test_chessboard_subsets_keep_their_results(left_photos, right_photos, capfd):
    calibrator = MultiCameraCalibrator(ChessboardTarget(PATTERN, SQUARE), 2)
    subsets = calibrator.calibrate_subsets([left_photos, right_photos])
    err = capfd.readouterr().err
    assert [s.subset for s in subsets] == [[0, 1]]
    assert subsets[0].result.ok and not subsets[0].has_triangulation
    assert subsets[0].triangulation.points_3d.size == 0 and math.isclose(subsets[0].triangulation.plane_thickness_m, 0)
    assert f"[velk][WARNING] Triangulation failed for subset: {SKIPPED}\n" in err
    assert err.endswith("[velk][WARNING] Skipping subsets of size 3: only 2 cameras.\n")
    assert calibrator.format_results().endswith("SUBSET SUMMARY\n" + "=" * 90 + "\n(cam_0, cam_1): ok=yes\n")


def test_right_camera_as_reference(stereo_run, left_photos, right_photos):
    _, left_reference = stereo_run
    result = MultiCameraCalibrator(ChessboardTarget(PATTERN, SQUARE), 2, 1).calibrate([left_photos, right_photos])
    assert result.ok and np.array_equal(result.reference_T_camera_list[1], np.eye(4))
    assert np.allclose(result.reference_T_camera_list[0] @ left_reference.reference_T_camera_list[1], np.eye(4),
                       atol=1e-3)


def refined_rig(left_photos, right_photos, frames):
    calibrator = MultiCameraCalibrator(ChessboardTarget(PATTERN, SQUARE), 2)
    result = calibrator.calibrate([[left_photos[f] for f in frames], [right_photos[f] for f in frames]], refine=True)
    assert result.ok and result.refined, result.refinement_reason
    return result


def test_refined_halves_agree_within_their_predicted_sigmas(left_photos, right_photos):
    """Without a ground truth, the two halves of the photographs test the uncertainty: the right
    camera's pose from the even and from the odd pairs differ by what their 1-sigma allow."""
    even, odd = (refined_rig(left_photos, right_photos, range(start, 13, 2)).refinement for start in (0, 1))
    dt, dr = pc.error_vectors(even.reference_T_camera_list[1], odd.reference_T_camera_list[1])
    a, b = even.camera_sigmas[1], odd.camera_sigmas[1]
    assert np.all(np.abs(dt * 1000) < 3 * np.hypot(a.translation_mm, b.translation_mm))
    assert np.all(np.abs(np.degrees(dr)) < 3 * np.hypot(a.rotation_deg, b.rotation_deg))
    # And the sigmas are those of a good desktop stereo camera, not so loose that anything agrees.
    for sigma in (a, b):
        assert sigma.translation_norm_mm < 1.0 and sigma.rotation_norm_deg < 0.5


def test_refinement_of_all_photographs_lists_the_pairs_that_stand_out(left_photos, right_photos):
    refinement = refined_rig(left_photos, right_photos, range(13)).refinement
    assert refinement.summary.converged and refinement.frames_used == list(range(13))
    rms = np.array(refinement.per_view_rms_px)
    assert len(rms) == 26 and refinement.rms_px < 0.6
    # A few pairs fit clearly worse than the rest; they are listed and kept.
    assert int(np.argmax(rms)) in refinement.outlier_views
    assert all(rms[v] > np.median(rms) for v in refinement.outlier_views)
    assert len(refinement.outlier_views) < 13
