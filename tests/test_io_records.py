"""hand_eye.json and multi_camera_calibration.json: layout, path rules, loading rules."""

import json
import math
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

from _velk import io

POSE = np.array([[0.0, -1.0, 0.0, 0.1], [1.0, 0.0, 0.0, -0.25], [0.0, 0.0, 1.0, 0.5], [0.0, 0.0, 0.0, 1.0]])
K = np.array([[1000.0, 0.0, 640.0], [0.0, 1001.0, 480.0], [0.0, 0.0, 1.0]])


def full_multi_record():
    r = io.MultiCameraCalibrationRecord()
    r.reference_index, r.num_cameras = 0, 2
    r.intrinsic_matrices = [K, K * 0.5]
    r.distortion_coefficients = [np.array([[-0.1, 0.01, 0.0, 0.0, 0.001]]), np.array([[0.2], [0.0], [0.0], [0.0], [0.0]])]
    r.reference_T_camera_list = [np.eye(4), POSE]
    r.intrinsic_reprojection_errors = [0.12, float("nan")]
    r.pair_reprojection_errors = [float("inf"), 0.3]
    return r


def test_default_hand_eye_record_layout(tmp_path, capfd):
    written = io.save_hand_eye_result(tmp_path, io.HandEyeResultRecord())
    assert written == tmp_path / "hand_eye.json" and isinstance(written, Path)
    text = written.read_text()
    assert text == ('{\n  "method": "",\n  "num_cameras": 0,\n  "num_frames_total": -1,\n  "num_frames_used": -1,\n'
                    '  "reference_index": 0,\n  "tcp_T_camera_list": []\n}')
    assert capfd.readouterr().err == f"[velk][SUCCESS] Saved hand-eye result to {written}\n"


def test_hand_eye_round_trip(tmp_path):
    r = io.HandEyeResultRecord()
    r.reference_index, r.num_cameras, r.method = 1, 2, "PARK"
    r.num_frames_used, r.num_frames_total = 12, 15
    r.tcp_T_camera_list = [POSE, np.eye(4, dtype=np.float32)]
    back = io.load_hand_eye_result(io.save_hand_eye_result(tmp_path / "a.json", r))
    assert (back.reference_index, back.num_cameras, back.method, back.num_frames_used, back.num_frames_total) == (
        1, 2, "PARK", 12, 15)
    assert all(m.dtype == np.float64 for m in back.tcp_T_camera_list)
    assert np.array_equal(back.tcp_T_camera_list[0], POSE) and np.array_equal(back.tcp_T_camera_list[1], np.eye(4))


def test_multi_camera_round_trip_and_encodings(tmp_path):
    path = io.save_multi_camera_calibration(tmp_path, full_multi_record())
    document = json.loads(path.read_text())
    assert list(document) == sorted(document)
    assert document["distortion_coefficients"][1] == [0.2, 0.0, 0.0, 0.0, 0.0]
    assert document["intrinsic_reprojection_errors"] == [0.12, None]
    assert document["pair_reprojection_errors"] == [None, 0.3]
    assert "1000.0" in path.read_text() and not path.read_text().endswith("\n")
    back = io.load_multi_camera_calibration(tmp_path)
    assert [d.shape for d in back.distortion_coefficients] == [(1, 5), (1, 5)]
    assert np.array_equal(back.intrinsic_matrices[1], K * 0.5)
    assert np.array_equal(back.reference_T_camera_list[1], POSE)
    assert back.intrinsic_reprojection_errors[0] == 0.12 and math.isnan(back.intrinsic_reprojection_errors[1])
    assert math.isnan(back.pair_reprojection_errors[0])


@pytest.mark.parametrize("kind", ["existing-folder", "new-folder", "file", "bare-name"])
def test_path_rules(tmp_path, monkeypatch, kind):
    monkeypatch.chdir(tmp_path)
    target = {"existing-folder": tmp_path, "new-folder": tmp_path / "results" / "run1",
              "file": tmp_path / "out" / "result.json", "bare-name": "result.json"}[kind]
    expected = {"existing-folder": tmp_path / "multi_camera_calibration.json",
                "new-folder": tmp_path / "results" / "run1" / "multi_camera_calibration.json",
                "file": tmp_path / "out" / "result.json", "bare-name": Path("result.json")}[kind]
    written = io.save_multi_camera_calibration(target, full_multi_record())
    assert written == expected and Path(written).is_file()
    assert io.load_multi_camera_calibration(target).num_cameras == 2
    assert sorted(os.listdir(Path(written).parent or ".")) == [Path(written).name]


