"""The calibration commands judge their results: rendered data with the faults users make end with exit code 1
or 2 and a message naming the cause and the files; clean data with a realistic robot passes."""

import json
import shutil
import subprocess

import numpy as np
import pytest

import _velk
import cli_data
import render_cache
from quorvane.velk import cli, demo, records

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

#: Robot pose error per flange axis of the "clean" data: an ordinary industrial arm.
ROBOT_NOISE = (0.5, 0.05)


def quaternion_wxyz(rotation):
    import cv2

    vector = cv2.Rodrigues(rotation)[0].ravel()
    angle = np.linalg.norm(vector)
    return np.concatenate([[np.cos(angle / 2)], np.sin(angle / 2) * vector / angle])


def write_csv(path, poses, order, header=True):
    """Poses as x y z and a quaternion in ``order`` (wxyz or xyzw), optionally under a named header."""
    lines = []
    if header:
        lines.append("x,y,z," + ("qw,qx,qy,qz" if order == "wxyz" else "qx,qy,qz,qw"))
    for pose in poses:
        q = quaternion_wxyz(pose[:3, :3])
        q = q if order == "wxyz" else q[[1, 2, 3, 0]]
        lines.append(",".join(f"{v:.9f}" for v in [*pose[:3, 3], *q]))
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.fixture(scope="module")
def scene_data(eye_in_hand_scene, tmp_path_factory):
    """Pictures, poses of a robot with ordinary noise and target files (in metres and, wrongly, in millimetres)."""
    root = tmp_path_factory.mktemp("verdicts")
    poses = demo.perturb_robot_poses(eye_in_hand_scene.robot_T_tcp_list, *ROBOT_NOISE, np.random.default_rng(3))
    target = cli_data.write_target(root / "target.json", eye_in_hand_scene.target)
    document = json.loads(target.read_text())
    document["square_length"] *= 1000.0
    document["marker_length"] *= 1000.0
    millimetres = root / "target_mm.json"
    millimetres.write_text(json.dumps(document))
    return root, list(eye_in_hand_scene.images), poses, target, millimetres


def dataset(root, name, images, poses):
    folder = root / name
    shutil.rmtree(folder, ignore_errors=True)
    return cli_data.write_hand_eye_dataset(folder, images, poses)


def hand_eye(folder, target, *extra):
    return cli.main(["hand-eye", str(folder), "--target", str(target), "--quiet", *extra])


def test_clean_data_with_an_ordinary_robot_passes_and_the_record_says_so(scene_data, capsys):
    root, images, poses, target, _ = scene_data
    folder = dataset(root, "clean", images, poses)
    assert hand_eye(folder, target) == 0
    out = capsys.readouterr().out
    assert out.count("Verdict: PASS") == 1 and "[FAIL]" not in out
    assert "Reprojection RMS: " in out and " px over " in out
    record = json.loads((folder / "hand_eye.json").read_text())
    assert record["verdict"]["passed"] is True
    assert record["saved_method"] == "TSAI closed form, refined over all corners"
    assert record["refinement_applied"]["refined"] and "hand-eye transform" in record["refinement_applied"]["what"]
    np.testing.assert_allclose(record["intrinsics_used"]["camera_matrix"], record["refinement"]["intrinsic_matrix"]
                               if "intrinsic_matrix" in record["refinement"] else record["intrinsics_used"]
                               ["camera_matrix"])
    assert record["intrinsics_used"]["source"] == "calibrated from the pictures"
    assert record["image_names"][0] == "image_0.png"
    # The library still reads the record it wrote, the added members aside.
    assert _velk.io.load_hand_eye_result(folder / "hand_eye.json").method == "TSAI"


def shifted(poses):
    """Every picture paired with the pose of the picture after it."""
    return poses[1:] + poses[:1]


def quaternion_order_swapped(poses, tmp_path):
    """Poses exported as x y z qx qy qz qw without a header, imported as if w came first."""
    from quorvane.velk.pose_import import read_pose_file

    return read_pose_file(write_csv(tmp_path / "poses.csv", poses, "xyzw", header=False), "xyz-quat")


