"""Datasets the commands refuse before calibrating, naming what is wrong."""

import numpy as np
import pytest

import _velk
from quorvane.velk import cli

BOARD = '{"kind": "chessboard", "cols": 5, "rows": 4, "square_size": 0.02}'


def picture(height, width, shade=128):
    return np.full((height, width, 3), shade, np.uint8)


@pytest.fixture
def mixed_sizes(tmp_path):
    """A hand-eye dataset and a rig whose cam_1 holds a picture of another size than the rest, and a target."""
    pictures = [picture(40, 60), picture(40, 60, 90), picture(30, 50)]
    _velk.io.save_hand_eye_dataset(tmp_path / "data", pictures, [np.eye(4)] * 3)
    for frame, odd in enumerate(pictures):
        _velk.io.save_multi_camera_capture(tmp_path / "rig", [picture(40, 60), odd], frame)
    (tmp_path / "board.json").write_text(BOARD)
    return tmp_path


MIXED = {
    "hand-eye": ["hand-eye", "{root}/data", "--target", "{root}/board.json"],
    "check": ["check", "{root}/data", "--target", "{root}/board.json"],
    "eye-to-hand": ["hand-eye", "{root}/data", "--target", "{root}/board.json", "--eye-to-hand"],
    "rig": ["rig", "{root}/rig", "--target", "{root}/board.json"],
    "intrinsics": ["intrinsics", "{root}/data", "--target", "{root}/board.json"],
}


@pytest.mark.parametrize("argv", MIXED.values(), ids=MIXED.keys())
def test_pictures_of_different_sizes_are_refused_naming_the_sizes_and_pictures(mixed_sizes, argv, capsys):
    assert cli.main([a.format(root=mixed_sizes) for a in argv]) == 2
    error = capsys.readouterr().err
    assert "not all one size" in error
    assert "60 x 40: image_0.png, image_1.png" in error and "50 x 30: image_2.png" in error
