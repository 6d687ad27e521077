"""Robot pose errors in the simulated scenes: the reported flange poses are off, the pictures are not.

A real controller reports its flange pose with errors of tenths of a millimetre and hundredths of a degree.
The simulations draw them per pose in the flange frame (reported = true @ exp(delta)) from a random stream
of their own, so the pictures and corners of a seed stay the same whatever the error.
"""

import sys
from pathlib import Path

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
import _velk  # noqa: E402
from quorvane.velk import demo  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import eye_to_hand_photos  # noqa: E402
import projected_corners as pc  # noqa: E402

# (translation mm, rotation deg) per flange axis.
ROBOT_ERRORS = [(0.2, 0.02), (0.5, 0.05), (1.0, 0.1)]


def random_poses(count, rng):
    """Flange poses in every orientation, up to a metre and a half from the base along each axis."""
    poses = []
    for _ in range(count):
        pose = np.eye(4)
        pose[:3, :3] = cv2.Rodrigues(rng.uniform(-np.pi, np.pi, 3) / np.sqrt(3))[0]
        pose[:3, 3] = rng.uniform(-1.5, 1.5, 3)
        poses.append(pose)
    return poses


def flange_errors(reported, true):
    """inv(true) @ reported per pose: its translation [mm] and rotation vector [deg], flange frame, one row each."""
    deltas = [np.linalg.inv(t) @ r for r, t in zip(reported, true)]
    return (np.array([d[:3, 3] for d in deltas]) * 1000.0,
            np.degrees(np.array([cv2.Rodrigues(d[:3, :3])[0].ravel() for d in deltas])))


# --------------------------------------------------------------------------
# The error model


@pytest.mark.parametrize("translation_mm, rotation_deg", ROBOT_ERRORS)
def test_error_has_the_requested_spread_per_flange_axis(translation_mm, rotation_deg):
    true = random_poses(3000, np.random.default_rng(42))
    reported = demo.perturb_robot_poses(true, translation_mm, rotation_deg, np.random.default_rng(7))
    translation, rotation = flange_errors(reported, true)
    for errors, sigma in ((translation, translation_mm), (rotation, rotation_deg)):
        assert np.all(np.abs(errors.mean(axis=0)) < 0.1 * sigma)
        assert np.allclose(errors.std(axis=0), sigma, rtol=0.06)
        assert np.all(np.abs(np.corrcoef(errors.T) - np.eye(3)) < 0.08)  # independent axes


@pytest.mark.parametrize("translation_mm, rotation_deg", ROBOT_ERRORS)
def test_error_acts_about_the_flange_not_the_robot_base(translation_mm, rotation_deg):
    # Turning about the base origin would carry a flange a metre away by millimetres.
    true = random_poses(200, np.random.default_rng(1))
    turned = demo.perturb_robot_poses(true, 0.0, rotation_deg, np.random.default_rng(2))
    shifted = demo.perturb_robot_poses(true, translation_mm, 0.0, np.random.default_rng(3))
    for t, r, s in zip(true, turned, shifted):
        assert np.allclose(r[:3, 3], t[:3, 3], rtol=0.0, atol=1e-12)
        assert np.allclose(s[:3, :3], t[:3, :3], rtol=0.0, atol=1e-15)
        assert np.allclose(r[3], [0, 0, 0, 1]) and np.allclose(s[3], [0, 0, 0, 1])
    assert min(demo.transform_error(r, t)[1] for r, t in zip(turned, true)) > 1e-4 * rotation_deg
    assert min(demo.transform_error(s, t)[0] for s, t in zip(shifted, true)) > 1e-4 * translation_mm / 1000


def test_zero_error_leaves_the_poses_alone_and_a_seed_repeats():
    true = random_poses(20, np.random.default_rng(5))
    rng = np.random.default_rng(9)
    unchanged = demo.perturb_robot_poses(true, 0.0, 0.0, rng)
    assert all(np.array_equal(u, t) and u is not t and u.dtype == np.float64 for u, t in zip(unchanged, true))
    assert rng.bit_generator.state == np.random.default_rng(9).bit_generator.state
    first = demo.perturb_robot_poses(true, 0.5, 0.05, np.random.default_rng(11))
    again = demo.perturb_robot_poses(true, 0.5, 0.05, np.random.default_rng(11))
    other = demo.perturb_robot_poses(true, 0.5, 0.05, np.random.default_rng(12))
    assert all(np.array_equal(a, b) for a, b in zip(first, again))
    assert not any(np.allclose(a, b, rtol=0.0, atol=1e-9) for a, b in zip(first, other))
    with pytest.raises(ValueError, match="perturb_robot_poses"):
        demo.perturb_robot_poses(true, -0.1, 0.0, rng)


# --------------------------------------------------------------------------
# The scenes: pictures from the true poses, errors only in the reported ones


