"""Target descriptions, dictionary names, object points and ChArUco annotation."""

import numpy as np
import pytest

import _velk
from _velk import ArucoTarget, CharucoTarget, ChessboardTarget

DICTIONARY_IDS = {
    "DICT_4X4_50": 0, "DICT_4X4_100": 1, "DICT_4X4_250": 2, "DICT_4X4_1000": 3,
    "DICT_5X5_50": 4, "DICT_5X5_100": 5, "DICT_5X5_250": 6, "DICT_5X5_1000": 7,
    "DICT_6X6_50": 8, "DICT_6X6_100": 9, "DICT_6X6_250": 10, "DICT_6X6_1000": 11,
    "DICT_7X7_50": 12, "DICT_7X7_100": 13, "DICT_7X7_250": 14, "DICT_7X7_1000": 15,
    "DICT_ARUCO_ORIGINAL": 16, "DICT_APRILTAG_16H5": 17, "DICT_APRILTAG_25H9": 18,
    "DICT_APRILTAG_36H10": 19, "DICT_APRILTAG_36H11": 20, "DICT_ARUCO_MIP_36H12": 21,
}


def test_dictionary_map_entries_and_key_order():
    names = _velk.aruco_dictionary_id_map()
    assert names == DICTIONARY_IDS
    assert list(names) == sorted(DICTIONARY_IDS, key=lambda n: n.encode())
    assert list(names)[0] == "DICT_4X4_100" and list(names)[-1] == "DICT_ARUCO_ORIGINAL"
    names["DICT_4X4_50"] = 99  # a new dict each call
    assert _velk.aruco_dictionary_id_map()["DICT_4X4_50"] == 0


def test_dictionary_ids_match_opencv():
    cv2 = pytest.importorskip("cv2")
    for name, value in DICTIONARY_IDS.items():
        assert getattr(cv2.aruco, name.replace("H5", "h5").replace("H9", "h9").replace("H10", "h10")
                       .replace("H11", "h11").replace("H12", "h12")) == value


@pytest.mark.parametrize("name,expected", [("DICT_APRILTAG_36H11", 20), ("DICT_4X4_50", 0), ("DICT_ARUCO_MIP_36H12", 21)])
def test_dictionary_from_name(name, expected):
    assert _velk.aruco_dictionary_id_from_name(name) == expected


@pytest.mark.parametrize("name", ["DICT_APRILTAG_36h11", "dict_4x4_50", "DICT_4X4_50 ", "", "nope"])
def test_unknown_dictionary_name(name):
    with pytest.raises(ValueError) as info:
        _velk.aruco_dictionary_id_from_name(name)
    assert str(info.value) == f"Unknown aruco_dict_id '{name}'"


@pytest.mark.parametrize("cls,args", [(CharucoTarget, (5, 7, 0.04, 0.03)), (ArucoTarget, ((4, 6), 0.05, 0.01))])
def test_marker_target_dictionary_overloads(cls, args):
    assert cls(*args).aruco_dict_id == 3
    assert cls(*args, "DICT_6X6_250").aruco_dict_id == 10
    assert cls(*args, aruco_dict_id=np.int32(7)).aruco_dict_id == 7
    with pytest.raises(ValueError) as info:
        cls(*args, "nope")
    assert str(info.value) == "Unknown aruco_dict_id 'nope'"
    with pytest.raises(TypeError):
        cls(*args, 3.0)


@pytest.mark.parametrize(
    "target,text",
    [
        (ChessboardTarget((9, 6), 0.025), "ChessboardTarget(size=(9, 6), square_size=0.025000)"),
        (CharucoTarget(5, 7, 0.04, 0.03), "CharucoTarget(squares_x=5, squares_y=7, square_length=0.040000, "
                                          "marker_length=0.030000, aruco_dict_id=3)"),
        (ArucoTarget((4, 6), 0.05, 0.01), "ArucoTarget(board_size=(4, 6), marker_length=0.050000, "
                                          "marker_separation=0.010000, aruco_dict_id=3)"),
        (ChessboardTarget((-1, 0), -2.5), "ChessboardTarget(size=(-1, 0), square_size=-2.500000)"),
    ],
)
def test_repr(target, text):
    assert repr(target) == text


