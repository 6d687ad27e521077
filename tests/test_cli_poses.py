"""velk poses import: every export format into calibration_data.npz, and every kind of bad row refused by number."""

import json

import numpy as np
import pytest

import _velk
from quorvane.velk import cli

# Flange poses as [x, y, z] in metres with extrinsic x-y-z Euler angles in degrees.
POSE_VECTORS = [[0.40, -0.10, 0.30, 180.0, 0.0, 30.0], [0.45, 0.05, 0.28, 170.0, 10.0, -20.0],
                [0.38, 0.12, 0.35, -165.0, -15.0, 75.0]]
TRUTH = [np.asarray(_velk.tf.pose_to_transformation_matrix(v)) for v in POSE_VECTORS]


def quaternion_wxyz(rotation):
    """Unit quaternion of a rotation matrix (Shepperd's method), w first."""
    trace = np.trace(rotation)
    candidates = [trace, rotation[0, 0], rotation[1, 1], rotation[2, 2]]
    k = int(np.argmax(candidates))
    if k == 0:
        w = np.sqrt(1 + trace) / 2
        q = [w, (rotation[2, 1] - rotation[1, 2]) / (4 * w), (rotation[0, 2] - rotation[2, 0]) / (4 * w),
             (rotation[1, 0] - rotation[0, 1]) / (4 * w)]
    else:
        i, j, m = [(0, 1, 2), (1, 2, 0), (2, 0, 1)][k - 1]
        s = np.sqrt(1 + rotation[i, i] - rotation[j, j] - rotation[m, m]) * 2
        q = np.zeros(4)
        q[0] = (rotation[m, j] - rotation[j, m]) / s
        q[1 + i] = s / 4
        q[1 + j] = (rotation[j, i] + rotation[i, j]) / s
        q[1 + m] = (rotation[m, i] + rotation[i, m]) / s
    return np.asarray(q)


def rows_for(fmt, units="m", quat_order="wxyz"):
    import cv2

    scale = 1000.0 if units == "mm" else 1.0
    rows = []
    for vector, pose in zip(POSE_VECTORS, TRUTH):
        xyz = list(pose[:3, 3] * scale)
        if fmt == "xyz-quat":
            q = quaternion_wxyz(pose[:3, :3])
            rows.append(xyz + list(q if quat_order == "wxyz" else q[[1, 2, 3, 0]]))
        elif fmt == "xyz-rotvec":
            rows.append(xyz + list(cv2.Rodrigues(pose[:3, :3])[0].ravel()))
        elif fmt == "xyz-euler-deg":
            rows.append(xyz + vector[3:])
        else:
            matrix = pose.copy()
            matrix[:3, 3] *= scale
            rows.append(list(matrix.ravel()))
    return rows


def write_csv(path, rows, header="", separator=","):
    lines = ([header] if header else []) + [separator.join(f"{v:.12g}" for v in row) for row in rows]
    path.write_text("\n".join(lines) + "\n")
    return path


def run_import(path, fmt, out, *extra):
    chosen = ["--format", fmt] if fmt else []
    return cli.main(["poses", "import", str(path), *chosen, "-o", str(out), *extra])


@pytest.mark.parametrize("fmt", ["xyz-quat", "xyz-rotvec", "xyz-euler-deg", "matrix"])
@pytest.mark.parametrize("units", ["m", "mm"])
@pytest.mark.parametrize("container", ["csv", "csv-semicolon-header", "json"])
def test_every_format_reaches_the_dataset_archive(tmp_path, fmt, units, container):
    rows = rows_for(fmt, units)
    if container == "json":
        source = tmp_path / "poses.json"
        source.write_text(json.dumps({"poses": rows}))
    elif container == "csv":
        source = write_csv(tmp_path / "poses.csv", rows)
    else:
        source = write_csv(tmp_path / "poses.csv", rows, header="# exported poses\na;b;c;d", separator=";")
    assert run_import(source, fmt, tmp_path / "data", "--units", units) == 0
    loaded = _velk.io.load_robot_poses(tmp_path / "data")
    assert len(loaded) == len(TRUTH)
    for got, want in zip(loaded, TRUTH):
        np.testing.assert_allclose(got, want, atol=1e-9)


