"""velk import-bag --joint-states: the arm's joint readings at each kept picture, merged by name from partial
messages, interpolated to the picture's time stamp, and the pictures without readings around them skipped."""

import dataclasses

import numpy as np
import pytest

import _velk
import recorded_bags as rb
from quorvane.velk import cli
from quorvane.velk.bag_import import SKIP_JOINTS_MOVING, SKIP_MOVING, SKIP_NO_JOINTS, import_bag
from quorvane.velk.joint_table import JOINT_FILE, joint_values, read_joint_table

pytest.importorskip("rosbags")
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

PUBLISHING = rb.JointPublishing()


def _write(folder, recording, version=2, storage="sqlite3", publishing=PUBLISHING):
    return rb.write_bag(folder / ("joints.bag" if version == 1 else "joints"), recording, version, "bgr8", storage,
                        joints=publishing)


def _arm():
    """A chain of the recording's three joints in the arm's order (the geometry does not matter here)."""
    kinematics = _velk.kinematics
    links = [kinematics.dh_link(name, "revolute", False, 0.1, 0.0, 0.3, 0.5) for name in rb.JOINT_NAMES]
    return kinematics.KinematicChain(links, np.eye(4), np.eye(4))


@pytest.fixture(scope="module")
def recording():
    return rb.small_recording()


@pytest.fixture(scope="module", params=[(2, "mcap"), (1, "sqlite3")], ids=["ros2-mcap", "ros1"])
def joint_bag(request, recording, tmp_path_factory):
    version, storage = request.param
    return _write(tmp_path_factory.mktemp("joints"), recording, version, storage)


def test_still_pictures_get_the_readings_merged_by_name(joint_bag, recording, tmp_path):
    summary = import_bag(joint_bag, tmp_path, rb.IMAGE_TOPIC, "base_link", "tool0", joint_topic="/joint_states")
    assert [p.kept for p in summary.pictures] == recording.still
    assert summary.skipped == {SKIP_MOVING: recording.still.count(False)}
    # The columns follow the first message naming every joint, whatever order the controllers use.
    assert summary.joint_names == list(PUBLISHING.first)
    assert summary.joint_file == tmp_path / JOINT_FILE
    table = read_joint_table(summary.joint_file)
    assert table.names == list(PUBLISHING.first)
    stops = rb.stop_joints(len(recording.flange_poses))
    truth = [stops[stop] for stop, still in zip(recording.picture_stops, recording.still) if still]
    np.testing.assert_allclose(joint_values(table, _arm()), truth, atol=1e-12)
    assert len(table) == len(_velk.io.load_robot_poses(tmp_path))


def test_readings_are_interpolated_to_pictures_taken_while_moving(joint_bag, recording, tmp_path, capsys):
    times = [t for t, still in zip(recording.picture_times_ns, recording.still) if not still]
    (tmp_path / "times.txt").write_text("".join(f"{t / rb.NS:.9f}\n" for t in times))
    output = tmp_path / "data"
    assert cli.main(["import-bag", str(joint_bag), rb.IMAGE_TOPIC, "--base", "base_link", "--flange", "tool0",
                     "--joint-states", "--at", str(tmp_path / "times.txt"), "-o", str(output), "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "joint readings from /joint_states: 3 joints (wrist, shoulder, elbow)" in out
    assert f"Wrote the readings of 3 joints at each picture to {output / JOINT_FILE}" in out
    got = joint_values(read_joint_table(output / JOINT_FILE), _arm())
    truth = np.array([rb.joints_at(recording, t) for t in times])
    # Readings every 20 and 25 ms of joints turning up to 0.9 rad/s: the reading before alone is off by mrad.
    np.testing.assert_allclose(got, truth, atol=5e-4)


def _stamp(stop, offset_s):
    return rb.START_NS + int(round((stop * (rb.STOP_S + rb.MOVE_S) + offset_s) * rb.NS))


# The wrist's controller starts 0.3 s into the first stop, after its first picture, whose last wrist reading
# before is then the first message's, 0.3 s earlier; or it is silent from just before a picture of the second stop
# to 0.11 s after it. Or the joint readings are stamped 0.2 s early, so that the last still picture before each
# move sees the joints move.
SKIPS = {
    "readings start late": (dict(silent=(1, rb.START_NS - rb.NS, _stamp(0, 0.3))),
                            SKIP_NO_JOINTS, [(0, 0.25)], "wrist"),
    "gap after a picture": (dict(silent=(1, _stamp(1, 0.44), _stamp(1, 0.56))),
                             SKIP_NO_JOINTS, [(1, 0.45)], "wrist"),
    "joints moving": (dict(clock_offset_ns=-rb.NS // 5), SKIP_JOINTS_MOVING, [(0, 0.65), (1, 0.65)], None),
}


@pytest.mark.parametrize("case", sorted(SKIPS))
def test_pictures_without_readings_around_them_or_with_moving_joints_are_skipped(recording, tmp_path, case):
    change, reason, pictures, detail = SKIPS[case]
    bag = _write(tmp_path, recording, publishing=dataclasses.replace(PUBLISHING, **change))
    summary = import_bag(bag, tmp_path / "data", rb.IMAGE_TOPIC, "base_link", "tool0", joint_topic="/joint_states")
    skipped = [recording.picture_times_ns.index(_stamp(stop, offset)) for stop, offset in pictures]
    assert [p.position for p in summary.pictures if p.reason == reason] == skipped
    assert summary.skipped == {SKIP_MOVING: recording.still.count(False), reason: len(skipped)}
    if detail:
        assert {summary.pictures[k].detail for k in skipped} == {detail}
    assert f"skipped {len(skipped)}: {reason}" in summary.format()
    kept = recording.still.count(True) - len(skipped)
    assert len(read_joint_table(tmp_path / "data" / JOINT_FILE)) == len(summary.kept) == kept


def test_without_the_option_no_joint_table(joint_bag, recording, tmp_path):
    summary = import_bag(joint_bag, tmp_path, rb.IMAGE_TOPIC, "base_link", "tool0")
    assert [p.kept for p in summary.pictures] == recording.still
    assert not (tmp_path / JOINT_FILE).exists()
    assert summary.joint_file is None and summary.joint_names == []
    assert "joint readings" not in summary.format() and JOINT_FILE not in summary.format()
