"""Given intrinsics are compared with the pictures' own: intrinsics without the lens's distortion, or with a
focal length of another camera, fail the hand-eye verdict naming the record and the fix; the lens's own pass."""

import json

import numpy as np
import pytest

import cli_data
import eye_to_hand_photos
from quorvane.velk import cli, demo, verdict
from quorvane.velk.given_intrinsics import GivenIntrinsicsComparison, ParameterComparison

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def write_intrinsics(path, matrix, distortion, image_size):
    path.write_text(json.dumps({"camera_matrix": np.asarray(matrix).tolist(),
                                "distortion_coefficients": np.ravel(distortion).tolist(),
                                "image_size": list(image_size)}))
    return path


def verdict_line(out):
    lines = [line for line in out.splitlines() if line.startswith("Verdict:")]
    assert len(lines) == 1, out
    return lines[0]


@pytest.fixture(scope="module")
def photographs(eye_to_hand_photo_dataset, tmp_path_factory):
    """The eye-to-hand photographs as a dataset folder, with their target and the intrinsics given with them."""
    photos = eye_to_hand_photos.load()
    given = write_intrinsics(tmp_path_factory.mktemp("photographs") / "given.json", photos.camera_matrix,
                             photos.distortion, eye_to_hand_photos.IMAGE_SIZE)
    return (*eye_to_hand_photo_dataset, given)


@pytest.mark.parametrize("command", ["hand-eye", "check"])
def test_photographs_with_their_distortion_free_intrinsics_fail_naming_the_record_and_the_fix(
        photographs, capfd, command):
    folder, target, given = photographs
    output = ["-o", str(folder.parent / "result.json")] if command == "hand-eye" else []
    code = cli.main([command, str(folder), "--eye-to-hand", "--target", str(target), "--intrinsics", str(given),
                     "--quiet", *output])
    out, err = capfd.readouterr()
    assert code == 1
    line = verdict_line(out)
    assert line.startswith("Verdict: FAIL") and "given intrinsics" in line
    assert f"{given} holds no distortion terms" in line and "k1 0 in" in line
    assert "omit --intrinsics" in line and "give the lens's distortion" in line
    assert "[FAIL] given intrinsics" in out
    assert "[velk][SUCCESS]" not in out + err


def test_photographs_with_intrinsics_calibrated_from_them_pass(photographs, capfd):
    folder, target, _ = photographs
    own = folder.parent / "own.json"
    images = sorted(folder.glob("image_*.png"))
    assert cli.main(["intrinsics", *map(str, images), "--target", str(target), "-o", str(own), "--quiet",
                     "--no-validate"]) == 0
    capfd.readouterr()
    code = cli.main(["hand-eye", str(folder), "--eye-to-hand", "--target", str(target), "--intrinsics", str(own),
                     "--quiet", "-o", str(folder.parent / "own_result.json")])
    out = capfd.readouterr().out
    assert code == 0 and verdict_line(out).startswith("Verdict: PASS"), out
    assert "[pass] given intrinsics" in out


@pytest.fixture(scope="module")
def rendered(eye_in_hand_scene, tmp_path_factory):
    """The session's rendered eye-in-hand scene as a dataset folder, with a robot of ordinary noise."""
    root = tmp_path_factory.mktemp("rendered")
    poses = demo.perturb_robot_poses(eye_in_hand_scene.robot_T_tcp_list, 0.5, 0.05, np.random.default_rng(3))
    folder = cli_data.write_hand_eye_dataset(root / "data", list(eye_in_hand_scene.images), poses)
    return folder, cli_data.write_target(root / "target.json", eye_in_hand_scene.target)


@pytest.mark.parametrize("fault, code, words", [
    (None, 0, "[pass] given intrinsics"),
    ("distortion dropped", 1, "holds no distortion terms"),
    ("fx 3 % off", 1, "fx 1030.0 px in"),
])
def test_rendered_pictures_judge_the_intrinsics_given(rendered, eye_in_hand_scene, tmp_path, capsys, fault, code,
                                                      words):
    folder, target = rendered
    matrix, distortion = eye_in_hand_scene.camera_matrix.copy(), eye_in_hand_scene.distortion.copy()
    if fault == "distortion dropped":
        distortion[:] = 0.0
    elif fault == "fx 3 % off":
        matrix[0, 0] *= 1.03
    given = write_intrinsics(tmp_path / "intrinsics.json", matrix, distortion, eye_in_hand_scene.image_size)
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "--intrinsics", str(given), "--quiet",
                     "-o", str(tmp_path / "hand_eye.json")]) == code
    out = capsys.readouterr().out
    assert words in (out if fault is None else verdict_line(out))
    record = json.loads((tmp_path / "hand_eye.json").read_text())
    checks = {check["name"]: check for check in record["verdict"]["checks"]}
    assert checks["given intrinsics"]["passed"] is (fault is None)


def comparison(ratio=1.0, own_px=0.3, share=0.0, sigmas=0.0, effect_px=5.0, compared=True, plane_turn_deg=30.0):
    """A comparison whose figures sit where the limits are tried."""
    k1 = ParameterComparison("k1", -0.1 + sigmas * 0.01, -0.1, 0.01, effect_px)
    fx = ParameterComparison("fx", 1000.0, 1000.0, 1.0, 0.0)
    return GivenIntrinsicsComparison(compared, "" if compared else "only 5 pictures show the target", views=12,
                                     given_held_out_px=ratio * own_px, own_held_out_px=own_px, radial_share=share,
                                     radial_px=np.sqrt(share) * 0.5, parameters=[fx, k1],
                                     board_plane_turn_deg=plane_turn_deg)


@pytest.mark.parametrize("figures, passed", [
    (dict(), True),
    (dict(ratio=1.6), False),
    (dict(ratio=1.6, own_px=0.05), True),  # 0.03 px worse: below what matters
    (dict(share=0.2), False),
    (dict(share=0.02), True),
    (dict(sigmas=6.0), False),
    (dict(sigmas=6.0, effect_px=2.0), True),  # a clear difference that moves no corner 3 px
    (dict(sigmas=4.0), True),
    (dict(compared=False), None),
    # Board planes that hardly turn against one another do not determine the pictures' own parameters; the fit
    # of the given ones is still judged.
    (dict(sigmas=6.0, plane_turn_deg=1.0), True),
    (dict(ratio=1.6, plane_turn_deg=1.0), False),
])
def test_the_check_holds_each_figure_to_its_limit(figures, passed):
    check = verdict.given_intrinsics_check(comparison(**figures), "cam.json")
    assert check.passed is passed
    assert check.figures.startswith("cam.json")
    causes = verdict.given_intrinsics_causes(comparison(**figures), "cam.json")
    assert bool(causes) is (passed is False)
    assert all("cam.json" in cause and "omit --intrinsics" in cause for cause in causes)
