"""Kinematic chains (DH, modified DH, URDF) and their calibration from measured poses: the measured
positioner against its acceptance, and a simulated arm with known corrections."""

import numpy as np
import pytest
import yaml

import kinematic_scenes as scenes
from _velk import kinematics
from quorvane.velk import cli, kinematic_models

PLANAR_DH = """\
convention: dh
angle_unit: deg
joints:
  - {type: revolute, d: 0.0, theta: 0, r: 0.5, alpha: 0}
  - {type: revolute, d: 0.0, theta: 0, r: 0.3, alpha: 0}
"""
PLANAR_MODIFIED_DH = """\
convention: modified_dh
angle_unit: deg
tool: {xyz: [0.3, 0.0, 0.0]}
joints:
  - {type: revolute, d: 0.0, theta: 0, a: 0.0, alpha: 0}
  - {type: revolute, d: 0.0, theta: 0, a: 0.5, alpha: 0}
"""
PLANAR_URDF = """\
<robot name="planar">
  <link name="base"/><link name="upper"/><link name="fore"/><link name="tool"/>
  <joint name="shoulder" type="revolute"><parent link="base"/><child link="upper"/>
    <origin xyz="0 0 0" rpy="0 0 0"/><axis xyz="0 0 1"/><limit lower="-3" upper="3" effort="1" velocity="1"/></joint>
  <joint name="elbow" type="revolute"><parent link="upper"/><child link="fore"/>
    <origin xyz="0.5 0 0" rpy="0 0 0"/><axis xyz="0 0 1"/><limit lower="-3" upper="3" effort="1" velocity="1"/></joint>
  <joint name="flange" type="fixed"><parent link="fore"/><child link="tool"/><origin xyz="0.3 0 0"/></joint>
</robot>
"""
# Tilted origins, a fixed joint between two moving ones and a prismatic joint.
TILTED_URDF = """\
<robot name="tilted">
  <link name="world"/><link name="base"/><link name="a"/><link name="b"/><link name="c"/><link name="d"/>
  <link name="tool"/>
  <joint name="mount" type="fixed"><parent link="world"/><child link="base"/><origin xyz="0.1 0 0.2" rpy="0 0 0.3"/>
  </joint>
  <joint name="j1" type="revolute"><parent link="base"/><child link="a"/>
    <origin xyz="0 0 0.3" rpy="0.1 0 0"/><axis xyz="0 0 1"/><limit lower="-3" upper="3" effort="1" velocity="1"/>
  </joint>
  <joint name="spacer" type="fixed"><parent link="a"/><child link="b"/><origin xyz="0.05 0.02 0" rpy="0 0.2 0"/>
  </joint>
  <joint name="j2" type="revolute"><parent link="b"/><child link="c"/>
    <origin xyz="0.4 0 0" rpy="1.5708 0 0.2"/><axis xyz="0 1 0"/><limit lower="-3" upper="3" effort="1" velocity="1"/>
  </joint>
  <joint name="slide" type="prismatic"><parent link="c"/><child link="d"/>
    <origin xyz="0.1 0 0.05" rpy="0 -0.3 0"/><axis xyz="1 0 0"/><limit lower="0" upper="1" effort="1" velocity="1"/>
  </joint>
  <joint name="flange" type="fixed"><parent link="d"/><child link="tool"/><origin xyz="0 0 0.1" rpy="0.2 0 0"/></joint>
</robot>
"""


def _model(tmp_path, name, text):
    path = scenes.write_model(tmp_path / name, text)
    return kinematic_models.load_model(path, "base", "tool")


def _flange(chain, joints):
    return np.asarray(kinematics.forward_kinematics(getattr(chain, "chain", chain), list(joints)))


@pytest.mark.parametrize("name, text", [("planar.yaml", PLANAR_DH), ("planar_modified.yaml", PLANAR_MODIFIED_DH),
                                        ("planar.urdf", PLANAR_URDF)])
def test_conventions_place_the_flange_alike(tmp_path, name, text):
    chain = _model(tmp_path, name, text)
    q1, q2 = np.radians(30.0), np.radians(45.0)
    flange = _flange(chain, [q1, q2])
    expected = [0.5 * np.cos(q1) + 0.3 * np.cos(q1 + q2), 0.5 * np.sin(q1) + 0.3 * np.sin(q1 + q2), 0.0]
    np.testing.assert_allclose(flange[:3, 3], expected, atol=1e-12)
    np.testing.assert_allclose(np.degrees(np.arctan2(flange[1, 0], flange[0, 0])), 75.0, atol=1e-9)


