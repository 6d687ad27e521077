"""Hand-eye calibration through a simulated arm's joint offsets from pictures: the offsets the pictures
determine are recovered within their uncertainty, those the two mounts absorb are held and named, and the
calibrated chain predicts the board at new configurations better than the per-pose refinement."""

import numpy as np
import pytest

import _velk
import kinematic_scenes as scenes
from quorvane.velk import kinematic_hand_eye as khe
from quorvane.velk import synthetic

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


def test_pictures_without_the_board_are_left_out_with_their_joint_readings():
    pictures = scenes.arm_pictures(OFFSETS_RAD, seed=5, count=8, noise_px=NOISE_PX)
    target = _velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100")
    images = [synthetic.render_target(target, scenes.ARM_CAMERA_K, scenes.ARM_CAMERA_D, pose, (1280, 960),
                                      supersample=1).image for pose in pictures.camera_T_target]
    images.insert(3, np.full_like(images[0], 128))
    joints = pictures.joints[:3] + [np.zeros(6)] + pictures.joints[3:]
    result = khe.calibrate_from_images(scenes.ur_like_chain(), joints, images, target, scenes.ARM_CAMERA_K,
                                       scenes.ARM_CAMERA_D, log=False)
    assert list(result.refinement.view_frames) == [0, 1, 2, 4, 5, 6, 7, 8]
    mm = 1000 * np.linalg.norm(result.refinement.camera_mount_T_camera[:3, 3] - pictures.camera_mount_T_camera[:3, 3])
    assert mm < 0.5
    for parameter, truth in zip(result.parameters, OFFSETS_RAD):
        assert not parameter.estimated or abs(parameter.value - truth) < 4.0 * parameter.sigma


def test_exact_kinematics_keep_the_nominal_chains_solution():
    pictures = scenes.arm_pictures(np.zeros(6), seed=2, count=CALIBRATION_VIEWS, noise_px=NOISE_PX)
    data = (scenes.ur_like_chain(), pictures.joints, pictures.object_points, pictures.image_points,
            scenes.ARM_CAMERA_K, scenes.ARM_CAMERA_D)
    result = khe.calibrate(*data, log=False)
    nominal = khe.nominal_refinement(*data)
    assert result.chi_square < result.chi_square_limit and not any(p.estimated for p in result.parameters)
    inner = [p for p in result.parameters if p.sigma > 0]
    assert len(inner) == 4 and all(p.held_reason.startswith("consistent with nominal") for p in inner)
    for estimate, reference in ((result.refinement.camera_mount_T_camera, nominal.camera_mount_T_camera),
                                (result.refinement.target_mount_T_target, nominal.target_mount_T_target)):
        np.testing.assert_allclose(estimate, reference, atol=2e-5)


def test_full_corrections_hold_what_the_mounts_and_parallel_joints_take_up(calibrated):
    eye_to_hand, pictures, _, nominal = calibrated
    data = [items[:CALIBRATION_VIEWS] for items in (pictures.joints, pictures.object_points, pictures.image_points)]
    result = khe.calibrate(scenes.ur_like_chain(), *data, scenes.ARM_CAMERA_K, scenes.ARM_CAMERA_D,
                           eye_to_hand=eye_to_hand, mode="full", log=False)
    held = {p.name: p.held_reason for p in result.parameters if p.sigma == 0}
    base, flange = ("robot_T_camera", "tcp_T_target") if eye_to_hand else ("world_T_target", "tcp_T_camera")
    for name, frame in (("j1 zero offset", base), ("j1 d", base), ("j6 zero offset", flange), ("j6 d", flange),
                        ("j6 r", flange), ("j6 alpha", flange)):
        assert frame in held.pop(f"joint {name}")
    # Joints 2 to 4 turn about parallel axes: one of their d values carries the other two.
    parallel = {f"joint j{k} d" for k in (2, 3, 4)}
    assert len(held) == 2 and set(held) < parallel
    kept = (parallel - set(held)).pop()
    assert all(reason == f"absorbed by {kept}" for reason in held.values())
    errors = {}
    for name, fit, chain in (("nominal", nominal, scenes.ur_like_chain()),
                             ("full", result.refinement, result.corrected_chain)):
        predicted = khe.predicted_camera_T_target(chain, pictures.joints[CALIBRATION_VIEWS:], fit.camera_mount_T_camera,
                                                  fit.target_mount_T_target, eye_to_hand)
        errors[name] = np.sqrt(np.mean([np.sum((p[:3, 3] - t[:3, 3]) ** 2)
                                        for p, t in zip(predicted, pictures.camera_T_target[CALIBRATION_VIEWS:])]))
    assert errors["full"] < 0.7 * errors["nominal"]


@pytest.mark.parametrize("seed", [1, 2, 4])
def test_parallel_joints_keep_the_first_d_on_every_capture(seed):
    # The three parallel joints' d values are equivalent: which one carries them must not change from one
    # capture to the next with the rounding of equal remainders.
    pictures = scenes.arm_pictures(OFFSETS_RAD, seed=seed, count=CALIBRATION_VIEWS, noise_px=NOISE_PX)
    result = khe.calibrate(scenes.ur_like_chain(), pictures.joints, pictures.object_points, pictures.image_points,
                           scenes.ARM_CAMERA_K, scenes.ARM_CAMERA_D, mode="full", log=False)
    held = {p.name: p.held_reason for p in result.parameters if p.name in ("joint j2 d", "joint j3 d", "joint j4 d")
            and not p.estimated}
    assert held == {"joint j3 d": "absorbed by joint j2 d", "joint j4 d": "absorbed by joint j2 d"}
