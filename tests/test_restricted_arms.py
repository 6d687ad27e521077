"""Arms that cannot turn about every axis: the hand-eye components their motions leave undetermined are found,
named, held and flagged, or taken as given; the rest is calibrated with honest sigmas."""

import json

import numpy as np
import pytest

import _velk
import projected_corners as pc
from cli_data import write_hand_eye_dataset, write_target
from quorvane.velk import arm_captures, cli
from quorvane.velk.pose_import import read_pose_file

SETUPS = ["eye-in-hand", "eye-to-hand"]
ROBOT_ERROR = (0.2, 0.02)
SHIFT_M = 0.04  # how far the refinement's start lies from the truth along the undetermined direction


def _problem(scene, setup, shift_m=0.0):
    """The refinement of a projected-corner scene, started at the truth moved by shift_m along the direction a
    SCARA's motions leave free: the flange-side transform along the flange's z axis, the other one with it."""
    along = np.asarray(scene.true_robot_T_tcp_list[0])[:3, 2] * shift_m
    K, D = pc.EYE_IN_HAND_K, pc.EYE_IN_HAND_D.reshape(1, -1)
    if setup == "eye-in-hand":
        camera, target = scene.tcp_T_camera.copy(), scene.world_T_target.copy()
        camera[2, 3] += shift_m
        target[:3, 3] += along
        problem = pc.eye_in_hand_problem(scene, camera, K, D, False)
    else:
        camera, target = scene.robot_T_camera.copy(), scene.tcp_T_target.copy()
        target[2, 3] += shift_m
        camera[:3, 3] += along
        problem = pc.eye_to_hand_problem(scene, camera, K, D, False)
    problem.target_mount_T_target = target
    return problem


def _flange_side(setup, scene, refinement):
    """(refined, true) of the flange-side transform."""
    if setup == "eye-in-hand":
        return np.asarray(refinement.camera_mount_T_camera), scene.tcp_T_camera
    return np.asarray(refinement.target_mount_T_target), scene.tcp_T_target


@pytest.fixture(scope="module", params=SETUPS)
def scara(request):
    return request.param, pc.arm_corners("scara", request.param, 15, 0.3, seed=4, robot_error=ROBOT_ERROR)


def test_the_undetermined_offset_along_the_turning_axis_is_named_held_and_not_measured(scara):
    setup, scene = scara
    refinement = _velk.refine_hand_eye(_problem(scene, setup, SHIFT_M))
    assert refinement.refined
    [component] = refinement.mount_components
    flange = "tcp_T_camera" if setup == "eye-in-hand" else "tcp_T_target"
    assert (component.transform, component.component, component.source) == (flange, "tz", "held")
    assert component.undetermined and component.data_sigma > 10.0 and component.sigma == np.inf
    other = "world_T_target" if setup == "eye-in-hand" else "robot_T_camera"
    assert (component.coupled_transform, component.coupled_component) == (other, "tz")
    assert "every rotation is about parallel axes" in component.sentence and "height" in component.measurement
    estimate, truth = _flange_side(setup, scene, refinement)
    # Held where it started, the truth's 40 mm away; the determined components are found.
    assert estimate[2, 3] == pytest.approx(truth[2, 3] + SHIFT_M, abs=1e-9)
    assert np.max(np.abs(estimate[:2, 3] - truth[:2, 3])) < 1e-3


@pytest.mark.parametrize("sigma_m", [0.0, 0.002])
def test_a_given_offset_is_fixed_or_tied_to_its_prior_and_the_rest_is_calibrated(scara, sigma_m):
    setup, scene = scara
    problem = _problem(scene, setup, SHIFT_M)
    truth = _flange_side(setup, scene, _velk.refine_hand_eye(problem))[1]
    problem.mount_components = [_velk.MountComponent("tz", truth[2, 3], sigma_m)]
    refinement = _velk.refine_hand_eye(problem)
    [component] = refinement.mount_components
    assert component.source == ("prior" if sigma_m else "fixed") and component.undetermined
    assert component.sigma == pytest.approx(sigma_m, rel=0.02, abs=1e-9)
    estimate = _flange_side(setup, scene, refinement)[0]
    assert abs(estimate[2, 3] - truth[2, 3]) < 1e-4
    assert np.max(np.abs(estimate[:3, 3] - truth[:3, 3])) < 1e-3
    assert pc.transform_error(estimate, truth)[1] < 0.1


