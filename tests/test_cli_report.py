"""The HTML report: plot contents against the calibration data, and the page as a real browser shows it."""

import re
import shutil
import subprocess

import numpy as np
import pytest

import _velk
import cli_data
import render_cache
from quorvane.velk import cli
from quorvane.velk.report.coverage import coverage_grid

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.fixture(scope="module")
def intrinsic_report(rendered_intrinsic_scene, tmp_path_factory):
    """An intrinsics report of ten rendered ChArUco views, with what the library found in them."""
    target, views = rendered_intrinsic_scene("charuco")
    images = [v.image for v in views[:10]]
    folder = tmp_path_factory.mktemp("report")
    data = cli_data.write_hand_eye_dataset(folder / "views", images, cli_data.identity_poses(10))
    target_file = cli_data.write_target(folder / "t.json", target)
    report = folder / "report.html"
    assert cli.main(["intrinsics", str(data), "--target", str(target_file), "-o", str(folder),
                     "--report", str(report), "--per-view-error-threshold", "0.3"]) == 0
    calibrator = _velk.IntrinsicCalibrator(target)
    result = calibrator.calibrate(images)
    return report, result, calibrator.detections(), images


def ids(page, prefix):
    return re.findall(rf'id="({prefix}[^"]*)"', page)


def test_one_bar_per_view_coloured_by_the_threshold(intrinsic_report):
    report, result, _, _ = intrinsic_report
    page = report.read_text()
    assert len(ids(page, "view-error-bar-")) == len(result.successful_indices) == 10
    assert len(ids(page, "view-error-threshold")) == 1
    assert "threshold 0.3 px" in page
    above = sum(e > 0.3 for e in result.per_view_errors)
    assert f"{above} above the 0.3 px threshold" in page


def test_heatmap_cells_are_the_cells_with_detected_corners(intrinsic_report):
    report, _, detections, images = intrinsic_report
    counts = coverage_grid(detections.image_points, (images[0].shape[1], images[0].shape[0]))
    cells = set(ids(report.read_text(), "coverage-cell-"))
    expected = {f"coverage-cell-{r}-{c}" for r, c in zip(*np.nonzero(counts))}
    assert cells == expected and 0 < len(cells) < counts.size
    assert counts.sum() == sum(len(np.asarray(p).reshape(-1, 2)) for p in detections.image_points)


def test_page_is_self_contained(intrinsic_report):
    page = intrinsic_report[0].read_text()
    assert "<script" not in page.lower()
    assert not re.search(r'(src|href)="(https?:)?//', page)
    # held-out prediction (velk intrinsics validates by default), view errors, residuals, coverage, distortion
    assert page.count("<svg") == 5


def test_coverage_grid_counts_corners_per_cell():
    points = [np.array([[0.0, 0.0], [799.0, 599.0], [405.0, 10.0]]), np.array([[405.0, 20.0]])]
    counts = coverage_grid(points, (800, 600), cells=(2, 2))
    np.testing.assert_array_equal(counts, [[1, 2], [0, 1]])


def test_report_in_headless_chromium(intrinsic_report, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("Chromium is not installed (Debian package chromium; scripts/setup.sh installs it)")
    import cv2

    report = intrinsic_report[0]
    shot = tmp_path / "shot.png"
    run = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                          "--enable-logging=stderr", "--v=0", "--window-size=1100,2400",
                          f"--screenshot={shot}", report.as_uri()],
                         capture_output=True, text=True, timeout=120)
    assert shot.exists(), run.stderr[-2000:]
    console = [line for line in run.stderr.splitlines() if "CONSOLE" in line or "Uncaught" in line]
    assert console == []
    image = cv2.imread(str(shot), cv2.IMREAD_GRAYSCALE)
    assert image.shape == (2400, 1100)
    assert image.std() > 20  # not a blank page
    # Plots were drawn: plenty of pixels that are neither white page nor black text.
    assert np.mean((image > 30) & (image < 220)) > 0.02


# --------------------------------------------------------------------------
# The report of a refined hand-eye calibration: summary first, every plot from the model that was saved.

PER_VIEW_LINE = re.compile(r"Per-view RMS \[px\]:((?: [\d.]+)+)")


