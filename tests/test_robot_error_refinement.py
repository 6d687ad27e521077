"""Hand-eye refinement with robot pose error in the model: estimated noise levels, honest sigmas,
suspect poses, implausible input, records, and the real eye-to-hand pictures held out one by one."""

import sys
from pathlib import Path

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
import _velk  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import eye_to_hand_photos  # noqa: E402
import projected_corners as pc  # noqa: E402

SCENES = {
    "eye-in-hand": (pc.eye_in_hand_corners, pc.closed_form_tcp_T_camera, pc.eye_in_hand_problem, "tcp_T_camera"),
    "eye-to-hand": (pc.eye_to_hand_corners, pc.closed_form_robot_T_camera, pc.eye_to_hand_problem, "robot_T_camera"),
}


def options(translation_mm=-1.0, rotation_deg=-1.0):
    chosen = _velk.RefinementOptions()
    chosen.robot_translation_sigma_mm = translation_mm
    chosen.robot_rotation_sigma_deg = rotation_deg
    return chosen


def solve(setup, seed, robot_error, refinement_options=None, num_views=12):
    """Closed form (TSAI) from intrinsics calibrated on the views, then the refinement; and the truth."""
    make_scene, closed_form, make_problem, truth_name = SCENES[setup]
    scene = make_scene(num_views=num_views, noise_px=0.3, seed=seed, robot_error=robot_error)
    K, D, poses = pc.intrinsics_from_views(scene)
    start = closed_form(scene.robot_T_tcp_list, poses, "TSAI")
    problem = make_problem(scene, start, K, D, refine_intrinsics=True)
    refinement = _velk.refine_hand_eye(problem, refinement_options or options())
    return scene, start, refinement, getattr(scene, truth_name)


@pytest.mark.parametrize("setup", sorted(SCENES))
@pytest.mark.parametrize("robot_error", [(0.2, 0.02), (1.0, 0.1)])
def test_estimated_robot_noise_matches_the_simulated_one(setup, robot_error):
    translations, rotations, pixels = [], [], []
    for seed in range(12):
        _, _, refinement, _ = solve(setup, seed, robot_error)
        assert refinement.refined and refinement.robot_error_modelled and refinement.noise_estimated
        translations.append(refinement.robot_translation_noise_mm)
        rotations.append(refinement.robot_rotation_noise_deg)
        pixels.append(refinement.pixel_noise_px)
    assert 0.7 < np.median(translations) / robot_error[0] < 1.3
    assert 0.7 < np.median(rotations) / robot_error[1] < 1.3
    assert 0.25 < np.median(pixels) < 0.35


@pytest.mark.parametrize("setup", sorted(SCENES))
def test_exact_robot_poses_give_a_negligible_noise_estimate(setup):
    for seed in range(3):
        _, _, refinement, truth = solve(setup, seed, (0.0, 0.0))
        assert refinement.robot_translation_noise_mm <= 0.05
        assert refinement.robot_rotation_noise_deg <= 0.005
        assert pc.transform_error(refinement.camera_mount_T_camera, truth)[0] < 1e-3


@pytest.mark.parametrize("setup", sorted(SCENES))
def test_refinement_beats_tsai_and_its_sigmas_match_the_spread_under_robot_error(setup):
    closed, refined, tally = [], [], pc.SigmaTally()
    for seed in range(16):
        _, start, refinement, truth = solve(setup, 200 + seed, (0.5, 0.05))
        assert refinement.refined, refinement.reason
        closed.append(pc.transform_error(start, truth))
        refined.append(pc.transform_error(refinement.camera_mount_T_camera, truth))
        tally.add(refinement.camera_mount_T_camera, truth, refinement.camera_sigma)
    # The rotation is limited by the principal point, known to ~2 px from 12 views, as much as by the robot.
    translation, rotation = np.median(refined, axis=0) / np.median(closed, axis=0)
    assert translation < 0.9 and rotation < 1.1
    for kind in ("translation", "rotation"):
        assert 0.65 < tally.honesty(kind) < 1.5, kind


