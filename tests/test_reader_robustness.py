"""The pose reader and the target-file reader: header-named columns, and only their own errors on any input,
reported by the CLI as one ``velk: error:`` line with exit code 2; a short fuzz run (longer on demand)."""

import json
import os
import sys
from pathlib import Path

import numpy as np
import pytest

from quorvane.velk import cli
from quorvane.velk.pose_import import PoseImportError, read_pose_bytes, read_pose_file
from quorvane.velk.target_file import TargetFileError, load_target_file

sys.path.insert(0, str(Path(__file__).resolve().parent / "fuzz"))
import fuzz_readers  # noqa: E402

#: A quarter turn about z, 0.5 m along x: as wxyz (0.7071, 0, 0, 0.7071).
Q = 0.7071067811865476
EXPECTED = np.array([[0.0, -1, 0, 0.5], [1, 0, 0, 0.1], [0, 0, 1, 0.4], [0, 0, 0, 1]])


@pytest.mark.parametrize("text", [
    f"x,y,z,qw,qx,qy,qz\n0.5,0.1,0.4,{Q},0,0,{Q}\n",
    f"x,y,z,qx,qy,qz,qw\n0.5,0.1,0.4,0,0,{Q},{Q}\n",
    f"qx;qy;qz;qw;x;y;z\n0;0;{Q};{Q};0.5;0.1;0.4\n",
    f"time, X [m], Y [m], Z [m], q_w, q_x, q_y, q_z\n12.5, 0.5, 0.1, 0.4, {Q}, 0, 0, {Q}\n",
    f"position.x\tposition.y\tposition.z\torientation.x\torientation.y\torientation.z\torientation.w\n"
    f"0.5\t0.1\t0.4\t0\t0\t{Q}\t{Q}\n",
])
def test_the_header_decides_the_column_order(text):
    poses = read_pose_bytes(text.encode(), "poses.csv", "xyz-quat")
    np.testing.assert_allclose(poses[0], EXPECTED, atol=1e-12)


@pytest.mark.parametrize("header, given", [("x,y,z,qx,qy,qz,qw", "wxyz"), ("x,y,z,qw,qx,qy,qz", "xyzw")])
def test_a_header_contradicting_the_quaternion_order_is_an_error(header, given):
    with pytest.raises(PoseImportError, match=f"header puts the quaternion in .* order but --quat-order {given}"):
        read_pose_bytes(f"{header}\n0.5,0.1,0.4,1,0,0,0\n".encode(), "p.csv", "xyz-quat", quat_order=given)


def test_without_a_header_the_given_order_holds():
    text = f"0.5,0.1,0.4,0,0,{Q},{Q}\n".encode()
    np.testing.assert_allclose(read_pose_bytes(text, "p.csv", "xyz-quat", quat_order="xyzw")[0], EXPECTED,
                               atol=1e-12)
    np.testing.assert_allclose(read_pose_bytes(f"0.5,0.1,0.4,{Q},0,0,{Q}".encode(), "p.csv", "xyz-quat")[0],
                               EXPECTED, atol=1e-12)


def test_a_header_names_rotation_vector_columns():
    text = f"rz,ry,rx,z,y,x\n{np.pi / 2},0,0,0.4,0.1,0.5\n".encode()
    np.testing.assert_allclose(read_pose_bytes(text, "p.csv", "xyz-rotvec")[0], EXPECTED, atol=1e-12)


