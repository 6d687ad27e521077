"""Joint hand-eye refinement over all corners: accuracy, uncertainty, residuals and bad input."""

import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

import render_cache

cv2 = pytest.importorskip("cv2")
import _velk  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import projected_corners as pc  # noqa: E402


def perturbed(pose, translation_m, rotation_deg):
    delta = _velk.tf.pose_to_transformation_matrix([translation_m, -translation_m, translation_m,
                                                     rotation_deg, -rotation_deg, rotation_deg])
    return pose @ delta


@pytest.fixture(scope="module")
def noisy_scenes():
    return [pc.eye_in_hand_corners(num_views=12, noise_px=0.3, seed=seed) for seed in range(6)]


@pytest.mark.parametrize("geometry", ["eye_in_hand", "eye_to_hand"])
@pytest.mark.parametrize("refine_intrinsics", [False, True])
def test_noise_free_corners_give_back_the_truth(geometry, refine_intrinsics):
    scene = pc.eye_in_hand_corners(num_views=10, noise_px=0.0, seed=3)
    if geometry == "eye_in_hand":
        camera_mount, target_mount = scene.tcp_T_camera, scene.world_T_target
        knowns = [np.linalg.inv(r) for r in scene.robot_T_tcp_list]
    else:
        # The same pictures read as a fixed camera watching a board on the flange:
        # camera_T_target = camera_T_robot * robot_T_tcp * tcp_T_target.
        camera_mount = _velk.tf.pose_to_transformation_matrix([0.8, 0.1, 0.6, 170.0, 5.0, -30.0])
        target_mount = _velk.tf.pose_to_transformation_matrix([0.01, 0.02, 0.12, 0.0, 180.0, 15.0])
        knowns = [camera_mount @ c @ np.linalg.inv(target_mount) for c in scene.camera_T_target_list]
    problem = pc.eye_in_hand_problem(scene, perturbed(camera_mount, 0.004, 0.8), pc.EYE_IN_HAND_K,
                                     pc.EYE_IN_HAND_D.reshape(1, -1), refine_intrinsics)
    problem.camera_mount_T_target_mount_list = knowns
    if refine_intrinsics:
        problem.intrinsic_matrix = pc.EYE_IN_HAND_K + np.array([[4.0, 0, 3.0], [0, -3.0, -2.0], [0, 0, 0]])
    refinement = _velk.refine_hand_eye(problem)
    assert refinement.refined, refinement.reason
    translation, rotation = pc.transform_error(refinement.camera_mount_T_camera, camera_mount)
    assert translation < 1e-6 and rotation < 1e-5
    translation, rotation = pc.transform_error(refinement.target_mount_T_target, target_mount)
    assert translation < 1e-6 and rotation < 1e-5
    assert np.allclose(refinement.intrinsic_matrix, pc.EYE_IN_HAND_K, atol=1e-4)
    assert refinement.rms_px < 1e-4  # float32 image points
    assert refinement.summary.converged and refinement.summary.final_cost < refinement.summary.initial_cost


def refine_from_closed_form(scene, method="TSAI", options=None):
    K, D, poses = pc.intrinsics_from_views(scene)
    start = pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, poses, method)
    problem = pc.eye_in_hand_problem(scene, start, K, D, refine_intrinsics=True)
    return start, _velk.refine_hand_eye(problem, options or _velk.RefinementOptions())


def test_refinement_beats_the_closed_form_on_noisy_corners(noisy_scenes):
    closed, refined = [], []
    for scene in noisy_scenes:
        start, refinement = refine_from_closed_form(scene)
        assert refinement.refined, refinement.reason
        closed.append(pc.transform_error(start, scene.tcp_T_camera)[0])
        refined.append(pc.transform_error(refinement.camera_mount_T_camera, scene.tcp_T_camera)[0])
    assert np.median(refined) < 0.5 * np.median(closed)


def test_predicted_sigmas_match_the_spread_over_seeds():
    tally = pc.SigmaTally()
    for seed in range(16):
        scene = pc.eye_in_hand_corners(num_views=12, noise_px=0.3, seed=100 + seed)
        _, refinement = refine_from_closed_form(scene)
        assert refinement.refined, refinement.reason
        tally.add(refinement.camera_mount_T_camera, scene.tcp_T_camera, refinement.camera_sigma)
    for kind in ("translation", "rotation"):
        assert 0.7 < tally.honesty(kind) < 1.4, kind