def test_corrected_urdf_moves_the_flange_as_the_corrected_chain(tmp_path):
    urdf = scenes.write_model(tmp_path / "tilted.urdf", TILTED_URDF)
    model = kinematic_models.load_urdf_chain(urdf, "world", "tool")
    assert [link.type for link in model.chain.links] == ["revolute", "revolute", "prismatic"]
    names = kinematics.correction_names(model.chain, "full")
    assert len(names) == 3 + 3 * 6 and names[0] == "joint j1 zero offset" and names[-1] == "joint slide origin yaw"
    rng = np.random.default_rng(3)
    corrected = kinematics.corrected_chain(model.chain, "full", rng.normal(0.0, 0.01, len(names)).tolist())
    kinematic_models.write_corrected_urdf(tmp_path / "corrected.urdf", model, corrected)
    reread = kinematic_models.load_urdf_chain(tmp_path / "corrected.urdf", "world", "tool")
    for joints in rng.uniform(-1.0, 1.0, size=(5, 3)):
        np.testing.assert_allclose(_flange(reread, joints), _flange(corrected, joints), atol=1e-9)
        assert np.abs(_flange(model, joints) - _flange(corrected, joints)).max() > 1e-3


@pytest.fixture(scope="module")
def arm_chain(tmp_path_factory):
    return kinematic_models.load_dh_model(scenes.write_model(tmp_path_factory.mktemp("arm") / "arm.yaml",
                                                             scenes.ARM_MODEL))


ARM_HELD = {"joint j1 zero offset": "base", "joint j1 d": "base", "joint j4 zero offset": "flange",
            "joint j4 d": "flange", "joint j4 r": "flange", "joint j4 alpha": "flange"}


@pytest.mark.parametrize("setup, mount_frame", [("sensor_fixed", "base"), ("sensor_on_chain", "flange")])
def test_simulated_arm_recovers_its_corrections(arm_chain, setup, mount_frame):
    sim = scenes.simulate_arm(arm_chain, 7, setup=setup)
    result = kinematic_models.calibrate(arm_chain, sim.measured, scenes.perturbed(sim.mount, 7),
                                        scenes.perturbed(sim.carrier, 7), "full")
    held = {p.name: p.held_reason for p in result.parameters if not p.estimated}
    assert set(held) == set(ARM_HELD)
    for name, frame in ARM_HELD.items():
        absorber = result.mount_name if frame == mount_frame else result.carrier_name
        assert held[name] == f"absorbed by {absorber}"
    values, sigmas, estimated = kinematic_models.parameter_arrays(result)
    errors = (values - scenes.ARM_TRUE_CORRECTIONS)[estimated] / sigmas[estimated]
    assert np.all(np.abs(errors) < 3.5), errors
    assert np.all(sigmas[estimated] < 1e-4)
    assert result.translation_noise_mm == pytest.approx(0.2, rel=0.25)
    assert result.rotation_noise_deg == pytest.approx(0.02, rel=0.25)
    assert result.calibrated_held_out.mean_position_mm < 0.5 < 2.0 < result.nominal_held_out.mean_position_mm


@pytest.fixture(scope="module")
def positioner(tmp_path_factory):
    if not (scenes.POSITIONER_DIR / kinematic_models.MEASUREMENTS_FILE).is_file():
        pytest.skip(f"no measured poses in {scenes.POSITIONER_DIR}")
    folder = tmp_path_factory.mktemp("positioner")
    chain = kinematic_models.load_dh_model(scenes.write_model(folder / "model.yaml", scenes.POSITIONER_MODEL))
    measured = kinematic_models.load_measured_poses(scenes.POSITIONER_DIR)
    mount, carrier = kinematic_models.load_pose_guesses(scenes.POSITIONER_DIR)
    return folder, {mode: kinematic_models.calibrate(chain, measured, mount, carrier, mode)
                    for mode in ("offsets", "full")}


