"""velk board: exact printed scale (measured on the rasterised PDF), target files, refusal of boards too large."""

import json
import re

import numpy as np
import pytest

import _velk
from quorvane.velk import cli
from quorvane.velk.target_file import TargetFileError, load_target_file, printed_from_json
from rasterised_pages import rasterise

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def square_edges(row_pixels):
    """x positions where a row of the page changes between black and white."""
    dark = row_pixels < 128
    return np.flatnonzero(dark[1:] != dark[:-1]) + 1


@pytest.mark.parametrize("dpi, square, paper", [(300, 0.02, "A4"), (150, 0.03, "A3"), (200, 0.018, "letter")])
def test_printed_chessboard_square_matches_dpi_and_target_file(tmp_path, dpi, square, paper):
    pdf = tmp_path / "board.pdf"
    assert cli.main(["board", "chessboard", "--cols", "7", "--rows", "5", "--square", str(square),
                     "-o", str(pdf), "--dpi", str(dpi), "--paper", paper]) == 0
    printed = load_target_file(tmp_path / "board.json")
    page = rasterise(pdf, dpi, tmp_path)
    expected_px = printed.square_size / 0.0254 * dpi
    rows = np.flatnonzero((page < 128).any(axis=1))
    middle_of_first_row = int(rows[0] + expected_px / 2)
    edges = square_edges(page[middle_of_first_row])
    # The first row of 8 squares starts black and ends white: 8 edges from its left border.
    span = edges[7] - edges[0]
    assert abs(span / 7 - expected_px) / expected_px < 0.005
    first_row = page[rows[0]:rows[0] + int(expected_px)]
    columns = np.flatnonzero((first_row < 128).any(axis=0))
    vertical = square_edges(page[:, int(columns[0] + expected_px / 2)])
    assert abs((vertical[5] - vertical[0]) / 5 - expected_px) / expected_px < 0.005
    assert printed.to_json() == {"kind": "chessboard", "cols": 7, "rows": 5, "square_size": square}


def test_printed_charuco_board_is_found_at_its_scale(tmp_path):
    pdf = tmp_path / "charuco.pdf"
    assert cli.main(["board", "charuco", "--squares-x", "5", "--squares-y", "7", "--square", "0.025",
                     "--marker", "0.018", "--dictionary", "DICT_5X5_100", "-o", str(pdf), "--dpi", "100"]) == 0
    printed = load_target_file(tmp_path / "charuco.json")
    page = rasterise(pdf, 100, tmp_path)
    import cv2

    detections = _velk.IntrinsicCalibrator(printed.build()).find_corners([cv2.cvtColor(page, cv2.COLOR_GRAY2BGR)])
    assert detections.successful_indices == [0]
    points = np.asarray(detections.image_points[0]).reshape(-1, 2)
    assert len(points) == 4 * 6
    ids = np.asarray(detections.point_ids[0]).ravel()
    by_id = dict(zip(ids.tolist(), points))
    measured = np.linalg.norm(by_id[3] - by_id[0]) / 3  # corners 0..3 lie along the first row
    expected = 0.025 / 0.0254 * 100
    assert abs(measured - expected) / expected < 0.005


@pytest.mark.parametrize("suffix", ["png", "svg"])
def test_png_and_svg_pages_carry_their_physical_size(tmp_path, suffix):
    out = tmp_path / f"grid.{suffix}"
    assert cli.main(["board", "aruco", "--markers-x", "4", "--markers-y", "3", "--marker", "0.025",
                     "--separation", "0.008", "-o", str(out), "--dpi", "120"]) == 0
    assert json.loads((tmp_path / "grid.json").read_text())["marker_separation"] == 0.008
    if suffix == "png":
        from PIL import Image

        with Image.open(out) as image:
            assert round(image.info["dpi"][0]) == 120
            assert abs(image.width / 120 * 25.4 - 210) < 0.5  # portrait A4
    else:
        text = out.read_text()
        width_mm, pixels = re.search(r'width="([\d.]+)mm".*viewBox="0 0 (\d+) ', text).groups()
        assert abs(float(width_mm) - 210) < 0.5 and "data:image/png;base64," in text
        assert float(width_mm) / 25.4 * 120 == pytest.approx(int(pixels), abs=1e-3)  # one image pixel per dot