def test_quaternion_order_xyzw_and_named_json_fields(tmp_path):
    source = write_csv(tmp_path / "p.txt", rows_for("xyz-quat", quat_order="xyzw"), separator=" ")
    assert run_import(source, "xyz-quat", tmp_path / "a", "--quat-order", "xyzw") == 0
    named = [dict(zip(("x", "y", "z", "qw", "qx", "qy", "qz"), row)) for row in rows_for("xyz-quat")]
    (tmp_path / "named.json").write_text(json.dumps(named))
    assert run_import(tmp_path / "named.json", "xyz-quat", tmp_path / "b") == 0
    for folder in ("a", "b"):
        for got, want in zip(_velk.io.load_robot_poses(tmp_path / folder), TRUTH):
            np.testing.assert_allclose(got, want, atol=1e-9)


def test_rig_dataset_gets_the_poses_in_every_camera_folder(tmp_path):
    for camera in range(2):
        _velk.io.save_multi_camera_capture(tmp_path / "rig", [np.zeros((4, 4, 3), np.uint8)] * 2, camera)
    source = write_csv(tmp_path / "p.csv", rows_for("matrix"))
    assert run_import(source, "matrix", tmp_path / "rig") == 0
    for camera in ("cam_0", "cam_1"):
        assert len(_velk.io.load_robot_poses(tmp_path / "rig" / camera)) == 3


BAD_ROWS = {
    "column count": ("xyz-euler-deg", "0.1,0.2,0.3,10,20", "row 3: expected 6 columns for xyz-euler-deg, got 5"),
    "not a number": ("xyz-rotvec", "0.1,0.2,abc,0,0,0", "row 3: column 3 is not a number: 'abc'"),
    "quaternion norm": ("xyz-quat", "0.1,0.2,0.3,0.9,0.1,0.1,0.1", "row 3: quaternion norm 0.9165 is far from 1"),
    "not a rotation": ("matrix", ",".join(["1"] * 12 + ["0", "0", "0", "1"]), "row 3: the top-left 3 x 3 block"),
    "bad last row": ("matrix", ",".join(["1", "0", "0", "0", "0", "1", "0", "0", "0", "0", "1", "0",
                                         "0", "0", "1", "1"]), "row 3: the last matrix row must be 0 0 0 1"),
    "not finite": ("xyz-euler-deg", "0.1,0.2,nan,0,0,0", "row 3: values must be finite numbers"),
}


@pytest.mark.parametrize("case", sorted(BAD_ROWS))
def test_bad_csv_row_is_named_by_its_line(tmp_path, capsys, case):
    fmt, bad_row, message = BAD_ROWS[case]
    good = rows_for(fmt)
    text = "x,y,z,a,b,c\n" + ",".join(f"{v:.12g}" for v in good[0]) + "\n" + bad_row + "\n"
    (tmp_path / "p.csv").write_text(text)
    assert run_import(tmp_path / "p.csv", fmt, tmp_path / "data") == 2
    error = capsys.readouterr().err.strip()
    assert error.startswith("velk: error: p.csv: ") and message in error
    assert len(error.splitlines()) == 1
    assert not (tmp_path / "data").exists()


@pytest.mark.parametrize("entry, message", [
    ([0.1, 0.2, 0.3], "row 2: expected 6 columns for xyz-euler-deg, got 3"),
    ([0.1, "x", 0.3, 0, 0, 0], "row 2: column 2 is not a number: 'x'"),
    ({"x": 0.1, "y": 0.2}, "row 2: missing field(s) z, rx, ry, rz"),
    ("0.1 0.2", "row 2: expected a list of numbers or an object"),
])
def test_bad_json_row_is_named_by_its_position(tmp_path, capsys, entry, message):
    (tmp_path / "p.json").write_text(json.dumps([rows_for("xyz-euler-deg")[0], entry]))
    assert run_import(tmp_path / "p.json", "xyz-euler-deg", tmp_path / "data") == 2
    assert message in capsys.readouterr().err


def test_pose_count_differing_from_the_images_is_warned_about(tmp_path, capsys):
    _velk.io.save_hand_eye_dataset(tmp_path / "data", [np.zeros((4, 4, 3), np.uint8)] * 2, TRUTH[:2])
    source = write_csv(tmp_path / "p.csv", rows_for("xyz-euler-deg"))
    assert run_import(source, "xyz-euler-deg", tmp_path / "data", "--force") == 0
    assert "holds 2 images but 3 poses were imported" in capsys.readouterr().err
    assert len(_velk.io.load_robot_poses(tmp_path / "data")) == 3