@pytest.mark.parametrize("fault, words", [
    ("shifted", ["shifted by 1 picture", "matches pose"]),
    ("quaternion order", ["--quat-order xyzw"]),
    ("square length in mm", ["wrong unit", "metres"]),
])
def test_faulty_data_fails_naming_the_cause(scene_data, tmp_path, capsys, fault, words):
    root, images, poses, target, millimetres = scene_data
    if fault == "shifted":
        poses = shifted(poses)
    elif fault == "quaternion order":
        poses = quaternion_order_swapped(poses, tmp_path)
    folder = dataset(tmp_path, "data", images, poses)
    code = hand_eye(folder, millimetres if fault == "square length in mm" else target)
    out = capsys.readouterr().out
    assert code == 1, out
    verdict = [line for line in out.splitlines() if line.startswith("Verdict:")]
    assert len(verdict) == 1 and verdict[0].startswith("Verdict: FAIL") and "likely cause" in verdict[0]
    for word in words:
        assert word in verdict[0]
    if fault == "shifted":
        assert ".png" in verdict[0]
    assert "(marked as failing its checks)" in out
    assert json.loads((folder / "hand_eye.json").read_text())["verdict"]["passed"] is False


def test_a_header_names_the_quaternion_order(scene_data, tmp_path, capsys):
    """The same xyzw export with its header imports right without --quat-order, and calibrates clean."""
    root, images, poses, target, _ = scene_data
    folder = dataset(tmp_path, "data", images, poses)
    source = write_csv(tmp_path / "poses.csv", poses, "xyzw")
    assert cli.main(["poses", "import", str(source), "--format", "xyz-quat", "-o", str(folder), "--force"]) == 0
    assert hand_eye(folder, target) == 0
    assert cli.main(["poses", "import", str(source), "--format", "xyz-quat", "--quat-order", "wxyz",
                     "-o", str(folder), "--force"]) == 2
    error = capsys.readouterr().err.strip().splitlines()
    assert error[-1].startswith("velk: error: poses.csv: row 1: the header puts the quaternion in xyzw order")


def rename(folder, mapping):
    for old, new in mapping:
        (folder / old).rename(folder / f"tmp_{new}")
    for _, new in mapping:
        (folder / f"tmp_{new}").rename(folder / new)


@pytest.mark.parametrize("layout, words", [
    ("numbered from 1", ["numbered from 1", "image_14", "has no robot pose"]),
    ("a picture missing", ["image_3 missing"]),
    ("more pictures than poses", ["image_14 has no robot pose"]),
])
@pytest.mark.parametrize("command", ["hand-eye", "check"])
def test_pictures_that_do_not_pair_with_the_poses_are_an_error_naming_them(scene_data, tmp_path, capsys, layout,
                                                                          words, command):
    root, images, poses, target, _ = scene_data
    folder = dataset(tmp_path, "data", images, poses)
    if layout == "numbered from 1":
        rename(folder, [(f"image_{k}.png", f"image_{k + 1}.png") for k in range(len(images))])
    elif layout == "a picture missing":
        (folder / "image_3.png").unlink()
    else:
        shutil.copy(folder / "image_0.png", folder / f"image_{len(images)}.png")
    assert cli.main([command, str(folder), "--target", str(target), "--quiet"]) == 2
    error = capsys.readouterr().err.strip().splitlines()
    assert len(error) == 1 and error[0].startswith("velk: error: pictures and poses of")
    for word in words:
        assert word in error[0]