@pytest.mark.parametrize("arguments, message", [
    (["chessboard", "--cols", "9", "--rows", "6", "--square", "0.05"], "does not fit"),
    (["chessboard", "--cols", "9", "--rows", "6", "--square", "0.02", "--paper", "B5"], "unknown paper 'B5'"),
    (["charuco", "--squares-x", "5", "--squares-y", "4", "--square", "0.03", "--marker", "0.02", "--legacy"],
     "legacy ChArUco pattern"),
    (["charuco", "--squares-x", "5", "--squares-y", "5", "--square", "0.03", "--marker", "0.04"],
     "marker must be smaller"),
    (["aruco", "--markers-x", "4", "--markers-y", "3", "--marker", "0.04", "--separation", "0.01",
      "--dictionary", "DICT_9X9"], "unknown dictionary 'DICT_9X9'"),
])
def test_boards_that_cannot_be_printed_are_refused(tmp_path, capsys, arguments, message):
    out = tmp_path / "board.pdf"
    assert cli.main(["board", *arguments, "-o", str(out)]) == 2
    error = capsys.readouterr().err
    assert error.startswith("velk: error: ") and message in error and len(error.splitlines()) == 1
    assert not out.exists() and not (tmp_path / "board.json").exists()


def test_large_board_fits_on_custom_paper_in_landscape(tmp_path):
    out = tmp_path / "big.png"
    assert cli.main(["board", "chessboard", "--cols", "9", "--rows", "6", "--square", "0.05", "-o", str(out),
                     "--dpi", "50", "--paper", "650x500mm"]) == 0
    from PIL import Image

    with Image.open(out) as image:
        assert image.width > image.height


@pytest.mark.parametrize("document, message", [
    ({"kind": "hexagon"}, "'kind' must be one of"),
    ({"kind": "chessboard", "cols": 9, "rows": 6}, "missing field 'square_size'"),
    ({"kind": "chessboard", "cols": 9.5, "rows": 6, "square_size": 0.02}, "must be an integer"),
    ({"kind": "chessboard", "cols": 9, "rows": 6, "square_size": -1}, "positive length"),
    ({"kind": "charuco", "squares_x": 5, "squares_y": 7, "square_length": 0.04, "marker_length": 0.03,
      "legacy_pattern": "yes"}, "'legacy_pattern' must be true or false"),
    ([1, 2], "must hold a JSON object"),
])
def test_target_file_errors(document, message):
    with pytest.raises(TargetFileError, match=message):
        printed_from_json(document)


@pytest.mark.parametrize("document, expected", [
    ({"kind": "chessboard", "cols": 9, "rows": 6, "square_size": 0.025}, "ChessboardTarget(size=(9, 6)"),
    ({"kind": "charuco", "squares_x": 5, "squares_y": 7, "square_length": 0.04, "marker_length": 0.03,
      "dictionary": "DICT_6X6_250", "legacy_pattern": True}, "aruco_dict_id=10"),
    ({"kind": "aruco", "markers_x": 4, "markers_y": 6, "marker_length": 0.05, "marker_separation": 0.01},
     "ArucoTarget(board_size=(4, 6), marker_length=0.050000, marker_separation=0.010000, aruco_dict_id=3)"),
])
def test_target_file_builds_the_library_target(document, expected):
    printed = printed_from_json(document)
    assert expected in repr(printed.build())
    assert printed_from_json(printed.to_json()) == printed


@pytest.mark.parametrize("written, read", [("DICT_APRILTAG_36h11", "DICT_APRILTAG_36H11"),
                                           ("dict_5x5_100", "DICT_5X5_100"), (" DICT_4X4_50 ", "DICT_4X4_50")])
def test_dictionary_names_are_read_in_any_case(written, read):
    document = {"kind": "aruco", "markers_x": 1, "markers_y": 1, "marker_length": 0.05, "marker_separation": 0.01,
                "dictionary": written}
    printed = printed_from_json(document)
    assert printed.dictionary == read and printed.to_json()["dictionary"] == read


@pytest.mark.parametrize("written, suggestion", [("DICT_APRILTAG_36H1", "did you mean DICT_APRILTAG_36H11"),
                                                 ("DICT_5x5_10", "did you mean DICT_5X5_100"),
                                                 ("DICT_9X9", None)])