def chart_values(page):
    """(label texts, bar heights in the SVG's units) of the per-view error chart, bar by bar."""
    labels = dict(re.findall(r'<g id="view-error-label-(\d+)">\s*<text[^>]*>([^<]*)</text>', page))
    heights = {}
    for k, path in re.findall(r'<g id="view-error-bar-(\d+)">\s*<path d="([^"]*)"', page):
        ys = [float(v) for v in re.findall(r"[ML] [-\d.]+ ([-\d.]+)", path)]
        heights[k] = max(ys) - min(ys)
    keys = sorted(labels, key=int)
    assert sorted(heights, key=int) == keys
    return [float(labels[k]) for k in keys], [heights[k] for k in keys]


@pytest.fixture(scope="module")
def eye_to_hand_demo():
    from quorvane.velk import demo

    with render_cache.active():
        return demo.simulate_eye_to_hand(num_poses=10, seed=4, robot_error=(0.3, 0.03))


@pytest.mark.parametrize("eye_to_hand", [False, True], ids=["eye-in-hand", "eye-to-hand"])
@pytest.mark.parametrize("noise", [[], ["--robot-noise", "0", "0"]], ids=["robot-noise-estimated", "robot-exact"])
def test_per_view_chart_shows_the_per_view_rms_the_library_prints(eye_in_hand_scene, eye_to_hand_demo, tmp_path,
                                                                   capfd, eye_to_hand, noise):
    scene = eye_to_hand_demo if eye_to_hand else eye_in_hand_scene
    folder = cli_data.write_hand_eye_dataset(tmp_path / "data", scene.images, scene.robot_T_tcp_list)
    target = cli_data.write_target(tmp_path / "target.json", scene.target)
    report = tmp_path / "report.html"
    capfd.readouterr()
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "--report", str(report), "--no-validate",
                     *(["--eye-to-hand"] if eye_to_hand else []), *noise]) == 0
    printed = [float(v) for v in PER_VIEW_LINE.search(capfd.readouterr().out).group(1).split()]
    page = report.read_text()
    labels, heights = chart_values(page)
    assert len(labels) == len(printed) == len(scene.images)
    np.testing.assert_allclose(labels, printed, atol=0.0051)  # labels carry two decimals
    # Bar heights are proportional to the printed values (to the SVG's coordinate rounding).
    ratios = np.array(heights) / np.array(printed)
    np.testing.assert_allclose(ratios, ratios.mean(), rtol=2e-3)
    # The chart's source says whether the refinement refined the intrinsics, as the record does.
    load = _velk.io.load_eye_to_hand_result if eye_to_hand else _velk.io.load_hand_eye_result
    record = load(str(folder / ("eye_to_hand.json" if eye_to_hand else "hand_eye.json")))
    assert ("refined intrinsics" in page) == ("intrinsics" in record.refinement_applied.what)
    # The residual arrows are those of the worst view of the chart, under the same model: the same RMS.
    worst = int(np.argmax(printed))
    title = re.search(r"frame (\d+)(?: \(image_\d+\.png\))? \(largest error\): residuals x [\d.]+ \(RMS ([\d.]+) px, largest", page)
    assert title is not None and int(title.group(1)) == worst
    assert float(title.group(2)) == pytest.approx(printed[worst], abs=0.006)
    # The summary opens the page, the console text closes it.
    sections = re.findall(r'<section id="([^"]+)">', page)
    assert sections[0] == "summary" and sections[-1] == "console"
    assert "Reprojection RMS: <b>" in page and "1-sigma" in page


def test_summary_shows_the_saved_transform_in_mm_and_deg(hand_eye_report_run):
    page, record = hand_eye_report_run
    row = re.search(r'<tr class="saved-transform"><td class="name">tcp_T_camera</td>((?:<td>[^<]*</td>){6})', page)
    values = [float(v) for v in re.findall(r"<td>([^<]*)</td>", row.group(1))]
    pose = _velk.tf.transformation_matrix_to_pose(np.asarray(record.tcp_T_camera_list[0]))
    np.testing.assert_allclose(values[:3], np.array(pose[:3]) * 1000.0, atol=0.006)
    np.testing.assert_allclose(values[3:], pose[3:], atol=0.0006)
    rms = float(re.search(r"Reprojection RMS: <b>([\d.]+) px</b>", page).group(1))
    assert 0.05 < rms < 2.0
    assert page.count('class="saved-row"') == 1 and page.count('class="method-row"') == 5
    assert 'id="pictures"' in page and page.count('class="thumb"') == record.num_frames_used