def test_empty_and_missing_files_are_usage_errors(tmp_path, capsys):
    (tmp_path / "empty.csv").write_text("x,y,z\n")
    assert run_import(tmp_path / "empty.csv", "matrix", tmp_path / "d") == 2
    assert run_import(tmp_path / "missing.csv", "matrix", tmp_path / "d") == 2
    errors = capsys.readouterr().err.splitlines()
    assert "no poses in" in errors[0] and "cannot read" in errors[1]


@pytest.mark.parametrize("fmt, warned, code", [("xyz-rotvec", True, 0), ("xyz-rotvec-deg", False, 0)])
def test_rotation_vectors_in_degrees(tmp_path, capsys, fmt, warned, code):
    """Degrees read as radians are named with the format that reads them; that format gives the true poses."""
    rows = [row[:3] + list(np.degrees(row[3:])) for row in rows_for("xyz-rotvec")]
    assert run_import(write_csv(tmp_path / "poses.csv", rows), fmt, tmp_path / "data") == code
    err = capsys.readouterr().err
    assert ("look like degrees" in err and "--format xyz-rotvec-deg" in err) == warned
    if not warned:
        for got, want in zip(_velk.io.load_robot_poses(tmp_path / "data"), TRUTH):
            np.testing.assert_allclose(got, want, atol=1e-9)


# Eleven flange poses, so that pose_10 must come after pose_9 and not after pose_1.
ELEVEN = [pose.copy() for pose in TRUTH * 4][:11]
for _k, _pose in enumerate(ELEVEN):
    _pose[:3, 3] += 0.01 * _k


def _xyz(pose):
    return dict(zip("xyz", pose[:3, 3].tolist()))


def _rotvec(pose):
    import cv2

    return cv2.Rodrigues(pose[:3, :3])[0].ravel().tolist()


POSE_FILE_LAYOUTS = {
    "position and named quaternion": (".yaml", lambda p: {"position": _xyz(p), "orientation": dict(
        zip("wxyz", quaternion_wxyz(p[:3, :3]).tolist()))}, (), "position {x, y, z}, orientation {w, x, y, z} "
        "quaternion"),
    "quaternion list in xyzw": (".json", lambda p: {"translation": p[:3, 3].tolist(), "rotation": list(
        quaternion_wxyz(p[:3, :3])[[1, 2, 3, 0]])}, ("--quat-order", "xyzw"), "translation [3], rotation [4] "
        "quaternion xyzw"),
    "rotation vector": (".yml", lambda p: {"t": p[:3, 3].tolist(), "rotvec": _rotvec(p)}, (),
                        "t [3], rotvec [3] rotation vector"),
    "rotation matrix": (".json", lambda p: {"xyz": p[:3, 3].tolist(), "R": p[:3, :3].tolist()}, (),
                        "xyz [3], R [3 x 3] rotation matrix"),
    "4 x 4 under a key": (".yaml", lambda p: {"stamp": 12.5, "matrix": p.tolist()}, (), "matrix [4 x 4] matrix"),
    "4 x 4 as the file": (".json", lambda p: p.tolist(), (), "the file [4 x 4] matrix"),
    "nested in pose": (".yaml", lambda p: {"pose": {"position": p[:3, 3].tolist(), "orientation": dict(
        zip("wxyz", quaternion_wxyz(p[:3, :3]).tolist()))}}, (), "position [3], orientation {w, x, y, z} quaternion"),
    "plain keys side by side": (".yaml", lambda p: dict(zip(("x", "y", "z"), p[:3, 3].tolist()), **dict(zip(
        ("qw", "qx", "qy", "qz"), quaternion_wxyz(p[:3, :3]).tolist()))), (), "x, y, z, qx, qy, qz, qw quaternion"),
}


def write_pose_files(folder, layout, poses, units="m"):
    import yaml

    suffix, document, _, _ = POSE_FILE_LAYOUTS[layout]
    folder.mkdir(parents=True, exist_ok=True)
    for k, pose in enumerate(poses):
        scaled = pose.copy()
        scaled[:3, 3] *= 1000.0 if units == "mm" else 1.0
        content = document(scaled)
        text = json.dumps(content) if suffix == ".json" else yaml.safe_dump(content)
        (folder / f"pose_{k}{suffix}").write_text(text)
    return folder


