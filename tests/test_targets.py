"""Target descriptions, dictionary names, object points and ChArUco annotation."""

import subprocess

import numpy as np
import pytest

import _velk
from _velk import ArucoTarget, CharucoTarget, ChessboardTarget, CircleGridTarget

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
    with pytest.raises(ValueError, match="^CharucoTarget: marker_length must be smaller than square_length"):
        CharucoTarget(5, 7, 0.04, 0.05).detect_and_annotate(np.zeros((50, 50, 3), np.uint8))


@pytest.mark.parametrize("dictionary_id", [-1, 22, 99])
def test_unknown_dictionary_id_is_refused_not_replaced(dictionary_id):
    # OpenCV would quietly fall back to DICT_4X4_50 and detect the wrong markers.
    with pytest.raises(RuntimeError) as info:
        CharucoTarget(5, 7, 0.04, 0.03, dictionary_id).detect_and_annotate(np.zeros((50, 50, 3), np.uint8))
    assert str(info.value) == (f"CharucoTarget: aruco_dict_id {dictionary_id} "
                               "is not a predefined ArUco dictionary id (0 to 21)")


INVALID_TARGETS = [
    (ChessboardTarget((0, 6), 0.025), "ChessboardTarget: size must count at least one inner corner per side, "
                                      "got (0, 6)"),
    (ChessboardTarget((9, -6), 0.025), "ChessboardTarget: size must count at least one inner corner per side"),
    (ChessboardTarget((1001, 6), 0.025), "ChessboardTarget: size must count at most 1000 inner corners per side, "
                                         "got (1001, 6)"),
    (ChessboardTarget((100000, 100000), 0.025), "ChessboardTarget: size must count at most 1000"),
    (ChessboardTarget((9, 6), -0.025), "ChessboardTarget: square_size must be a positive, finite length in metres, "
                                       "got -0.025"),
    (ChessboardTarget((9, 6), 0.0), "ChessboardTarget: square_size must be a positive"),
    (ChessboardTarget((9, 6), float("nan")), "ChessboardTarget: square_size must be a positive"),
    (ChessboardTarget((9, 6), float("inf")), "ChessboardTarget: square_size must be a positive"),
    (ChessboardTarget((9, 6), 1e-50), "ChessboardTarget: square_size must be a positive, finite length in metres, got 1e-50"),  # 0 as float
    (ChessboardTarget((9, 6), 1e39), "ChessboardTarget: square_size must be a positive, finite length in metres, got 1e+39"),  # infinite as float
    (CharucoTarget(1, 7, 0.04, 0.03), "CharucoTarget: squares_x must be at least 2, got 1"),
    (CharucoTarget(5, -7, 0.04, 0.03), "CharucoTarget: squares_y must be at least 2, got -7"),
    (CharucoTarget(5, 7, -0.04, 0.03), "CharucoTarget: square_length must be a positive, finite length"),
    (CharucoTarget(5, 7, 0.04, 0.0), "CharucoTarget: marker_length must be a positive, finite length"),
    (CharucoTarget(5, 7, 0.04, 0.04), "CharucoTarget: marker_length must be smaller than square_length, "
                                      "got 0.04 and 0.04"),
    (CharucoTarget(5, 7, 0.04, 0.04 + 1e-12), "CharucoTarget: marker_length must be smaller"),  # equal as floats
    (CharucoTarget(5, 7, 0.04, 0.05), "CharucoTarget: marker_length must be smaller"),
    (CharucoTarget(100000, 100000, 0.04, 0.03), "CharucoTarget: squares_x x squares_y = 100000 x 100000 needs "
                                                "5000000000 markers, but aruco_dict_id 3 holds only 1000"),
    (CharucoTarget(10, 11, 0.04, 0.03, "DICT_4X4_50"), "CharucoTarget: squares_x x squares_y = 10 x 11 needs 55 "
                                                       "markers, but aruco_dict_id 0 holds only 50"),
    (CharucoTarget(8, 9, 0.04, 0.03, "DICT_APRILTAG_16H5"), "CharucoTarget: squares_x x squares_y = 8 x 9 needs 36 markers, "
                                                             "but aruco_dict_id 17 holds only 30"),
    (ArucoTarget((0, 3), 0.04, 0.01), "ArucoTarget: board_size must count at least one marker per side, got (0, 3)"),
    (ArucoTarget((4, 3), -0.04, 0.01), "ArucoTarget: marker_length must be a positive, finite length"),
    (ArucoTarget((4, 3), 0.04, 0.0), "ArucoTarget: marker_separation must be a positive, finite length"),
    (ArucoTarget((40, 26), 0.04, 0.01), "ArucoTarget: board_size (40, 26) needs 1040 markers, but "
                                        "aruco_dict_id 3 holds only 1000"),
    (ArucoTarget((100000, 100000), 0.04, 0.01), "ArucoTarget: board_size (100000, 100000) needs 10000000000 markers"),
    (ArucoTarget((1, 1), 0.048, 0.01, "DICT_4X4_50", 50), "ArucoTarget: first_marker_id 50 with board_size (1, 1) "
                                                        "needs ids up to 50, but aruco_dict_id 0 holds ids 0 to 49"),
    (ArucoTarget((3, 2), 0.04, 0.01, "DICT_APRILTAG_36H11", 583), "ArucoTarget: first_marker_id 583 with board_size "
                                                                 "(3, 2) needs ids up to 588, but aruco_dict_id 20 "
                                                                 "holds ids 0 to 586"),
    (ArucoTarget((8, 8), 0.04, 0.01, "DICT_4X4_50", 0), "ArucoTarget: board_size (8, 8) needs 64 markers, but "
                                                      "aruco_dict_id 0 holds only 50"),
    (ArucoTarget((1, 1), 0.04, 0.01, 3, -1), "ArucoTarget: first_marker_id must be 0 or more, got -1"),
    (CircleGridTarget((2, 2), 0.02), "CircleGridTarget: size must count at least 3 circles per side, got (2, 2)"),
    (CircleGridTarget((3, 3), 0.0), "CircleGridTarget: spacing must be a positive, finite length in metres, got 0"),
]
INVALID_IDS = [f"{type(t).__name__}-{i}" for i, (t, _) in enumerate(INVALID_TARGETS)]