def test_refined_result_carries_sigmas_residuals_and_summary(noisy_scenes):
    scene = noisy_scenes[0]
    _, refinement = refine_from_closed_form(scene)
    sigma = refinement.camera_sigma
    assert 0.0 < sigma.translation_norm_mm < 2.0 and 0.0 < sigma.rotation_norm_deg < 0.2
    assert np.isclose(sigma.translation_norm_mm, np.linalg.norm(sigma.translation_mm))
    assert np.isclose(sigma.rotation_norm_deg, np.linalg.norm(sigma.rotation_deg))
    assert refinement.target_sigma.translation_norm_mm > 0.0
    assert len(refinement.intrinsic_sigmas) == 4 and all(0.0 < s < 5.0 for s in refinement.intrinsic_sigmas)
    # Isotropic 0.3 px noise per axis: the RMS corner distance is about 0.3 * sqrt(2).
    assert len(refinement.per_view_rms_px) == 12
    assert 0.3 < refinement.rms_px < 0.5
    assert refinement.corner_count == sum(len(p) for p in scene.object_points)
    assert refinement.outlier_views == []
    summary = refinement.summary
    assert summary.converged and summary.iterations >= 1 and summary.final_cost < summary.initial_cost
    assert refinement.intrinsics_refined
    assert np.all(np.isfinite(refinement.camera_mount_T_camera))


def test_given_intrinsics_stay_fixed_unless_asked(noisy_scenes):
    scene = noisy_scenes[1]
    K, D, poses = pc.intrinsics_from_views(scene)
    start = pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, poses, "PARK")
    fixed = _velk.refine_hand_eye(pc.eye_in_hand_problem(scene, start, K, D, refine_intrinsics=False))
    assert fixed.refined and not fixed.intrinsics_refined and fixed.intrinsic_sigmas == []
    assert np.array_equal(fixed.intrinsic_matrix, K) and np.array_equal(fixed.distortion_coefficients, D)


def test_a_view_that_stands_out_is_listed_not_dropped(noisy_scenes):
    scene = noisy_scenes[2]
    rng = np.random.default_rng(1)
    scene.image_points = list(scene.image_points)
    scene.image_points[5] = scene.image_points[5] + rng.normal(0.0, 3.0, scene.image_points[5].shape).astype(
        np.float32)
    _, refinement = refine_from_closed_form(scene)
    assert refinement.refined
    assert refinement.outlier_views == [5]
    assert len(refinement.per_view_rms_px) == 12
    assert refinement.per_view_rms_px[5] > 3 * np.median(refinement.per_view_rms_px)


def test_huber_scale_must_be_positive(noisy_scenes):
    options = _velk.RefinementOptions()
    options.huber_scale_px = 0.0
    with pytest.raises(ValueError, match="huber_scale_px"):
        refine_from_closed_form(noisy_scenes[0], options=options)


def test_mismatched_lists_are_refused(noisy_scenes):
    scene = noisy_scenes[0]
    problem = pc.eye_in_hand_problem(scene, scene.tcp_T_camera, pc.EYE_IN_HAND_K, pc.EYE_IN_HAND_D, False)
    problem.image_points = scene.image_points[:-1]
    with pytest.raises(ValueError, match="^refineHandEye: "):
        _velk.refine_hand_eye(problem)


def _fewer_views(scene, problem, options):
    problem.camera_mount_T_target_mount_list = problem.camera_mount_T_target_mount_list[:2]
    problem.object_points = problem.object_points[:2]
    problem.image_points = problem.image_points[:2]


def _one_robot_pose(scene, problem, options):
    # Every view taken from the same flange pose: only the product of the two unknowns is determined.
    problem.camera_mount_T_target_mount_list = [problem.camera_mount_T_target_mount_list[0]] * len(
        scene.object_points)
    problem.object_points = [scene.object_points[0]] * len(scene.object_points)
    problem.image_points = [scene.image_points[0]] * len(scene.object_points)


def _one_iteration(scene, problem, options):
    options.max_iterations = 1


def _tilted_sensor(scene, problem, options):
    problem.distortion_coefficients = np.zeros((1, 14))


def _not_a_number(scene, problem, options):
    points = [p.copy() for p in scene.image_points]
    points[4][7] = np.nan
    problem.image_points = points


