"""A run killed part way, a run on a full disk and two runs into one folder: every file the runs write is either
its previous complete version, a complete new one or absent, and the dataset is never touched."""

import hashlib
import json
import os
import resource
import signal
import subprocess
import time

import pytest

import cli_data
from quorvane.velk import cli
from quorvane.velk.commands.output_locks import LOCK_NAME

OUTPUTS = ("hand_eye.json", "report.html")
KILL_POINTS = 20


@pytest.fixture(scope="module")
def capture(eye_in_hand_scene, tmp_path_factory):
    root = tmp_path_factory.mktemp("interrupted")
    folder = cli_data.write_hand_eye_dataset(root / "data", eye_in_hand_scene.images,
                                             eye_in_hand_scene.robot_T_tcp_list)
    return folder, cli_data.write_target(root / "target.json", eye_in_hand_scene.target)


def _arguments(capture, out):
    folder, target = capture
    return ["hand-eye", str(folder), "--target", str(target), "-o", str(out), "--report", str(out / "report.html"),
            "--quiet"]


def _command(python_executable, capture, out):
    return [python_executable, "-m", "quorvane.velk", *_arguments(capture, out)]


def _fingerprint(folder):
    return {path.name: hashlib.sha256(path.read_bytes()).hexdigest() for path in sorted(folder.iterdir())}


def _whole(name, data: bytes) -> bool:
    if name.endswith(".json"):
        try:
            return "verdict" in json.loads(data)
        except ValueError:
            return False
    return data.rstrip().endswith(b"</html>")


def _outputs(out):
    return {name: (out / name).read_bytes() for name in OUTPUTS if (out / name).exists()}


def _leftovers(out):
    return sorted(path.name for path in out.iterdir() if path.name.startswith("."))


def test_a_run_killed_at_any_point_leaves_each_file_whole_and_the_dataset_untouched(capture, python_executable,
                                                                                       tmp_path):
    out = tmp_path / "out"
    dataset = _fingerprint(capture[0])
    command = _command(python_executable, capture, out)
    started = time.monotonic()
    subprocess.run(command, check=True, capture_output=True)
    duration = time.monotonic() - started
    for point in range(KILL_POINTS):
        previous = _outputs(out)
        run = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(duration * (point + 0.5) / KILL_POINTS)
        run.send_signal(signal.SIGKILL)
        run.wait()
        for name, data in _outputs(out).items():
            assert data == previous.get(name) or _whole(name, data), f"{name} cut by a kill at point {point}"
    assert _fingerprint(capture[0]) == dataset
    # The next run finds the lock of a killed one, removes what it left and ends with nothing left over.
    finished = subprocess.run(command, capture_output=True, text=True)
    assert finished.returncode == 0, finished.stderr
    assert all(_whole(name, data) for name, data in _outputs(out).items()) and len(_outputs(out)) == 2
    assert _leftovers(out) == []


def _fill_small_disk(out):
    """Mounts a small file system at ``out`` (root only); returns a function that fills it but for two pages:
    room for the run's lock file, not for its record."""
    out.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(out)],
                                           capture_output=True).returncode != 0:
        pytest.skip("no small file system can be mounted here")

    def fill():
        with open(out / "filler", "wb", buffering=0) as stream:
            try:
                while True:
                    stream.write(b"\0" * 4096)
            except OSError:
                pass
        os.truncate(out / "filler", (out / "filler").stat().st_size - 8192)

    return fill


def _limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (2048, 2048))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


@pytest.mark.parametrize("disk", ["full file system", "file size limit"])
def test_a_run_whose_writes_fail_keeps_the_previous_files_and_says_why(capture, python_executable, tmp_path, disk):
    out = tmp_path / "out"
    fill = _fill_small_disk(out) if disk == "full file system" else None
    try:
        command = _command(python_executable, capture, out)
        subprocess.run(command, check=True, capture_output=True)
        previous, dataset = _outputs(out), _fingerprint(capture[0])
        if fill:
            fill()
        failed = subprocess.run(command, capture_output=True, text=True,
                                preexec_fn=None if fill else _limit_file_size)
        assert failed.returncode == 2 and "velk: error:" in failed.stderr
        assert "Traceback" not in failed.stderr
        assert _outputs(out) == previous and _fingerprint(capture[0]) == dataset
        assert _leftovers(out) == [] and "filler" not in failed.stderr
    finally:
        if disk == "full file system":
            subprocess.run(["umount", str(out)], capture_output=True)


def _locked(out) -> bool:
    """Whether a run holds the lock of ``out``: inside it, or beside it while it does not exist yet."""
    return any(lock.exists() and lock.read_text() for lock in (out / LOCK_NAME, out.parent / ".velk-run.out.lock"))


@pytest.mark.parametrize("existing", [True, False], ids=["existing folder", "new folder"])
def test_a_second_run_into_a_folder_in_use_is_refused_naming_the_first(capture, python_executable, tmp_path,
                                                                        capsys, existing):
    out = tmp_path / "out"
    if existing:
        out.mkdir()
    first = subprocess.Popen(_command(python_executable, capture, out), stdout=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not _locked(out) and first.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    assert first.poll() is None, "the first run ended before the second started"
    assert cli.main(_arguments(capture, out)) == 2
    assert f"another run (pid {first.pid}, velk hand-eye" in capsys.readouterr().err
    first.communicate()
    assert first.returncode == 0
    record = json.loads((out / "hand_eye.json").read_text())
    assert record["verdict"]["passed"] and "Verdict: PASS" in (out / "report.html").read_text()
    assert _leftovers(out) == [] and _leftovers(tmp_path) == []
