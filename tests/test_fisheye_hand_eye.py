"""Eye-in-hand and eye-to-hand calibration through a 160-degree fisheye lens: rendered 1280 x 960 ChArUco pictures
from 15 flange poses, with exact robot poses and with the pose error of a real robot (0.5 mm / 0.05 deg per
flange axis); the refinement's 1-sigma and the held-out figures against the truth; bad lens models; velk hand-eye
--camera-model fisheye."""

import json

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
import _velk  # noqa: E402
import cli_data  # noqa: E402
import fisheye_hand_eye_scenes as scenes  # noqa: E402
import render_cache  # noqa: E402
from quorvane.velk import cli, planning  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

EYE_TO_HAND = {"eye-in-hand": False, "eye-to-hand": True}
CALIBRATORS = {"eye-in-hand": _velk.EyeInHandCalibrator, "eye-to-hand": _velk.EyeToHandCalibrator}
ROBOT_ERRORS = {"exact robot": None, "robot error": scenes.ROBOT_ERROR}

_SCENES = {}
_RESULTS = {}


def scene(setup):
    """The rendered capture of a set-up, once per session (about 25 s)."""
    if setup not in _SCENES:
        with render_cache.active():
            _SCENES[setup] = scenes.render_hand_eye(EYE_TO_HAND[setup], 15, seed=3 if EYE_TO_HAND[setup] else 2)
    return _SCENES[setup]


def lens_options(model="fisheye"):
    options = _velk.IntrinsicOptions()
    options.camera_model = model
    return options


def calibrate(setup, robot_error="exact robot", intrinsics="from images", model="fisheye"):
    """TSAI, refined and validated; the intrinsics solved from the pictures or given (the rendered lens)."""
    key = (setup, robot_error, intrinsics, model)
    if key not in _RESULTS:
        s = scene(setup)
        error = ROBOT_ERRORS[robot_error]
        robots = scenes.reported_poses(s, error) if error else s.robot_T_tcp_list
        given = dict(intrinsic_matrix=s.K, distortion_coefficients=s.D) if intrinsics == "given" else {}
        calibrator = CALIBRATORS[setup](s.target, lens_options(model))
        _RESULTS[key] = calibrator.calibrate(robots, s.images, "TSAI", refine=True, validate=True, **given)
    return _RESULTS[key]


def camera_error(setup, result, closed_form=False):
    eye_to_hand = EYE_TO_HAND[setup]
    estimate = (scenes.closed_form_of if closed_form else scenes.camera_transform_of)(result, eye_to_hand)
    return scenes.error_mm_deg(estimate, scene(setup).camera_transform)


def target_error(setup, result):
    estimate = result.tcp_T_target if EYE_TO_HAND[setup] else result.world_T_target
    return scenes.error_mm_deg(estimate, scene(setup).target_transform)


# --- Accuracy ---------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("intrinsics", ["from images", "given"])
@pytest.mark.parametrize("robot_error", list(ROBOT_ERRORS))
@pytest.mark.parametrize("setup", list(EYE_TO_HAND))
def test_fisheye_hand_eye_within_half_a_millimetre_and_a_twentieth_of_a_degree(setup, robot_error, intrinsics):
    result = calibrate(setup, robot_error, intrinsics)
    assert result.ok and result.camera_model == "fisheye" and result.refined
    assert result.image_indices == list(range(15))
    millimetres, degrees = camera_error(setup, result)
    assert millimetres < 0.5 and degrees < 0.05, (millimetres, degrees)
    # The closed form alone, on the fisheye poses of each picture, is already close.
    millimetres, degrees = camera_error(setup, result, closed_form=True)
    assert millimetres < 1.0 and degrees < 0.1, (millimetres, degrees)
    millimetres, degrees = target_error(setup, result)
    assert millimetres < 1.0 and degrees < 0.1, (millimetres, degrees)
    # Poses through the wrong model would scatter the target by millimetres.
    assert result.consistency.mean_translation_m < 0.001