@pytest.mark.parametrize("path_type", [str, os.fsencode, Path])
def test_path_argument_types(tmp_path, path_type):
    written = io.save_hand_eye_result(path_type(str(tmp_path / "x.txt")), io.HandEyeResultRecord())
    assert written == tmp_path / "x.txt"
    assert io.load_hand_eye_result(path_type(str(written))).num_frames_used == -1


@pytest.mark.parametrize("text,expected", [
    ('{"num_cameras": 1, "reference_index": 0, "tcp_T_camera_list": []}', ("", -1, -1)),
    ('{"method": null, "num_cameras": 1, "num_frames_used": null, "num_frames_total": 3, "reference_index": 0,'
     ' "tcp_T_camera_list": []}', ("", -1, 3)),
    ('{"method": "TSAI", "num_cameras": 1.9, "num_frames_used": true, "num_frames_total": 7.5, "reference_index": 0,'
     ' "tcp_T_camera_list": [[[1, 2], [3, 4]]]}', ("TSAI", 1, 7)),
])
def test_optional_hand_eye_members(tmp_path, text, expected):
    (tmp_path / "hand_eye.json").write_text(text)
    r = io.load_hand_eye_result(tmp_path)
    assert (r.method, r.num_frames_used, r.num_frames_total) == expected


@pytest.mark.parametrize("text,fragment", [
    ('{"num_cameras": 1, "reference_index": 0}', "key 'tcp_T_camera_list' not found"),
    ('{"num_cameras": 1, "tcp_T_camera_list": []}', "key 'reference_index' not found"),
    ('{"method": 3, "num_cameras": 1, "reference_index": 0, "tcp_T_camera_list": []}', "type must be string"),
    ('{"num_cameras": 1, "reference_index": 0, "tcp_T_camera_list": [[[1, 2], [3]]]}', "io: matrix row 1"),
    ('{"num_cameras": 1, "reference_index": 0, "tcp_T_camera_list": [[[1, 2], [3, 4, 5]]]}', "io: matrix row 1"),
    ('{"num_cameras": 1, "reference_index": 0, "tcp_T_camera_list": [[[1, null]]]}', "type must be number"),
    ('{"num_cameras": 1, "reference_index": 0, "tcp_T_camera_list": [[1, 2]]}', "type must be array"),
    ('{"num_cameras": 1, "reference_index": 0, "tcp_T_camera_list": {"a": 1}}', "type must be array"),
    ('{"num_cameras": "one", "reference_index": 0, "tcp_T_camera_list": []}', "type must be number"),
    ('{"num_cameras": 1,', "parse error"),
])
def test_malformed_hand_eye_documents(tmp_path, text, fragment):
    (tmp_path / "hand_eye.json").write_text(text)
    with pytest.raises(RuntimeError, match=fragment.replace("[", r"\[")):
        io.load_hand_eye_result(tmp_path)


def test_multi_camera_optional_and_null_errors(tmp_path):
    document = {"distortion_coefficients": [[0.1, 0.2]], "intrinsic_matrices": [K.tolist()], "num_cameras": 1,
                "reference_T_camera_list": [np.eye(4).tolist()], "reference_index": 0}
    (tmp_path / "m.json").write_text(json.dumps(document))
    r = io.load_multi_camera_calibration(tmp_path / "m.json")
    assert r.intrinsic_reprojection_errors == [] and r.pair_reprojection_errors == []
    document["pair_reprojection_errors"] = [None, 1]
    document["intrinsic_reprojection_errors"] = None
    (tmp_path / "m.json").write_text(json.dumps(document))
    r = io.load_multi_camera_calibration(tmp_path / "m.json")
    assert math.isnan(r.pair_reprojection_errors[0]) and r.pair_reprojection_errors[1] == 1.0
    document["pair_reprojection_errors"] = [True]
    (tmp_path / "m.json").write_text(json.dumps(document))
    with pytest.raises(RuntimeError, match="type must be number"):
        io.load_multi_camera_calibration(tmp_path / "m.json")


