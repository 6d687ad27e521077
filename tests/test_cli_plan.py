"""velk plan: a new plan written as a pose file velk poses import reads, its predicted sigma per added pose
and its report; the next best poses after a capture; a workspace that cannot work refused with the reason."""

import json
import re

import numpy as np
import pytest

from quorvane.velk import cli, demo
from quorvane.velk.pose_import import read_pose_file

TARGET = {"kind": "charuco", "squares_x": 9, "squares_y": 7, "square_length": 0.04, "marker_length": 0.03,
          "dictionary": "DICT_5X5_100", "legacy_pattern": False}


@pytest.fixture()
def target_file(tmp_path):
    path = tmp_path / "target.json"
    path.write_text(json.dumps(TARGET))
    return path


def plan_arguments(target_file, output, *extra):
    return ["plan", "--target", str(target_file), "--fov", "65", "--fixed", *map(str, demo.WORLD_T_TARGET_POSE),
            "--hand-eye", *map(str, demo.TRUE_TCP_T_CAMERA_POSE), "--candidates", "150", "-o", str(output), *extra]


def sigma_lines(text):
    return [line for line in text.splitlines() if re.match(r"\s*\d+ poses: ", line)]


@pytest.mark.parametrize("fmt", ["xyz-quat", "matrix"])
def test_a_new_plan_writes_importable_poses_and_its_sigma_per_pose(tmp_path, target_file, capsys, fmt):
    output = tmp_path / "plan.csv"
    report = tmp_path / "plan.html"
    status = cli.main(plan_arguments(target_file, output, "--poses", "8", "--format", fmt, "--report", str(report)))
    out = capsys.readouterr().out
    assert status == 0, out
    lines = sigma_lines(out)
    assert len(lines) == 8 and lines[-1].strip().startswith("8 poses:") and "mm" in lines[-1]
    assert len(read_pose_file(output, fmt)) == 8
    dataset = tmp_path / "dataset"
    assert cli.main(["poses", "import", str(output), "--format", fmt, "-o", str(dataset)]) == 0
    page = report.read_text()
    assert 'id="plan-sigma"' in page and 'id="plan-sketch"' in page and "plan-planned-cameras" in page


def test_the_next_best_poses_continue_a_capture(tmp_path, target_file, capsys):
    first = tmp_path / "first.csv"
    assert cli.main(plan_arguments(target_file, first, "--poses", "5")) == 0
    dataset = tmp_path / "dataset"
    assert cli.main(["poses", "import", str(first), "--format", "xyz-quat", "-o", str(dataset)]) == 0
    capsys.readouterr()
    following = tmp_path / "next.csv"
    assert cli.main(plan_arguments(target_file, following, "--next", "3", str(dataset))) == 0
    out = capsys.readouterr().out
    assert "5 poses already captured" in out and "with the 5 captured poses: translation" in out
    assert [line.split()[0] for line in sigma_lines(out)] == ["6", "7", "8"]
    captured = read_pose_file(first, "xyz-quat")
    # The best continuation never repeats a pose already taken.
    for pose in read_pose_file(following, "xyz-quat"):
        assert min(np.abs(pose - c).max() for c in captured) > 1e-5


@pytest.mark.parametrize("extra, reason", [
    (["--distance", "0.05", "0.1"], "never fully seen"),
    (["--box", "5", "5", "5", "6", "6", "6"], "inside the --box"),
    (["--flange-tilt", "0.01"], "--flange-tilt"),
    (["--tilt", "75", "85", "--roll", "0"], "board"),
    (["--robot-noise", "0", "0.03"], "must be positive"),
])
def test_a_workspace_that_cannot_work_is_refused_with_the_reason(tmp_path, target_file, capsys, extra, reason):
    assert cli.main(plan_arguments(target_file, tmp_path / "plan.csv", *extra)) == 2
    assert reason in capsys.readouterr().err
    assert not (tmp_path / "plan.csv").exists()


def _last_translation_norm(text):
    values = sigma_lines(text)[-1].split("translation")[1].split("mm")[0].split()
    return float(np.linalg.norm([float(v) for v in values]))