def test_allow_gaps_pairs_by_the_index_in_the_names(scene_data, tmp_path, capsys):
    """With image_3 missing, image_8 is still paired with pose 8 and named as image_8 in the output."""
    root, images, poses, target, _ = scene_data
    folder = dataset(tmp_path, "data", images, poses)
    (folder / "image_3.png").unlink()
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "--allow-gaps"]) == 0
    captured = capsys.readouterr()
    assert "image_3 missing" in captured.err
    frames = [line for line in captured.out.splitlines() if line.strip().startswith("Frame ")]
    assert len(frames) == len(images) - 1
    assert frames[3].strip().startswith("Frame 4 (image_4.png):")
    assert "image_3.png" not in captured.out
    record = json.loads((folder / "hand_eye.json").read_text())
    assert "image_3.png" not in record["image_names"] and record["image_names"][3] == "image_4.png"


def test_compare_and_check_print_the_result_once(scene_data, tmp_path, capsys):
    root, images, poses, target, _ = scene_data
    folder = dataset(tmp_path, "data", images, poses)
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "--compare"]) == 0
    out = capsys.readouterr().out
    assert out.count("HAND-EYE RESULTS") == 1 and out.count("HAND-EYE CROSS-METHOD COMPARISON") == 1
    assert out.count("Verdict: ") == 1 and "[pass] solver agreement" in out
    assert cli.main(["check", str(folder), "--target", str(target)]) == 0
    out = capsys.readouterr().out
    assert "HAND-EYE RESULTS" not in out and out.count("HAND-EYE CROSS-METHOD COMPARISON") == 1
    assert cli.main(["check", str(folder), "--target", str(target), "--quiet"]) == 0
    quiet = capsys.readouterr()
    assert quiet.out.count("HAND-EYE CROSS-METHOD COMPARISON") == 1 and quiet.out.splitlines()[-1].startswith(
        "Verdict: PASS")
    assert "[INFO]" not in quiet.err and "[SUCCESS]" not in quiet.err
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "--quiet"]) == 0
    quiet = capsys.readouterr()
    assert "HAND-EYE RESULTS" not in quiet.out and "[INFO]" not in quiet.err
    # The rendered lens is seen only near the picture's centre: the console states the report's warning too.
    assert [line for line in quiet.out.splitlines() if line.startswith("Verdict: ")] == [
        "Verdict: PASS with 1 warning - the hand-eye result passes all 7 checks, but act on the warning below"]
    assert "  warning: Distortion: outside the observed corners" in quiet.out


def test_check_names_shifted_poses(scene_data, tmp_path, capsys):
    root, images, poses, target, _ = scene_data
    folder = dataset(tmp_path, "data", images, shifted(poses))
    assert cli.main(["check", str(folder), "--target", str(target), "--quiet"]) == 1
    out = capsys.readouterr().out
    verdict = [line for line in out.splitlines() if line.startswith("Verdict:")]
    assert len(verdict) == 1 and verdict[0].startswith("Verdict: FAIL")
    assert "target consistency" in verdict[0] and "shifted by 1" in verdict[0]
    assert out.splitlines()[-1].startswith("Calibration failed: ")


def test_a_wrong_dictionary_gives_one_hint(scene_data, tmp_path, capsys):
    root, images, poses, target, _ = scene_data
    folder = dataset(tmp_path, "data", images[:6], poses[:6])
    document = json.loads(target.read_text())
    document["dictionary"] = "DICT_4X4_100"
    wrong = tmp_path / "wrong.json"
    wrong.write_text(json.dumps(document))
    assert cli.main(["hand-eye", str(folder), "--target", str(wrong)]) == 1
    captured = capsys.readouterr()
    assert "Not enough ChArUco corners" not in captured.err
    hint = "no markers of dictionary DICT_4X4_100 found in any picture; check the target's dictionary"
    assert captured.err.count(hint) == 1 and "DICT_5X5" in captured.err


@pytest.mark.parametrize("seed, loader", [("hand_eye_refined", "load_hand_eye_result"),
                                          ("eye_to_hand_refined", "load_eye_to_hand_result"),
                                          ("hand_eye", "load_hand_eye_result")])
