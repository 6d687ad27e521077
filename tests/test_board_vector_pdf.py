"""velk board PDF pages: vector shapes measured on the page rasterised at 600 dpi, and --paper auto."""

import re
import zlib

import numpy as np
import pytest

from quorvane.velk import cli
from quorvane.velk.printing.page import page_layout, parse_paper, smallest_paper
from quorvane.velk.target_file import load_target_file, printed_from_json
from rasterised_pages import rasterise

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

DPI = 600


def dark_runs(profile):
    """(start, end, area) of every dark run of a row of the page; area: the darkness summed over the run and
    half of its neighbouring light pixels, which for an anti-aliased edge is the width covered, to a sub-pixel."""
    darkness = 1.0 - profile.astype(np.float64) / 255.0
    dark = darkness > 0.5
    edges = np.flatnonzero(dark[1:] != dark[:-1]) + 1
    if dark[0]:
        edges = edges[1:]
    runs = []
    for start, end in zip(edges[0::2], edges[1::2]):
        runs.append((start, end, float(darkness[start - 2:end + 2].sum())))
    return runs


def content_stream(pdf_bytes):
    raw = re.search(rb"stream\n(.*?)\nendstream", pdf_bytes, re.S).group(1)
    return zlib.decompress(raw).decode("latin-1")


@pytest.mark.parametrize("arguments, square_mm", [
    (["chessboard", "--cols", "7", "--rows", "5", "--square", "0.02"], 20.0),
    (["chessboard", "--cols", "7", "--rows", "5", "--square", "0.0254", "--paper", "A3"], 25.4),
    (["charuco", "--squares-x", "5", "--squares-y", "7", "--square", "0.0255", "--marker", "0.0128",
      "--dictionary", "DICT_6X6_250"], 25.5),
])
def test_squares_on_the_rasterised_vector_page_are_within_half_a_pixel(tmp_path, arguments, square_mm):
    pdf = tmp_path / "board.pdf"
    assert cli.main(["board", *arguments, "-o", str(pdf)]) == 0
    data = pdf.read_bytes()
    assert b"/Image" not in data and b"/DCTDecode" not in data  # no picture inside: shapes only
    printed = load_target_file(tmp_path / "board.json")
    layout = page_layout(printed, parse_paper(arguments[arguments.index("--paper") + 1]
                                              if "--paper" in arguments else "A4"))
    page = rasterise(pdf, DPI, tmp_path)
    px_per_mm = DPI / 25.4
    assert np.allclose(page.shape, (layout.page_h * px_per_mm, layout.page_w * px_per_mm), atol=1.0)
    side = square_mm * px_per_mm
    left, top = layout.pattern_left * px_per_mm, layout.pattern_top * px_per_mm
    # Lines a tenth of a square inside the first row and column of squares, clear of any marker; whether the
    # top-left square is black is read from the library's own drawing of the pattern.
    from quorvane.velk.printing.board_image import pattern_image

    black_first = pattern_image(printed, 100)[2, 2] < 128
    row = page[int(top + 0.1 * side)]
    runs = dark_runs(row)
    first_black = left if black_first else left + side
    starts = [first_black + 2 * side * k for k in range(len(runs))]
    widths = [area for _, _, area in runs]
    assert len(runs) >= 2
    np.testing.assert_allclose(widths, side, atol=0.5)
    # Each black square's left edge where the layout puts it: the darkness starts within half a pixel.
    for (start, end, area), expected in zip(runs, starts):
        darkness = 1.0 - row[start - 2:end + 2].astype(np.float64) / 255.0
        centre = start - 2 + float(np.sum(darkness * np.arange(len(darkness))) / darkness.sum()) + 0.5
        assert abs((centre - area / 2) - expected) < 0.5
    from quorvane.velk.printing.board_shapes import pattern_size_mm

    bottom = int(top + pattern_size_mm(printed)[1] * px_per_mm + side / 2)  # above the caption
    column = page[:bottom, int(first_black + 0.1 * side)]
    vertical = dark_runs(column)
    np.testing.assert_allclose([area for _, _, area in vertical], side, atol=0.5)


