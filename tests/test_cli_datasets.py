"""Datasets the commands refuse before calibrating, naming what is wrong."""

import os
import shutil
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import _velk
from cli_data import write_target
from quorvane.velk import cli, datasets

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


def _png_header_only(path, width, height):
    """A PNG that declares width x height and holds no pixels: only a reader of headers can learn its size."""
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    chunks = [(b"IHDR", header), (b"IEND", b"")]
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + b"".join(struct.pack(">I", len(data)) + kind + data
                                                       + struct.pack(">I", zlib.crc32(kind + data)) for kind, data in
                                                       chunks))


@pytest.mark.parametrize("argv", [MIXED["hand-eye"], MIXED["rig"], MIXED["intrinsics"]],
                         ids=["hand-eye", "rig", "intrinsics"])
def test_a_far_larger_picture_is_refused_from_its_header_before_any_picture_is_decoded(mixed_sizes, argv, capsys,
                                                                                        monkeypatch):
    for folder in (mixed_sizes / "data", mixed_sizes / "rig" / "cam_1"):
        _png_header_only(folder / "image_2.png", 20000, 20000)
    monkeypatch.setattr(datasets, "read_image", lambda path: pytest.fail(f"{path} decoded"))
    assert cli.main([a.format(root=mixed_sizes) for a in argv]) == 2
    assert "20000 x 20000: image_2.png" in capsys.readouterr().err


@pytest.fixture(scope="module")
def undecodable_folder(tmp_path_factory, eye_in_hand_scene):
    """The rendered eye-in-hand dataset in a folder whose name holds the byte 0xff, which is not UTF-8, and its
    pictures again under such names; Python names these paths with surrogate escapes."""
    root = tmp_path_factory.mktemp("undecodable")
    scene = eye_in_hand_scene
    _velk.io.save_hand_eye_dataset(root / "written", scene.images, scene.robot_T_tcp_list)
    folder = root / os.fsdecode(b"cap\xff")
    os.rename(root / "written", folder)
    pictures = root / "pictures"
    pictures.mkdir()
    for k in range(len(scene.images)):
        shutil.copy(folder / f"image_{k}.png", pictures / os.fsdecode(b"bild\xff" + str(k).encode() + b".png"))
    write_target(root / "board.json", scene.target)
    return root, folder, pictures


def run_velk(*argv):
    return subprocess.run([sys.executable, "-m", "quorvane.velk", *argv, "--quiet", "--no-validate",
                           "--distortion-model", "k1k2"], capture_output=True, text=True, errors="replace")


@pytest.mark.parametrize("command", ["hand-eye", "intrinsics"])
def test_pictures_under_a_name_that_is_not_utf8_are_read(undecodable_folder, command):
    root, folder, pictures = undecodable_folder
    given = folder if command == "hand-eye" else pictures
    done = run_velk(command, given, "--target", root / "board.json", "-o", root / f"{command}.json")
    assert done.returncode == 0 and "Traceback" not in done.stderr, done.stderr
    assert (root / f"{command}.json").is_file()


def test_an_output_whose_name_is_not_utf8_is_refused_before_any_work(undecodable_folder):
    root, folder, _ = undecodable_folder
    done = run_velk("hand-eye", folder, "--target", root / "board.json")
    assert done.returncode == 2 and "not valid UTF-8" in done.stderr and "Traceback" not in done.stderr
    assert not (folder / "hand_eye.json").exists()