VALID_EDGE_TARGETS = [
    ChessboardTarget((1, 1), 1e-3),
    ChessboardTarget((1000, 1000), 0.001),
    CharucoTarget(2, 2, 0.04, 0.0399),
    CharucoTarget(10, 10, 0.04, 0.03, "DICT_4X4_50"),  # exactly the dictionary's 50 markers
    CharucoTarget(5, 7, 0.04, 0.03, "DICT_ARUCO_MIP_36H12"),
    ArucoTarget((1, 1), 0.04, 0.001),
    ArucoTarget((40, 25), 0.04, 0.01),  # exactly 1000 markers
    ArucoTarget((32, 32), 0.04, 0.01, "DICT_ARUCO_ORIGINAL"),  # its 1024 markers
    ArucoTarget((1, 1), 0.048, 0.01, "DICT_APRILTAG_36H11", 586),  # the dictionary's last id
    ArucoTarget((10, 5), 0.04, 0.01, "DICT_4X4_100", 50),  # ids 50 to 99
    CircleGridTarget((3, 3), 0.02),
    CircleGridTarget((4, 11), 0.02, True, 0.028),
]


@pytest.mark.parametrize("target,message", INVALID_TARGETS, ids=INVALID_IDS)
def test_invalid_target_is_refused_naming_the_field(target, message):
    # The calibrators check their target when they are built, before any image is looked at.
    for attempt in (target.validate, lambda: _velk.IntrinsicCalibrator(target),
                    lambda: _velk.EyeInHandCalibrator(target), lambda: _velk.EyeToHandCalibrator(target)):
        with pytest.raises(ValueError) as info:
            attempt()
        assert str(info.value).startswith(message)