@pytest.fixture(scope="module")
def hand_eye_report_run(eye_in_hand_scene, tmp_path_factory):
    folder = tmp_path_factory.mktemp("summary")
    data = cli_data.write_hand_eye_dataset(folder / "data", eye_in_hand_scene.images,
                                           eye_in_hand_scene.robot_T_tcp_list)
    target = cli_data.write_target(folder / "target.json", eye_in_hand_scene.target)
    report = folder / "report.html"
    assert cli.main(["hand-eye", str(data), "--target", str(target), "--report", str(report), "--compare",
                     "--no-validate", "--quiet"]) == 0
    return report.read_text(), _velk.io.load_hand_eye_result(data / "hand_eye.json")


def test_summary_renders_a_given_verdict_and_its_checks():
    from types import SimpleNamespace

    from quorvane.velk.report.summary import Check, Summary, summary_html

    own = Summary(rms_px=0.8, checks=[Check("Reprojection RMS", True, "own figure")])
    verdict = SimpleNamespace(text="Result not trustworthy: poses shifted by one picture", code=1,
                              checks=[("Target consistency", False, "305 mm spread"), ("Rotation variety", True,
                                                                                      "12 motions")])
    page = summary_html(own, verdict)
    assert page.startswith('<p class="verdict fail" id="verdict">Result not trustworthy: poses shifted')
    assert "(exit code 1)" in page and page.count('<tr class="check">') == 2
    assert '<td class="fail">FAIL</td><td class="detail">305 mm spread' in page
    assert "own figure" not in page and "<b>0.800 px</b>" in page  # the verdict's checks replace the report's own
    assert "verdict" not in summary_html(own) and "own figure" in summary_html(own)


@pytest.mark.parametrize("angle, reference, expected", [
    (-179.9, 179.9, 180.1), (179.9, -179.9, -180.1), (10.0, 20.0, 10.0), (370.0, 0.0, 10.0), (-90.0, 170.0, 270.0),
])
def test_method_table_angles_within_half_a_turn_of_the_saved_result(angle, reference, expected):
    from quorvane.velk.report.method_table import wrap_near

    assert wrap_near(angle, reference) == pytest.approx(expected)


def test_method_table_has_the_saved_row_and_distances_across_the_wrap():
    from types import SimpleNamespace

    from quorvane.velk.report.method_table import table_html
    from quorvane.velk.report.summary import SavedTransform

    saved = _velk.tf.pose_to_transformation_matrix([0.1, 0.0, 0.2, 0.0, 0.0, 179.9])
    other = _velk.tf.pose_to_transformation_matrix([0.1, 0.0, 0.201, 0.0, 0.0, -179.9])
    methods = {"TSAI": SimpleNamespace(pose_deg=[0.1, 0.0, 0.201, 0.0, 0.0, -179.9], tcp_T_camera=other),
               "PARK": None}
    page = table_html(methods, "verdict text", SavedTransform("saved (refined)", saved))
    rows = re.findall(r"<tr class=\"(saved-row|method-row)\">(.*?)</tr>", page)
    assert [kind for kind, _ in rows] == ["saved-row", "method-row", "method-row"]
    tsai = re.findall(r"<td>([^<]*)</td>", rows[1][1])
    assert float(tsai[5]) == pytest.approx(180.1, abs=0.01)  # rz beside the saved 179.9
    assert float(tsai[6]) == pytest.approx(1.0, abs=0.01) and float(tsai[7]) == pytest.approx(0.2, abs=0.002)
    assert "failed" in rows[2][1]