def test_nan_matrix_entry_is_saved_as_null_and_refused_on_load(tmp_path):
    r = io.HandEyeResultRecord()
    r.tcp_T_camera_list = [np.full((4, 4), np.nan)]
    path = io.save_hand_eye_result(tmp_path, r)
    assert "null" in path.read_text()
    with pytest.raises(RuntimeError, match="type must be number"):
        io.load_hand_eye_result(path)


@pytest.mark.parametrize("loader", [io.load_hand_eye_result, io.load_multi_camera_calibration])
def test_missing_file(tmp_path, loader):
    with pytest.raises(RuntimeError) as info:
        loader(tmp_path / "nothing.json")
    assert str(info.value) == f"io: cannot open {tmp_path / 'nothing.json'} for reading"


def test_failed_save_keeps_the_earlier_file(tmp_path):
    good = io.HandEyeResultRecord()
    good.method = "TSAI"
    path = io.save_hand_eye_result(tmp_path, good)
    before = path.read_text()
    bad = io.HandEyeResultRecord()
    bad.method = b"\xff\xfe"  # bytes reach the record unchecked; they are not UTF-8
    with pytest.raises(RuntimeError, match="invalid UTF-8"):
        io.save_hand_eye_result(tmp_path, bad)
    assert path.read_text() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["hand_eye.json"]


