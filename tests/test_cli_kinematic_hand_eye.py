"""velk hand-eye --model: rendered pictures of a simulated arm with joint readings; the calibration through the
chain finds the joint offsets the pictures determine, saves its transforms only when its chain predicts held-out
pictures better, stores what it found in the record and checks reported flange poses against the model."""

import json
import shutil

import numpy as np
import pytest
import yaml

import _velk
import cli_data
import kinematic_scenes as scenes
from quorvane.velk import cli, synthetic
from quorvane.velk.geometry import rotation_from_quaternion, rotation_from_rotvec
from quorvane.velk.joint_table import write_joint_table
from quorvane.velk.kinematic_models import load_model

OFFSETS_RAD = np.radians([0.05, -0.08, 0.07, 0.09, -0.06, 0.05])
VIEWS = 14
TARGET = _velk.CharucoTarget(9, 7, 0.04, 0.03, "DICT_5X5_100")


def write_scene(root, offsets, eye_to_hand=False, seed=21):
    pictures = scenes.arm_pictures(offsets, seed=seed, count=VIEWS, eye_to_hand=eye_to_hand, noise_px=0.0)
    folder = root / "dataset"
    for k, pose in enumerate(pictures.camera_T_target):
        image = synthetic.render_target(TARGET, scenes.ARM_CAMERA_K, scenes.ARM_CAMERA_D, pose, (1280, 960),
                                        noise_sigma=2.0, seed=k).image
        _velk.io.save_hand_eye_image(folder, k, image)
    write_joint_table(folder / "joints.csv", np.asarray(pictures.joints), [f"j{k + 1}" for k in range(6)])
    model = scenes.write_model(root / "arm.yaml", scenes.ur_like_model())
    target = cli_data.write_target(root / "target.json", TARGET)
    intrinsics = root / "intrinsics.json"
    intrinsics.write_text(json.dumps({"camera_matrix": scenes.ARM_CAMERA_K.tolist(),
                                      "distortion_coefficients": [[0, 0, 0, 0, 0]]}))
    return pictures, folder, model, target


def run_hand_eye(folder, model, target, *extra):
    return cli.main(["hand-eye", str(folder), "--target", str(target), "--model", str(model), "--quiet",
                     "--intrinsics", str(model.parent / "intrinsics.json"), *extra])


@pytest.fixture(scope="module", params=[False, True], ids=["eye_in_hand", "eye_to_hand"])
def offsets_run(request, tmp_path_factory):
    eye_to_hand = request.param
    root = tmp_path_factory.mktemp("kinematic-cli")
    pictures, folder, model, target = write_scene(root, OFFSETS_RAD, eye_to_hand)
    extra = ["--kinematics-output", str(root / "corrections.yaml")]
    if eye_to_hand:
        extra.append("--eye-to-hand")
    else:
        # Eye-in-hand reads the arm from a URDF and writes it back corrected.
        model = scenes.write_model(root / "arm.urdf", scenes.ur_like_urdf())
        extra += ["--base-link", "base_link", "--flange-link", "tool0", "--urdf-output", str(root / "corrected.urdf")]
    code = run_hand_eye(folder, model, target, *extra)
    name = "eye_to_hand.json" if eye_to_hand else "hand_eye.json"
    return eye_to_hand, pictures, root, code, folder / name


def test_joint_offsets_are_calibrated_and_their_transforms_saved(offsets_run):
    eye_to_hand, pictures, root, code, path = offsets_run
    assert code == 0
    load = _velk.io.load_eye_to_hand_result if eye_to_hand else _velk.io.load_hand_eye_result
    record = load(str(path))
    kinematics = record.kinematics
    assert kinematics.helps and kinematics.applied and kinematics.mode == "offsets"
    assert kinematics.held_out.calibrated_px < 0.5 * kinematics.held_out.nominal_px
    estimated = {p.name: p for p in kinematics.parameters if p.estimated}
    # The first joint's offset turns the base, the last one's the flange: the mounts take them up.
    assert not {"joint j1 zero offset", "joint j6 zero offset"} & set(estimated)
    for k in (2, 3, 4, 5):
        parameter = estimated[f"joint j{k} zero offset"]
        assert abs(parameter.value - OFFSETS_RAD[k - 1]) < 4 * parameter.sigma
    saved = (record.robot_T_camera_list if eye_to_hand else record.tcp_T_camera_list)[0]
    np.testing.assert_allclose(saved, kinematics.camera_mount_T_camera[0])
    assert len(kinematics.corrected_flange_poses) == VIEWS
    check = {c.name: c for c in record.verdict.checks}["kinematic model"]
    assert check.passed is True and check.figures.startswith("helps")
    assert "kinematic corrections" in record.refinement_applied.what
    written = yaml.safe_load((root / "corrections.yaml").read_text())
    assert written["parameters"]["joint j3 zero offset"]["value"] == pytest.approx(
        estimated["joint j3 zero offset"].value)
    if not eye_to_hand:
        # The corrected URDF's flange poses are those of the arm's truth, up to the offsets the mounts absorb.
        corrected = load_model(root / "corrected.urdf", "base_link", "tool0").chain
        truth = _velk.kinematics.corrected_chain(scenes.ur_like_chain(), "offsets",
                                                 [0.0, *OFFSETS_RAD[1:5], 0.0])
        for q in pictures.joints[:3]:
            difference = (np.asarray(_velk.kinematics.forward_kinematics(corrected, q.tolist()))
                          - np.asarray(_velk.kinematics.forward_kinematics(truth, q.tolist())))
            assert np.abs(difference[:3, 3]).max() < 2e-4


