"""The HTML report: plot contents against the calibration data, and the page as a real browser shows it."""

import re
import shutil
import subprocess

import numpy as np
import pytest

import _velk
from quorvane.velk import cli
from quorvane.velk.report.coverage import coverage_grid

import cli_data

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
