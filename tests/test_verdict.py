"""The judging of results (solver agreement across a full turn, likely causes) and the renaming of frames."""

from types import SimpleNamespace

import numpy as np
import pytest

from _velk import tf
from quorvane.velk import verdict
from quorvane.velk.frame_names import FrameNames


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
                                          ("wxyz", "--quat-order wxyz")])
def test_the_likely_cause_is_named(fault, words):
    robots, cameras = scene()
    if fault == "shift":
        robots = robots[1:] + robots[:1]
    else:
        order = (1, 2, 3, 0) if fault == "xyzw" else (3, 0, 1, 2)
        robots = verdict._reordered(robots, order)
    names = [f"image_{k}.png" for k in range(10)]
    causes = verdict.pose_causes(robots, cameras, list(range(10)), False, names)
    assert len(causes) == 1 and words in causes[0]


def test_units_are_named_from_the_distances_and_the_robot_reach():
    robots, _ = scene()
    in_mm = [np.diag([1, 1, 1, 1.0]) @ r for r in robots]
    for r in in_mm:
        r[:3, 3] *= 1000.0
    causes = verdict.unit_causes([600.0] * 10, in_mm)
    assert any("target's lengths" in c for c in causes) and any("--units mm" in c for c in causes)
    assert verdict.unit_causes([0.6] * 10, robots) == []


def test_frames_are_renamed_by_capture():
    names = FrameNames(["image_0.png", "image_1.png", "image_2.png", "image_4.png", "image_5.png"], used=[0, 2, 3, 4])
    text = ("[velk][WARNING] [CharucoIntrinsicCalibrator] Not enough ChArUco corners in image 1\n"
            "  Frame 2: trans=1.0mm rot=0.1deg\n"
            "  Outlier views (kept): 0, 3\n"
            "  Outlier views (kept): none\n"
            "  Suspect robot poses (kept): 2 (1.88 mm, 0.106 deg)\n"
            "  Worst views: frame 3 (2.10 px), frame 1 (1.50 px)\n"
            "  Outlier views (kept): cam_1/frame 2")
    assert names.rename(text).splitlines() == [
        "[velk][WARNING] [CharucoIntrinsicCalibrator] Not enough ChArUco corners in image 1 (image_1.png)",
        "  Frame 4 (image_4.png): trans=1.0mm rot=0.1deg",
        "  Outlier views (kept): 0 (image_0.png), 5 (image_5.png)",
        "  Outlier views (kept): none",
        "  Suspect robot poses (kept): 4 (image_4.png) (1.88 mm, 0.106 deg)",
        "  Worst views: frame 4 (image_4.png) (2.10 px), frame 1 (image_1.png) (1.50 px)",
        "  Outlier views (kept): cam_1/frame 2 (image_2.png)",
    ]


def test_verdict_line_and_code():
    judged = verdict.Verdict(checks=[verdict.Check("a", True, "1"), verdict.Check("b", None, "n/a")])
    assert judged.code == 0 and judged.text == "Verdict: PASS - the calibration result passes all 1 checks"
    judged.checks.append(verdict.Check("c", False, "9", "1"))
    judged.causes.append("poses shifted")
    assert judged.code == 1 and judged.text.endswith("not trustworthy (c); likely cause: poses shifted")
    assert judged.to_json()["checks"][2] == {"name": "c", "passed": False, "figures": "9", "limit": "1"}