def test_noise_levels_from_an_earlier_calibration(tmp_path, target_file, capsys):
    import _velk

    record = _velk.io.HandEyeResultRecord()
    record.tcp_T_camera_list = [np.eye(4)]
    refinement = _velk.io.RefinementRecord()
    noise = _velk.io.RobotNoiseRecord()
    noise.estimated, noise.translation_mm, noise.rotation_deg, noise.pixel_px = True, 1.2, 0.12, 0.5
    refinement.refined, refinement.robot_noise = True, noise
    record.refinement = refinement
    _velk.io.save_hand_eye_result(tmp_path, record)
    assert cli.main(plan_arguments(target_file, tmp_path / "a.csv", "--poses", "6")) == 0
    default = _last_translation_norm(capsys.readouterr().out)
    assert cli.main(plan_arguments(target_file, tmp_path / "b.csv", "--poses", "6", "--noise-from",
                                   str(tmp_path / "hand_eye.json"))) == 0
    noisier = _last_translation_norm(capsys.readouterr().out)
    assert noisier > 2.5 * default
    refinement.robot_noise = None
    record.refinement = refinement
    _velk.io.save_hand_eye_result(tmp_path, record)
    assert cli.main(plan_arguments(target_file, tmp_path / "c.csv", "--noise-from",
                                   str(tmp_path / "hand_eye.json"))) == 2
    assert "no robot noise estimate" in capsys.readouterr().err


def test_eye_to_hand_poses_chosen_from_a_file_of_reachable_poses(tmp_path, target_file, capsys):
    from quorvane.velk import planning

    scene = planning.make_scene(planning.guess_camera_matrix((1280, 960), 65.0), np.zeros(5), (1280, 960),
                                planning.target_corners(planning_target()), True,
                                np.asarray(_velk_pose(demo.TRUE_ROBOT_T_CAMERA_POSE)),
                                np.asarray(_velk_pose(demo.TRUE_TCP_T_TARGET_POSE)))
    reachable = planning.workspace_candidates(scene, planning.Workspace(), 60)
    candidates = planning.write_poses(tmp_path / "reachable.csv", reachable, "xyz-euler-deg")
    output = tmp_path / "plan.csv"
    status = cli.main(["plan", "--target", str(target_file), "--eye-to-hand", "--fov", "65",
                       "--fixed", *map(str, demo.TRUE_ROBOT_T_CAMERA_POSE),
                       "--hand-eye", *map(str, demo.TRUE_TCP_T_TARGET_POSE), "--candidate-file", str(candidates),
                       "--candidate-format", "xyz-euler-deg", "--poses", "6", "-o", str(output)])
    assert status == 0
    assert "60 of 60 candidate poses" in capsys.readouterr().out
    for pose in read_pose_file(output, "xyz-quat"):
        assert min(np.abs(pose - r).max() for r in reachable) < 1e-5


def planning_target():
    from quorvane.velk.target_file import PrintedTarget

    return PrintedTarget(kind="charuco", squares_x=9, squares_y=7, square_length=0.04, marker_length=0.03,
                      dictionary="DICT_5X5_100")


def _velk_pose(vector):
    import _velk

    return _velk.tf.pose_to_transformation_matrix(list(vector))


def test_the_predicted_sigma_of_given_poses_per_axis(tmp_path, target_file, capsys):
    planned = tmp_path / "plan.csv"
    assert cli.main(plan_arguments(target_file, planned, "--poses", "10")) == 0
    last = sigma_lines(capsys.readouterr().out)[-1]
    arguments = [a for a in plan_arguments(target_file, "unused") if a not in ("-o", "unused")]
    assert cli.main(arguments + ["--predict", str(planned)]) == 0
    out = capsys.readouterr().out
    assert out.count("corners seen") == 10 and "not used" not in out
    camera = next(line for line in out.splitlines() if line.startswith("Predicted 1-sigma of tcp_T_camera"))
    # The same poses predict what the plan printed after its tenth.
    assert camera.split(": ", 1)[1] == last.split(": ", 1)[1].rsplit(" (", 1)[0]
    assert cli.main(arguments) == 2
    assert "-o POSES_CSV is required" in capsys.readouterr().err


def test_a_fisheye_intrinsics_record_is_refused_by_the_planner(tmp_path, target_file, capsys):
    """The planner predicts pinhole cameras: a fisheye record must not be planned with the wrong projection."""
    record = tmp_path / "intrinsics.json"
    record.write_text(json.dumps({"camera_model": "fisheye", "camera_matrix": np.eye(3).tolist(),
                                  "distortion_coefficients": [0.02, -0.01, 0.0, 0.0]}))
    arguments = plan_arguments(target_file, tmp_path / "plan.csv", "--poses", "4", "--intrinsics", str(record))
    fov = arguments.index("--fov")
    del arguments[fov:fov + 2]
    status = cli.main(arguments)
    captured = capsys.readouterr()
    assert status != 0
    assert "fisheye camera" in captured.out + captured.err