@pytest.mark.parametrize("spread, dist, warned", [
    (0.15, [-0.35, 0.25, 0, 0, 0.4], True),  # a strong polynomial, seen only in the middle of the image
    (0.9, [-0.1, 0.02, 0, 0, 0], False),  # a mild lens seen almost to the image edges
])
def test_distortion_plot_marks_and_warns_about_the_extrapolated_region(spread, dist, warned):
    from quorvane.velk.report import distortion

    camera = np.array([[800.0, 0, 640], [0, 800, 480], [0, 0, 1]])
    dist = np.array(dist)
    xs, ys = np.meshgrid(np.linspace(640 - 640 * spread, 640 + 640 * spread, 8),
                         np.linspace(480 - 480 * spread, 480 + 480 * spread, 6))
    corners = [np.stack([xs.ravel(), ys.ravel()], axis=1)]
    _, _, inside, largest_in, largest_out, hull = distortion.field_summary(camera, dist, (1280, 960), corners)
    assert 0 < inside.sum() < len(inside)
    assert bool(distortion.extrapolation_warning(largest_in, largest_out)) == warned
    svg = distortion.figure_svg(camera, dist, (1280, 960), corners)
    assert 'id="distortion-extrapolated"' in svg and 'id="distortion-observed"' in svg
    assert "x [px]" in svg and "y [px]" in svg


@pytest.mark.parametrize("dist, scale_shown", [([0.0] * 5, False), ([-0.1, 0.02, 0, 0, 0], True)])
def test_distortion_plot_has_a_colour_scale_only_for_a_lens_that_distorts(dist, scale_shown):
    from quorvane.velk.report import distortion

    camera = np.array([[800.0, 0, 640], [0, 800, 480], [0, 0, 1]])
    svg = distortion.figure_svg(camera, np.array(dist), (1280, 960))
    assert ("displacement [px]" in svg) == scale_shown and ('id="distortion-none"' in svg) != scale_shown


def test_intrinsic_report_headline_is_the_rms_over_every_corner(intrinsic_report):
    """Not the per-view mean of the error norm over the corner count (result.reprojection_error)."""
    report, result, detections, _ = intrinsic_report
    page = report.read_text()
    headline = float(re.search(r"Reprojection RMS: <b>([\d.]+) px</b>", page).group(1))
    counts = np.array([len(np.asarray(p).reshape(-1, 2)) for p in detections.image_points])
    errors = np.asarray(result.per_view_errors)
    assert headline == pytest.approx(np.sqrt(np.sum(counts * errors ** 2) / counts.sum()), abs=6e-4)
    assert min(errors) - 1e-3 <= headline <= max(errors) + 1e-3
    sections = re.findall(r'<section id="([^"]+)">', page)
    assert sections[0] == "summary" and sections[-1] == "console"
    assert page.count('class="thumb"') == 10


def test_rig_report_residuals_agree_with_its_per_view_chart(rendered_rig, tmp_path, capfd):
    import rig_scene  # importable once the rendered_rig fixture has run

    folder = cli_data.write_rig_dataset(tmp_path / "rig", rig_scene.image_lists(rendered_rig))
    target = cli_data.write_target(tmp_path / "t.json", rendered_rig.target)
    report = tmp_path / "rig.html"
    assert cli.main(["rig", str(folder), "--target", str(target), "--report", str(report), "--quiet"]) == 0
    page = report.read_text()
    labels, _ = chart_values(page)
    cameras = len(rig_scene.image_lists(rendered_rig))
    frames = len(rig_scene.image_lists(rendered_rig)[0])
    assert len(labels) == cameras * frames
    assert np.all(np.array(labels) > 0)
    title = re.search(r"(cam_\d+ frame \d+) \(largest error\): residuals x [\d.]+ \(RMS ([\d.]+) px", page)
    assert title is not None and float(title.group(2)) == pytest.approx(max(labels), abs=0.006)
    assert [s for s in re.findall(r'<section id="([^"]+)">', page) if s.startswith("distortion")] == [
        f"distortion-cam_{k}" for k in range(cameras)]
    assert page.count('class="thumb"') == cameras * frames
    sections = re.findall(r'<section id="([^"]+)">', page)
    assert sections[0] == "summary" and sections[-1] == "console"
    assert "cam_0 (reference)" in page and page.count('<tr class="sigma">') == cameras - 1