def _true_poses(scene):
    if isinstance(scene, demo.EyeInHandScene):
        return [scene.world_T_target @ np.linalg.inv(c) @ np.linalg.inv(scene.tcp_T_camera)
                for c in scene.camera_T_target_list]
    return [scene.robot_T_camera @ c @ np.linalg.inv(scene.tcp_T_target) for c in scene.camera_T_target_list]


@pytest.mark.parametrize("simulate", [demo.simulate_eye_in_hand, demo.simulate_eye_to_hand])
def test_rendered_pictures_do_not_depend_on_the_robot_error(simulate):
    exact = simulate(num_poses=2, seed=3)
    off = simulate(num_poses=2, seed=3, robot_error=(1.0, 0.1))
    assert len(off.images) == 2 and all(np.array_equal(a, b) for a, b in zip(exact.images, off.images))
    truth = _true_poses(exact)
    for poses in (exact.robot_T_tcp_list, exact.true_robot_T_tcp_list, off.true_robot_T_tcp_list):
        assert all(np.array_equal(p, t) for p, t in zip(poses, truth))
    translation, rotation = flange_errors(off.robot_T_tcp_list, off.true_robot_T_tcp_list)
    assert np.all(np.abs(translation) < 5.0) and np.all(np.abs(rotation) < 0.5)
    assert np.all(np.linalg.norm(translation, axis=1) > 0.01) and np.all(np.linalg.norm(rotation, axis=1) > 1e-3)


@pytest.mark.parametrize("make", [pc.eye_in_hand_corners, pc.eye_to_hand_corners])
@pytest.mark.parametrize("robot_error", ROBOT_ERRORS)
def test_projected_corners_do_not_depend_on_the_robot_error(make, robot_error):
    exact = make(num_views=12, noise_px=0.3, seed=4)
    off = make(num_views=12, noise_px=0.3, seed=4, robot_error=robot_error)
    for name in ("object_points", "image_points", "camera_T_target_list"):
        assert all(np.array_equal(a, b) for a, b in zip(getattr(exact, name), getattr(off, name))), name
    assert all(np.array_equal(a, b) for a, b in zip(exact.robot_T_tcp_list, exact.true_robot_T_tcp_list))
    assert all(np.array_equal(a, b) for a, b in zip(exact.true_robot_T_tcp_list, off.true_robot_T_tcp_list))
    translation, rotation = flange_errors(off.robot_T_tcp_list, off.true_robot_T_tcp_list)
    for errors, sigma in ((translation, robot_error[0]), (rotation, robot_error[1])):
        rms = np.sqrt(np.mean(np.square(errors)))  # 36 draws
        assert 0.6 * sigma < rms < 1.5 * sigma


@pytest.mark.parametrize("robot_error", [(0.0, 0.0)] + ROBOT_ERRORS)
def test_eye_to_hand_corners_follow_the_chain_through_the_true_poses(robot_error):
    scene = pc.eye_to_hand_corners(num_views=10, noise_px=0.0, seed=2, robot_error=robot_error)
    camera_T_robot = np.linalg.inv(scene.robot_T_camera)
    for true, reported, camera_T_target in zip(scene.true_robot_T_tcp_list, scene.robot_T_tcp_list,
                                               scene.camera_T_target_list):
        assert np.allclose(camera_T_robot @ true @ scene.tcp_T_target, camera_T_target, rtol=0.0, atol=1e-12)
        through_reported = camera_T_robot @ reported @ scene.tcp_T_target
        assert np.allclose(through_reported, camera_T_target, rtol=0.0, atol=1e-12) == (robot_error == (0.0, 0.0))
    for objects, pixels, camera_T_target in zip(scene.object_points, scene.image_points,
                                                scene.camera_T_target_list):
        assert len(pixels) >= 30
        rvec = cv2.Rodrigues(camera_T_target[:3, :3])[0]
        projected = cv2.projectPoints(objects.astype(np.float64), rvec, camera_T_target[:3, 3], pc.EYE_IN_HAND_K,
                                      pc.EYE_IN_HAND_D)[0].reshape(-1, 2)
        assert np.abs(projected - pixels).max() < 1e-3


@pytest.mark.parametrize("method", sorted(pc.CLOSED_FORM_METHODS))
def test_eye_to_hand_closed_form_gives_robot_T_camera(method):
    scene = pc.eye_to_hand_corners(num_views=10, noise_px=0.0, seed=1)
    estimate = pc.closed_form_robot_T_camera(scene.robot_T_tcp_list, scene.camera_T_target_list, method)
    translation, rotation = pc.transform_error(estimate, scene.robot_T_camera)
    assert translation < 1e-6 and rotation < 1e-5
    # The eye-in-hand call on the same poses (not inverted) answers a different question.
    uninverted = pc.closed_form_tcp_T_camera(scene.robot_T_tcp_list, scene.camera_T_target_list, method)
    assert pc.transform_error(uninverted, scene.robot_T_camera)[0] > 0.05