@pytest.mark.parametrize("mode", ["offsets", "full"])
def test_positioner_meets_acceptance_and_predicts_held_out_poses(positioner, mode):
    result = positioner[1][mode]
    assert result.calibrated_fit.count == 205 and result.calibrated_held_out.count == 205
    assert result.calibrated_fit.mean_position_mm < 2.0 and result.calibrated_fit.mean_orientation_deg < 0.2
    nominal, calibrated = result.nominal_held_out, result.calibrated_held_out
    assert 0.3 < nominal.mean_position_mm < 0.5 and 0.03 < nominal.mean_orientation_deg < 0.07
    assert calibrated.mean_position_mm <= nominal.mean_position_mm * 1.01
    assert calibrated.mean_orientation_deg <= nominal.mean_orientation_deg * 1.01
    held = {p.name: p.held_reason for p in result.parameters if not p.estimated}
    assert held["joint j1 zero offset"] == "absorbed by base_T_camera"
    assert held["joint j2 zero offset"] == "absorbed by flange_T_target"
    estimated = sorted(p.name for p in result.parameters if p.estimated)
    assert estimated == ([] if mode == "offsets" else ["joint j1 alpha", "joint j1 r"])


def test_corrections_file_lists_every_correction(positioner):
    folder, results = positioner
    result = results["full"]
    kinematic_models.write_corrections_yaml(folder / "corrections.yaml", result, "full")
    written = yaml.safe_load((folder / "corrections.yaml").read_text(encoding="utf-8"))
    assert list(written["parameters"]) == [p.name for p in result.parameters]
    r = written["parameters"]["joint j1 r"]
    assert r["estimated"] and r["unit"] == "m" and r["sigma"] > 0.0
    assert written["parameters"]["joint j2 d"]["held"] == "absorbed by flange_T_target"
    np.testing.assert_allclose(written["base_T_camera"], result.mount)


@pytest.mark.parametrize("name, text, message", [
    ("bad.yaml", "convention: dh\njoints:\n  - {d: 0, theta: 0, alpha: 0}\n", "lacks"),
    ("bad.yaml", "convention: craig\njoints: []\n", "convention"),
    ("bad.yaml", "convention: dh\njoints:\n  - {type: ball, d: 0, theta: 0, r: 0, alpha: 0}\n", "joint type"),
    ("bad.urdf", PLANAR_URDF.replace('<child link="tool"/>', '<child link="tip"/>'), "no chain of joints"),
])
def test_unusable_models_are_named(tmp_path, name, text, message):
    with pytest.raises(ValueError, match=message):
        _model(tmp_path, name, text)


def test_measurements_moving_both_chains_are_refused(tmp_path):
    path = tmp_path / "measurements.yaml"
    path.write_text("'1':\n  target_joints: [0.1]\n  camera_joints: [0.2]\n  pose: {x: 0, y: 0, z: 1, qw: 1, qx: 0, "
                    "qy: 0, qz: 0}\n", encoding="utf-8")
    with pytest.raises(ValueError, match="exactly one"):
        kinematic_models.load_measured_poses(tmp_path)


@pytest.mark.parametrize("model, mode, code, verdict", [
    (scenes.POSITIONER_MODEL, "full", 0, "Verdict: PASS"),
    # A twist 10 deg off that no transform can take up: the offsets cannot explain the poses.
    (scenes.POSITIONER_MODEL.replace("alpha: -90", "alpha: -80"), "offsets", 1, "Verdict: FAIL"),
])
def test_command_prints_corrections_and_held_out_table_with_verdict(positioner, capsys, model, mode, code, verdict):
    folder = positioner[0]
    path = scenes.write_model(folder / f"cli_{mode}.yaml", model)
    output = folder / f"cli_{mode}_corrections.yaml"
    assert cli.main(["kinematics", str(scenes.POSITIONER_DIR), "--model", str(path), "--kinematics", mode,
                     "-o", str(output)]) == code
    printed = capsys.readouterr().out
    assert printed.rstrip().splitlines()[-1].startswith(verdict)
    assert "joint j1 zero offset: absorbed by base_T_camera" in printed
    assert "held out (5 folds), calibrated" in printed and output.is_file()
    if code == 0:
        assert "joint j1 r: +0.6" in printed


def test_command_without_starting_values_names_the_option(tmp_path, capsys):
    (tmp_path / "measurements.yaml").write_text(
        "'1':\n  target_joints: [0.1]\n  camera_joints: []\n  pose: {x: 0, y: 0, z: 1, qw: 1, qx: 0, qy: 0, qz: 0}\n",
        encoding="utf-8")
    model = scenes.write_model(tmp_path / "model.yaml", PLANAR_DH)
    assert cli.main(["kinematics", str(tmp_path), "--model", str(model)]) == 2
    assert "--guesses" in capsys.readouterr().err
