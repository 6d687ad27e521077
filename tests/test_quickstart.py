"""The code of docs/quickstart.md runs as written, on rendered data saved where it looks for it."""

import math
import re

import numpy as np
import pytest

from quorvane.velk import io

cv2 = pytest.importorskip("cv2")

SECTION = re.compile(r"^## (\d)\. ", re.MULTILINE)
CODE_BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


def workflow_code(repo_root) -> dict[int, list[str]]:
    """The python blocks of each numbered section, in order."""
    text = (repo_root / "docs" / "quickstart.md").read_text()
    starts = [(int(m.group(1)), m.start()) for m in SECTION.finditer(text)]
    ends = [start for _, start in starts[1:]] + [len(text)]
    return {number: CODE_BLOCK.findall(text[start:end]) for (number, start), end in zip(starts, ends)}


def run_section(repo_root, number, folder, monkeypatch) -> dict:
    blocks = workflow_code(repo_root)[number]
    assert blocks, f"section {number} of the quickstart has no python code"
    monkeypatch.chdir(folder)
    namespace: dict = {"__name__": "quickstart"}
    for block in blocks:
        exec(compile(block, f"quickstart section {number}", "exec"), namespace)
    return namespace


def rotation_error_deg(a, b):
    relative = a[:3, :3].T @ b[:3, :3]
    return math.degrees(math.acos(np.clip((np.trace(relative) - 1) / 2, -1.0, 1.0)))


def test_quickstart_has_the_three_workflows(repo_root):
    assert sorted(workflow_code(repo_root)) == [1, 2, 3]


def test_intrinsics_workflow(repo_root, tmp_path, monkeypatch, rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene("chessboard")
    (tmp_path / "intrinsics").mkdir()
    for k, view in enumerate(views):
        assert cv2.imwrite(str(tmp_path / "intrinsics" / f"view_{k:02d}.png"), view.image)

    namespace = run_section(repo_root, 1, tmp_path, monkeypatch)
    result = namespace["result"]
    assert result.ok and len(namespace["images"]) == len(views)
    assert namespace["target"].size == target.size
    assert result.reprojection_error < 0.5
    K = result.intrinsic_matrix
    assert abs(K[0, 0] - 1000.0) < 5.0 and abs(K[1, 1] - 1000.0) < 5.0


def test_hand_eye_workflow(repo_root, tmp_path, monkeypatch, eye_in_hand_scene, capsys):
    scene = eye_in_hand_scene
    io.save_hand_eye_dataset(tmp_path / "hand_eye_capture", scene.images, scene.robot_T_tcp_list)

    namespace = run_section(repo_root, 2, tmp_path, monkeypatch)
    result = namespace["result"]
    assert result.ok
    found = namespace["tcp_T_camera"]
    # The flange-to-camera translation of 14 poses is known to a few millimetres.
    assert np.linalg.norm(found[:3, 3] - scene.tcp_T_camera[:3, 3]) < 0.004
    assert rotation_error_deg(found, scene.tcp_T_camera) < 0.2
    assert (tmp_path / "results" / "hand_eye.json").is_file()
    by_method = namespace["by_method"]
    assert sorted(by_method) == ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]
    out = capsys.readouterr().out
    assert "tcp_T_camera [x, y, z, rx, ry, rz] (m, deg):" in out and "target spread:" in out
    refined = namespace["refined"]
    assert refined.refined and "tcp_T_camera 1-sigma:" in out
    # The predicted 1-sigma is honest about the refined translation's actual error.
    error_mm = np.linalg.norm(refined.tcp_T_camera[:3, 3] - scene.tcp_T_camera[:3, 3]) * 1000
    assert error_mm < 4 * namespace["sigma"].translation_norm_mm


def test_rig_workflow(repo_root, tmp_path, monkeypatch, rendered_rig):
    scene = rendered_rig
    for frame in range(len(scene.images[0])):
        io.save_multi_camera_capture(tmp_path / "rig_capture", [images[frame] for images in scene.images], frame)

    namespace = run_section(repo_root, 3, tmp_path, monkeypatch)
    result = namespace["result"]
    assert result.ok and namespace["num_cameras"] == len(scene.images)
    for found, true in zip(result.reference_T_camera_list, scene.reference_T_camera):
        assert np.linalg.norm(found[:3, 3] - true[:3, 3]) < 0.002
        assert rotation_error_deg(found, true) < 0.1
    assert (tmp_path / "results" / "multi_camera_calibration.json").is_file()
    assert namespace["report"].plane_thickness_m < 0.001


def test_frames_doc_code_runs_and_prints_what_it_says(repo_root, capsys):
    text = (repo_root / "docs" / "frames.md").read_text()
    blocks = CODE_BLOCK.findall(text)
    assert blocks and "(frames.png)" in text and (repo_root / "docs" / "frames.png").is_file()
    for block in blocks:
        exec(compile(block, "frames.md", "exec"), {"__name__": "frames"})
        claimed = re.findall(r"print\(.*\)\s+# (.*)$", block, re.MULTILINE)
        assert capsys.readouterr().out.splitlines() == claimed


def test_frames_picture_is_drawn_by_the_script(repo_root, tmp_path):
    pytest.importorskip("matplotlib")
    import subprocess
    import sys

    drawn = tmp_path / "frames.png"
    subprocess.run([sys.executable, str(repo_root / "scripts" / "draw_frames.py"), str(drawn)], check=True,
                   timeout=120)
    committed = cv2.imread(str(repo_root / "docs" / "frames.png"))
    fresh = cv2.imread(str(drawn))
    assert fresh is not None and committed is not None and fresh.shape == committed.shape
