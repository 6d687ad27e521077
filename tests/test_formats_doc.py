"""docs/formats.md names every member the record writers put in their files: the three result records with every
optional part set, and an intrinsics.json written by velk intrinsics."""

import json

import numpy as np
import pytest

import _velk
import cli_data
from conftest import REPO_ROOT
from quorvane.velk import cli

FORMATS = REPO_ROOT / "docs" / "formats.md"
# Members whose keys are names of the data (distortion models by name), not members of a format.
FREE_FORM = {"held_out_rms_px"}


def member_names(document) -> set[str]:
    """Every object key in a JSON document, nested ones included."""
    names = set()
    if isinstance(document, dict):
        for key, value in document.items():
            names.add(key)
            if key not in FREE_FORM or not isinstance(value, dict):
                names |= member_names(value)
    elif isinstance(document, list):
        for value in document:
            names |= member_names(value)
    return names


def annotated(record):
    """``record`` with every optional part the writers know set."""
    io = _velk.io
    refinement = io.RefinementRecord()
    refinement.robot_noise, refinement.target_scale = io.RobotNoiseRecord(), io.TargetScaleRecord()
    record.refinement = refinement
    validation = io.ValidationRecord()
    validation.cameras = [0]
    record.validation = validation
    return with_annotations(record)


def with_annotations(record):
    """``record`` with every annotation set."""
    io = _velk.io
    kinematics = io.KinematicsRecord()
    kinematics.parameters, kinematics.held_out = [io.KinematicParameterRecord()], io.KinematicPredictionRecord()
    record.kinematics = kinematics
    verdict = io.VerdictRecord()
    verdict.checks, verdict.warnings = [io.CheckRecord()], ["a warning"]
    record.verdict = verdict
    record.intrinsics_used, record.refinement_applied = io.IntrinsicsUsedRecord(), io.RefinementAppliedRecord()
    record.saved_method, record.image_names = "TSAI", ["image_0.png"]
    record.units = {"translation": "m", "rotation": "3 x 3 rotation matrix", "angles": "deg", "pixels": "px"}
    return record


def hand_eye(path):
    record = annotated(_velk.io.HandEyeResultRecord())
    record.camera_model, record.tcp_T_camera_list = "fisheye", [np.eye(4)]
    return _velk.io.save_hand_eye_result(path, record)


def eye_to_hand(path):
    record = annotated(_velk.io.EyeToHandResultRecord())
    record.camera_model, record.robot_T_camera_list, record.tcp_T_target = "fisheye", [np.eye(4)], np.eye(4)
    return _velk.io.save_eye_to_hand_result(path, record)


def rig(path):
    record = annotated(_velk.io.MultiCameraCalibrationRecord())
    record.num_cameras, record.intrinsic_matrices = 1, [np.eye(3)]
    record.distortion_coefficients, record.reference_T_camera_list = [np.zeros((1, 5))], [np.eye(4)]
    return _velk.io.save_multi_camera_calibration(path, record)


def cell(path):
    io = _velk.io
    record = with_annotations(io.CellCalibrationRecord())
    camera, pair = io.CellCameraRecord(), io.CameraPairRecord()
    camera.image_names, camera.validation = ["image_0.png"], io.ValidationRecord()
    record.num_cameras, record.cameras, record.camera_pairs = 1, [camera], [pair]
    record.robot_T_camera_list, record.tcp_T_target = [np.eye(4)], np.eye(4)
    record.tcp_T_camera_list, record.world_T_target = [np.eye(4)], np.eye(4)
    record.intrinsic_matrices, record.distortion_coefficients = [np.eye(3)], [[0.0] * 5]
    record.reference_T_camera_list = [np.eye(4)]
    return io.save_cell_calibration(path, record)


def undocumented(path) -> list[str]:
    text = FORMATS.read_text(encoding="utf-8")
    names = member_names(json.loads(open(path, encoding="utf-8").read()))
    return sorted(name for name in names if f"`{name}`" not in text)


@pytest.mark.parametrize("write", [hand_eye, eye_to_hand, rig, cell], ids=["hand_eye", "eye_to_hand", "rig", "cell"])
def test_every_member_of_the_result_records_is_documented(tmp_path, write):
    assert undocumented(write(tmp_path / "record.json")) == []


def test_every_member_of_intrinsics_json_is_documented(intrinsic_capture, tmp_path):
    import cv2

    target, images = intrinsic_capture("good")
    for k, image in enumerate(images):
        cv2.imwrite(str(tmp_path / f"view_{k:02d}.png"), image)
    target_file = cli_data.write_target(tmp_path / "target.json", target)
    cli.main(["intrinsics", str(tmp_path), "--target", str(target_file), "-o", str(tmp_path / "out"), "--quiet"])
    assert undocumented(tmp_path / "out" / "intrinsics.json") == []
