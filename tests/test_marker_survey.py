"""What the pictures show when a target file's dictionary or marker ids do not match the printed board."""

import json

import pytest

from conftest import calibration_views, render_views
from quorvane.velk import cli
from quorvane.velk.marker_survey import target_marker_hint
from quorvane.velk.target_file import printed_from_json

cv2 = pytest.importorskip("cv2")

TAG = {"kind": "aruco", "markers_x": 1, "markers_y": 1, "marker_length": 0.048, "marker_separation": 0.01,
       "dictionary": "DICT_APRILTAG_36H11", "first_marker_id": 10}


@pytest.fixture(scope="module")
def tag_pictures():
    """Four rendered pictures of one AprilTag 36h11 marker with id 10."""
    target = printed_from_json(TAG).build()
    return [view.image for view in render_views(target, calibration_views(target, 4, seed=21), seed=21)]


@pytest.mark.parametrize("changes, words", [
    ({}, None),
    ({"first_marker_id": 0}, ["with id 10", "expects id 0", "--first-id 10"]),
    ({"dictionary": "DICT_ARUCO_ORIGINAL", "first_marker_id": 0},
     ["no markers of dictionary DICT_ARUCO_ORIGINAL", "DICT_APRILTAG_36H11 (ids 10"]),
])
def test_the_hint_names_what_the_pictures_show(tag_pictures, changes, words):
    hint = target_marker_hint(printed_from_json({**TAG, **changes}), tag_pictures)
    if words is None:
        assert hint is None
    else:
        assert hint is not None and all(word in hint for word in words), hint


def test_a_wrong_marker_id_fails_the_command_with_the_fix(tag_pictures, tmp_path, capsys):
    folder = tmp_path / "pictures"
    folder.mkdir()
    for k, image in enumerate(tag_pictures):
        cv2.imwrite(str(folder / f"image_{k}.png"), image)
    target = tmp_path / "target.json"
    target.write_text(json.dumps({**TAG, "first_marker_id": 0}))
    assert cli.main(["intrinsics", str(folder), "--target", str(target), "-o", str(tmp_path / "out.json")]) == 1
    captured = capsys.readouterr()
    assert "--first-id 10" in captured.err and "Not enough ArUco markers" not in captured.err
    assert not (tmp_path / "out.json").exists()
