"""Output paths are checked before any work: no command overwrites one of its inputs or one output with another,
writes where no file can go, or replaces a dataset's robot poses unasked."""

import numpy as np
import pytest

import _velk
from quorvane.velk import cli
from quorvane.velk.commands.output_paths import result_file

FIXED = ["--fixed", "0.5", "0", "0", "180", "0", "0"]


@pytest.fixture
def inputs(tmp_path):
    """A hand-eye dataset (a picture, its pose, joint readings), a rig dataset, a target file, an intrinsics
    record, a chain model, measurements and a pose export; each holds bytes the tests compare after a refusal."""
    dataset = tmp_path / "dataset"
    _velk.io.save_hand_eye_dataset(dataset, [np.full((40, 60, 3), 128, np.uint8)], [np.eye(4)])
    (dataset / "joints.csv").write_text("0,0,0,0,0,0\n")
    _velk.io.save_multi_camera_capture(tmp_path / "rig", [np.zeros((40, 60, 3), np.uint8)] * 2, 0)
    files = {"dataset": dataset, "rig": tmp_path / "rig", "folder": tmp_path}
    for name in ("target.json", "intrinsics.json", "model.yaml", "measurements.yaml", "poses.csv"):
        files[name.split(".")[0]] = tmp_path / name
        (tmp_path / name).write_text(f"{name} as the user keeps it\n")
    files["target"].write_text('{"kind": "chessboard", "cols": 5, "rows": 4, "square_size": 0.02}\n')
    return files


def _contents(folder):
    return {path: path.read_bytes() for path in sorted(folder.rglob("*")) if path.is_file()}


HAND_EYE = ["hand-eye", "{dataset}", "--target", "{target}"]
READS = "which the run reads"
REFUSED = {
    "hand-eye result over a picture": (READS, [*HAND_EYE, "-o", "{dataset}/image_0.png"]),
    "hand-eye result over the pose archive": (READS, [*HAND_EYE, "-o", "{dataset}/calibration_data.npz"]),
    "hand-eye report over the target file": (READS, [*HAND_EYE, "--report", "{target}"]),
    "hand-eye result over the given intrinsics": (
        READS,
        [*HAND_EYE, "--intrinsics", "{intrinsics}", "-o", "{intrinsics}"],
    ),
    "hand-eye result and report in one file": (
        "both name",
        [*HAND_EYE, "-o", "{folder}/out.json", "--report", "{folder}/out.json"],
    ),
    "hand-eye default result and report in one file": ("both name", [*HAND_EYE, "--report", "{dataset}/hand_eye.json"]),
    "hand-eye YAML over the joint readings": (
        READS,
        [*HAND_EYE, "--model", "{model}", "--kinematics-output", "{dataset}/joints.csv"],
    ),
    "hand-eye URDF over the model": (READS, [*HAND_EYE, "--model", "{model}", "--urdf-output", "{model}"]),
    "hand-eye result under a file": ("is not a folder", [*HAND_EYE, "-o", "{target}/hand_eye.json"]),
    "hand-eye report on a folder": ("is a folder", [*HAND_EYE, "--report", "{rig}"]),
    "check report over a picture": (
        READS,
        ["check", "{dataset}", "--target", "{target}", "--report", "{dataset}/image_0.png"],
    ),
    "intrinsics record over a picture": (
        READS,
        ["intrinsics", "{dataset}", "--target", "{target}", "-o", "{dataset}/image_0.png"],
    ),
    "intrinsics report over the target file": (
        READS,
        ["intrinsics", "{dataset}", "--target", "{target}", "--report", "{target}"],
    ),
    "rig result over a picture": (READS, ["rig", "{rig}", "--target", "{target}", "-o", "{rig}/cam_1/image_0.png"]),
    "plan poses over the intrinsics": (
        READS,
        ["plan", "--target", "{target}", "--intrinsics", "{intrinsics}", *FIXED, "-o", "{intrinsics}"],
    ),
    "plan poses over the next dataset's pose archive": (
        READS,
        [
            "plan",
            "--target",
            "{target}",
            "--fov",
            "60",
            *FIXED,
            "--next",
            "2",
            "{dataset}",
            "-o",
            "{dataset}/calibration_data.npz",
        ],
    ),
    "plan joint table over the model": (
        READS,
        ["plan", "--target", "{target}", "--fov", "60", *FIXED, "--model", "{model}", "-o", "{model}"],
    ),
    "kinematics YAML over the measurements": (
        READS,
        ["kinematics", "{measurements}", "--model", "{model}", "-o", "{measurements}"],
    ),
    "kinematics outputs in one file": (
        "both name",
        [
            "kinematics",
            "{measurements}",
            "--model",
            "{model}",
            "-o",
            "{folder}/out.yaml",
            "--urdf-output",
            "{folder}/out.yaml",
        ],
    ),
    "poses import over the pose file it reads": (
        READS,
        ["poses", "import", "{dataset}/calibration_data.npz", "--format", "matrix", "-o", "{dataset}", "--force"],
    ),
    "poses import over held poses": (
        "--force",
        ["poses", "import", "{poses}", "--format", "xyz-quat", "-o", "{dataset}"],
    ),
    "board page under a file": (
        "is not a folder",
        ["board", "chessboard", "--cols", "5", "--rows", "4", "--square", "0.02", "-o", "{target}/board.png"],
    ),
}


@pytest.mark.parametrize(("reason", "argv"), REFUSED.values(), ids=REFUSED.keys())
def test_an_output_that_would_destroy_an_input_or_another_output_is_refused_before_any_work(
    inputs, reason, argv, capsys
):
    before = _contents(inputs["folder"])
    assert cli.main([a.format(**inputs) for a in argv]) == 2
    error = capsys.readouterr().err
    assert error.startswith("velk: error: ") and reason in error and str(inputs["folder"]) in error
    assert _contents(inputs["folder"]) == before


def test_poses_import_replaces_held_poses_with_force(inputs):
    inputs["poses"].write_text("0.1,0.2,0.3,1,0,0,0\n")
    argv = ["poses", "import", str(inputs["poses"]), "--format", "xyz-quat", "-o", str(inputs["dataset"])]
    assert cli.main([*argv, "--force"]) == 0
    assert np.allclose(_velk.io.load_robot_poses(inputs["dataset"])[0][:3, 3], [0.1, 0.2, 0.3])


@pytest.mark.parametrize(
    ("given", "existing_folder", "expected"),
    [
        ("cap.2024", True, "cap.2024/hand_eye.json"),
        ("cap.2024", False, "cap.2024"),
        ("cap.2024/", False, "cap.2024/hand_eye.json"),
        ("results", False, "results/hand_eye.json"),
        ("calibration.json", False, "calibration.json"),
    ],
)
def test_a_result_goes_where_the_record_writer_puts_it(tmp_path, given, existing_folder, expected):
    if existing_folder:
        (tmp_path / given).mkdir()
    assert result_file(f"{tmp_path}/{given}", "hand_eye.json") == tmp_path / expected