@pytest.mark.parametrize("layout", sorted(POSE_FILE_LAYOUTS))
@pytest.mark.parametrize("source", ["folder", "glob"])
def test_a_folder_of_pose_files_reaches_the_archive_in_numeric_order(tmp_path, capsys, layout, source):
    folder = write_pose_files(tmp_path / "poses", layout, ELEVEN, units="mm")
    (folder / "notes.txt").write_text("not a pose")
    given = folder if source == "folder" else folder / f"pose_*{POSE_FILE_LAYOUTS[layout][0]}"
    assert run_import(given, None, tmp_path / "data", "--units", "mm", *POSE_FILE_LAYOUTS[layout][2]) == 0
    loaded = _velk.io.load_robot_poses(tmp_path / "data")
    assert len(loaded) == len(ELEVEN)
    for got, want in zip(loaded, ELEVEN):
        np.testing.assert_allclose(got, want, atol=1e-9)
    assert f"Keys used: {POSE_FILE_LAYOUTS[layout][3]} (11 of 11 files)" in capsys.readouterr().out


@pytest.mark.parametrize("document, message", [
    ({"position": [0.1, 0.2, 0.3]}, "pose_1.yaml: needs a translation (position, translation, t, xyz, pos) with a "
                                    "rotation"),
    ({"position": [0.1, 0.2, 0.3], "translation": [0, 0, 0], "rotvec": [0, 0, 0]},
     "pose_1.yaml: position and translation both give the translation"),
    ({"position": [0.1, 0.2, 0.3], "orientation": {"x": 0.5, "y": 0.5, "z": 0.0, "w": 0.2}},
     "pose_1.yaml: quaternion norm 0.7348 is far from 1\n"),
    ({"position": [0.1, 0.2], "rotvec": [0, 0, 0]}, "pose_1.yaml: position holds 2 numbers, not 3"),
    ({"position": [0.1, 0.2, 0.3], "rotation": [0, 0, 0, 1, 0]}, "pose_1.yaml: rotation holds 5 numbers"),
    ({"position": [0.1, "a", 0.3], "rotvec": [0, 0, 0]}, "pose_1.yaml: position holds 'a', not a number"),
    ({"matrix": [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 2, 0], [0, 0, 0, 1]]}, "pose_1.yaml: the top-left 3 x 3 block"),
])
def test_bad_pose_files_are_named(tmp_path, capsys, document, message):
    import yaml

    folder = write_pose_files(tmp_path / "poses", "rotation vector", TRUTH[:1])
    (folder / "pose_1.yaml").write_text(yaml.safe_dump(document))
    assert run_import(folder, None, tmp_path / "data") == 2
    assert message in capsys.readouterr().err
    assert not (tmp_path / "data").exists()


@pytest.mark.parametrize("source, fmt, message", [
    ("folder", "matrix", "pose files tell their rotation by its shape"),
    ("table", None, "--format is needed for a pose table"),
    ("empty", None, "no pose files (.yaml, .yml, .json) in"),
])
def test_format_given_where_it_does_not_apply_or_missing_where_it_does(tmp_path, capsys, source, fmt, message):
    paths = {"folder": write_pose_files(tmp_path / "poses", "rotation vector", TRUTH),
             "table": write_csv(tmp_path / "p.csv", rows_for("matrix")), "empty": tmp_path / "nothing*.yaml"}
    assert run_import(paths[source], fmt, tmp_path / "data") == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("source", ["table", "files"])
def test_rotation_vectors_that_look_like_degrees_are_named_row_by_row(tmp_path, capsys, source):
    rows = rows_for("xyz-rotvec")
    rows[0], rows[2] = (row[:3] + list(np.degrees(row[3:])) for row in (rows[0], rows[2]))
    if source == "table":
        path, named = write_csv(tmp_path / "poses.csv", rows), "at poses.csv: row 1, row 3:"
    else:
        path, named = tmp_path / "poses", "at pose_0.json, pose_2.json:"
        path.mkdir()
        for k, row in enumerate(rows):
            (path / f"pose_{k}.json").write_text(json.dumps({"t": row[:3], "rotvec": row[3:]}))
    assert run_import(path, None if source == "files" else "xyz-rotvec", tmp_path / "data") == 0
    err = capsys.readouterr().err
    assert "2 of 3 rotation vectors are longer than pi" in err and named in err
    assert "the format reads radians" in err


def test_the_help_says_rotation_vectors_are_in_radians(capsys):
    with pytest.raises(SystemExit):
        cli.main(["poses", "import", "--help"])
    assert "xyz-rotvec (rotation vector in radians)" in " ".join(capsys.readouterr().out.split())
