"""Values a user gives are checked where they enter: intrinsics records on load, numeric options at parse time."""

import json

import pytest

from quorvane.velk import cli, records

CAMERA = [[500.0, 0.0, 320.0], [0.0, 500.0, 240.0], [0.0, 0.0, 1.0]]


def _with(row, column, value):
    matrix = [list(r) for r in CAMERA]
    matrix[row][column] = value
    return matrix


UNUSABLE = {
    "zero focal length": ({"camera_matrix": _with(0, 0, 0)}, "focal lengths"),
    "negative focal length": ({"camera_matrix": _with(1, 1, -500)}, "focal lengths"),
    "bottom row": ({"camera_matrix": _with(2, 2, 2)}, "bottom row"),
    "skewed bottom row": ({"camera_matrix": _with(2, 0, 0.001)}, "bottom row"),
    "principal point right of the picture": ({"camera_matrix": _with(0, 2, 900)}, "outside its 640 x 480"),
    "principal point above the picture": ({"camera_matrix": _with(1, 2, -3)}, "outside its 640 x 480"),
    "boolean in the matrix": ({"camera_matrix": _with(2, 2, True)}, "true or false in camera_matrix"),
    "boolean distortion": ({"distortion_coefficients": [False, 0, 0, 0, 0]}, "true or false in distortion"),
}


def write_record(folder, **members):
    document = {"image_size": [640, 480], "camera_matrix": CAMERA, "distortion_coefficients": [0.0] * 5, **members}
    path = folder / "given.json"
    path.write_text(json.dumps(document))
    return path


@pytest.mark.parametrize(("members", "reason"), UNUSABLE.values(), ids=UNUSABLE.keys())
def test_unusable_intrinsics_are_refused_on_load_naming_the_record(tmp_path, members, reason):
    path = write_record(tmp_path, **members)
    with pytest.raises(records.RecordError, match=reason) as raised:
        records.load_camera(path)
    assert str(path) in str(raised.value)


def test_hand_eye_refuses_unusable_intrinsics_with_exit_code_2(tmp_path, capsys):
    path = write_record(tmp_path, camera_matrix=_with(0, 0, -1))
    (tmp_path / "data").mkdir()
    (tmp_path / "board.json").write_text('{"kind": "chessboard", "cols": 5, "rows": 4, "square_size": 0.02}')
    argv = ["hand-eye", str(tmp_path / "data"), "--target", str(tmp_path / "board.json"), "--intrinsics", str(path)]
    assert cli.main(argv) == 2
    assert "focal lengths" in capsys.readouterr().err


PLAN = ["plan", "--target", "board.json", "--fixed", "0.5", "0", "0", "180", "0", "0", "-o", "plan.csv"]
BAD_NUMBERS = {
    "threshold nan": (["intrinsics", "pictures", "--target", "board.json"], "--per-view-error-threshold", ["nan"]),
    "threshold inf": (["intrinsics", "pictures", "--target", "board.json"], "--per-view-error-threshold", ["inf"]),
    "threshold 0": (["rig", "data", "--target", "board.json"], "--per-view-error-threshold", ["0"]),
    "threshold negative": (["check", "data", "--target", "board.json"], "--per-view-error-threshold", ["-1"]),
    "field of view 0": (PLAN, "--fov", ["0"]),
    "distance negative": ([*PLAN, "--fov", "60"], "--distance", ["-0.1", "0.5"]),
    "pixel noise nan": ([*PLAN, "--fov", "60"], "--pixel-noise", ["nan"]),
    "board pose inf": (["plan", "--target", "board.json", "--fov", "60", "-o", "plan.csv"], "--fixed",
                       ["0.5", "0", "inf", "180", "0", "0"]),
    "joint spread 0": ([*PLAN, "--fov", "60", "--model", "arm.yaml"], "--joint-spread", ["0"]),
}


@pytest.mark.parametrize(("argv", "option", "values"), BAD_NUMBERS.values(), ids=BAD_NUMBERS.keys())
def test_a_numeric_option_out_of_range_is_a_parse_error_naming_it(argv, option, values, capsys):
    assert cli.main([*argv, option, *values]) == 2
    error = capsys.readouterr().err
    assert f"argument {option}:" in error and any(repr(v) in error for v in values)