def test_a_near_miss_of_a_dictionary_name_is_answered(written, suggestion):
    document = {"kind": "aruco", "markers_x": 1, "markers_y": 1, "marker_length": 0.05, "marker_separation": 0.01,
                "dictionary": written}
    with pytest.raises(TargetFileError, match="unknown dictionary") as refused:
        printed_from_json(document)
    assert (suggestion in str(refused.value)) if suggestion else "did you mean" not in str(refused.value)


def test_single_marker_board_carries_its_first_id(tmp_path, capsys):
    cv2 = pytest.importorskip("cv2")
    out = tmp_path / "tag.png"
    assert cli.main(["board", "aruco", "--markers-x", "1", "--markers-y", "1", "--marker", "0.048", "--separation",
                     "0.01", "--dictionary", "DICT_APRILTAG_36H11", "--first-id", "10", "-o", str(out),
                     "--dpi", "150"]) == 0
    assert ("Board: ArUco grid 1 x 1 markers, marker 48.00 mm, gap 10.00 mm, DICT_APRILTAG_36H11, first id 10"
            in capsys.readouterr().out)
    document = json.loads((tmp_path / "tag.json").read_text())
    assert document["first_marker_id"] == 10
    target = load_target_file(tmp_path / "tag.json").build()
    assert (target.board_size, target.first_marker_id) == ((1, 1), 10)
    detector = cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_APRILTAG_36h11))
    _, ids, _ = detector.detectMarkers(cv2.imread(str(out)))
    assert ids.ravel().tolist() == [10]


@pytest.mark.parametrize("extra, message", [
    (["--first-id", "50", "--dictionary", "DICT_4X4_50"], "ArucoTarget: first_marker_id 50 with board_size (1, 1)"),
    (["--first-id", "-3"], "'first_marker_id' must be an integer of 0 or more, got -3"),
    (["--first-id", str(10 ** 20)], "'first_marker_id' 100000000000000000000 is past the ids of every dictionary"),
])
def test_first_ids_past_the_dictionary_are_refused(tmp_path, capsys, extra, message):
    out = tmp_path / "tag.pdf"
    assert cli.main(["board", "aruco", "--markers-x", "1", "--markers-y", "1", "--marker", "0.04", "--separation",
                     "0.01", *extra, "-o", str(out)]) == 2
    assert message in capsys.readouterr().err
    assert not out.exists()


@pytest.mark.parametrize("arguments, document", [
    (["aruco", "--markers-x", "1", "--markers-y", "1", "--marker", "0.05"],
     {"kind": "aruco", "markers_x": 1, "markers_y": 1, "marker_length": 0.05, "dictionary": "DICT_4X4_1000"}),
    (["charuco", "--squares-x", "5", "--squares-y", "7", "--square", "0.036195", "--marker", "0.018256",
      "--dictionary", "DICT_6X6_250"],
     {"kind": "charuco", "squares_x": 5, "squares_y": 7, "square_length": 0.036195, "marker_length": 0.018256,
      "dictionary": "DICT_6X6_250", "legacy_pattern": False}),
])
def test_target_writes_the_target_file_alone(tmp_path, capsys, arguments, document):
    out = tmp_path / "target.json"
    assert cli.main(["target", *arguments, "-o", str(out)]) == 0
    assert json.loads(out.read_text()) == document
    assert sorted(p.name for p in tmp_path.iterdir()) == ["target.json"]  # no page drawn
    assert load_target_file(out).build() is not None


def test_a_single_tag_needs_no_separation_and_a_grid_does(tmp_path, capsys):
    cv2 = pytest.importorskip("cv2")
    out = tmp_path / "tag.png"
    assert cli.main(["board", "aruco", "--markers-x", "1", "--markers-y", "1", "--marker", "0.048", "-o", str(out),
                     "--dpi", "150"]) == 0
    assert "marker_separation" not in json.loads((tmp_path / "tag.json").read_text())
    detector = cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(cv2.aruco.DICT_4X4_1000))
    assert detector.detectMarkers(cv2.imread(str(out)))[1].ravel().tolist() == [0]
    assert cli.main(["target", "aruco", "--markers-x", "2", "--markers-y", "1", "--marker", "0.05", "-o",
                     str(tmp_path / "grid.json")]) == 2
    assert "--separation is needed for a grid of 2 x 1 markers" in capsys.readouterr().err