def test_unwritable_destination(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.raises(RuntimeError):
        io.save_hand_eye_result(blocker / "sub" / "r.json", io.HandEyeResultRecord())


def test_records_are_plain_values():
    r = io.HandEyeResultRecord()
    r.tcp_T_camera_list = [POSE]
    got = r.tcp_T_camera_list
    got[0][0, 0] = 99.0
    assert r.tcp_T_camera_list[0][0, 0] == 0.0


HAND_EYE_BASE = {"num_cameras": 1, "reference_index": 0, "tcp_T_camera_list": []}
MULTI_BASE = {"distortion_coefficients": [], "intrinsic_matrices": [], "num_cameras": 1,
              "reference_T_camera_list": [], "reference_index": 0}


def with_member(base, key, value):
    document = dict(base)
    document[key] = value
    return json.dumps(document)


@pytest.mark.parametrize("loader,name,text,reason,member", [
    (io.load_hand_eye_result, "hand_eye.json", '{"num_cameras": 1,', "parse error at line 1", None),
    (io.load_hand_eye_result, "hand_eye.json", "", "parse error", None),
    (io.load_hand_eye_result, "hand_eye.json", "[1, 2]", "the document is array, not a JSON object", None),
    (io.load_hand_eye_result, "hand_eye.json", '{"num_cameras": 1, "reference_index": 0}',
     "key 'tcp_T_camera_list' not found", None),
    (io.load_hand_eye_result, "hand_eye.json", with_member(HAND_EYE_BASE, "num_cameras", "one"),
     "type must be number, but is string", "num_cameras"),
    (io.load_hand_eye_result, "hand_eye.json", with_member(HAND_EYE_BASE, "method", 3), "type must be string",
     "method"),
    (io.load_hand_eye_result, "hand_eye.json", with_member(HAND_EYE_BASE, "tcp_T_camera_list", [[[1, 2], [3]]]),
     "matrix row 1 has 1 values, row 0 has 2", "tcp_T_camera_list"),
    (io.load_multi_camera_calibration, "multi_camera_calibration.json", "null",
     "the document is null, not a JSON object", None),
    (io.load_multi_camera_calibration, "multi_camera_calibration.json",
     with_member(MULTI_BASE, "distortion_coefficients", [[0.1, "x"]]), "type must be number, but is string",
     "distortion_coefficients"),
    (io.load_multi_camera_calibration, "multi_camera_calibration.json",
     with_member(MULTI_BASE, "distortion_coefficients", 0.1), "type must be array, but is number",
     "distortion_coefficients"),
    (io.load_multi_camera_calibration, "multi_camera_calibration.json",
     with_member(MULTI_BASE, "pair_reprojection_errors", [1, "x"]), "type must be number",
     "pair_reprojection_errors"),
    (io.load_multi_camera_calibration, "multi_camera_calibration.json",
     json.dumps({k: v for k, v in MULTI_BASE.items() if k != "intrinsic_matrices"}),
     "key 'intrinsic_matrices' not found", None),
], ids=lambda value: value if isinstance(value, str) and len(value) < 40 else None)
def test_load_errors_name_the_file_and_member(tmp_path, loader, name, text, reason, member):
    path = tmp_path / "results" / name
    path.parent.mkdir()
    path.write_text(text)
    with pytest.raises(RuntimeError) as info:
        loader(path.parent)
    message = str(info.value)
    where = f"'{member}' of {path}" if member else str(path)
    assert message.startswith("io: " + reason) and message.endswith(" in " + where), message
    assert "json.exception" not in message


@pytest.mark.parametrize("value,loaded", [
    (2147483647, 2147483647), (-2147483648, -2147483648), (2147483647.9, 2147483647), (-2147483648.9, -2147483648),
    (2147483648, None), (-2147483649, None), (2**64 - 1, None), (2147483648.0, None), (-1e300, None), (1e300, None),
])
@pytest.mark.parametrize("key", ["num_cameras", "num_frames_used"])
def test_int_members_outside_the_int_range_are_refused(tmp_path, key, value, loaded):
    path = tmp_path / "hand_eye.json"
    path.write_text(with_member(HAND_EYE_BASE, key, value))
    if loaded is not None:
        assert getattr(io.load_hand_eye_result(path), key) == loaded
        return
    with pytest.raises(RuntimeError) as info:
        io.load_hand_eye_result(path)
    assert str(info.value).startswith("io: ") and f"does not fit an int in '{key}' of {path}" in str(info.value)


def test_matrix_rows_are_checked_before_the_matrix_is_allocated(tmp_path, python_executable):
    """100000 values in the first row and 100000 empty rows would make a 80 GB matrix:
    under a 2 GiB address-space limit allocating it first would end in an allocation error."""
    rows = [[1.0] * 100000] + [[]] * 100000
    path = tmp_path / "hand_eye.json"
    path.write_text(with_member(HAND_EYE_BASE, "tcp_T_camera_list", [rows]))
    script = ("import resource, sys\n"
              "resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n"
              "from _velk import io\n"
              "try:\n"
              "    io.load_hand_eye_result(sys.argv[1])\n"
              "except Exception as error:\n"
              "    print(type(error).__name__, error)\n")
    result = subprocess.run([python_executable, "-c", script, str(path)], capture_output=True, text=True,
                            timeout=120)
    assert result.stdout == (f"RuntimeError io: matrix row 1 has 0 values, row 0 has 100000 in "
                             f"'tcp_T_camera_list' of {path}\n"), result.stderr


@pytest.mark.parametrize("key", ["tcp_T_camera_list", "method", "num_cameras"])
def test_deeply_nested_members_are_refused_without_crashing(tmp_path, python_executable, key):
    """Reading a member never copies it: a copy of a value nested 300000 deep recurses
    once per level, past the end of the stack."""
    depth = 300000
    path = tmp_path / "hand_eye.json"
    path.write_text(with_member(HAND_EYE_BASE, key, "@").replace('"@"', "[" * depth + "]" * depth))
    script = ("import sys\n"
              "from _velk import io\n"
              "try:\n"
              "    io.load_hand_eye_result(sys.argv[1])\n"
              "except Exception as error:\n"
              "    print(type(error).__name__, str(error)[-200:])\n")
    result = subprocess.run([python_executable, "-c", script, str(path)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("RuntimeError ") and result.stdout.endswith(f"'{key}' of {path}\n")


def test_empty_distortion_coefficients_round_trip(tmp_path):
    r = full_multi_record()
    r.distortion_coefficients = [np.zeros((0, 0)), np.array([[0.5, 0.25]])]
    back = io.load_multi_camera_calibration(io.save_multi_camera_calibration(tmp_path, r))
    assert back.distortion_coefficients[0].size == 0
    assert np.array_equal(back.distortion_coefficients[1], [[0.5, 0.25]])
