"""Every kind of report against what its command printed: the summary's figures, the verdict's checks and the
pictures' names are the console's, and the page renders in headless Chromium. Intrinsics on the real stereo
photographs, eye-to-hand and velk check on the real eye-to-hand photographs, eye-in-hand and the rig on rendered
scenes, and a capture plan."""

import contextlib
import html
import io
import json
import re
import shutil
import subprocess

import numpy as np
import pytest

import cli_data
from conftest import SHARED_DATA
from quorvane.velk import cli, demo

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

KINDS = ["intrinsics", "eye-in-hand", "eye-to-hand", "rig", "check", "plan"]


def run(arguments) -> str:
    """What the command printed on standard output; it ends with a verdict (exit code 0 or 1), not an error."""
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        assert cli.main(arguments) in (0, 1)
    return printed.getvalue()


def intrinsics(folder, _):
    photos = cli_data.copy_photographs(folder / "left", sorted((SHARED_DATA / "stereo-chessboard").glob("left*.jpg")))
    target = folder / "target.json"
    target.write_text('{"kind": "chessboard", "cols": 9, "rows": 6, "square_size": 0.025}')
    return ["intrinsics", str(photos), "--target", str(target), "--distortion-model", "k1k2pk3", "-o", str(folder)]


def eye_in_hand(folder, fixtures):
    scene = fixtures.getfixturevalue("eye_in_hand_scene")
    data = cli_data.write_hand_eye_dataset(folder / "data", scene.images, scene.robot_T_tcp_list)
    target = cli_data.write_target(folder / "target.json", scene.target)
    return ["hand-eye", str(data), "--target", str(target), "--compare", "--no-validate", "-o", str(folder)]


def eye_to_hand(folder, fixtures):
    data, target = fixtures.getfixturevalue("eye_to_hand_photo_dataset")
    return ["hand-eye", str(data), "--target", str(target), "--eye-to-hand", "--compare", "--distortion-model",
            "k1k2", "-o", str(folder)]


def rig(folder, fixtures):
    scene = fixtures.getfixturevalue("rendered_rig")
    import rig_scene

    data = cli_data.write_rig_dataset(folder / "rig", rig_scene.image_lists(scene))
    target = cli_data.write_target(folder / "target.json", scene.target)
    return ["rig", str(data), "--target", str(target), "--no-validate", "-o", str(folder)]


def check(folder, fixtures):
    data, target = fixtures.getfixturevalue("eye_to_hand_photo_dataset")
    return ["check", str(data), "--target", str(target), "--eye-to-hand", "--distortion-model", "k1k2"]


def plan(folder, _):
    target = folder / "target.json"
    target.write_text('{"kind": "chessboard", "cols": 9, "rows": 6, "square_size": 0.025}')
    return ["plan", "--target", str(target), "--fov", "65", "--fixed", *map(str, demo.WORLD_T_TARGET_POSE),
            "--hand-eye", *map(str, demo.TRUE_TCP_T_CAMERA_POSE), "--candidates", "150", "--poses", "6",
            "-o", str(folder / "plan.csv")]


COMMANDS = {"intrinsics": intrinsics, "eye-in-hand": eye_in_hand, "eye-to-hand": eye_to_hand, "rig": rig,
            "check": check, "plan": plan}


@pytest.fixture(scope="module", params=KINDS)
def report_run(request, tmp_path_factory):
    """(kind, page, console output, folder) of one command run with --report."""
    folder = tmp_path_factory.mktemp(request.param)
    report = folder / "report.html"
    out = run([*COMMANDS[request.param](folder, request), "--report", str(report)])
    return request.param, report.read_text(), out, folder


def texts(page, key):
    """The texts of a section's figure (tick labels, titles), in order."""
    block = re.search(rf'<section id="{key}">.*?</section>', page, re.S).group(0)
    return [html.unescape(t) for t in re.findall(r"<text[^>]*>([^<]*)</text>", block)]


def summary_of(page):
    return re.search(r'<section id="summary">.*?</section>', page, re.S).group(0)


def console_checks(out):
    return re.findall(r"^  \[(pass|FAIL|n/a)\] ([^:]+): (.*)$", out, re.M)


def page_checks(page):
    rows = re.findall(r'<tr class="check"><td class="name">([^<]*)</td><td class="(\w+)">[^<]*</td>'
                      r'<td class="detail">([^<]*)</td>', page)
    marks = {"pass": "pass", "fail": "FAIL", "info": "n/a"}
    return [(marks[mark], html.unescape(name), html.unescape(detail)) for name, mark, detail in rows]