@pytest.mark.parametrize("robot_error", list(ROBOT_ERRORS))
@pytest.mark.parametrize("setup", list(EYE_TO_HAND))
def test_refined_sigma_describes_the_actual_error(setup, robot_error):
    result = calibrate(setup, robot_error)
    refinement = result.refinement
    assert refinement.refined and refinement.robot_error_modelled
    sigma_mm = float(np.linalg.norm(refinement.camera_sigma.translation_mm))
    sigma_deg = float(np.linalg.norm(refinement.camera_sigma.rotation_deg))
    millimetres, degrees = camera_error(setup, result)
    assert millimetres < 3.0 * sigma_mm and degrees < 3.0 * sigma_deg, (millimetres, sigma_mm, degrees, sigma_deg)
    assert sigma_mm < 0.5 and sigma_deg < 0.05
    # The fisheye corners fit to a tenth of a pixel; the intrinsics are those of the rendered lens.
    assert refinement.rms_px < 0.2
    k = np.asarray(refinement.intrinsic_matrix)
    assert abs(k[0, 0] / scene(setup).K[0, 0] - 1.0) < 0.003
    assert np.asarray(refinement.distortion_coefficients).size == 4
    if ROBOT_ERRORS[robot_error]:
        translation_mm, rotation_deg = scenes.ROBOT_ERROR
        assert 0.5 * translation_mm < refinement.robot_translation_noise_mm < 1.5 * translation_mm
        assert 0.5 * rotation_deg < refinement.robot_rotation_noise_deg < 1.5 * rotation_deg
    else:
        assert refinement.robot_translation_noise_mm < 0.1 and refinement.robot_rotation_noise_deg < 0.01


@pytest.mark.parametrize("robot_error, median_px", [("exact robot", 0.25), ("robot error", 2.0)])
@pytest.mark.parametrize("setup", list(EYE_TO_HAND))
def test_held_out_views_are_predicted_as_the_fisheye_model_expects(setup, robot_error, median_px):
    validation = calibrate(setup, robot_error).validation
    assert validation.validated and len(validation.frames) == 15 and not validation.skipped
    assert validation.median_px < median_px
    assert 0.6 < validation.observed_over_predicted < 1.6
    assert validation.median_mm < 1.5 and validation.median_deg < 0.15


def test_the_pinhole_model_cannot_describe_the_fisheye_pictures():
    fisheye = calibrate("eye-in-hand")
    pinhole = calibrate("eye-in-hand", model="pinhole")
    assert pinhole.camera_model == "pinhole"
    if pinhole.ok:
        assert camera_error("eye-in-hand", pinhole)[0] > 10.0 * camera_error("eye-in-hand", fisheye)[0]
        assert pinhole.refinement.rms_px > 10.0 * fisheye.refinement.rms_px


# --- Records ----------------------------------------------------------------------------------------------------

RECORDS = {
    "hand_eye.json": (_velk.io.HandEyeResultRecord, "tcp_T_camera_list", _velk.io.save_hand_eye_result,
                      _velk.io.load_hand_eye_result),
    "eye_to_hand.json": (_velk.io.EyeToHandResultRecord, "robot_T_camera_list", _velk.io.save_eye_to_hand_result,
                         _velk.io.load_eye_to_hand_result),
}


def saved_record(tmp_path, name, model="pinhole"):
    make, transforms, save, _ = RECORDS[name]
    record = make()
    record.num_cameras = 1
    setattr(record, transforms, [np.eye(4)])
    if name == "eye_to_hand.json":
        record.tcp_T_target = np.eye(4)
    record.camera_model = model
    return save(tmp_path / name, record)


@pytest.mark.parametrize("name", list(RECORDS))
@pytest.mark.parametrize("written, loaded", [(None, "pinhole"), ("pinhole", "pinhole"), ("fisheye", "fisheye")])
def test_records_carry_the_lens_model_and_older_ones_load_as_pinhole(tmp_path, name, written, loaded):
    path = saved_record(tmp_path, name, "fisheye")
    document = json.loads(path.read_text())
    if written is None:
        del document["camera_model"]
    else:
        document["camera_model"] = written
    path.write_text(json.dumps(document))
    assert RECORDS[name][3](path).camera_model == loaded
    # A pinhole record is written as it was before fisheye lenses, without the member.
    assert "camera_model" not in saved_record(tmp_path, name, "pinhole").read_text()


@pytest.mark.parametrize("name", list(RECORDS))
@pytest.mark.parametrize("value, reason", [("omnidirectional", "unknown camera model 'omnidirectional'"),
                                           (3, "type must be string")])
