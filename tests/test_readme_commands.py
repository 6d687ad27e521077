"""The README's walk-through run as written: its commands, word for word, from printing the board to the report.

The capture step (pictures from the robot) is simulated: pictures of the README's board rendered at flange poses of
the demo scene, saved as the README says, with the flange poses in a CSV file of x, y, z in mm and the quaternion."""

import re
import shlex

import numpy as np
import pytest

from conftest import REPO_ROOT
from quorvane.velk import cli

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def readme_commands():
    """Every `velk ...` command of the README's indented code blocks, continuation lines joined."""
    text = (REPO_ROOT / "README.md").read_text()
    commands = []
    for block in re.findall(r"\n\n((?: {7,}\S.*\n)+)", text):
        joined = re.sub(r"\\\n\s*", " ", block).strip()
        commands += [line.strip() for line in joined.splitlines() if line.strip().startswith("velk ")]
    return commands


def command(prefix):
    found = [c for c in readme_commands() if c.startswith(prefix)]
    assert len(found) == 1, f"the README should hold one '{prefix}' command, found {found}"
    return shlex.split(found[0])[1:]


def quaternion_wxyz(rotation):
    """Unit quaternion (w, x, y, z) of a rotation matrix."""
    m = np.asarray(rotation, np.float64)
    w = np.sqrt(max(0.0, 1.0 + np.trace(m))) / 2.0
    x = np.copysign(np.sqrt(max(0.0, 1.0 + m[0, 0] - m[1, 1] - m[2, 2])) / 2.0, m[2, 1] - m[1, 2])
    y = np.copysign(np.sqrt(max(0.0, 1.0 - m[0, 0] + m[1, 1] - m[2, 2])) / 2.0, m[0, 2] - m[2, 0])
    z = np.copysign(np.sqrt(max(0.0, 1.0 - m[0, 0] - m[1, 1] + m[2, 2])) / 2.0, m[1, 0] - m[0, 1])
    return [w, x, y, z]


def test_readme_lists_the_walk_through():
    names = [" ".join(c.split()[:2]) for c in readme_commands()]
    for expected in ("velk board", "velk plan", "velk poses", "velk import-bag", "velk check", "velk hand-eye"):
        assert expected in names


def test_readme_commands_run_as_written(tmp_path, monkeypatch, capsys):
    import cv2

    from quorvane.velk import demo
    from quorvane.velk.target_file import load_target_file

    monkeypatch.chdir(tmp_path)
    assert cli.main(command("velk board")) == 0
    assert (tmp_path / "board.pdf").is_file() and (tmp_path / "board.json").is_file()
    assert cli.main(command("velk plan")) == 0
    assert (tmp_path / "planned_poses.csv").is_file() and (tmp_path / "plan.html").is_file()

    # The capture, simulated with the printed board: picture k as my_capture/image_k.png, poses in mm.
    board = load_target_file(tmp_path / "board.json").build()
    scene = demo.simulate_eye_in_hand(num_poses=12, seed=3, target=board)
    capture = tmp_path / "my_capture"
    capture.mkdir()
    rows = []
    for k, (image, pose) in enumerate(zip(scene.images, scene.robot_T_tcp_list)):
        cv2.imwrite(str(capture / f"image_{k}.png"), image)
        pose = np.asarray(pose)
        rows.append(",".join(f"{v:.9g}" for v in [*(pose[:3, 3] * 1000.0), *quaternion_wxyz(pose[:3, :3])]))
    (tmp_path / "robot_poses.csv").write_text("\n".join(rows) + "\n")

    assert cli.main(command("velk poses import")) == 0
    assert (capture / "calibration_data.npz").is_file()
    assert cli.main(command("velk check")) == 0
    capsys.readouterr()
    assert cli.main(command("velk hand-eye")) == 0
    assert (capture / "hand_eye.json").is_file()
    page = (tmp_path / "report.html").read_text()
    assert page.index('<section id="summary">') < page.index('<section id="console">')