def test_keyword_construction_and_properties():
    t = CharucoTarget(squares_x=6, squares_y=4, square_length=0.05, marker_length=0.035, aruco_dict_id=5)
    t.squares_x, t.marker_length, t.aruco_dict_id = 8, 0.02, 11
    assert (t.squares_x, t.squares_y, t.square_length, t.marker_length, t.aruco_dict_id) == (8, 4, 0.05, 0.02, 11)
    a = ArucoTarget(board_size=(3, 2), marker_length=0.04, marker_separation=0.01)
    a.board_size = [5, 4]
    assert a.board_size == (5, 4)


@pytest.mark.parametrize("value", [[7, 5], (7, 5), np.array([7, 5], dtype=np.int32), range(7, 4, -2)])
def test_size_assignment_from_any_two_item_sequence(value):
    t = ChessboardTarget((9, 6), 0.025)
    t.size = value
    assert t.size == (7, 5)
    assert isinstance(t.size, tuple)


@pytest.mark.parametrize("value", [(7.0, 5.0), (7, 5, 1), (7,), "75", 7])
def test_size_refuses_other_values(value):
    t = ChessboardTarget((9, 6), 0.025)
    with pytest.raises(TypeError):
        t.size = value
    with pytest.raises(TypeError):
        ChessboardTarget(value, 0.025)


def test_chessboard_object_points():
    points = ChessboardTarget((9, 6), 0.025).object_points()
    assert points.shape == (54, 3) and points.dtype == np.float32
    assert np.allclose(points[0], [0, 0, 0])
    assert np.allclose(points[1], [0.025, 0, 0])
    assert np.allclose(points[9], [0, 0.025, 0])
    assert np.allclose(points[53], [0.2, 0.125, 0])
    assert np.all(points[:, 2] == 0)


@pytest.mark.parametrize("size", [(0, 6), (9, 0), (-3, 4)])
def test_empty_chessboard_object_points(size):
    points = ChessboardTarget(size, 0.025).object_points()
    assert points.shape == (0, 0) and points.dtype == np.float64


def test_annotate_without_board_returns_identical_copy():
    image = np.full((240, 320, 3), 128, dtype=np.uint8)
    annotated, count = CharucoTarget(5, 7, 0.04, 0.03).detect_and_annotate(image)
    assert count == 0
    assert annotated.shape == image.shape and annotated.dtype == image.dtype
    assert np.array_equal(annotated, image)
    assert not np.shares_memory(annotated, image)


@pytest.mark.parametrize("image", [np.zeros((50, 50), np.uint8), np.zeros((50, 50, 2), np.uint8),
                                   np.zeros((0, 0, 3), np.uint8)])
def test_annotate_refuses_images_without_colour(image):
    with pytest.raises(RuntimeError):
        CharucoTarget(5, 7, 0.04, 0.03).detect_and_annotate(image)


def test_annotate_with_marker_larger_than_square_raises():
    with pytest.raises(RuntimeError):
        CharucoTarget(5, 7, 0.04, 0.05).detect_and_annotate(np.zeros((50, 50, 3), np.uint8))


@pytest.mark.parametrize("dictionary_id", [-1, 22, 99])
def test_unknown_dictionary_id_is_refused_not_replaced(dictionary_id):
    # OpenCV would quietly fall back to DICT_4X4_50 and detect the wrong markers.
    with pytest.raises(ValueError) as info:
        CharucoTarget(5, 7, 0.04, 0.03, dictionary_id).detect_and_annotate(np.zeros((50, 50, 3), np.uint8))
    assert str(info.value) == (f"CharucoTarget: aruco_dict_id {dictionary_id} "
                               "is not a predefined ArUco dictionary id (0 to 21)")