def test_eye_to_hand_closed_form_matches_the_calibrator():
    scene = pc.eye_to_hand_corners(num_views=12, noise_px=0.3, seed=6, robot_error=(0.5, 0.05))
    poses = pc.poses_with_intrinsics(scene, pc.EYE_IN_HAND_K, pc.EYE_IN_HAND_D)
    result = _velk.EyeToHandCalibrator(_velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100")).calibrate(
        scene.robot_T_tcp_list, [], "PARK", camera_T_target_list=poses)
    assert result.ok
    estimate = pc.closed_form_robot_T_camera(scene.robot_T_tcp_list, poses, "PARK")
    assert np.allclose(result.robot_T_camera, estimate, rtol=0.0, atol=1e-9)
    assert 1e-5 < pc.transform_error(estimate, scene.robot_T_camera)[0] < 5e-3


@pytest.mark.parametrize("robot_error", [(0.0, 0.0), (1.0, 0.1)])
def test_eye_to_hand_problem_refines_to_the_truth_the_robot_allows(robot_error):
    scene = pc.eye_to_hand_corners(num_views=12, noise_px=0.0, seed=3, robot_error=robot_error)
    start = scene.robot_T_camera @ _velk.tf.pose_to_transformation_matrix([0.004, -0.004, 0.004, 0.8, -0.8, 0.8])
    problem = pc.eye_to_hand_problem(scene, start, pc.EYE_IN_HAND_K, pc.EYE_IN_HAND_D.reshape(1, -1), False)
    refinement = _velk.refine_hand_eye(problem)
    assert refinement.refined, refinement.reason
    camera = pc.transform_error(refinement.camera_mount_T_camera, scene.robot_T_camera)
    target = pc.transform_error(refinement.target_mount_T_target, scene.tcp_T_target)
    if robot_error == (0.0, 0.0):
        assert camera[0] < 1e-6 and camera[1] < 1e-5 and target[0] < 1e-6 and target[1] < 1e-5
        assert refinement.rms_px < 1e-4
    else:
        # Noise-free corners, yet the reported poses the solution rests on are off.
        assert 1e-5 < camera[0] < 5e-3 and 1e-5 < target[0] < 5e-3 and camera[1] < 0.5 and target[1] < 0.5


# --------------------------------------------------------------------------
# The real eye-to-hand pictures


@pytest.fixture(scope="module")
def photos():
    return eye_to_hand_photos.load()


def test_real_eye_to_hand_data_loads(photos):
    assert len(photos.images) == 16 and len(photos.robot_T_tcp_list) == 16
    assert all(image.shape == (1200, 1600, 3) and image.dtype == np.uint8 for image in photos.images)
    for pose in photos.robot_T_tcp_list:
        rotation = pose[:3, :3]
        assert pose.shape == (4, 4) and pose.dtype == np.float64
        assert np.allclose(rotation.T @ rotation, np.eye(3), atol=1e-9) and np.isclose(np.linalg.det(rotation), 1.0)
        assert np.array_equal(pose[3], [0.0, 0.0, 0.0, 1.0]) and 0.3 < np.linalg.norm(pose[:3, 3]) < 2.0
    distinct = {tuple(np.round(p.ravel(), 6)) for p in photos.robot_T_tcp_list}
    assert len(distinct) == 16
    assert photos.camera_matrix[0, 0] == 1352.02747 and photos.camera_matrix[1, 2] == 627.2995
    assert not np.any(photos.distortion)
    target = photos.target
    assert (target.squares_x, target.squares_y, target.square_length, target.marker_length) == (
        5, 7, 0.036195, 0.018256) and target.aruco_dict_id == cv2.aruco.DICT_6X6_250


def test_real_eye_to_hand_closed_form_lands_near_the_given_camera_pose(photos):
    # The data set gives a rough camera pose in the robot base frame (a starting value, not a ground truth):
    # the board, the intrinsics, the pose files and the closed form must all be read the right way round to
    # come near it.
    detections = _velk.IntrinsicCalibrator(photos.target).find_corners(photos.images)
    assert list(detections.successful_indices) == list(range(16))
    poses = [pc.pose_from_vectors(*cv2.solvePnP(np.asarray(objects, np.float64), np.asarray(pixels, np.float64),
                                                photos.camera_matrix, photos.distortion)[1:])
             for objects, pixels in zip(detections.object_points, detections.image_points)]
    robot_T_camera = pc.closed_form_robot_T_camera(photos.robot_T_tcp_list, poses, "PARK")
    given = np.eye(4)
    given[:3, :3] = eye_to_hand_photos.quaternion_to_rotation(-0.048080, -0.558686, 0.827604, -0.025104)
    given[:3, 3] = [-0.019646, 1.27843, 0.283965]
    translation, rotation = pc.transform_error(robot_T_camera, given)
    assert translation < 0.05 and rotation < 5.0


def test_a_missing_data_set_skips(tmp_path):
    with pytest.raises(pytest.skip.Exception, match="no eye-to-hand data set"):
        eye_to_hand_photos.load(tmp_path)