def test_a_record_with_an_unknown_lens_model_names_the_member(tmp_path, name, value, reason):
    path = saved_record(tmp_path, name)
    document = json.loads(path.read_text())
    document["camera_model"] = value
    path.write_text(json.dumps(document))
    with pytest.raises(RuntimeError) as caught:
        RECORDS[name][3](path)
    assert reason in str(caught.value) and "'camera_model'" in str(caught.value)


@pytest.mark.parametrize("name", list(RECORDS))
def test_a_record_is_not_saved_with_an_unknown_lens_model(tmp_path, name):
    with pytest.raises(ValueError, match="camera_model must be 'pinhole' or 'fisheye'"):
        saved_record(tmp_path, name, "omnidirectional")
    assert not (tmp_path / name).exists()


# --- Bad input --------------------------------------------------------------------------------------------------

def _blank_capture(count=4):
    return [np.eye(4) for _ in range(count)], [np.zeros((96, 128), np.uint8) for _ in range(count)]


@pytest.mark.parametrize("call", ["calibrate", "compute_camera_T_target_list"])
@pytest.mark.parametrize("setup", list(EYE_TO_HAND))
def test_given_fisheye_intrinsics_need_their_four_coefficients(setup, call):
    k, d = scenes.fisheye_scenes.fisheye_camera()
    robots, images = _blank_capture()
    calibrator = CALIBRATORS[setup](scenes.fisheye_scenes.board(), lens_options())
    five = np.append(d, 0.0)
    with pytest.raises(ValueError, match="fisheye camera has 4 distortion coefficients .* got 5"):
        if call == "calibrate":
            calibrator.calibrate(robots, images, "TSAI", intrinsic_matrix=k, distortion_coefficients=five)
        else:
            calibrator.compute_camera_T_target_list(images, robots, k, five)


@pytest.mark.parametrize("setup", list(EYE_TO_HAND))
def test_an_unknown_lens_model_is_refused(setup):
    robots, images = _blank_capture()
    with pytest.raises(ValueError, match="camera_model must be 'pinhole' or 'fisheye', got 'omnidirectional'"):
        CALIBRATORS[setup](scenes.fisheye_scenes.board(), lens_options("omnidirectional")).calibrate(
            robots, images, "TSAI")
    with pytest.raises(ValueError, match="got 'omnidirectional'"):
        _velk.diagnostics.compare_hand_eye_methods(scenes.fisheye_scenes.board(), robots, images, robots, np.eye(3),
                                                   np.zeros(4), setup=setup, camera_model="omnidirectional")
    problem = _velk.HandEyeRefinementProblem()
    with pytest.raises(ValueError, match="got 'omnidirectional'"):
        problem.camera_model = "omnidirectional"
    assert problem.camera_model == "pinhole"


def _plan_scene(model):
    k, d = scenes.fisheye_scenes.fisheye_camera()
    corners = np.array([[x * 0.04, y * 0.04, 0.0] for y in range(4) for x in range(6)])
    scene = planning.make_scene(k, d, (1280, 960), corners, False, np.eye(4), np.eye(4))
    scene.camera_model = model
    return scene


@pytest.mark.parametrize("plan", [lambda s: _velk.plan_hand_eye(s, [np.eye(4)] * 4, 3),
                                  lambda s: _velk.predict_hand_eye(s, [np.eye(4)] * 4)])
def test_the_planner_refuses_a_fisheye_camera(plan):
    with pytest.raises(ValueError, match="pinhole model only"):
        plan(_plan_scene("fisheye"))


# --- Command line -----------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def fisheye_dataset(tmp_path_factory):
    """Ten views of each set-up's capture as dataset folders, with the target file."""
    root = tmp_path_factory.mktemp("fisheye_hand_eye")
    folders = {}
    for setup in EYE_TO_HAND:
        s = scene(setup)
        folders[setup] = cli_data.write_hand_eye_dataset(root / setup, s.images[:10], s.robot_T_tcp_list[:10])
    return folders, cli_data.write_target(root / "target.json", scene("eye-in-hand").target)


def _intrinsics_record(path, model):
    k, d = scenes.fisheye_scenes.fisheye_camera()
    path.write_text(json.dumps({"camera_matrix": k.tolist(), "distortion_coefficients": d.tolist(),
                                "camera_model": model, "image_size": [1280, 960]}))
    return path


def _saved_transform(output, setup):
    if EYE_TO_HAND[setup]:
        record = _velk.io.load_eye_to_hand_result(output / "eye_to_hand.json")
        return record, record.robot_T_camera_list[0]
    record = _velk.io.load_hand_eye_result(output / "hand_eye.json")
    return record, record.tcp_T_camera_list[0]