@pytest.mark.parametrize("name, data, words", [
    ("big.json", b"[[" + b"1" * 400 + b", 0, 0, 1, 0, 0, 0]]", "too large a number"),
    ("huge.json", b"[[" + b"1" * 5000 + b", 0, 0, 1, 0, 0, 0]]", "cannot be read as JSON"),
    ("nan.json", b"[[NaN, 0, 0, 1, 0, 0, 0]]", "finite"),
    ("inf.csv", b"1e400,0,0,1,0,0,0\n", "finite"),
    ("deep.json", b"[" * 100000 + b"]" * 100000, "cannot be read as JSON"),
    ("latin1.csv", "0,0,0,1,0,0,0 # caf\u00e9".encode("latin-1"), "not a UTF-8 text file"),
    ("ragged.json", b'[{"matrix": [[1, 0, 0, 0], [0, 1, 0], [[0]], 1]}]', "nests deeper than rows"),
    ("short.json", b'[{"matrix": [[1, 0, 0, 0], [0, 1, 0, 0]]}]', "columns"),
    ("object.json", b'{"poses": {"x": 1}}', "expected a list"),
    ("nul.csv", b"0,0,\x000,1,0,0,0\n", "row 1"),
    ("header.csv", b"x,y,z,qw,qx,qy,qz\n0,0,0,1,0,0\n", "expected 7 columns as the header names"),
    ("giant.csv", b"1e300,0,0,1,0,0,0\n", "finite numbers of at most"),
])
def test_bad_pose_files_raise_the_readers_own_error(name, data, words):
    with pytest.raises(PoseImportError, match=words):
        read_pose_bytes(data, name, "matrix" if "matrix" in data.decode("utf-8", "replace") else "xyz-quat",
                        is_json=name.endswith(".json"))


@pytest.mark.parametrize("data, words", [
    (b'{"kind": "chessboard", "cols": ' + b"9" * 400 + b', "rows": 6, "square_size": 0.025}', "between 1 and"),
    (b'{"kind": "chessboard", "cols": 9, "rows": 6, "square_size": ' + b"9" * 400 + b"}", "positive length"),
    (b'{"kind": ["charuco"]}', "'kind' must be one of"),
    (b'{"kind": "aruco", "markers_x": 2, "markers_y": 2, "marker_length": 0.1, "marker_separation": 0.01, '
     b'"dictionary": {"a": 1}}', "unknown dictionary"),
    (b"\xff\xfe{}", "not a UTF-8 text file"),
    (b"[" * 100000, "cannot be read as a target file"),
    (b'{"kind": "chessboard", "cols": 9, "rows": 6, "square_size": NaN}', "positive length"),
])
def test_bad_target_files_raise_the_readers_own_error(tmp_path, data, words):
    path = tmp_path / "target.json"
    path.write_bytes(data)
    with pytest.raises(TargetFileError, match=words):
        load_target_file(path)


@pytest.mark.parametrize("command", ["poses", "target"])
def test_the_cli_reports_a_bad_file_in_one_line_with_exit_code_2(tmp_path, capsys, command):
    bad = tmp_path / "bad.json"
    bad.write_bytes(b'{"poses": [[' + b"1" * 400 + b", 0, 0, 1, 0, 0, 0]]}")
    if command == "poses":
        arguments = ["poses", "import", str(bad), "--format", "xyz-quat", "-o", str(tmp_path / "data")]
    else:
        (tmp_path / "data").mkdir()
        arguments = ["hand-eye", str(tmp_path / "data"), "--target", str(bad)]
    assert cli.main(arguments) == 2
    error = capsys.readouterr().err.strip().splitlines()
    assert len(error) == 1 and error[0].startswith("velk: error: ")


def test_a_pose_file_read_from_disk_matches_its_bytes(tmp_path):
    path = tmp_path / "p.json"
    path.write_text(json.dumps([[0.5, 0.1, 0.4, Q, 0, 0, Q]]))
    np.testing.assert_allclose(read_pose_file(path, "xyz-quat")[0], EXPECTED, atol=1e-12)


def test_fuzzing_the_readers_finds_nothing_but_their_own_errors():
    """A few thousand random and mutated inputs here; VELK_FUZZ_INPUTS=300000 for the long run."""
    inputs = int(os.environ.get("VELK_FUZZ_INPUTS", "6000"))
    findings = fuzz_readers.run(inputs, seed=int(os.environ.get("VELK_FUZZ_SEED", "1")))
    assert findings.inputs == inputs
    assert not findings.failures, findings.failures[:3]
    assert findings.accepted > 0  # the mutations keep some inputs valid, so the checks on results run too