@pytest.mark.parametrize("arm", ["5-axis", "6-axis"])
@pytest.mark.parametrize("setup", SETUPS)
def test_arms_that_turn_about_two_or_more_axes_leave_nothing_undetermined(arm, setup):
    scene = pc.arm_corners(arm, setup, 15, 0.3, seed=5, robot_error=ROBOT_ERROR)
    refinement = _velk.refine_hand_eye(_problem(scene, setup))
    assert refinement.refined and list(refinement.mount_components) == []


def test_only_translations_can_be_given(scara):
    setup, scene = scara
    problem = _problem(scene, setup)
    problem.mount_components = [_velk.MountComponent("rz", 0.0)]
    with pytest.raises(ValueError, match="tx, ty or tz"):
        _velk.refine_hand_eye(problem)


def _rendered_dataset(arm, setup, tmp_path_factory):
    """A rendered capture of 10 views on disk (data/, board.json, intrinsics.json) and its scene."""
    scene = arm_captures.render_arm_capture(arm, setup, 10, seed=3, robot_error=ROBOT_ERROR)
    folder = tmp_path_factory.mktemp(arm)
    write_hand_eye_dataset(folder / "data", scene.images, scene.robot_T_tcp_list)
    write_target(folder / "board.json", scene.target)
    (folder / "intrinsics.json").write_text(json.dumps({
        "camera_matrix": np.asarray(scene.camera_matrix).tolist(),
        "distortion_coefficients": np.ravel(scene.distortion).tolist(), "image_size": [1280, 960]}))
    return folder, scene


@pytest.fixture(scope="module", params=SETUPS)
def scara_dataset(request, tmp_path_factory):
    """A rendered SCARA capture on disk with its intrinsics: (set-up, folder, flange-side transform's truth)."""
    folder, scene = _rendered_dataset("scara", request.param, tmp_path_factory)
    truth = scene.tcp_T_camera if request.param == "eye-in-hand" else scene.tcp_T_target
    return request.param, folder, truth


def _saved(setup, folder):
    """(flange-side transform, refinement record) of the saved record."""
    if setup == "eye-in-hand":
        record = _velk.io.load_hand_eye_result(folder / "hand_eye.json")
        return np.asarray(record.tcp_T_camera_list[0]), record.refinement
    record = _velk.io.load_eye_to_hand_result(folder / "eye_to_hand.json")
    return np.asarray(record.tcp_T_target), record.refinement


@pytest.mark.parametrize("given", [["--compare"], ["--fix", "tz=0.06"]])
def test_velk_hand_eye_fails_until_the_undetermined_height_is_given(scara_dataset, given, tmp_path, capsys):
    setup, folder, truth = scara_dataset
    report = tmp_path / "report.html"
    code = cli.main(["hand-eye", str(folder / "data"), "--target", str(folder / "board.json"), "--intrinsics",
                     str(folder / "intrinsics.json"), "--no-validate", "-o", str(tmp_path), "--report", str(report),
                     *given] + (["--eye-to-hand"] if setup == "eye-to-hand" else []))
    out = capsys.readouterr().out
    saved, refinement = _saved(setup, tmp_path)
    flange = "tcp_T_camera" if setup == "eye-in-hand" else "tcp_T_target"
    # The planar closed form starts the refinement where the general ones are undefined.
    assert np.max(np.abs(saved[:2, 3] - truth[:2, 3])) < 1e-3
    if given[0] == "--fix":
        assert saved[2, 3] == pytest.approx(0.06, abs=1e-9)
        assert f"tz of {flange}: fixed at 60.00 mm (given)" in out and "[pass] undetermined components" in out
    else:
        assert code == 1 and "Verdict: PASS" not in out
        assert f"tz of {flange}: NOT DETERMINED" in out and "--fix tz=" in out
        assert ("measure the camera's height above the flange" if setup == "eye-in-hand" else
                "measure the board's height below the flange") in out
        # The record says so, and keeps no sigma along the undetermined direction, in either transform.
        assert [(c.component, c.source) for c in refinement.mount_components] == [("tz", "held")]
        assert np.isnan(refinement.pose_sigmas[0][2]) and np.isnan(refinement.target_pose_sigmas[0][2])
        assert "not determined mm)" in out and report.read_text().count("<td>not determined</td>") == 2
        # The general closed forms are marked undefined rather than listed.
        assert out.count("(undefined on turns about one axis)") == 5 and "[n/a] solver agreement" in out