def test_robot_poses_taken_as_exact_or_held_at_given_levels():
    scene, start, _, _ = solve("eye-in-hand", 4, (0.5, 0.05))
    K, D, _ = pc.intrinsics_from_views(scene)
    problem = pc.eye_in_hand_problem(scene, start, K, D, refine_intrinsics=True)
    exact = _velk.refine_hand_eye(problem, options(0.0, 0.0))
    assert exact.refined and not exact.robot_error_modelled and exact.robot_pose_corrections == []
    held = _velk.refine_hand_eye(problem, options(0.5, 0.05))
    assert held.robot_error_modelled and not held.noise_estimated
    assert held.robot_translation_noise_mm == pytest.approx(0.5)
    assert held.robot_rotation_noise_deg == pytest.approx(0.05)
    held_pixels = options(0.5, 0.05)
    held_pixels.pixel_sigma_px = 0.3
    pinned = _velk.refine_hand_eye(problem, held_pixels)
    assert pinned.pixel_noise_px == pytest.approx(0.3) and held.pixel_noise_px != pytest.approx(0.3)
    # A loose prior frees every view's pose: the hand-eye transform is then barely determined.
    loose = _velk.refine_hand_eye(problem, options(1000.0, 57.0))
    assert loose.camera_sigma.translation_norm_mm > 20 * held.camera_sigma.translation_norm_mm


def _corrected_poses_explain_the_pictures(scene, refinement):
    """With the corrections applied, every camera_T_target follows from the refined transforms."""
    for reported, correction, true_pose in zip(scene.robot_T_tcp_list, refinement.robot_pose_corrections,
                                               scene.true_robot_T_tcp_list):
        delta = _velk.tf.pose_to_transformation_matrix([c / 1000.0 for c in correction[:3]] + [0.0, 0.0, 0.0])
        delta[:3, :3] = cv2.Rodrigues(np.radians(correction[3:]))[0]
        corrected = reported @ delta
        yield pc.transform_error(corrected, true_pose)


@pytest.mark.parametrize("setup", sorted(SCENES))
def test_corrections_move_the_reported_flange_poses_towards_the_true_ones(setup):
    scene, _, refinement, _ = solve(setup, 11, (1.0, 0.1), num_views=15)
    before = [pc.transform_error(r, t) for r, t in zip(scene.robot_T_tcp_list, scene.true_robot_T_tcp_list)]
    after = list(_corrected_poses_explain_the_pictures(scene, refinement))
    assert len(after) == 15
    # Translation along the camera's axis stays uncertain, but the pose as a whole comes closer to the truth.
    assert np.median([a[1] for a in after]) < 0.7 * np.median([b[1] for b in before])
    assert np.median([a[0] for a in after]) < np.median([b[0] for b in before])


def test_a_pose_taken_before_the_robot_settled_is_listed_as_suspect_and_kept():
    scene = pc.eye_in_hand_corners(num_views=12, noise_px=0.3, seed=5, robot_error=(0.2, 0.02))
    offset = np.eye(4)
    offset[:3, 3] = [0.006, -0.004, 0.003]
    scene.robot_T_tcp_list[7] = scene.robot_T_tcp_list[7] @ offset
    K, D, poses = pc.intrinsics_from_views(scene)
    start = pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, poses, "TSAI")
    refinement = _velk.refine_hand_eye(pc.eye_in_hand_problem(scene, start, K, D, refine_intrinsics=True))
    assert refinement.suspect_poses == [7]
    assert len(refinement.per_view_rms_px) == 12 and len(refinement.robot_pose_corrections) == 12
    assert np.linalg.norm(refinement.robot_pose_corrections[7][:3]) > 4.0
    closed_form_error = pc.transform_error(start, scene.tcp_T_camera)
    assert np.all(pc.transform_error(refinement.camera_mount_T_camera, scene.tcp_T_camera) < closed_form_error)


def _shuffled(scene):
    scene.robot_T_tcp_list = scene.robot_T_tcp_list[1:] + scene.robot_T_tcp_list[:1]


def _millimetres_as_metres(scene):
    for pose in scene.robot_T_tcp_list:
        pose[:3, 3] *= 1000.0


def _inverted(scene):
    scene.robot_T_tcp_list = [np.linalg.inv(pose) for pose in scene.robot_T_tcp_list]


def _conjugate_quaternion(scene):
    for pose in scene.robot_T_tcp_list:
        pose[:3, :3] = pose[:3, :3].T.copy()