@pytest.mark.parametrize("spoil, reason", [
    (_fewer_views, "too few views"),
    (_not_a_number, "solver failed"),
    (_one_robot_pose, "singular"),
    (_one_iteration, "did not converge"),
    (_tilted_sensor, "tilted"),
])
def test_a_refinement_that_fails_keeps_the_start_and_says_why(noisy_scenes, capfd, spoil, reason):
    scene = noisy_scenes[3]
    start = perturbed(scene.tcp_T_camera, 0.002, 0.3)
    problem = pc.eye_in_hand_problem(scene, start, pc.EYE_IN_HAND_K, pc.EYE_IN_HAND_D.reshape(1, -1), True)
    options = _velk.RefinementOptions()
    spoil(scene, problem, options)
    refinement = _velk.refine_hand_eye(problem, options)
    assert not refinement.refined
    assert reason in refinement.reason
    assert np.array_equal(refinement.camera_mount_T_camera, start)
    assert refinement.camera_sigma is None and refinement.target_sigma is None
    assert np.all(np.isfinite(refinement.camera_mount_T_camera))
    err = capfd.readouterr().err
    assert "[velk][WARNING] [HandEyeRefinement] Refinement not applied: " in err
    assert "keeping the closed-form result." in err


# --------------------------------------------------------------------------
# Through the eye-in-hand calibrator, on rendered pictures


@pytest.fixture(scope="module")
def refined_from_images(eye_in_hand_scene):
    scene = eye_in_hand_scene
    calibrator = _velk.EyeInHandCalibrator(scene.target)
    result = calibrator.calibrate(scene.robot_T_tcp_list, scene.images, "TSAI", refine=True)
    return scene, calibrator, result


def test_calibrator_refines_tcp_T_camera_and_intrinsics_from_pictures(refined_from_images):
    scene, calibrator, result = refined_from_images
    assert result.ok and result.refined and result.refinement_reason == ""
    refinement = result.refinement
    assert np.array_equal(result.tcp_T_camera, refinement.camera_mount_T_camera)
    assert np.array_equal(result.intrinsic_matrix, refinement.intrinsic_matrix)
    assert refinement.intrinsics_refined
    refined_mm = pc.transform_error(result.tcp_T_camera, scene.tcp_T_camera)[0] * 1000
    closed_mm = pc.transform_error(result.closed_form_tcp_T_camera, scene.tcp_T_camera)[0] * 1000
    assert refined_mm < 1.0 and refined_mm < closed_mm + 0.1
    world_mm = pc.transform_error(refinement.target_mount_T_target, scene.world_T_target)[0] * 1000
    assert world_mm < 2.0
    assert len(refinement.per_view_rms_px) == len(result.valid_image_list)
    assert calibrator.last_result().refined


def test_refined_report_shows_values_with_sigma(refined_from_images):
    _, calibrator, result = refined_from_images
    text = calibrator.format_results()
    section = text[text.index("Joint Refinement (reprojection error over all corners):"):]
    assert "tcp_T_camera translation [mm]: x = " in section and " +- " in section
    assert "world_T_target rotation [deg]: rx = " in section
    assert "Intrinsics [px]: fx = " in section
    assert "Outlier views (kept): " in section


def test_without_refine_the_result_and_report_are_unchanged(eye_in_hand_scene, refined_from_images):
    scene = eye_in_hand_scene
    calibrator = _velk.EyeInHandCalibrator(scene.target)
    result = calibrator.calibrate(scene.robot_T_tcp_list, scene.images, "TSAI")
    assert result.ok and not result.refined and result.refinement is None
    assert result.closed_form_tcp_T_camera.size == 0
    assert "Joint Refinement" not in calibrator.format_results()
    _, _, refined = refined_from_images
    assert np.allclose(result.tcp_T_camera, refined.closed_form_tcp_T_camera)


def test_given_intrinsics_are_kept_while_the_transform_is_refined(eye_in_hand_scene):
    scene = eye_in_hand_scene
    calibrator = _velk.EyeInHandCalibrator(scene.target)
    result = calibrator.calibrate(scene.robot_T_tcp_list, scene.images, "PARK", intrinsic_matrix=scene.camera_matrix,
                                  distortion_coefficients=scene.distortion, refine=True)
    assert result.ok and result.refined, result.refinement_reason
    assert not result.refinement.intrinsics_refined
    assert np.array_equal(result.intrinsic_matrix, scene.camera_matrix)
    assert pc.transform_error(result.tcp_T_camera, scene.tcp_T_camera)[0] < 1e-3