def test_old_records_load_unchanged(tmp_path, seed, loader):
    """Records written before the added members load as before; with the members added they load alike."""
    from pathlib import Path

    old = tmp_path / "record.json"
    # The fuzzer's seeds are records an earlier version wrote, after one byte that picks the reader.
    old.write_bytes((Path(__file__).resolve().parent / "fuzz" / "json_seeds" / seed).read_bytes()[1:])
    assert all(value is None for value in records.record_members(old).values())
    before = getattr(_velk.io, loader)(old)
    records.add_record_members(old, {"units": {"translation": "m"}, "saved_method": "TSAI closed form",
                                     "verdict": {"passed": False, "text": "Verdict: FAIL"}})
    after = getattr(_velk.io, loader)(old)
    assert after.method == before.method and after.num_frames_used == before.num_frames_used
    members = records.record_members(old)
    assert members["saved_method"] == "TSAI closed form" and members["verdict"]["passed"] is False
    assert members["intrinsics_used"] is None


@pytest.fixture(scope="module")
def eye_to_hand_data(tmp_path_factory):
    with render_cache.active():
        scene = demo.simulate_eye_to_hand(num_poses=10, seed=4, robot_error=ROBOT_NOISE)
    root = tmp_path_factory.mktemp("eye_to_hand_verdicts")
    return root, scene.images, scene.robot_T_tcp_list, cli_data.write_target(root / "target.json", scene.target)


@pytest.mark.parametrize("fault", ["none", "shifted", "quaternion order"])
def test_eye_to_hand_is_judged_alike(eye_to_hand_data, tmp_path, capsys, fault):
    root, images, poses, target = eye_to_hand_data
    if fault == "shifted":
        poses = shifted(poses)
    elif fault == "quaternion order":
        poses = quaternion_order_swapped(poses, tmp_path)
    folder = dataset(tmp_path, "data", images, poses)
    code = cli.main(["hand-eye", str(folder), "--target", str(target), "--eye-to-hand", "--compare", "--quiet"])
    out = capsys.readouterr().out
    verdict = [line for line in out.splitlines() if line.startswith("Verdict:")]
    assert len(verdict) == 1
    record = json.loads((folder / "eye_to_hand.json").read_text())
    assert record["verdict"]["text"] == verdict[0]
    if fault == "none":
        # The rendered board is seen near the picture's centre: the distortion's extrapolation is the warning.
        assert code == 0 and verdict[0] == ("Verdict: PASS with 1 warning - the eye-to-hand result passes all 8 "
                                            "checks, but act on the warning below")
        assert record["verdict"]["warnings"][0].startswith("Distortion: outside the observed corners")
    else:
        assert code == 1 and ("shifted by 1 picture" if fault == "shifted" else "--quat-order xyzw") in verdict[0]


def test_the_closed_form_alone_is_judged_with_its_reprojection_rms(scene_data, tmp_path, capsys):
    root, images, poses, target, _ = scene_data
    folder = dataset(tmp_path, "data", images, poses)
    assert hand_eye(folder, target, "--no-refine") == 0
    out = capsys.readouterr().out
    rms = [line for line in out.splitlines() if line.strip().startswith("Reprojection RMS: ")]
    assert len(rms) == 1 and float(rms[0].split()[2]) < 0.5 and "[pass] reprojection RMS" in out
    assert json.loads((folder / "hand_eye.json").read_text())["saved_method"] == "TSAI closed form"
    folder = dataset(tmp_path, "shifted", images, shifted(poses))
    assert hand_eye(folder, target, "--no-refine") == 1
    assert "shifted by 1 picture" in capsys.readouterr().out


