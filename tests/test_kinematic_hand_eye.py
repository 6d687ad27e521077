"""Hand-eye calibration through a simulated arm's joint offsets from pictures: the offsets the pictures
determine are recovered within their uncertainty, those the two mounts absorb are held and named, and the
calibrated chain predicts the board at new configurations better than the per-pose refinement."""

import numpy as np
import pytest

import kinematic_scenes as scenes
from quorvane.velk import kinematic_hand_eye as khe

OFFSETS_RAD = np.radians([0.05, -0.06, 0.04, 0.07, -0.05, 0.06])
CALIBRATION_VIEWS = 15
NOISE_PX = 0.3


@pytest.fixture(scope="module", params=[False, True], ids=["eye_in_hand", "eye_to_hand"])
def calibrated(request):
    eye_to_hand = request.param
    pictures = scenes.arm_pictures(OFFSETS_RAD, seed=11, count=CALIBRATION_VIEWS + 8, eye_to_hand=eye_to_hand,
                                   noise_px=NOISE_PX)
    data = [items[:CALIBRATION_VIEWS] for items in (pictures.joints, pictures.object_points, pictures.image_points)]
    K, D = scenes.ARM_CAMERA_K, scenes.ARM_CAMERA_D
    result = khe.calibrate(scenes.ur_like_chain(), *data, K, D, eye_to_hand=eye_to_hand, log=False)
    nominal = khe.nominal_refinement(scenes.ur_like_chain(), *data, K, D, eye_to_hand=eye_to_hand)
    return eye_to_hand, pictures, result, nominal


def test_first_and_last_offsets_are_held_by_the_mounts_that_absorb_them(calibrated):
    eye_to_hand, _, result, _ = calibrated
    assert result.refinement.refined
    reasons = {p.name: p.held_reason for p in result.parameters if not p.estimated}
    base, flange = ("robot_T_camera", "tcp_T_target") if eye_to_hand else ("world_T_target", "tcp_T_camera")
    assert set(reasons) == {"joint j1 zero offset", "joint j6 zero offset"} == set(result.held)
    assert base in reasons["joint j1 zero offset"] and flange in reasons["joint j6 zero offset"]


def test_inner_offsets_are_recovered_within_their_uncertainty(calibrated):
    _, _, result, _ = calibrated
    estimated = [(p.value, p.sigma, truth) for p, truth in zip(result.parameters, OFFSETS_RAD) if p.estimated]
    assert len(estimated) == 4
    for value, sigma, truth in estimated:
        assert 0.0 < sigma < np.radians(0.04)
        assert abs(value - truth) < 4.0 * sigma


def test_calibrated_chain_predicts_new_configurations_better(calibrated):
    eye_to_hand, pictures, result, nominal = calibrated
    new = slice(CALIBRATION_VIEWS, None)
    errors = {}
    for name, fit, chain in (("nominal", nominal, scenes.ur_like_chain()),
                             ("calibrated", result.refinement, result.corrected_chain)):
        predicted = khe.predicted_camera_T_target(chain, pictures.joints[new], fit.camera_mount_T_camera,
                                                  fit.target_mount_T_target, eye_to_hand)
        errors[name] = [np.linalg.norm(p[:3, 3] - t[:3, 3]) for p, t in zip(predicted, pictures.camera_T_target[new])]
    assert np.sqrt(np.mean(np.square(errors["calibrated"]))) < 0.5 * np.sqrt(np.mean(np.square(errors["nominal"])))


def test_pictures_left_out_are_predicted_better_through_the_calibrated_chain(calibrated):
    eye_to_hand, pictures, _, _ = calibrated
    data = [items[:CALIBRATION_VIEWS] for items in (pictures.joints, pictures.object_points, pictures.image_points)]
    errors = khe.held_out_prediction(scenes.ur_like_chain(), *data, scenes.ARM_CAMERA_K, scenes.ARM_CAMERA_D,
                                     eye_to_hand=eye_to_hand, folds=3)
    assert len(errors["calibrated"].position_mm) == len(errors["nominal"].position_mm) == CALIBRATION_VIEWS
    # What the model adds to the corners' own noise, in squared pixels.
    excess = {name: e.rms_px**2 - NOISE_PX**2 for name, e in errors.items()}
    assert excess["calibrated"] < 0.25 * excess["nominal"]
    assert np.median(errors["calibrated"].position_mm) < np.median(errors["nominal"].position_mm)