def test_poses_without_pictures_cannot_be_refined(eye_in_hand_scene, capfd):
    scene = eye_in_hand_scene
    calibrator = _velk.EyeInHandCalibrator(scene.target)
    result = calibrator.calibrate(scene.robot_T_tcp_list, [], "TSAI",
                                  camera_T_target_list=scene.camera_T_target_list, refine=True)
    assert result.ok and not result.refined and "no detected corners" in result.refinement_reason
    assert np.array_equal(result.tcp_T_camera, result.closed_form_tcp_T_camera)
    assert "Not applied: no detected corners" in calibrator.format_results()
    assert "[velk][WARNING] [EyeInHandCalibrator] Refinement not applied" in capfd.readouterr().err


@pytest.mark.parametrize("flag, refined", [([], True), (["--no-refine"], False)])
def test_demo_refines_unless_told_not_to(tmp_path, capfd, flag, refined):
    from quorvane.velk import cli

    assert cli.main(["demo", "--output", str(tmp_path), "--poses", "8"] + flag) == 0
    out = capfd.readouterr().out
    assert ("Joint Refinement" in out) == refined and ("predicted 1-sigma:" in out) == refined
    record = _velk.io.load_hand_eye_result(tmp_path)
    assert (record.refinement is not None and record.refinement.refined) == refined


# --------------------------------------------------------------------------
# Through the eye-to-hand calibrator


@pytest.fixture(scope="module")
def eye_to_hand_scene():
    from quorvane.velk import demo

    with render_cache.active():
        return demo.simulate_eye_to_hand(num_poses=12, seed=5)


def test_eye_to_hand_calibrator_refines_robot_T_camera_and_tcp_T_target(eye_to_hand_scene, tmp_path):
    scene = eye_to_hand_scene
    calibrator = _velk.EyeToHandCalibrator(scene.target)
    result = calibrator.calibrate(scene.robot_T_tcp_list, scene.images, "TSAI", output_path=tmp_path, refine=True)
    assert result.ok and result.refined, result.refinement_reason
    refinement = result.refinement
    assert np.array_equal(result.robot_T_camera, refinement.camera_mount_T_camera)
    assert np.array_equal(result.tcp_T_target, refinement.target_mount_T_target)
    refined_mm = pc.transform_error(result.robot_T_camera, scene.robot_T_camera)[0] * 1000
    closed_mm = pc.transform_error(result.closed_form_robot_T_camera, scene.robot_T_camera)[0] * 1000
    assert refined_mm < closed_mm + 0.1 and refined_mm < 2.0
    assert pc.transform_error(result.tcp_T_target, scene.tcp_T_target)[0] < 2e-3
    text = calibrator.format_results()
    assert "robot_T_camera translation [mm]: x = " in text and "tcp_T_target rotation [deg]: rx = " in text
    record = _velk.io.load_eye_to_hand_result(tmp_path)
    assert record.refinement.refined
    assert np.allclose(record.refinement.unrefined_poses[0], result.closed_form_robot_T_camera)


def test_eye_to_hand_without_refine_has_no_refinement(eye_to_hand_scene):
    scene = eye_to_hand_scene
    calibrator = _velk.EyeToHandCalibrator(scene.target)
    result = calibrator.calibrate(scene.robot_T_tcp_list, scene.images, "PARK")
    assert result.ok and not result.refined and result.refinement is None
    assert "Joint Refinement" not in calibrator.format_results()


# --------------------------------------------------------------------------
# The corners as the solver projected them


def _projected_by_the_model(refinement, problem):
    """Every view's corners through the refined model by OpenCV's projection, the reported flange corrections
    (robot_T_tcp corrected = robot_T_tcp * correction) applied when the robot's error was modelled."""
    camera, target = refinement.camera_mount_T_camera, refinement.target_mount_T_target
    corrections = list(refinement.robot_pose_corrections) if refinement.robot_error_modelled else []
    projections = []
    for view, (known, objects) in enumerate(zip(problem.camera_mount_T_target_mount_list, problem.object_points)):
        if corrections:
            correction = np.eye(4)
            correction[:3, :3] = cv2.Rodrigues(np.radians(corrections[view][3:]))[0]
            correction[:3, 3] = np.asarray(corrections[view][:3]) / 1000.0
            robot = known if problem.eye_to_hand else np.linalg.inv(known)
            robot = robot @ correction
            known = robot if problem.eye_to_hand else np.linalg.inv(robot)
        pose = np.linalg.inv(camera) @ known @ target
        pixels, _ = cv2.projectPoints(np.asarray(objects, np.float64), cv2.Rodrigues(pose[:3, :3])[0], pose[:3, 3],
                                      refinement.intrinsic_matrix, refinement.distortion_coefficients)
        projections.append(pixels.reshape(-1, 2))
    return projections


