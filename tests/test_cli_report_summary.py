"""The report's summary lifts every section's warnings above the checks, a passing result with warnings does not read
as a plain PASS, every picture keeps its name in every plot and has a tile, and the console text closes the page
folded. On the real eye-to-hand photographs with one picture that shows no board."""

import contextlib
import html
import io
import json
import re
import shutil

import numpy as np
import pytest

from quorvane.velk import cli
from quorvane.velk.report import document, sections
from quorvane.velk.report.summary import Summary
from quorvane.velk.verdict import Check, Verdict

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

BLANK = 3  # image_3.png shows no board


@pytest.fixture(scope="module")
def blank_picture_run(eye_to_hand_photo_dataset, tmp_path_factory):
    """(page, record, console output) of velk hand-eye --eye-to-hand on the photographs, image_3.png blanked."""
    import cv2

    source, target = eye_to_hand_photo_dataset
    folder = tmp_path_factory.mktemp("blank") / "data"
    shutil.copytree(source, folder)
    picture = cv2.imread(str(folder / f"image_{BLANK}.png"))
    cv2.imwrite(str(folder / f"image_{BLANK}.png"), np.full_like(picture, 128))
    report, out = folder.parent / "report.html", folder.parent / "out"
    console = io.StringIO()
    with contextlib.redirect_stdout(console):
        code = cli.main(["hand-eye", str(folder), "--target", str(target), "--eye-to-hand", "--distortion-model",
                         "k1k2", "--no-validate", "-o", str(out), "--report", str(report)])
    assert code == 0  # the exit code stays the verdict's
    return report.read_text(), json.loads((out / "eye_to_hand.json").read_text()), console.getvalue()


def figure_texts(page, key):
    block = re.search(rf'<section id="{key}">.*?</section>', page, re.S).group(0)
    return [html.unescape(t) for t in re.findall(r"<text[^>]*>([^<]*)</text>", block)]


def test_a_warning_is_lifted_above_the_checks_and_the_pass(blank_picture_run):
    page, record, console = blank_picture_run
    verdict = re.search(r'<p class="verdict (\w+)" id="verdict">([^<]*)', page)
    assert verdict.group(1) == "warn" and verdict.group(2).startswith("Verdict: PASS with 1 warning")
    warnings = [html.unescape(w) for w in re.findall(r'<li class="warning">([^<]*)</li>', page)]
    assert warnings == [f"Pictures: 1 of 16 not used: {BLANK} (image_{BLANK}.png) (Not enough ChArUco corners)"]
    assert page.index('id="verdict"') < page.index('id="warnings"') < page.index('id="checks"')
    # The console and the record state the same verdict line and warnings as the page.
    assert html.unescape(verdict.group(2)).strip() in console.splitlines()
    assert f"  warning: {warnings[0]}" in console.splitlines()
    assert record["verdict"]["text"] == html.unescape(verdict.group(2)).strip()
    assert record["verdict"]["warnings"] == warnings


def test_every_picture_has_a_tile_and_one_name_in_every_plot(blank_picture_run):
    page, record, _ = blank_picture_run
    captions = [html.unescape(c) for c in re.findall(r"<figcaption>([^<]*)<br>", page)]
    assert [c.split(":")[0] for c in captions] == [f"frame {k} (image_{k}.png)" for k in range(16)]
    assert captions[BLANK].endswith("not used - Not enough ChArUco corners")
    used = [f"frame {int(name[6:-4])} ({name})" for name in record["image_names"]]
    assert f"image_{BLANK}.png" not in record["image_names"] and len(used) == 15
    for key in ("view-errors", "consistency"):
        assert [t for t in figure_texts(page, key) if t.startswith("frame ")] == used, key
    assert page.index('<section id="console">') > page.index('<section id="pictures">')
    assert re.search(r'<section id="console">.*<details id="console-text">.*<pre>', page, re.S)


@pytest.mark.parametrize("spread, dist, lifted", [(0.15, [-0.35, 0.25, 0, 0, 0.4], True),
                                                  (0.9, [-0.1, 0.02, 0, 0, 0], False)])
def test_extrapolated_distortion_turns_a_pass_into_a_pass_with_warnings(spread, dist, lifted):
    camera = np.array([[800.0, 0, 640], [0, 800, 480], [0, 0, 1]])
    xs, ys = np.meshgrid(np.linspace(640 - 640 * spread, 640 + 640 * spread, 8),
                         np.linspace(480 - 480 * spread, 480 + 480 * spread, 6))
    corners = [np.stack([xs.ravel(), ys.ravel()], axis=1)]
    verdict = Verdict([Check("reprojection RMS", True, "0.2 px", "1 px")], subject="intrinsic")
    page = document.render_document("t", [
        sections.summary_section(Summary(rms_px=0.2), verdict),
        sections.distortion_section(camera, np.array(dist), (1280, 960), corners)])
    summary = re.search(r'<section id="summary">.*?</section>', page, re.S).group(0)
    assert ("Distortion: outside the observed corners" in summary) == lifted
    assert ("PASS with 1 warning" in summary) == lifted and ('class="verdict pass"' in summary) != lifted
