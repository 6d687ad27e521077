"""velk import-bag with several image topics: one camera folder per topic, the same robot poses in each (one per
stand-still), pictures paired with the poses by number, and a camera that misses a stand-still left out of it."""

import dataclasses

import numpy as np
import pytest

import _velk
import recorded_bags as rb
from quorvane.velk import cli
from quorvane.velk.bag_cameras import SKIP_SAME_STILL, import_bag_cameras
from quorvane.velk.bag_import import SKIP_MOVING
from quorvane.velk.datasets import POSE_FILE, numbered_pictures, read_image
from quorvane.velk.joint_table import JOINT_FILE, read_joint_table

pytest.importorskip("rosbags")
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

SECOND_TOPIC = "/cam_b/image"
# Each camera's pictures of a stop are flat, with a grey value of their own: (camera, stop) -> value.
SHADES = [[40, 80, 120], [250, 210, 170]]
# The second camera takes two still pictures per stop, at other times than the first.
SECOND_OFFSETS = (0.3, 0.55)


def _camera(shades, still_offsets, missing_stops=()):
    """A camera's recording of the three small stops, without any picture of ``missing_stops``."""
    pictures = [np.full((12, 16, 3), value, np.uint8) for value in shades]
    recording = rb.make_recording(rb.SMALL_POSES, pictures, still_offsets)
    keep = [k for k, stop in enumerate(recording.picture_stops) if stop not in missing_stops]
    return dataclasses.replace(recording, picture_times_ns=[recording.picture_times_ns[k] for k in keep],
                               picture_stops=[recording.picture_stops[k] for k in keep],
                               still=[recording.still[k] for k in keep])


def _write(folder, missing=((), ())):
    first = _camera(SHADES[0], rb.STILL_OFFSETS, missing[0])
    second = _camera(SHADES[1], SECOND_OFFSETS, missing[1])
    bag = rb.write_bag(folder / "cell", first, encoding="bgr8", joints=rb.JointPublishing(),
                       cameras=[(SECOND_TOPIC, second)])
    return bag, (first, second)


@pytest.fixture(scope="module")
def cell_bag(tmp_path_factory):
    return _write(tmp_path_factory.mktemp("cell"))


def _arguments(bag, output, *more):
    return ["import-bag", str(bag), rb.IMAGE_TOPIC, SECOND_TOPIC, "--base", "base_link", "--flange", "tool0",
            "-o", str(output), "--quiet", *more]


# (stops without a picture of the first and of the second camera, the stop of each pose, the poses each
# camera misses)
GAPS = {
    "every camera at every stop": (((), ()), [0, 1, 2], [[], []]),
    "second camera misses a stop": (((), (1,)), [0, 1, 2], [[], [1]]),
    "no camera at a stop": (((1,), (1,)), [0, 2], [[], []]),
}


@pytest.mark.parametrize("case", sorted(GAPS))
def test_each_topic_gets_a_camera_folder_with_the_same_poses_and_pictures_paired_by_number(tmp_path, capsys, case):
    missing, pose_stops, camera_gaps = GAPS[case]
    bag, recordings = _write(tmp_path, missing)
    output = tmp_path / "data"
    assert cli.main(_arguments(bag, output, "--joint-states")) == 0
    out, err = capsys.readouterr()
    assert sorted(p.name for p in output.iterdir()) == ["cam_0", "cam_1"]  # nothing at the top, no staging left
    stop_joints = rb.stop_joints(len(rb.SMALL_POSES))
    for camera, (topic, recording, gaps) in enumerate(zip((rb.IMAGE_TOPIC, SECOND_TOPIC), recordings, camera_gaps)):
        folder = output / f"cam_{camera}"
        poses = _velk.io.load_robot_poses(folder)
        assert len(poses) == len(pose_stops)
        for pose, stop in zip(poses, pose_stops):
            np.testing.assert_allclose(pose, rb.SMALL_POSES[stop], atol=1e-9)
        pictures = numbered_pictures(folder)
        expected = {k: stop for k, stop in enumerate(pose_stops) if k not in gaps}
        assert sorted(pictures) == sorted(expected)
        for k, stop in expected.items():
            assert np.array_equal(read_image(pictures[k]), np.full((12, 16, 3), SHADES[camera][stop], np.uint8))
        table = read_joint_table(folder / JOINT_FILE)
        columns = [rb.JOINT_NAMES.index(name) for name in table.names]
        np.testing.assert_allclose(table.values, stop_joints[pose_stops][:, columns], atol=1e-12)
        assert f"{topic} -> cam_{camera}: {len(expected)} pictures of {len(recording.still)} read" in out
        named = f"cam_{camera} ({topic}) has no picture at pose(s)"
        assert (f"velk: warning: {named} {', '.join(map(str, gaps))} " in err) == bool(gaps)
    assert f"  {len(pose_stops)} poses (one per stand-still of the robot" in out