@pytest.mark.parametrize("millimetres", [False, True])
def test_intrinsics_are_judged(scene_data, tmp_path, capsys, millimetres):
    root, images, poses, target, in_mm = scene_data
    folder = dataset(tmp_path, "data", images[:8], poses[:8])
    code = cli.main(["intrinsics", str(folder), "--target", str(in_mm if millimetres else target), "-o",
                     str(tmp_path), "--quiet"])
    out = capsys.readouterr().out
    verdict = [line for line in out.splitlines() if line.startswith("Verdict:")]
    assert out.startswith("Reprojection RMS: ") and len(verdict) == 1
    assert json.loads((tmp_path / "intrinsics.json").read_text())["verdict"]["passed"] is not millimetres
    if millimetres:
        assert code == 1 and "target lengths" in verdict[0] and "millimetres" in verdict[0]
    else:
        assert code == 0 and verdict[0] == ("Verdict: PASS with 1 warning - the intrinsic result passes all 7 "
                                            "checks, but act on the warning below")
        assert "  warning: Distortion: outside the observed corners" in out


def test_intrinsics_the_pictures_do_not_determine_fail_naming_the_parameter(intrinsic_capture, tmp_path,
                                                                            python_executable):
    """Eight pictures of one 48 mm tag, through the command as a user runs it."""
    import cv2

    target, images = intrinsic_capture("small tag")
    for k, image in enumerate(images):
        cv2.imwrite(str(tmp_path / f"tag_{k}.png"), image)
    target_file = cli_data.write_target(tmp_path / "target.json", target)
    run = subprocess.run([python_executable, "-m", "quorvane.velk", "intrinsics", str(tmp_path), "--target",
                          str(target_file), "-o", str(tmp_path / "out")], capture_output=True, text=True)
    verdict = [line for line in run.stdout.splitlines() if line.startswith("Verdict:")]
    assert run.returncode == 1 and len(verdict) == 1, run.stdout + run.stderr
    assert "focal length 1-sigma" in verdict[0] and "fx = " in verdict[0] and "do not determine" in verdict[0]
    assert "too few pictures (8" in verdict[0]
    assert "[velk][SUCCESS]" not in run.stdout + run.stderr
    assert json.loads((tmp_path / "out" / "intrinsics.json").read_text())["verdict"]["passed"] is False


@pytest.mark.parametrize("command", ["hand-eye", "check"])
def test_intrinsics_of_another_picture_size_are_refused_naming_both(scene_data, tmp_path, capsys, command):
    root, images, poses, target, _ = scene_data
    folder = dataset(tmp_path, "data", images, poses)
    height, width = images[0].shape[:2]
    record = tmp_path / "intrinsics.json"
    record.write_text(json.dumps({"camera_matrix": [[500.0, 0, 320], [0, 500.0, 240], [0, 0, 1]],
                                  "distortion_coefficients": [0, 0, 0, 0, 0], "image_size": [640, 480]}))
    assert cli.main([command, str(folder), "--target", str(target), "--intrinsics", str(record)]) == 2
    error = capsys.readouterr().err
    assert "640 x 480" in error and f"{width} x {height}" in error
    assert not (folder / "hand_eye.json").exists()


def test_a_shift_from_a_lost_picture_on_names_a_picture_that_is_shifted(scene_data, tmp_path, capsys):
    """Picture 3 lost and the later ones renumbered: only image_3 onwards sit one pose off, and the cause says so."""
    root, images, poses, target, _ = scene_data
    folder = dataset(tmp_path, "data", images[:3] + images[4:], poses)
    code = hand_eye(folder, target, "--allow-gaps")
    out = capsys.readouterr().out
    verdict = [line for line in out.splitlines() if line.startswith("Verdict:")]
    assert code == 1 and len(verdict) == 1 and "shifted by 1 picture" in verdict[0], out
    assert "image_3.png matches pose 4, not pose 3" in verdict[0] and "image_0.png matches" not in verdict[0]


def euler_zyx_read_as_xyz(poses, tmp_path):
    """Poses exported as x y z and intrinsic z-y-x angles (about z, the new y, the newest x), imported as the
    default extrinsic x-y-z angles."""
    from quorvane.velk.geometry import euler_deg_from_rotation
    from quorvane.velk.pose_import import read_pose_file

    # Intrinsic z-y-x angles are the extrinsic x-y-z ones in reverse.
    rows = [",".join(f"{v:.9f}" for v in [*p[:3, 3], *euler_deg_from_rotation(p[:3, :3])[::-1]]) for p in poses]
    path = tmp_path / "poses.csv"
    path.write_text("\n".join(rows) + "\n")
    return read_pose_file(path, "xyz-euler-deg")