def test_summary_figures_are_the_consoles(report_run):
    kind, page, out, folder = report_run
    summary = summary_of(page)
    if kind != "plan":
        assert page_checks(summary) == console_checks(out) != []
        verdict = re.search(r"^Verdict: (PASS|FAIL)", out, re.M).group(1)
        assert re.search(rf'id="verdict">Verdict: {verdict}', summary)
    if kind == "intrinsics":
        printed = float(re.search(r"Reprojection RMS: ([\d.]+) px over every corner", out).group(1))
        assert re.search(r"Reprojection RMS: <b>([\d.]+) px", summary).group(1) == f"{printed:.3f}"
        # The verdict judges the same RMS and the record keeps it; the library's mean of |e|/N has its own name.
        assert re.search(r"\[\w+\] reprojection RMS: ([\d.]+) px", out).group(1) == f"{printed:.3f}"
        record = json.loads((folder / "intrinsics.json").read_text())
        assert f"{record['rms_px']:.4f}" == f"{printed:.4f}" and record["reprojection_error"] < record["rms_px"]
    if kind in ("eye-in-hand", "eye-to-hand"):
        rms, corners = re.search(r"Reprojection RMS: ([\d.]+) px over (\d+) corners", out).groups()
        assert f"Reprojection RMS: <b>{rms} px</b> over {corners} corners" in summary
        xyz = re.search(r"x, y, z = ([-\d., ]+) mm", out).group(1).split(", ")
        angles = re.search(r"rx, ry, rz = ([-\d., ]+) deg", out).group(1).split(", ")
        row = re.search(r'<tr class="saved-transform">.*?</tr>', summary).group(0)
        assert re.findall(r"<td>([^<]*)</td>", row) == xyz + angles
    if kind in ("eye-in-hand", "eye-to-hand", "check"):
        sentence = re.search(r">>> (All|\d+ of|The solvers|Only)(.*)$", out, re.M).group(0)[4:]
        assert html.unescape(re.search(r'id="solver-agreement">([^<]*)', page).group(1)) == sentence
    if kind == "plan":
        last = re.findall(r"^\s+\d+ poses: (.*) \(\d+ corners seen\)$", out, re.M)[-1]
        row = re.findall(r'<tr class="planned-pose">.*?</tr>', page)[-1]
        cell = re.search(r'<td class="detail">([^<]*)</td>', row).group(1)
        assert cell == last.replace("translation ", "").replace("| rotation ", "| ")


def test_pictures_are_named_as_the_console_names_them(report_run):
    kind, page, out, folder = report_run
    captions = [html.unescape(c).split(":")[0] for c in re.findall(r"<figcaption>([^<]*)<br>", page)]
    if kind == "intrinsics":
        names = sorted(p.name for p in (SHARED_DATA / "stereo-chessboard").glob("left*.jpg"))
        assert captions == names
        charted = [t for t in texts(page, "view-errors") if t.startswith("left")]
        assert set(charted) <= set(names) and len(charted) == len(re.findall(r'id="view-error-bar-', page))
    elif kind in ("eye-in-hand", "eye-to-hand"):
        frames = [f"frame {k} ({name})" for k, name in re.findall(r"^  Frame (\d+) \(([^)]+)\): trans=", out, re.M)]
        assert frames and [t for t in texts(page, "consistency") if t.startswith("frame ")] == frames
        assert [t for t in texts(page, "view-errors") if t.startswith("frame ")] == frames
        assert captions == frames  # every picture was used
    elif kind == "rig":
        assert captions == [f"cam_{c} frame {f}" for c in range(3) for f in range(15)]
    elif kind == "plan":
        pictures = re.findall(r'<td class="name">(image_\d+)</td>', page)
        assert pictures == [f"image_{k}" for k in range(6)]


def test_the_report_renders_in_headless_chromium(report_run, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("Chromium is not installed (Debian package chromium; scripts/setup.sh installs it)")
    import cv2

    kind, _, _, folder = report_run
    shot = tmp_path / f"{kind}.png"
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--window-size=1100,1600", f"--screenshot={shot}", (folder / "report.html").as_uri()],
                   capture_output=True, text=True, timeout=120)
    image = cv2.imread(str(shot))
    assert image is not None and image.shape[:2] == (1600, 1100)
    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    assert grey.std() > 20  # not a blank page
    if kind != "plan":
        # The verdict's bar (green, amber or red) is drawn near the top of the page.
        top = image[:500].reshape(-1, 3).astype(int)
        coloured = (np.abs(top[:, 1] - top[:, 2]) > 60) | (np.abs(top[:, 0] - top[:, 2]) > 60)
        assert coloured.mean() > 0.001