def test_each_camera_gives_its_middle_still_picture_of_each_stand_still(cell_bag, tmp_path):
    bag, recordings = cell_bag
    summary = import_bag_cameras(bag, tmp_path / "data", [rb.IMAGE_TOPIC, SECOND_TOPIC], "base_link", "tool0")
    for camera, offsets, recording in zip(summary.cameras, (rb.STILL_OFFSETS, SECOND_OFFSETS), recordings):
        middle = offsets[(len(offsets) - 1) // 2]
        chosen = [rb.START_NS + int(round((stop * (rb.STOP_S + rb.MOVE_S) + middle) * rb.NS)) for stop in range(3)]
        assert [p.stamp_ns for p in camera.summary.kept] == chosen
        assert [p.file for p in camera.summary.kept] == ["image_0.png", "image_1.png", "image_2.png"]
        assert camera.summary.skipped == {SKIP_MOVING: recording.still.count(False),
                                          SKIP_SAME_STILL: recording.still.count(True) - 3}
    assert summary.warnings() == []


def test_requested_times_give_one_pose_each_from_every_camera_near_it(cell_bag, tmp_path, capsys):
    bag, _ = cell_bag
    # The middle of each stop, and one time in the first move with no picture of either camera within 0.1 s.
    times = [rb.START_NS + int(round((stop * (rb.STOP_S + rb.MOVE_S) + 0.5) * rb.NS)) for stop in (2, 0, 1)]
    times.append(rb.START_NS + int(round(1.4 * rb.NS)))
    (tmp_path / "times.txt").write_text("".join(f"{t / rb.NS:.9f}\n" for t in times))
    output = tmp_path / "data"
    assert cli.main(_arguments(bag, output, "--at", str(tmp_path / "times.txt"), "--at-tolerance", "0.1")) == 0
    out = capsys.readouterr().out
    assert "  3 poses (one per requested time a camera pictured, of 4;" in out
    assert f"no picture near the requested time {times[-1] / rb.NS:.6f} s" in out
    for camera in (0, 1):
        poses = _velk.io.load_robot_poses(output / f"cam_{camera}")
        for pose, stop in zip(poses, range(3)):  # in time order
            np.testing.assert_allclose(pose, rb.SMALL_POSES[stop], atol=1e-9)
        pictures = numbered_pictures(output / f"cam_{camera}")
        assert [int(read_image(pictures[k])[0, 0, 0]) for k in sorted(pictures)] == SHADES[camera]


def test_one_topic_keeps_every_still_picture_in_the_dataset_folder(cell_bag, tmp_path, capsys):
    bag, (first, _) = cell_bag
    output = tmp_path / "data"
    assert cli.main(["import-bag", str(bag), rb.IMAGE_TOPIC, "--base", "base_link", "--flange", "tool0",
                     "-o", str(output), "--quiet"]) == 0
    out = capsys.readouterr().out
    assert out.startswith(f"Read {len(first.still)} pictures on {rb.IMAGE_TOPIC} from {bag}\n")
    assert f"Wrote {first.still.count(True)} pictures and {POSE_FILE} to {output}" in out
    assert not list(output.glob("cam_*"))
    assert len(_velk.io.load_robot_poses(output)) == len(numbered_pictures(output)) == first.still.count(True)


def test_a_topic_named_twice_or_a_camera_folder_holding_a_dataset_is_refused(cell_bag, tmp_path, capsys):
    bag, _ = cell_bag
    arguments = _arguments(bag, tmp_path / "twice")
    arguments[3] = rb.IMAGE_TOPIC
    assert cli.main(arguments) == 2
    assert f"image topic '{rb.IMAGE_TOPIC}' is named twice" in capsys.readouterr().err
    assert not (tmp_path / "twice").exists()
    _velk.io.save_robot_poses(tmp_path / "held" / "cam_1", rb.SMALL_POSES)
    assert cli.main(_arguments(bag, tmp_path / "held")) == 2
    assert "cam_1 already holds a dataset" in capsys.readouterr().err
    assert sorted(p.name for p in (tmp_path / "held").iterdir() if not p.name.startswith(".")) == ["cam_1"]