@pytest.fixture(scope="module")
def exact_scene(tmp_path_factory):
    """A scene of the arm with exact kinematics; tests that change it work on a copy or name their own files."""
    return write_scene(tmp_path_factory.mktemp("exact-kinematics"), np.zeros(6), seed=22)


def test_exact_kinematics_keep_the_nominal_result(exact_scene, tmp_path, capsys):
    pictures, folder, model, target = exact_scene
    report = tmp_path / "report.html"
    assert run_hand_eye(folder, model, target, "-o", str(tmp_path), "--report", str(report)) == 0
    out = capsys.readouterr().out
    # Given intrinsics are held, and the report's residuals say so.
    assert "the intrinsics (held fixed)" in report.read_text()
    assert "does not predict held-out pictures clearly better" in out
    record = _velk.io.load_hand_eye_result(str(tmp_path / "hand_eye.json"))
    assert not record.kinematics.applied and not any(p.estimated for p in record.kinematics.parameters)
    check = {c.name: c for c in record.verdict.checks}["kinematic model"]
    assert check.passed is None and record.verdict.passed
    mm = 1000 * np.linalg.norm(record.tcp_T_camera_list[0][:3, 3] - pictures.camera_mount_T_camera[:3, 3])
    assert mm < 1.0
    # The saved rotation is also printed as a quaternion and a rotation vector.
    forms = {line.split(" = ")[0].strip(): line.split(" = ")[1] for line in out.splitlines()
             if line.startswith(("  quaternion", "  rotation vector"))}
    quaternion = np.array(forms["quaternion w, x, y, z"].split(", "), dtype=float)
    vector = np.array(forms["rotation vector"].removesuffix(" rad").split(", "), dtype=float)
    rotation = np.asarray(record.tcp_T_camera_list[0])[:3, :3]
    np.testing.assert_allclose(rotation_from_quaternion(quaternion), rotation, atol=1e-5)
    np.testing.assert_allclose(rotation_from_rotvec(vector), rotation, atol=1e-5)


@pytest.mark.parametrize("reported, warned", [("tool offset", False), ("swapped joints", True)])
def test_reported_flange_poses_are_checked_against_the_model(exact_scene, tmp_path, capsys, reported, warned):
    pictures, folder, model, target = exact_scene
    folder = shutil.copytree(folder, tmp_path / "dataset")
    tool = np.eye(4)
    tool[:3, 3] = [0.0, 0.0, 0.12]
    joints = np.asarray(pictures.joints)
    if reported == "swapped joints":
        joints = joints[:, [0, 1, 2, 4, 3, 5]]
    chain = scenes.ur_like_chain()
    poses = [np.asarray(_velk.kinematics.forward_kinematics(chain, q.tolist())) @ tool for q in joints]
    _velk.io.save_robot_poses(folder, poses)
    assert run_hand_eye(folder, model, target, "--no-validate") == 0
    err = capsys.readouterr().err
    assert ("the robot poses differ from the model's" in err) is warned


@pytest.mark.parametrize("table, message", [
    (None, "no joint readings at"),
    ("j1,j2\n0.1,0.2\n", "2 joint columns"),
    ("10 20 30 40 50 60\n" * VIEWS, "in degrees"),
])
def test_unusable_joint_readings_are_refused_before_calibrating(exact_scene, tmp_path, capsys, table, message):
    _, folder, model, target = exact_scene
    joints = tmp_path / "joints.csv"
    if table is not None:
        joints.write_text(table)
    assert run_hand_eye(folder, model, target, "--joints", str(joints)) == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("options, message", [
    (["--joints", "joints.csv"], "--joints needs --model"),
    (["--model", "arm.yaml", "--no-refine"], "leave out --no-refine"),
    (["--model", "arm.yaml", "--fit-board-scale"], "--fit-board-scale and --model cannot be combined"),
    (["--model", "arm.yaml", "--camera-model", "fisheye"], "--model takes pinhole cameras for now"),
])
def test_chain_options_that_cannot_work_are_refused(exact_scene, capsys, options, message):
    _, folder, _, target = exact_scene
    options = [str(folder.parent / o) if o.endswith((".csv", ".yaml")) else o for o in options]
    code = cli.main(["hand-eye", str(folder), "--target", str(target), *options])
    assert code == 2 and message in capsys.readouterr().err