def joint_plan_arguments(tmp_path, output, *extra, eye_to_hand=False):
    import _velk
    import kinematic_scenes as scenes

    model = scenes.write_model(tmp_path / "arm.yaml", scenes.ur_like_model())
    camera, target = scenes.arm_mounts(scenes.ur_like_chain(), eye_to_hand)
    fixed, hand_eye = (camera, target) if eye_to_hand else (target, camera)
    board = tmp_path / "board.json"
    board.write_text(json.dumps({"kind": "chessboard", "cols": 8, "rows": 6, "square_size": 0.04}))
    return ["plan", "--target", str(board), "--fov", "70", "--model", str(model),
            "--fixed", *map(str, _velk.tf.transformation_matrix_to_pose(fixed)),
            "--hand-eye", *map(str, _velk.tf.transformation_matrix_to_pose(hand_eye)),
            "--home", *map(str, np.degrees(scenes.UR_LIKE_HOME)), "--joint-units", "deg", "--joint-spread", "35",
            "--poses", "10", "--candidates", "250", "-o", str(output), *["--eye-to-hand"] * eye_to_hand, *extra]


@pytest.mark.parametrize("mode, eye_to_hand", [("offsets", False), ("full", True)])
def test_a_plan_of_joint_configurations_writes_a_joint_table_and_the_flange_poses(tmp_path, capsys, mode, eye_to_hand):
    import kinematic_scenes as scenes
    from _velk import kinematics
    from quorvane.velk.joint_table import joint_values, read_joint_table

    output = tmp_path / "plan" / "joints.csv"
    status = cli.main(joint_plan_arguments(tmp_path, output, "--kinematics", mode, eye_to_hand=eye_to_hand))
    out = capsys.readouterr().out
    assert status == 0, out
    chain = scenes.ur_like_chain()
    joints = joint_values(read_joint_table(output), chain)
    assert joints.shape == (10, 6) and np.all(np.abs(joints - scenes.UR_LIKE_HOME) <= np.radians(35.0) + 1e-9)
    poses = read_pose_file(tmp_path / "plan" / "joints-flange-poses.csv", "xyz-quat")
    for q, pose in zip(joints, poses, strict=True):
        np.testing.assert_allclose(pose, kinematics.forward_kinematics(chain, q.tolist()), atol=1e-6)
    rows = {name: out.split(f"  {name}", 1)[1].splitlines()[0].strip()
            for name in kinematics.correction_names(chain, mode)}
    base = "robot_T_camera" if eye_to_hand else "world_T_target"
    assert rows["joint j1 zero offset"] == f"not determined: absorbed by {base}"
    for k in (2, 3, 4, 5):
        assert re.fullmatch(r"0\.0\d{3} deg", rows[f"joint j{k} zero offset"]), rows
    assert re.search(r"^  tcp_T_\w+: translation [\d. ]+ mm \| rotation [\d. ]+ deg$", out, re.MULTILINE)


@pytest.mark.parametrize("extra, reason", [
    (["--home", "0", "0", "0"], "--home takes one value per joint of the chain (6), got 3"),
    (["--joint-spread", "10", "20"], "--joint-spread takes one value or one per joint"),
    (["--predict", "poses.csv"], "--predict plans flange poses"),
    (["--home", "-162.8", "-108.9", "108.9", "-91.7", "-90.0", "11.5"], "see enough of the board"),
])
def test_a_plan_of_joint_configurations_that_cannot_work_is_refused(tmp_path, capsys, extra, reason):
    output = tmp_path / "joints.csv"
    assert cli.main(joint_plan_arguments(tmp_path, output, *extra)) == 2
    assert reason in capsys.readouterr().err
    assert not output.exists()


def test_a_plan_whose_joints_barely_move_says_that_no_correction_is_determined(tmp_path, capsys):
    assert cli.main(joint_plan_arguments(tmp_path, tmp_path / "joints.csv", "--joint-spread", "0.01")) == 0
    out = capsys.readouterr().out
    assert out.count("not determined: absorbed by") == 6
    assert "No correction of the chain is determined" in out


