"""What the console says agrees with the checks: the solvers' agreement sentence with the solver agreement check, the
solver table's columns apart, each warning once."""

import re
from types import SimpleNamespace

import pytest

import cli_data
import render_cache
from quorvane.velk import cli, demo, verdict
from quorvane.velk.solver_table import comparison_text

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

NAMES = ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]


def solved(x_mm, rz):
    return SimpleNamespace(pose_deg=[x_mm / 1000.0, -0.02, 0.08, 5.0, -3.0, rz])


@pytest.mark.parametrize("poses, sentence", [
    ([(30, 179.9), (30, -179.9), (30, 179.95), (30, -179.95), (30, 179.8)], "All 5 methods agree"),
    ([(30, 179.9), (30, -179.9), (30, 179.95), (30, -179.95), (55, 179.9)], "4 of 5 methods agree; outlier: TSAI"),
    # The angles agree to a tenth of a degree, the translations do not: no consensus.
    ([(30, 179.9), (60, -179.9), (30, 179.95), (90, -179.95), (30, 179.8)], "The solvers do not agree"),
])
def test_the_agreement_sentence_is_the_solver_checks_reading(poses, sentence):
    results = dict(zip(NAMES, [solved(*pose) for pose in poses]))
    text = comparison_text(results)
    assert f">>> {sentence}" in text
    assert ("check fails" in text) == (verdict.solver_check(results).passed is False)
    # rz of -179.9 beside 179.9 reads 180.10 and every value stands apart from its neighbour.
    assert "180.10" in text
    for row in text.splitlines()[5:10]:
        assert re.fullmatch(r"  \w+ +(?: +-?\d+\.\d\d){6}", row), row


@pytest.fixture(scope="module")
def noisy_robot_dataset(tmp_path_factory):
    """Eight pictures whose flange poses are off by 8 mm / 0.3 deg per axis: one closed-form solver lands far from
    the others in translation while every solver's angles agree."""
    with render_cache.active():
        scene = demo.simulate_eye_in_hand(num_poses=8, seed=2, robot_error=(8.0, 0.3))
    folder = tmp_path_factory.mktemp("noisy")
    data = cli_data.write_hand_eye_dataset(folder / "data", scene.images, scene.robot_T_tcp_list)
    return data, cli_data.write_target(folder / "target.json", scene.target)


def test_check_never_says_all_methods_agree_beside_an_outlier(noisy_robot_dataset, capsys):
    data, target = noisy_robot_dataset
    cli.main(["check", str(data), "--target", str(target), "--no-validate"])
    out = capsys.readouterr().out
    check_line = re.search(r"\[(pass|FAIL)\] solver agreement: .*outliers: ([A-Z, ]+|none)", out)
    outliers = check_line.group(2)
    assert outliers != "none"
    assert "All 5 methods agree" not in out
    assert f"outlier: {outliers}" in out or f"outliers: {outliers}" in out.split(">>>")[1]


def test_the_robot_noise_warning_and_outlier_views_are_printed_once(tmp_path, capfd):
    with render_cache.active():
        scene = demo.simulate_eye_in_hand(num_poses=8, seed=2, robot_error=(15.0, 0.5))
    data = cli_data.write_hand_eye_dataset(tmp_path / "data", scene.images, scene.robot_T_tcp_list)
    target = cli_data.write_target(tmp_path / "target.json", scene.target)
    capfd.readouterr()
    cli.main(["hand-eye", str(data), "--target", str(target), "--no-validate"])
    captured = capfd.readouterr()
    warning = "The robot poses disagree with the pictures by"
    assert (captured.out + captured.err).count(warning) == 1
    outliers = re.search(r"Outlier views \(kept\): (.+)", captured.out).group(1)
    assert outliers != "none" and (captured.out + captured.err).count(f"(kept): {outliers}") == 1
    cli.main(["hand-eye", str(data), "--target", str(target), "--no-validate", "--quiet"])
    captured = capfd.readouterr()
    assert (captured.out + captured.err).count(warning) == 1  # --quiet drops the text, not the warning