@pytest.mark.parametrize("target,message", [c for c in INVALID_TARGETS if not isinstance(c[0], ChessboardTarget)],
                         ids=[i for i in INVALID_IDS if not i.startswith("Chessboard")])
def test_invalid_marker_target_is_refused_by_the_board_builders(target, message):
    grey = np.zeros((50, 50, 3), np.uint8)
    with pytest.raises(ValueError) as info:
        if isinstance(target, CharucoTarget):
            target.detect_and_annotate(grey)
        else:
            _velk.CalibrationBenchmark().cross_validate([grey] * 5, target, _velk.IntrinsicOptions())
    assert str(info.value).startswith(message)


def test_invalid_target_is_refused_when_assigned_after_construction():
    target = CharucoTarget(5, 7, 0.04, 0.03)
    target.squares_x = 100000
    target.squares_y = 100000
    with pytest.raises(ValueError, match="^CharucoTarget: squares_x x squares_y = 100000 x 100000"):
        target.detect_and_annotate(np.zeros((50, 50, 3), np.uint8))
    chessboard = ChessboardTarget((9, 6), 0.025)
    chessboard.size = (100000, 100000)
    with pytest.raises(ValueError, match="^ChessboardTarget: size must count at most 1000"):
        chessboard.object_points()


@pytest.mark.parametrize("target", VALID_EDGE_TARGETS, ids=repr)
def test_valid_edge_targets_pass(target):
    assert target.validate() is None
    _velk.IntrinsicCalibrator(target)
    if isinstance(target, CharucoTarget):
        annotated, count = target.detect_and_annotate(np.zeros((50, 50, 3), np.uint8))
        assert count == 0


@pytest.mark.parametrize("cls,args", [(CharucoTarget, (5, 7, 0.04, 0.03)), (ArucoTarget, ((4, 6), 0.05, 0.01))])
@pytest.mark.parametrize("dictionary_id", [-1, 22])
def test_unknown_dictionary_id_is_a_failed_construction(cls, args, dictionary_id):
    expected = f"{cls.__name__}: aruco_dict_id {dictionary_id} is not a predefined ArUco dictionary id (0 to 21)"
    target = cls(*args, dictionary_id)
    for attempt in (target.validate, lambda: _velk.IntrinsicCalibrator(target)):
        with pytest.raises(RuntimeError) as info:
            attempt()
        assert str(info.value) == expected


def test_absurd_sizes_are_refused_before_anything_is_allocated(python_executable):
    """Under a 2 GiB address-space limit an attempt to build these boards would end in
    MemoryError (or an OpenCV allocation error) instead of the ValueError."""
    script = ("import resource\n"
              "resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n"
              "import numpy as np\n"
              "import _velk\n"
              "image = np.zeros((50, 50, 3), np.uint8)\n"
              "attempts = [\n"
              "    lambda: _velk.CharucoTarget(100000, 100000, 0.04, 0.03).detect_and_annotate(image),\n"
              "    lambda: _velk.IntrinsicCalibrator(_velk.ChessboardTarget((100000, 100000), 0.025)),\n"
              "    lambda: _velk.ChessboardTarget((100000, 100000), 0.025).object_points(),\n"
              "    lambda: _velk.IntrinsicCalibrator(_velk.ArucoTarget((100000, 100000), 0.04, 0.01)),\n"
              "]\n"
              "for attempt in attempts:\n"
              "    try:\n"
              "        attempt()\n"
              "    except Exception as error:\n"
              "        print(type(error).__name__, str(error).split(':')[0])\n")
    result = subprocess.run([python_executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.stdout.splitlines() == ["ValueError CharucoTarget", "ValueError ChessboardTarget",
                                          "ValueError ChessboardTarget", "ValueError ArucoTarget"], result.stderr


def test_first_marker_id_defaults_to_zero_and_shows_in_repr_only_when_set():
    plain = ArucoTarget((4, 6), 0.05, 0.01)
    assert plain.first_marker_id == 0
    assert repr(plain) == "ArucoTarget(board_size=(4, 6), marker_length=0.050000, marker_separation=0.010000, " \
                          "aruco_dict_id=3)"
    tag = ArucoTarget((1, 1), 0.048, 0.01, "DICT_APRILTAG_36H11", first_marker_id=10)
    assert (tag.first_marker_id, tag.aruco_dict_id) == (10, 20)
    assert repr(tag).endswith("aruco_dict_id=20, first_marker_id=10)")


def rendered_markers(target, size=(640, 480), distance=0.35):
    synthetic = pytest.importorskip("quorvane.velk.synthetic")
    pytest.importorskip("cv2")
    centre = synthetic.board_center(target)
    pose = _velk.tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, 12.0]) @ synthetic.look_at_pose(
        centre + [0.03, -0.02, -distance], centre)
    return synthetic.render_target(target, synthetic.pinhole_matrix(600.0, size), None, pose, size, blur_sigma=0.5)


