"""velk hand-eye measures the board's size from the robot's motion: on real eye-to-hand pictures the target file
as published passes, and one 5 % off fails naming the measured size and the fix."""

import json

import pytest

from quorvane.velk import cli


@pytest.mark.parametrize("stretch", [1.0, 1.05])
def test_real_board_is_judged_by_its_measured_size(eye_to_hand_photo_dataset, tmp_path, capfd, stretch):
    folder, target = eye_to_hand_photo_dataset
    document = json.loads(target.read_text())
    document["square_length"] *= stretch
    document["marker_length"] *= stretch
    written = tmp_path / "target.json"
    written.write_text(json.dumps(document))
    capfd.readouterr()
    code = cli.main(["hand-eye", str(folder), "--target", str(written), "--eye-to-hand", "--quiet",
                     "-o", str(tmp_path)])
    captured = capfd.readouterr()
    verdict = [line for line in captured.out.splitlines() if line.startswith("Verdict:")]
    size = [line for line in captured.out.splitlines() if "board size:" in line]
    assert len(verdict) == 1 and len(size) == 1, captured.out
    measured_mm = float(size[0].split("squares measure ")[1].split(" ")[0])
    assert measured_mm == pytest.approx(36.195, rel=0.01)  # the same board, whatever the file says
    if stretch == 1.0:
        assert code == 0 and verdict[0].startswith("Verdict: PASS"), captured.out
    else:
        assert code == 1 and "board size" in verdict[0] and "--fit-board-scale" in verdict[0]
        assert f"the target file says {36.195 * stretch:.2f} mm" in verdict[0]
        assert "[SUCCESS]" not in captured.err + captured.out