@pytest.mark.parametrize("axes, words, motion", [
    ("z", "tz of tcp_T_camera is not determined by such poses", "one axis"),
    ("none", "tx, ty, tz of tcp_T_camera are not determined by such poses", "no turn"),
])
def test_velk_plan_for_an_arm_that_turns_about_one_axis_plans_for_the_determined_part(axes, words, motion, tmp_path,
                                                                                     capsys):
    board = _velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100")
    output = tmp_path / "plan.csv"
    code = cli.main(["plan", "--target", str(write_target(tmp_path / "board.json", board)), "--fov", "65",
                     "--fixed", *map(str, arm_captures.ARM_WORLD_T_TARGET_POSE),
                     "--hand-eye", *map(str, arm_captures.ARM_TCP_T_CAMERA_POSE),
                     "--candidates", "100", "--axes", axes, "--poses", "6", "-o", str(output)])
    out = capsys.readouterr().out
    assert code == 0 and words in out
    poses = [np.asarray(p) for p in read_pose_file(output, "xyz-quat", "m", "wxyz")]
    assert len(poses) == 6 and _velk.diagnostics.restricted_motion(poses) == motion
    assert (_velk.diagnostics.common_turn_axis(poses) is not None) == (axes == "z")
    # With the height taken as measured, the rest is determined from the third pose on.
    assert out.count(" mm | rotation ") == 4


def _held(refinement):
    return {(c.transform, c.component) for c in refinement.mount_components if c.undetermined and c.source == "held"}


@pytest.mark.parametrize("setup", SETUPS)
def test_a_gantry_leaves_the_whole_offset_undetermined_and_the_turn_is_found_from_its_translations(setup):
    scene = pc.arm_corners("gantry", setup, 15, 0.3, seed=6, robot_error=ROBOT_ERROR)
    assert _velk.diagnostics.restricted_motion(scene.robot_T_tcp_list) == "no turn"
    problem = _problem(scene, setup)
    refinement = _velk.refine_hand_eye(problem)
    flange = "tcp_T_camera" if setup == "eye-in-hand" else "tcp_T_target"
    assert refinement.refined and _held(refinement) == {(flange, t) for t in ("tx", "ty", "tz")}
    assert all("is not determined: the robot does not turn" in c.sentence for c in refinement.mount_components)
    estimate, truth = _flange_side(setup, scene, refinement)
    assert pc.transform_error(estimate, truth)[1] < 0.1
    # Given the offset, the rest is calibrated as on any arm.
    problem.mount_components = [_velk.MountComponent(t, truth[k, 3]) for k, t in enumerate(("tx", "ty", "tz"))]
    refinement = _velk.refine_hand_eye(problem)
    assert {c.source for c in refinement.mount_components} == {"fixed"}
    estimate = _flange_side(setup, scene, refinement)[0]
    assert np.max(np.abs(estimate[:3, 3] - truth[:3, 3])) < 1e-9 and pc.transform_error(estimate, truth)[1] < 0.1


@pytest.fixture(scope="module")
def gantry_dataset(tmp_path_factory):
    """A rendered eye-in-hand gantry capture on disk with its intrinsics: (folder, tcp_T_camera's truth)."""
    folder, scene = _rendered_dataset("gantry", "eye-in-hand", tmp_path_factory)
    return folder, scene.tcp_T_camera


@pytest.mark.parametrize("fixed", [False, True])
def test_velk_hand_eye_on_a_gantry_starts_from_the_translations_and_fails_until_the_offset_is_given(
        gantry_dataset, fixed, tmp_path, capsys):
    folder, truth = gantry_dataset
    given = [a for k, t in enumerate(("tx", "ty", "tz")) for a in ("--fix", f"{t}={truth[k, 3]:.6f}")]
    code = cli.main(["hand-eye", str(folder / "data"), "--target", str(folder / "board.json"), "--intrinsics",
                     str(folder / "intrinsics.json"), "--no-validate", "-o", str(tmp_path), "--compare",
                     *(given if fixed else [])])
    out = capsys.readouterr().out
    saved, refinement = _saved("eye-in-hand", tmp_path)
    # The closed form for translations starts the refinement: the camera's turn on the flange is found.
    assert pc.transform_error(saved, truth)[1] < 0.1
    assert out.count("(undefined when the robot does not turn)") == 5 and "[n/a] solver agreement" in out
    if fixed:
        assert code == 0 and np.max(np.abs(saved[:3, 3] - truth[:3, 3])) < 1e-6
    else:
        assert code == 1 and "Verdict: PASS" not in out
        assert all(f"{t} of tcp_T_camera: NOT DETERMINED" in out for t in ("tx", "ty", "tz"))
        assert sorted(c.component for c in refinement.mount_components) == ["tx", "ty", "tz"]