def test_printed_charuco_vector_page_matches_the_drawn_pattern(tmp_path):
    """Markers module by module where the library's own board drawing puts them."""
    pdf = tmp_path / "board.pdf"
    assert cli.main(["board", "charuco", "--squares-x", "4", "--squares-y", "3", "--square", "0.03",
                     "--marker", "0.018", "--dictionary", "DICT_4X4_50", "-o", str(pdf)]) == 0
    printed = load_target_file(tmp_path / "board.json")
    from quorvane.velk.printing.board_image import pattern_image

    dpi = 254  # 10 pixels per mm: every module edge (18 mm / 6 modules) on a pixel boundary
    page = rasterise(pdf, dpi, tmp_path)
    layout = page_layout(printed, parse_paper("A4"))
    x0, y0 = round(layout.pattern_left * 10), round(layout.pattern_top * 10)
    drawn = pattern_image(printed, dpi)
    crop = page[y0:y0 + drawn.shape[0], x0:x0 + drawn.shape[1]]
    assert np.mean((crop < 128) != (drawn < 128)) < 0.002  # only anti-aliased edge pixels may differ


@pytest.mark.parametrize("arguments, paper", [
    (["chessboard", "--cols", "7", "--rows", "5", "--square", "0.02"], "A4"),
    (["charuco", "--squares-x", "9", "--squares-y", "7", "--square", "0.03", "--marker", "0.022"], "A2"),
    (["charuco", "--squares-x", "9", "--squares-y", "7", "--square", "0.025", "--marker", "0.018"], "A3"),
    (["chessboard", "--cols", "14", "--rows", "10", "--square", "0.05"], "A0"),
])
def test_auto_paper_is_the_smallest_sheet_that_holds_the_board(tmp_path, capsys, arguments, paper):
    pdf = tmp_path / "board.pdf"
    assert cli.main(["board", *arguments, "-o", str(pdf), "--paper", "auto"]) == 0
    assert f"({paper}, vector shapes)" in capsys.readouterr().out
    width, height = (float(v) for v in re.search(rb"/MediaBox \[0 0 ([\d.]+) ([\d.]+)\]", pdf.read_bytes()).groups())
    expected = parse_paper(paper)
    assert sorted([width * 25.4 / 72, height * 25.4 / 72]) == pytest.approx(
        sorted([expected.width_mm, expected.height_mm]), abs=0.01)
    # Nothing smaller would do: the next sheet down refuses the board.
    smaller = {"A2": "A3", "A3": "A4", "A0": "A1"}.get(paper)
    if smaller:
        assert cli.main(["board", *arguments, "-o", str(tmp_path / "small.pdf"), "--paper", smaller]) == 2


def test_auto_paper_refuses_a_board_larger_than_A0(tmp_path, capsys):
    assert cli.main(["board", "chessboard", "--cols", "30", "--rows", "20", "--square", "0.05", "-o",
                     str(tmp_path / "b.pdf"), "--paper", "auto"]) == 2
    assert "does not fit on any sheet up to A0" in capsys.readouterr().err
    printed = printed_from_json({"kind": "chessboard", "cols": 3, "rows": 2, "square_size": 0.01})
    assert smallest_paper(printed).name == "A4"


def test_caption_is_text_and_square_edges_are_exact_in_the_content(tmp_path):
    pdf = tmp_path / "board.pdf"
    assert cli.main(["board", "chessboard", "--cols", "4", "--rows", "3", "--square", "0.0123", "-o", str(pdf)]) == 0
    text = content_stream(pdf.read_bytes())
    assert "(one square = 12.30 mm" not in text  # the caption line holds more than that
    assert "one square = 12.30 mm" in text and "Target file: board.json" in text
    widths = {float(m) for m in re.findall(r"\S+ \S+ (\S+) \S+ re", text)}
    assert 12.3 in widths  # squares drawn 12.3 mm wide, exactly
