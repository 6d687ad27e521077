"""Joint configurations planned for the hand-eye calibration through the arm's chain: the predicted 1-sigma is
the refinement's own at the same noise levels and the spread of calibrations from noisy pictures, the
corrections the mounts absorb are named rather than given a sigma, and the plan beats configurations drawn at
random."""

import numpy as np
import pytest

import kinematic_scenes as scenes
from _velk import kinematics
from quorvane.velk import kinematic_hand_eye as khe
from quorvane.velk import kinematic_planning as kp

SPREAD = np.radians(35.0)
COUNT = 12
TRUE_OFFSETS = np.radians([0.2, -0.15, 0.1, 0.2, -0.1, 0.15])
PARALLEL_D = ("joint j2 d", "joint j3 d", "joint j4 d")
SETUPS = [pytest.param(False, id="eye_in_hand"), pytest.param(True, id="eye_to_hand")]


@pytest.fixture(scope="module", params=SETUPS)
def planned(request):
    scene = scenes.arm_plan_scene(request.param)
    low, high = kp.joint_ranges(scenes.UR_LIKE_HOME, SPREAD)
    plans = {mode: kp.plan_configurations(scenes.ur_like_chain(), scene, low, high, COUNT, mode=mode, candidates=300)
             for mode in ("offsets", "full")}
    return scene, plans


def refined_at_noise_levels(scene, joints, mode="offsets"):
    """The refinement through the chain on exact pictures with the scene's noise levels held."""
    pictures = scenes.pictures_at(scene, joints, np.zeros(6), seed=None)
    options = kinematics.KinematicHandEyeOptions()
    options.mode, options.require_significance = mode, False
    refinement = options.refinement
    refinement.pixel_sigma_px = scene.pixel_noise_px
    refinement.robot_translation_sigma_mm = scene.robot_translation_noise_mm
    refinement.robot_rotation_sigma_deg = scene.robot_rotation_noise_deg
    options.refinement = refinement
    return khe.calibrate(scenes.ur_like_chain(), pictures.joints, pictures.object_points, pictures.image_points,
                         scenes.ARM_CAMERA_K, scenes.ARM_CAMERA_D, eye_to_hand=scene.eye_to_hand, options=options,
                         camera_mount_T_camera=scene.camera_mount_T_camera, log=False)


def test_the_plan_determines_every_offset_but_those_the_mounts_absorb(planned):
    scene, plans = planned
    plan = plans["offsets"]
    assert len(plan.joints) == COUNT and min(plan.corners_seen) >= 24
    assert np.all(np.abs(plan.joints - scenes.UR_LIKE_HOME) <= SPREAD)
    base, flange = ("robot_T_camera", "tcp_T_target") if scene.eye_to_hand else ("world_T_target", "tcp_T_camera")
    undetermined = {p.name: p.reason for p in plan.parameters if not p.determined}
    assert undetermined == {"joint j1 zero offset": f"absorbed by {base}",
                            "joint j6 zero offset": f"absorbed by {flange}"}
    assert all(0.0 < p.sigma < np.radians(0.05) for p in plan.parameters if p.determined)


@pytest.mark.parametrize("mode", ["offsets", "full"])
def test_predicted_sigmas_are_the_refinements_own_at_the_same_noise_levels(planned, mode):
    scene, plans = planned
    plan = plans[mode]
    result = refined_at_noise_levels(scene, plan.joints, mode)
    assert result.refinement.refined
    assert [(p.name, p.angular) for p in plan.parameters] == [(p.name, p.angular) for p in result.parameters]
    for predicted, refined in zip(plan.parameters, result.parameters):
        if predicted.name in PARALLEL_D:
            continue
        assert predicted.determined == (refined.sigma > 0), predicted.name
        assert predicted.determined or predicted.reason == refined.held_reason
        assert predicted.sigma == pytest.approx(refined.sigma, rel=0.02)
    # Joints 2 to 4 turn about parallel axes: either may keep the d value that carries the other two.
    kept = [p.name for p in plan.parameters if p.name in PARALLEL_D and p.determined]
    assert len(kept) == (mode == "full") == sum(p.sigma > 0 for p in result.parameters if p.name in PARALLEL_D)
    assert all(p.reason == f"absorbed by {kept[0]}" for p in plan.parameters if p.name in set(PARALLEL_D) - set(kept))
    for ours, theirs in ((plan.camera_sigma, result.refinement.camera_sigma),
                         (plan.target_sigma, result.refinement.target_sigma)):
        np.testing.assert_allclose(ours.translation_mm, theirs.translation_mm, rtol=0.02)
        np.testing.assert_allclose(ours.rotation_deg, theirs.rotation_deg, rtol=0.02)


def test_predicted_sigmas_match_the_spread_of_calibrations_from_noisy_pictures(planned):
    scene, plans = planned
    plan = plans["offsets"]
    errors, camera = [], []
    for seed in range(24):
        pictures = scenes.pictures_at(scene, plan.joints, TRUE_OFFSETS, seed)
        result = khe.calibrate(scenes.ur_like_chain(), pictures.joints, pictures.object_points, pictures.image_points,
                               scenes.ARM_CAMERA_K, scenes.ARM_CAMERA_D, eye_to_hand=scene.eye_to_hand, log=False)
        errors.append([p.value for p in result.parameters] - TRUE_OFFSETS)
        camera.append(1000.0 * result.refinement.camera_mount_T_camera[:3, 3])
    determined = np.array([p.determined for p in plan.parameters])
    predicted = np.array([p.sigma for p in plan.parameters])[determined]
    ratios = np.std(errors, axis=0, ddof=1)[determined] / predicted
    assert np.all((ratios > 1 / 1.5) & (ratios < 1.5)), ratios
    camera_ratios = np.std(camera, axis=0, ddof=1) / plan.camera_sigma.translation_mm
    assert np.all((camera_ratios > 1 / 1.5) & (camera_ratios < 1.5)), camera_ratios


def test_a_plan_beats_configurations_drawn_at_random(planned):
    scene, plans = planned
    chain = scenes.ur_like_chain()

    def offset_sigmas(joints):
        return np.array([p.sigma for p in refined_at_noise_levels(scene, joints).parameters if p.sigma > 0])

    planned_sigmas = offset_sigmas(plans["offsets"].joints)
    low, high = kp.joint_ranges(scenes.UR_LIKE_HOME, SPREAD)
    for seed in range(1, 5):
        drawn = kp.draw_configurations(low, high, 200, seed)
        in_view = [q for q, pose in zip(drawn, kp.flange_poses(chain, drawn)) if kp.corners_in_view(scene, pose)]
        random_sigmas = offset_sigmas(in_view[:COUNT])
        assert len(random_sigmas) == len(planned_sigmas)
        assert np.sqrt(np.mean(planned_sigmas**2)) < 0.8 * np.sqrt(np.mean(random_sigmas**2))


def test_joint_ranges_are_the_spread_about_home_within_the_limits():
    low, high = kp.joint_ranges([0.0, 1.0], spread=[0.5, 0.2], lower=[-0.2, -3.0], upper=[3.0, 1.1])
    np.testing.assert_allclose(low, [-0.2, 0.8])
    np.testing.assert_allclose(high, [0.5, 1.1])
    with pytest.raises(ValueError, match="home lies outside"):
        kp.joint_ranges([2.0], spread=0.1, upper=[1.0])