@pytest.mark.parametrize("spoil", [_shuffled, _millimetres_as_metres, _inverted, _conjugate_quaternion])
def test_implausible_robot_poses_keep_the_closed_form_and_name_the_likely_causes(spoil, capfd):
    scene = pc.eye_in_hand_corners(num_views=12, noise_px=0.3, seed=8)
    spoil(scene)
    K, D, poses = pc.intrinsics_from_views(scene)
    start = pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, poses, "TSAI")
    refinement = _velk.refine_hand_eye(pc.eye_in_hand_problem(scene, start, K, D, refine_intrinsics=True))
    assert not refinement.refined and refinement.reason
    assert np.array_equal(refinement.camera_mount_T_camera, start)
    for cause in ("units", "pose convention", "quaternion order", "out of order"):
        assert cause in refinement.noise_warning
    assert "[velk][WARNING] [HandEyeRefinement] The robot poses disagree with the pictures" in capfd.readouterr().err


def test_a_few_millimetres_of_disagreement_are_refined_with_a_warning(capfd):
    scene = pc.eye_in_hand_corners(num_views=12, noise_px=0.3, seed=8, robot_error=(15.0, 0.05))
    K, D, poses = pc.intrinsics_from_views(scene)
    start = pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, poses, "TSAI")
    refinement = _velk.refine_hand_eye(pc.eye_in_hand_problem(scene, start, K, D, refine_intrinsics=True))
    assert refinement.refined, refinement.reason
    assert 10.0 < refinement.robot_translation_noise_mm < 25.0
    assert "units" in refinement.noise_warning
    assert np.all(np.isfinite(refinement.camera_mount_T_camera))
    assert "far more than a robot's own error" in capfd.readouterr().err


def test_given_intrinsics_with_a_sigma_are_estimated_within_it():
    scene = pc.eye_in_hand_corners(num_views=12, noise_px=0.3, seed=6, robot_error=(0.2, 0.02))
    K = pc.EYE_IN_HAND_K + np.array([[3.0, 0.0, -2.0], [0.0, 3.0, 2.0], [0.0, 0.0, 0.0]])
    D = pc.EYE_IN_HAND_D.reshape(1, -1)
    start = pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, pc.poses_with_intrinsics(scene, K, D), "TSAI")
    problem = pc.eye_in_hand_problem(scene, start, K, D, refine_intrinsics=False)
    exact = _velk.refine_hand_eye(problem)
    assert np.array_equal(exact.intrinsic_matrix, K) and not exact.intrinsics_refined
    prior = options()
    prior.intrinsic_sigmas_px = [5.0, 5.0, 5.0, 5.0]
    loose = _velk.refine_hand_eye(problem, prior)
    assert loose.intrinsics_refined and not np.array_equal(loose.intrinsic_matrix, K)
    assert all(0.0 < s < 5.0 for s in loose.intrinsic_sigmas)
    assert np.abs(loose.intrinsic_matrix - pc.EYE_IN_HAND_K).max() < np.abs(K - pc.EYE_IN_HAND_K).max()
    prior.intrinsic_sigmas_px = [5.0, 5.0, 0.0, 5.0]
    refused = _velk.refine_hand_eye(problem, prior)
    assert not refused.refined and "intrinsic sigmas" in refused.reason


def test_robot_noise_is_stored_in_the_record_and_older_records_still_load(tmp_path):
    scene, _, refinement, _ = solve("eye-in-hand", 2, (0.5, 0.05))
    record = _velk.io.HandEyeResultRecord()
    record.tcp_T_camera_list = [refinement.camera_mount_T_camera]
    stored = _velk.io.RefinementRecord()
    noise = _velk.io.RobotNoiseRecord()
    noise.estimated = True
    noise.translation_mm = refinement.robot_translation_noise_mm
    noise.rotation_deg = refinement.robot_rotation_noise_deg
    noise.pixel_px = refinement.pixel_noise_px
    noise.pose_corrections = refinement.robot_pose_corrections
    noise.suspect_poses = [3]
    noise.warning = ""
    stored.refined = True
    stored.robot_noise = noise
    record.refinement = stored
    _velk.io.save_hand_eye_result(tmp_path, record)
    loaded = _velk.io.load_hand_eye_result(tmp_path / "hand_eye.json").refinement.robot_noise
    assert loaded.translation_mm == pytest.approx(noise.translation_mm)
    assert np.allclose(loaded.pose_corrections, noise.pose_corrections)
    assert loaded.suspect_poses == [3] and loaded.estimated
    stored.robot_noise = None
    record.refinement = stored
    _velk.io.save_hand_eye_result(tmp_path, record)
    assert _velk.io.load_hand_eye_result(tmp_path / "hand_eye.json").refinement.robot_noise is None