@pytest.mark.parametrize("name", sorted(DICTIONARY_IDS))
def test_single_marker_with_the_last_id_of_every_dictionary_is_found(name):
    import cv2

    last_id = cv2.aruco.getPredefinedDictionary(DICTIONARY_IDS[name]).bytesList.shape[0] - 1
    target = ArucoTarget((1, 1), 0.06, 0.01, name, last_id)
    view = rendered_markers(target)
    assert view.marker_ids.tolist() == [last_id]
    detections = _velk.IntrinsicCalibrator(target).find_corners([view.image])
    assert detections.successful_indices == [0]
    points = detections.image_points[0].reshape(-1, 2)
    assert points.shape == (4, 2) and np.abs(points - view.corners).max() < 2.0
    np.testing.assert_allclose(detections.object_points[0], view.object_points, atol=1e-6)
    # The same marker under the id before it is another target: not found.
    before = ArucoTarget((1, 1), 0.06, 0.01, name, last_id - 1)
    assert _velk.IntrinsicCalibrator(before).find_corners([view.image]).successful_indices == []


def test_grid_starting_at_another_id_pairs_each_marker_with_its_place():
    target = ArucoTarget((3, 2), 0.04, 0.01, "DICT_5X5_100", 30)
    view = rendered_markers(target, distance=0.4)
    assert view.marker_ids.tolist() == list(range(30, 36))
    detections = _velk.IntrinsicCalibrator(target).find_corners([view.image])
    points = detections.image_points[0].reshape(-1, 2)
    objects = detections.object_points[0]
    assert len(points) == 24
    truth = {tuple(np.round(o, 6)): c for o, c in zip(view.object_points, view.corners)}
    for point, board in zip(points, objects.astype(np.float64)):
        # Unrefined marker corners (see test_intrinsic_rendered); a wrong pairing is a marker away.
        assert np.linalg.norm(point - truth[tuple(np.round(board, 6))]) < 2.0
    # The grid at id 0 of the same dictionary shares no marker with it.
    other = ArucoTarget((3, 2), 0.04, 0.01, "DICT_5X5_100")
    assert _velk.IntrinsicCalibrator(other).find_corners([view.image]).successful_indices == []


def test_only_a_single_marker_board_is_found_from_fewer_than_four_markers(capfd):
    # A 1 x 1 board is one printed marker; larger boards still need four markers in a picture.
    for board_size, found in (((1, 1), True), ((2, 1), False), ((3, 1), False)):
        target = ArucoTarget(board_size, 0.04, 0.01, "DICT_4X4_50", 7)
        view = rendered_markers(target, distance=0.4)
        detections = _velk.IntrinsicCalibrator(target).find_corners([view.image])
        assert (detections.successful_indices == [0]) == found, board_size
    assert capfd.readouterr().err.count("Not enough ArUco markers in image 0") == 2