@pytest.mark.parametrize("setup", ["eye_in_hand", "eye_to_hand"])
@pytest.mark.parametrize("robot_noise", [(0.0, 0.0), (-1.0, -1.0)], ids=["exact-robot", "robot-error-modelled"])
def test_the_projected_corners_are_those_of_the_refined_model(setup, robot_noise):
    make_scene, closed_form, make_problem = {
        "eye_in_hand": (pc.eye_in_hand_corners, pc.closed_form_tcp_T_camera, pc.eye_in_hand_problem),
        "eye_to_hand": (pc.eye_to_hand_corners, pc.closed_form_robot_T_camera, pc.eye_to_hand_problem)}[setup]
    scene = make_scene(num_views=10, noise_px=0.3, seed=7, robot_error=(0.5, 0.05))
    K, D, poses = pc.intrinsics_from_views(scene)
    problem = make_problem(scene, closed_form(scene.robot_T_tcp_list, poses, "TSAI"), K, D, refine_intrinsics=True)
    options = _velk.RefinementOptions()
    options.robot_translation_sigma_mm, options.robot_rotation_sigma_deg = robot_noise
    refinement = _velk.refine_hand_eye(problem, options)
    assert refinement.refined, refinement.reason
    assert refinement.robot_error_modelled == (robot_noise[0] < 0)
    assert refinement.view_frames == list(range(10))
    expected = _projected_by_the_model(refinement, problem)
    assert len(refinement.projected_corners) == len(expected)
    for projected, model, observed, rms in zip(refinement.projected_corners, expected, scene.image_points,
                                               refinement.per_view_rms_px):
        assert projected.shape == model.shape
        assert np.abs(projected - model).max() < 1e-6
        assert np.sqrt(np.mean(np.sum((projected - observed) ** 2, axis=1))) == pytest.approx(rms, rel=1e-9)


def test_the_problem_names_the_frames_of_its_views(noisy_scenes):
    scene = noisy_scenes[0]
    K, D, poses = pc.intrinsics_from_views(scene)
    problem = pc.eye_in_hand_problem(scene, pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, poses, "TSAI"), K, D,
                                     refine_intrinsics=False)
    problem.view_frames = [3 * v + 1 for v in range(12)]
    refinement = _velk.refine_hand_eye(problem)
    assert refinement.refined and refinement.view_frames == problem.view_frames
    problem.view_frames = [0, 1]
    with pytest.raises(ValueError, match="one view frame per known transform"):
        _velk.refine_hand_eye(problem)


def test_a_refinement_that_fails_projects_nothing(noisy_scenes):
    scene = noisy_scenes[0]
    K, D, poses = pc.intrinsics_from_views(scene)
    problem = pc.eye_in_hand_problem(scene, pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, poses, "TSAI"), K, D,
                                     refine_intrinsics=False)
    for name in ("camera_mount_T_target_mount_list", "object_points", "image_points"):
        setattr(problem, name, list(getattr(problem, name))[:2])
    refinement = _velk.refine_hand_eye(problem)
    assert not refinement.refined and refinement.projected_corners == [] and refinement.view_frames == [0, 1]


def test_the_calibrator_numbers_the_views_by_their_frame(eye_in_hand_scene):
    scene = eye_in_hand_scene
    exact_robot = _velk.RefinementOptions()
    exact_robot.robot_translation_sigma_mm = exact_robot.robot_rotation_sigma_deg = 0.0
    result = _velk.EyeInHandCalibrator(scene.target).calibrate(
        scene.robot_T_tcp_list, scene.images, "TSAI", intrinsic_matrix=scene.camera_matrix,
        distortion_coefficients=scene.distortion, refine=True, refinement_options=exact_robot)
    refinement = result.refinement
    assert result.refined and refinement.view_frames == list(range(len(result.valid_image_list)))
    detections = _velk.IntrinsicCalibrator(scene.target).find_corners(result.valid_image_list, annotate=False)
    assert list(detections.successful_indices) == refinement.view_frames
    views = SimpleNamespace(eye_to_hand=False, object_points=detections.object_points,
                            camera_mount_T_target_mount_list=[np.linalg.inv(result.valid_robot_T_tcp_list[f])
                                                              for f in refinement.view_frames])
    for projected, model in zip(refinement.projected_corners, _projected_by_the_model(refinement, views)):
        assert projected.shape == model.shape and np.abs(projected - model).max() < 1e-6