@pytest.fixture
def captured_dataset(tmp_path, target_file, capsys):
    """A dataset of 5 planned poses and their pictures image_0 ... image_4 (blank: only the numbering matters)."""
    first = tmp_path / "first.csv"
    assert cli.main(plan_arguments(target_file, first, "--poses", "5")) == 0
    dataset = tmp_path / "dataset"
    assert cli.main(["poses", "import", str(first), "--format", "xyz-quat", "-o", str(dataset)]) == 0
    for k in range(5):
        (dataset / f"image_{k}.png").write_bytes(b"")
    capsys.readouterr()
    return dataset


def test_next_prints_a_command_that_appends_and_the_noise_to_plan_with(tmp_path, target_file, captured_dataset,
                                                                       capsys):
    import shlex

    import _velk

    held = _velk.io.load_robot_poses(captured_dataset)
    record = _velk.io.HandEyeResultRecord()
    record.tcp_T_camera_list = [np.eye(4)]
    refinement, noise = _velk.io.RefinementRecord(), _velk.io.RobotNoiseRecord()
    noise.estimated, noise.translation_mm, noise.rotation_deg, noise.pixel_px = True, 3.0, 0.3, 0.4
    refinement.refined, refinement.robot_noise = True, noise
    record.refinement = refinement
    _velk.io.save_hand_eye_result(captured_dataset, record)
    following, report = tmp_path / "next.csv", tmp_path / "plan.html"
    assert cli.main(plan_arguments(target_file, following, "--next", "3", str(captured_dataset),
                                   "--report", str(report))) == 0
    out = capsys.readouterr().out
    suggestion = f"--noise-from {captured_dataset / 'hand_eye.json'}"
    assert "the default) and corner noise" in out and suggestion in out and "10.0 x the 0.3 mm" in out
    command = shlex.split(re.search(r"\((velk poses import [^)]*)\)", out).group(1))
    assert command[-3:] == ["--append", "-o", str(captured_dataset)]
    assert cli.main(command[1:]) == 0
    poses = _velk.io.load_robot_poses(captured_dataset)
    assert len(poses) == 8 and np.allclose(poses[:5], held)
    page = report.read_text()
    rows = re.findall(r'<tr class="planned-pose"><td>(\d)</td><td class="name">(image_\d)</td>((?:<td>[^<]*</td>){6})',
                      page)
    assert [(n, name) for n, name, _ in rows] == [("1", "image_5"), ("2", "image_6"), ("3", "image_7")]
    first_row = [float(v) for v in re.findall(r"<td>([^<]*)</td>", rows[0][2])]
    np.testing.assert_allclose(first_row[:3], poses[5][:3, 3] * 1000.0, atol=0.051)
    for axis in ("x", "y", "z", "rx", "ry", "rz"):
        assert [f"plan-sigma-{axis}-{n}" in page for n in (6, 7, 8)] == [True] * 3, axis
    summary = re.search(r'<section id="summary">.*?</section>', page, re.S).group(0)
    assert suggestion in summary


@pytest.mark.parametrize("pictures, appended, message", [
    ([0, 1, 2, 3, 4, 5], 3, None),  # a picture of the first appended pose already taken
    ([0, 1, 3, 4], 3, "no picture image_2"),
    ([0, 1, 2, 3, 4, 9], 3, "image_9 lie(s) beyond the last pose"),
    ([0, 1, 2, 3, 4, 6], 3, "run on from image_5 without a gap"),
])
def test_append_checks_the_picture_numbering(tmp_path, target_file, captured_dataset, capsys, pictures, appended,
                                             message):
    import _velk

    for path in captured_dataset.glob("image_*.png"):
        path.unlink()
    for k in pictures:
        (captured_dataset / f"image_{k}.png").write_bytes(b"")
    more = tmp_path / "more.csv"
    assert cli.main(plan_arguments(target_file, more, "--poses", str(appended))) == 0
    code = cli.main(["poses", "import", str(more), "--format", "xyz-quat", "--append", "-o", str(captured_dataset)])
    err = capsys.readouterr().err
    assert code == (0 if message is None else 2) and (message is None or message in err)
    assert len(_velk.io.load_robot_poses(captured_dataset)) == (5 + appended if message is None else 5)
