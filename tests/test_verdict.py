"""The judging of results (solver agreement across a full turn, likely causes) and the naming of pictures."""

import logging
from types import SimpleNamespace

import numpy as np
import pytest

import _velk
from _velk import tf
from quorvane.velk import arm_captures, logs, verdict
from quorvane.velk.verdict import likely_causes


def solved(rz, x=0.03):
    return SimpleNamespace(tcp_T_camera=np.asarray(tf.pose_to_transformation_matrix([x, -0.02, 0.08, 5, -3, rz])),
                           pose_deg=[x, -0.02, 0.08, 5, -3, rz])


@pytest.mark.parametrize("rzs, passed, outliers", [
    ([179.9, -179.9, 179.95, -179.95, 179.8], True, "none"),
    ([179.9, -179.9, 179.95, -179.95, 170.0], True, "TSAI"),
    ([179.9, -179.9, 170.0, 160.0, -179.95], False, "HORAUD, PARK"),
    ([10.0, 10.2, 9.9, 10.1, 10.0], True, "none"),
])
def test_solver_agreement_wraps_angles(rzs, passed, outliers):
    names = ["ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"]
    check = verdict.solver_check(dict(zip(names, [solved(rz) for rz in rzs])))
    assert check.passed is passed
    assert check.figures.split("outliers: ")[1].startswith(outliers)


def test_failed_solvers_are_named_and_two_are_needed():
    check = verdict.solver_check({"TSAI": solved(1.0), "PARK": None})
    assert check.passed is False and "1 solver(s)" in check.figures
    check = verdict.solver_check({"TSAI": solved(1.0), "PARK": solved(1.1), "LI": None})
    assert check.passed and "failed: LI" in check.figures


def scene(count=10, seed=2):
    """Robot and camera poses of an exact eye-in-hand set-up."""
    rng = np.random.default_rng(seed)
    mount = np.asarray(tf.pose_to_transformation_matrix([0.03, -0.02, 0.08, 5, -3, 90]))
    world_T_target = np.asarray(tf.pose_to_transformation_matrix([0.6, 0.1, 0.0, 180, 0, 0]))
    robots = [np.asarray(tf.pose_to_transformation_matrix([0.5 + rng.uniform(-0.1, 0.1), rng.uniform(-0.1, 0.1),
                                                           0.5, 180 + rng.uniform(-25, 25), rng.uniform(-25, 25),
                                                           rng.uniform(-40, 40)])) for _ in range(count)]
    cameras = [np.linalg.inv(mount) @ np.linalg.inv(r) @ world_T_target for r in robots]
    return robots, cameras


def test_the_pairing_as_given_needs_no_cause():
    robots, cameras = scene()
    assert verdict.pairing_spread_mm(robots, cameras, False) < 1e-6
    assert verdict.pose_causes(robots, cameras, list(range(10)), False) == []


@pytest.mark.parametrize("fault, words", [("shift", "shifted by 1 picture"), ("xyzw", "--quat-order xyzw"),
                                          ("wxyz", "--quat-order wxyz"), ("inverted", "--invert"),
                                          ("metres as mm", "--units m"), ("eye-to-hand", "add --eye-to-hand")])
# Inverted poses and the other set-up read alike, so both are named together.
def test_the_likely_cause_is_named(fault, words):
    robots, cameras = scene()
    eye_to_hand = False
    if fault == "shift":
        robots = robots[1:] + robots[:1]
    elif fault == "inverted":
        robots = [np.linalg.inv(r) for r in robots]
    elif fault == "metres as mm":
        robots = likely_causes._scaled_translations(robots, 0.001)
    elif fault == "eye-to-hand":
        # A stationary camera seeing a board on the flange, judged as if the camera were on the flange.
        robot_T_camera = np.asarray(tf.pose_to_transformation_matrix([0.6, 0.1, 1.2, 150, 10, 10]))
        tcp_T_target = np.asarray(tf.pose_to_transformation_matrix([0.01, 0.02, 0.1, 0, 0, 30]))
        cameras = [np.linalg.inv(robot_T_camera) @ r @ tcp_T_target for r in robots]
    else:
        order = (1, 2, 3, 0) if fault == "xyzw" else (3, 0, 1, 2)
        robots = likely_causes._reordered(robots, order)
    names = [f"image_{k}.png" for k in range(10)]
    causes = verdict.pose_causes(robots, cameras, list(range(10)), eye_to_hand, names)
    assert len(causes) == 1 and words in causes[0], causes


@pytest.mark.parametrize("arm", ["scara", "gantry"])
def test_a_shifted_pairing_is_named_on_arms_the_general_closed_forms_are_undefined_on(arm):
    capture = arm_captures.arm_capture(arm, "eye-in-hand", 10, seed=1)
    robots, cameras = capture.robot_T_tcp_list, capture.camera_T_target_list
    assert verdict.pose_causes(robots, cameras, list(range(10)), False) == []
    causes = verdict.pose_causes(robots[1:] + robots[:1], cameras, list(range(10)), False)
    assert len(causes) == 1 and "shifted by 1 picture" in causes[0], causes


def test_units_are_named_from_the_distances_and_the_robot_reach():
    robots, _ = scene()
    in_mm = [np.diag([1, 1, 1, 1.0]) @ r for r in robots]
    for r in in_mm:
        r[:3, 3] *= 1000.0
    causes = verdict.unit_causes([600.0] * 10, in_mm)
    assert any("target's lengths" in c for c in causes) and any("--units mm" in c for c in causes)
    assert verdict.unit_causes([0.6] * 10, robots) == []


@pytest.mark.parametrize("names, lines", [
    ([], ["Chessboard not found in image 0", "Chessboard not found in image 1"]),
    (["image_0.png", "image_4.png"], ["Chessboard not found in image 0 (image_0.png)",
                                      "Chessboard not found in image 4 (image_4.png)"]),
])
def test_the_library_names_pictures_by_the_names_given(names, lines):
    """Pictures are named in the library's own lines, which reach Python's logging as records with the component."""
    options = _velk.IntrinsicOptions()
    options.image_names = names
    blank = np.full((60, 80, 3), 255, np.uint8)
    records = []
    keep = logging.Handler()
    keep.emit = records.append
    logs.LOGGER.addHandler(keep)
    try:
        _velk.IntrinsicCalibrator(_velk.ChessboardTarget((9, 6), 0.025), options).calibrate([blank, blank])
    finally:
        logs.LOGGER.removeHandler(keep)
    warnings = [r for r in records if "not found" in r.getMessage()]
    assert [r.getMessage() for r in warnings] == [f"[IntrinsicCalibrator] {line}" for line in lines]
    assert all(r.levelno == logging.WARNING and r.velk_component == "IntrinsicCalibrator" for r in warnings)
    assert logs.line_of(warnings[0]) == f"[velk][WARNING] [IntrinsicCalibrator] {lines[0]}"


def test_verdict_line_and_code():
    judged = verdict.Verdict(checks=[verdict.Check("a", True, "1"), verdict.Check("b", None, "n/a")])
    assert judged.code == 0 and judged.text == "Verdict: PASS - the calibration result passes all 1 checks"
    judged.checks.append(verdict.Check("c", False, "9", "1"))
    judged.causes.append("poses shifted")
    assert judged.code == 1 and judged.text.endswith("not trustworthy (c); likely cause: poses shifted")
    assert judged.to_json()["checks"][2] == {"name": "c", "passed": False, "figures": "9", "limit": "1"}