def test_velk_hand_eye_with_the_fisheye_model(fisheye_dataset, tmp_path, capsys):
    folders, target = fisheye_dataset
    report = tmp_path / "report.html"
    code = cli.main(["hand-eye", str(folders["eye-in-hand"]), "--target", str(target), "--camera-model", "fisheye",
                     "--compare", "-o", str(tmp_path), "--report", str(report), "--quiet"])
    assert code == 0, capsys.readouterr().out
    record, saved = _saved_transform(tmp_path, "eye-in-hand")
    assert record.camera_model == "fisheye" and record.refinement.refined
    millimetres, degrees = scenes.error_mm_deg(saved, scene("eye-in-hand").camera_transform)
    assert millimetres < 0.5 and degrees < 0.05
    document = json.loads((tmp_path / "hand_eye.json").read_text())
    assert len(document["intrinsics_used"]["distortion_coefficients"]) == 4
    out = capsys.readouterr().out
    assert "All 5 methods agree" in out
    page = report.read_text(encoding="utf-8")
    assert "Fisheye lens mapping" in page and page.count('class="method-row"') == 5
    assert "Distortion Coefficients (fisheye model: k1, k2, k3, k4)" in page
    # The report's per-view errors are those of the fisheye projection: all well under a pixel.
    assert "[pass] reprojection RMS: 0.0" in out


@pytest.mark.parametrize("setup", list(EYE_TO_HAND))
def test_velk_hand_eye_takes_the_lens_model_of_an_intrinsics_record(fisheye_dataset, tmp_path, setup):
    folders, target = fisheye_dataset
    intrinsics = _intrinsics_record(tmp_path / "intrinsics.json", "fisheye")
    arguments = ["hand-eye", str(folders[setup]), "--target", str(target), "--intrinsics", str(intrinsics),
                 "-o", str(tmp_path), "--no-validate", "--quiet"]
    assert cli.main(arguments + (["--eye-to-hand"] if EYE_TO_HAND[setup] else [])) == 0
    record, saved = _saved_transform(tmp_path, setup)
    assert record.camera_model == "fisheye"
    millimetres, degrees = scenes.error_mm_deg(saved, scene(setup).camera_transform)
    assert millimetres < 0.5 and degrees < 0.05


@pytest.mark.parametrize("recorded, chosen", [("fisheye", "pinhole"), ("pinhole", "fisheye")])
def test_a_camera_model_that_contradicts_the_intrinsics_record_is_a_usage_error(fisheye_dataset, tmp_path, capsys,
                                                                                 recorded, chosen):
    folders, target = fisheye_dataset
    intrinsics = _intrinsics_record(tmp_path / "intrinsics.json", recorded)
    if recorded == "pinhole":
        document = json.loads(intrinsics.read_text())
        document["distortion_coefficients"] += [0.0]
        intrinsics.write_text(json.dumps(document))
    code = cli.main(["hand-eye", str(folders["eye-in-hand"]), "--target", str(target), "--intrinsics",
                     str(intrinsics), "--camera-model", chosen, "-o", str(tmp_path)])
    assert code == 2
    assert f"--camera-model {chosen} contradicts" in capsys.readouterr().err
    assert not (tmp_path / "hand_eye.json").exists()


def test_velk_plan_refuses_fisheye_intrinsics(fisheye_dataset, tmp_path, capsys):
    _, target = fisheye_dataset
    intrinsics = _intrinsics_record(tmp_path / "intrinsics.json", "fisheye")
    code = cli.main(["plan", "--target", str(target), "--intrinsics", str(intrinsics), "--fixed", "0.5", "0", "0",
                     "0", "0", "0"])
    assert code == 2 and "pinhole model only" in capsys.readouterr().err


@pytest.mark.parametrize("setup", list(EYE_TO_HAND))
def test_velk_check_with_the_fisheye_model(fisheye_dataset, capsys, setup):
    folders, target = fisheye_dataset
    code = cli.main(["check", str(folders[setup]), "--target", str(target), "--camera-model", "fisheye", "--quiet"]
                    + (["--eye-to-hand"] if EYE_TO_HAND[setup] else []))
    out = capsys.readouterr().out
    assert code == 0, out
    assert "All 5 methods agree" in out and "Verdict: PASS" in out