@pytest.mark.parametrize("fault, words", [
    ("inverted", ["--invert", "add --eye-to-hand"]),
    ("metres imported as mm", ["--units m"]),
    ("Euler ZYX read as xyz", ["intrinsic z-y-x", "--euler-order ZYX"]),
])
def test_a_misread_pose_file_fails_naming_the_reading_that_fits(scene_data, tmp_path, capfd, fault, words):
    root, images, poses, target, _ = scene_data
    if fault == "inverted":
        poses = [np.linalg.inv(p) for p in poses]
    elif fault == "metres imported as mm":
        poses = [np.array(p) for p in poses]
        for p in poses:
            p[:3, 3] *= 0.001
    else:
        poses = euler_zyx_read_as_xyz(poses, tmp_path)
    folder = dataset(tmp_path, "data", images, poses)
    capfd.readouterr()
    assert hand_eye(folder, target) == 1
    captured = capfd.readouterr()
    verdict = [line for line in captured.out.splitlines() if line.startswith("Verdict:")]
    assert len(verdict) == 1 and "likely cause" in verdict[0] and all(w in verdict[0] for w in words), verdict
    assert "[SUCCESS]" not in captured.err + captured.out


@pytest.fixture(scope="module")
def enlarged_target(scene_data):
    """The target file with every length 6 % too long, as a board printed smaller than drawn would read."""
    root, _, _, target, _ = scene_data
    document = json.loads(target.read_text())
    document["square_length"] *= 1.06
    document["marker_length"] *= 1.06
    path = root / "target_6_percent_off.json"
    path.write_text(json.dumps(document))
    return path, document["square_length"]


def test_a_board_of_another_size_than_its_file_fails_naming_both_sizes(scene_data, enlarged_target, tmp_path,
                                                                      capfd):
    root, images, poses, _, _ = scene_data
    target, square_m = enlarged_target
    folder = dataset(tmp_path, "data", images, poses)
    capfd.readouterr()
    assert hand_eye(folder, target) == 1
    captured = capfd.readouterr()
    verdict = [line for line in captured.out.splitlines() if line.startswith("Verdict:")]
    assert len(verdict) == 1 and "board size" in verdict[0] and "--fit-board-scale" in verdict[0], verdict
    assert f"the target file says {square_m * 1000:.2f} mm" in verdict[0]
    measured_mm = float(verdict[0].split("squares measure ")[1].split(" ")[0])
    assert measured_mm == pytest.approx(square_m * 1000 / 1.06, rel=0.01)
    assert "[SUCCESS]" not in captured.err + captured.out
    record = json.loads((folder / "hand_eye.json").read_text())
    scale = record["refinement"]["target_scale"]
    assert scale["differs"] and not scale["applied"]


def test_fit_board_scale_solves_at_the_measured_size_and_the_record_says_so(scene_data, enlarged_target, tmp_path,
                                                                            eye_in_hand_scene, capsys):
    root, images, poses, _, _ = scene_data
    target, _ = enlarged_target
    folder = dataset(tmp_path, "data", images, poses)
    assert hand_eye(folder, target, "--fit-board-scale") == 0, capsys.readouterr().out
    record = json.loads((folder / "hand_eye.json").read_text())
    scale = record["refinement"]["target_scale"]
    assert scale["applied"] and scale["scale"] == pytest.approx(1 / 1.06, abs=4 * scale["sigma"])
    assert "target size" in record["refinement_applied"]["what"]
    found = np.asarray(_velk.io.load_hand_eye_result(folder / "hand_eye.json").tcp_T_camera_list[0])
    truth = eye_in_hand_scene.tcp_T_camera
    assert np.linalg.norm(found[:3, 3] - truth[:3, 3]) < 0.003
