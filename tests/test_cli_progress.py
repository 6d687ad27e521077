"""Progress bars: shown only on a terminal, following image loading and the core's detection hook, changing nothing."""

import json

import numpy as np
import pytest

import cli_data
from quorvane.velk import cli, progress
from quorvane.velk.progress import Progress


class TerminalStream:
    """A standard error that says it is a terminal and keeps what is written to it."""

    def __init__(self):
        self.text = ""

    def isatty(self):
        return True

    def write(self, text):
        self.text += text

    def flush(self):
        pass


@pytest.mark.parametrize("quiet, terminal, shown", [(False, True, True), (True, True, False),
                                                     (False, False, False)])
def test_bars_only_on_a_terminal_without_quiet(monkeypatch, quiet, terminal, shown):
    stream = TerminalStream()
    if not terminal:
        stream.isatty = lambda: False
    monkeypatch.setattr(progress.sys, "stderr", stream)
    reporter = Progress.for_stderr(quiet)
    assert reporter.enabled is shown
    with reporter.bar(3, "Loading images") as advance:
        for done in range(1, 4):
            advance(done)
    assert ("Loading images" in stream.text) is shown


class OptionsWithHook:
    progress_callback = None


def test_detection_hook_drives_the_bar_and_is_removed_afterwards(monkeypatch):
    stream = TerminalStream()
    monkeypatch.setattr(progress.sys, "stderr", stream)
    options = OptionsWithHook()
    with Progress(True).detection(options, 4) as given:
        assert given is options and callable(options.progress_callback)
        for done in range(1, 5):
            options.progress_callback(done, 4)
    assert options.progress_callback is None
    assert "Detecting targets" in stream.text and "4/4" in stream.text


def test_detection_batches_of_several_cameras_add_up(monkeypatch):
    stream = TerminalStream()
    monkeypatch.setattr(progress.sys, "stderr", stream)
    options = OptionsWithHook()
    with Progress(True).detection(options, 6) as given:
        for camera in range(3):
            for done in (1, 2):
                given.progress_callback(done, 2)
    assert "6/6" in stream.text and "7/6" not in stream.text


def test_options_without_a_hook_are_left_alone():
    options = object()
    with Progress(True).detection(options, 4) as given:
        assert given is options


def test_results_are_the_same_with_and_without_the_bars(rendered_intrinsic_scene, tmp_path, monkeypatch):
    target, views = rendered_intrinsic_scene("chessboard")
    folder = cli_data.write_hand_eye_dataset(tmp_path / "views", [v.image for v in views[:6]],
                                             cli_data.identity_poses(6))
    target_file = cli_data.write_target(tmp_path / "t.json", target)
    records = []
    for shown in (False, True):
        monkeypatch.setattr(progress.Progress, "for_stderr", classmethod(lambda cls, quiet: cls(shown)))
        monkeypatch.setattr(progress.sys, "stderr", TerminalStream())
        out = tmp_path / f"k{int(shown)}.json"
        assert cli.main(["intrinsics", str(folder), "--target", str(target_file), "-o", str(out)]) == 0
        records.append(json.loads(out.read_text()))
    plain, with_bars = records
    assert plain["views"] == with_bars["views"]
    np.testing.assert_allclose(plain["camera_matrix"], with_bars["camera_matrix"], rtol=1e-9)
    np.testing.assert_allclose(plain["per_view_errors"], with_bars["per_view_errors"], rtol=1e-9)