# --- Real pictures: a still camera and a board on the flange, no ground truth ------------------------------------


@pytest.fixture(scope="module")
def real_views():
    photos = eye_to_hand_photos.load()
    board = cv2.aruco.CharucoBoard((5, 7), 0.036195, 0.018256, cv2.aruco.getPredefinedDictionary(10))
    detector = cv2.aruco.CharucoDetector(board)
    views = []
    for image, robot in zip(photos.images, photos.robot_T_tcp_list):
        corners, ids, _, _ = detector.detectBoard(image)
        if ids is not None and len(ids) >= 6:
            views.append((board.getChessboardCorners()[ids.ravel()].astype(np.float32),
                          corners.reshape(-1, 2).astype(np.float32), robot))
    return photos, views


def _fit(photos, views, given_intrinsics, method, refine):
    objects, pixels, robots = (list(part) for part in zip(*views))
    if given_intrinsics:
        K, D = photos.camera_matrix, photos.distortion
        poses = [pc.pose_from_vectors(*cv2.solvePnP(o, p, K, D)[1:]) for o, p in zip(objects, pixels)]
    else:
        _, K, D, rvecs, tvecs = cv2.calibrateCamera(objects, pixels, eye_to_hand_photos.IMAGE_SIZE, None, None)
        D = D.reshape(1, -1)
        poses = [pc.pose_from_vectors(r, t) for r, t in zip(rvecs, tvecs)]
    robot_T_camera = pc.closed_form_robot_T_camera(robots, poses, method)
    tcp_T_target = _velk.tf.average_pose([np.linalg.inv(r) @ robot_T_camera @ p for r, p in zip(robots, poses)])
    if not refine:
        return robot_T_camera, tcp_T_target, K, D, None
    problem = _velk.HandEyeRefinementProblem()
    problem.camera_mount_T_camera = robot_T_camera
    problem.camera_mount_T_target_mount_list = robots
    problem.object_points, problem.image_points = objects, pixels
    problem.intrinsic_matrix, problem.distortion_coefficients = K, D
    problem.refine_intrinsics = not given_intrinsics
    problem.eye_to_hand = True
    refinement = _velk.refine_hand_eye(problem)
    assert refinement.refined, refinement.reason
    return (refinement.camera_mount_T_camera, refinement.target_mount_T_target, refinement.intrinsic_matrix,
            refinement.distortion_coefficients, refinement)


def _held_out_error(photos, views, given_intrinsics, method, refine):
    """Median over pictures of the median corner error predicting each picture from the other ones."""
    errors = []
    for j, (objects, pixels, robot) in enumerate(views):
        robot_T_camera, tcp_T_target, K, D, _ = _fit(photos, views[:j] + views[j + 1:], given_intrinsics, method,
                                                     refine)
        camera_T_target = np.linalg.inv(robot_T_camera) @ robot @ tcp_T_target
        predicted, _ = cv2.projectPoints(objects, cv2.Rodrigues(camera_T_target[:3, :3])[0], camera_T_target[:3, 3],
                                         K, D)
        errors.append(np.median(np.linalg.norm(predicted.reshape(-1, 2) - pixels, axis=1)))
    return float(np.median(errors))


@pytest.mark.parametrize("given_intrinsics", [False, True], ids=["intrinsics-from-pictures", "given-intrinsics"])
def test_real_pictures_held_out_are_predicted_no_worse_than_the_best_closed_form(real_views, given_intrinsics):
    photos, views = real_views
    assert len(views) >= 14
    refined = _held_out_error(photos, views, given_intrinsics, "TSAI", True)
    closed = {m: _held_out_error(photos, views, given_intrinsics, m, False) for m in pc.CLOSED_FORM_METHODS}
    assert refined <= min(closed.values()), (refined, closed)
    *_, refinement = _fit(photos, views, given_intrinsics, "TSAI", True)
    # A real robot: some error of its own, but nothing that points at bad input.
    assert 0.05 < refinement.robot_translation_noise_mm < 10.0
    assert 0.001 < refinement.robot_rotation_noise_deg < 1.0
    assert refinement.noise_warning == "" and refinement.noise_settled
    assert 0.2 < refinement.pixel_noise_px < 1.5
