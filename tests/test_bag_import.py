"""velk import-bag: rendered ROS 1 and ROS 2 recordings into hand-eye datasets, still pictures only, and bad input."""

import numpy as np
import pytest

import _velk
import cli_data
import recorded_bags as rb
import render_cache
from quorvane.velk import cli, demo
from quorvane.velk.bag_import import SKIP_MOVING, SKIP_NOT_REQUESTED, BagImportError, import_bag

pytest.importorskip("rosbags")
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

# (ROS version, storage, picture encoding) of the rendered recordings.
FORMATS = {"ros2-sqlite3-mono8": (2, "sqlite3", "mono8"), "ros1-png": (1, None, "png")}


@pytest.fixture(scope="module")
def scene():
    """Eight robot stops around a ChArUco board, rendered once at 1280 x 960."""
    with render_cache.active():
        return demo.simulate_eye_in_hand(num_poses=8, seed=5)


@pytest.fixture(scope="module")
def recording(scene):
    return rb.make_recording(scene.robot_T_tcp_list, scene.images)


@pytest.fixture(scope="module", params=sorted(FORMATS))
def imported(request, recording, tmp_path_factory):
    """(recording, bag, dataset folder, summary) of each rendered bag format, imported with the defaults."""
    version, storage, encoding = FORMATS[request.param]
    folder = tmp_path_factory.mktemp(request.param)
    bag = rb.write_bag(folder / ("scene.bag" if version == 1 else "scene"), recording, version, encoding,
                       storage or "sqlite3")
    summary = import_bag(bag, folder / "data", rb.IMAGE_TOPIC, "base_link", "tool0")
    return recording, bag, folder / "data", summary


def test_still_detection_keeps_exactly_the_still_pictures(imported):
    recording, _, folder, summary = imported
    assert summary.read == len(recording.picture_times_ns)
    assert [p.kept for p in summary.pictures] == recording.still
    assert summary.skipped == {SKIP_MOVING: recording.still.count(False)}
    # Kept in recording order, each as the next image file.
    assert [p.file for p in summary.kept] == [f"image_{k}.png" for k in range(recording.still.count(True))]
    assert sorted(p.name for p in folder.glob("image_*.png")) == sorted(p.file for p in summary.kept)


def test_imported_poses_are_the_flange_poses_through_the_intermediate_frame(imported):
    recording, _, folder, summary = imported
    expected = [recording.flange_poses[stop] for stop, still in zip(recording.picture_stops, recording.still)
                if still]
    saved = _velk.io.load_robot_poses(folder)
    assert len(saved) == len(expected) == len(summary.robot_T_tcp_list)
    for got, want in zip(saved, expected):
        np.testing.assert_allclose(got, want, atol=1e-9)
    images, _ = _velk.io.load_hand_eye_dataset(folder)
    still_stops = [stop for stop, still in zip(recording.picture_stops, recording.still) if still]
    for image, stop in zip(images, still_stops):
        assert np.array_equal(image, recording.stop_images[stop])  # mono8 and PNG keep grey pictures exactly


def test_imported_dataset_recovers_the_hand_eye_transform(imported, scene, tmp_path):
    _, _, folder, _ = imported
    target = cli_data.write_target(tmp_path / "target.json", scene.target)
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "-o", str(tmp_path), "--quiet"]) == 0
    record = _velk.io.load_hand_eye_result(tmp_path / "hand_eye.json")
    translation, rotation = demo.transform_error(np.asarray(record.tcp_T_camera_list[0]), scene.tcp_T_camera)
    assert translation < 0.0005 and rotation < 0.05, f"{translation * 1000:.3f} mm, {rotation:.4f} deg"


def test_command_prints_the_summary(imported, tmp_path, capsys):
    recording, bag, _, _ = imported
    assert cli.main(["import-bag", str(bag), rb.IMAGE_TOPIC, "--base", "/base_link", "--flange", "tool0",
                     "-o", str(tmp_path / "data"), "--quiet"]) == 0
    out = capsys.readouterr().out
    kept, moving = recording.still.count(True), recording.still.count(False)
    assert f"Read {len(recording.still)} pictures on {rb.IMAGE_TOPIC} from {bag}" in out
    assert "flange poses from /tf and /tf_static: base_link -> link_1 -> tool0" in out
    assert f"kept {kept} (the flange moved less than 0.2 mm and 0.02 deg over 0.2 s)" in out
    assert f"skipped {moving}: robot moving" in out
    assert len(_velk.io.load_robot_poses(tmp_path / "data")) == kept


def test_at_times_keep_the_nearest_pictures_still_or_not(imported, tmp_path, capsys):
    recording, bag, _, _ = imported
    times = recording.picture_times_ns
    moving = recording.still.index(False) + 1  # a picture in the middle of a move
    lines = ["# picture times", f"{(times[moving] + 10_000_000) / rb.NS:.6f}", f"{(times[0] - 20_000_000) / rb.NS:.6f}",
             "", "1234.5"]
    (tmp_path / "times.txt").write_text("\n".join(lines) + "\n")
    assert cli.main(["import-bag", str(bag), rb.IMAGE_TOPIC, "--base", "base_link", "--flange", "tool0",
                     "--at", str(tmp_path / "times.txt"), "-o", str(tmp_path / "data"), "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "kept 2 (nearest to 2 requested times)" in out
    assert f"skipped {len(times) - 2}: {SKIP_NOT_REQUESTED}" in out
    assert "no picture near the requested time 1234.500000 s" in out
    poses = _velk.io.load_robot_poses(tmp_path / "data")
    np.testing.assert_allclose(poses[0], recording.flange_poses[0], atol=1e-9)
    # The moving picture's pose interpolates the 50 Hz transforms of both moving links.
    truth = rb.flange_at(recording, times[moving])
    translation, rotation = demo.transform_error(poses[1], truth)
    assert translation < 2e-4 and rotation < 0.02
    assert demo.transform_error(poses[1], recording.flange_poses[0])[0] > 0.01  # it really moved


# ---- small recordings: pose topics and bad input ------------------------------------------------------------

@pytest.fixture(scope="module")
def small_bag(tmp_path_factory):
    folder = tmp_path_factory.mktemp("small")
    return rb.write_bag(folder / "small", rb.small_recording())


@pytest.mark.parametrize("version, storage", [(2, "mcap"), (1, None)])
def test_pose_topic_instead_of_transforms(tmp_path, version, storage):
    recording = rb.small_recording()
    bag = rb.write_bag(tmp_path / ("poses.bag" if version == 1 else "poses"), recording, version, "bgr8",
                       storage or "sqlite3", pose_topic="/robot/flange_pose")
    summary = import_bag(bag, tmp_path / "data", rb.IMAGE_TOPIC, "base_link", "tool0",
                         pose_topic="/robot/flange_pose")
    assert [p.kept for p in summary.pictures] == recording.still
    assert summary.chain_frames == ["base_link", "tool0"]
    expected = [recording.flange_poses[s] for s, still in zip(recording.picture_stops, recording.still) if still]
    for got, want in zip(_velk.io.load_robot_poses(tmp_path / "data"), expected):
        np.testing.assert_allclose(got, want, atol=1e-9)
    with pytest.raises(BagImportError, match="gives poses in frame 'base_link', not in the base frame 'world'"):
        import_bag(bag, tmp_path / "other", rb.IMAGE_TOPIC, "world", "tool0", pose_topic="/robot/flange_pose")


BAD_INPUT = {
    "image topic": (["{bag}", "/camera/nope", "--base", "base_link", "--flange", "tool0"],
                    "the bag has no image topic '/camera/nope'; its topics: /camera/image (sensor_msgs/msg/Image), "
                    "/tf (tf2_msgs/msg/TFMessage), /tf_static (tf2_msgs/msg/TFMessage)"),
    "image type": (["{bag}", "/tf", "--base", "base_link", "--flange", "tool0"],
                   "image topic '/tf' carries tf2_msgs/msg/TFMessage, not sensor_msgs/msg/Image or "
                   "sensor_msgs/msg/CompressedImage"),
    "flange frame": (["{bag}", "/camera/image", "--base", "base_link", "--flange", "tool9"],
                     "flange frame 'tool9' is not in /tf and /tf_static; its frames: base_link, camera_link, "
                     "link_1, tool0, world"),
    "transform topics": (["{bag}", "/camera/image", "--base", "base_link", "--flange", "tool0", "--tf-topics",
                          "/robot/tf"], "the bag has none of the transform topics /robot/tf; its topics: "),
    "pose topic": (["{bag}", "/camera/image", "--base", "base_link", "--flange", "tool0", "--pose-topic", "/pose"],
                   "the bag has no pose topic '/pose'; its topics: /camera/image"),
    "missing link": (["{broken}", "/camera/image", "--base", "base_link", "--flange", "tool0"],
                     "no chain of transforms in /tf and /tf_static connects 'base_link' to 'tool0': 'tool0' is "
                     "linked up to 'link_1' (link_1 <- tool0), which has no parent, and 'base_link' only to "
                     "base_link, world; the missing link is a transform between 'link_1' and one of those frames"),
    "missing bag": (["{tmp}/none", "/camera/image", "--base", "b", "--flange", "f"],
                    "cannot open bag {tmp}/none: no such file or folder"),
    "not a bag": (["{tmp}/notes.txt", "/camera/image", "--base", "b", "--flange", "f"],
                  "cannot open bag {tmp}/notes.txt: not a ROS 1 bag (.bag) or a ROS 2 bag folder"),
    "damaged ROS 1 bag": (["{tmp}/damaged.bag", "/camera/image", "--base", "b", "--flange", "f"],
                          "cannot open bag {tmp}/damaged.bag: "),
    "folder without metadata": (["{tmp}", "/camera/image", "--base", "b", "--flange", "f"], "cannot open bag {tmp}: "),
    "nothing still": (["{bag}", "/camera/image", "--base", "base_link", "--flange", "tool0", "--still-mm", "0"],
                      "no picture of the 15 read from {bag} was kept"),
    "times file": (["{bag}", "/camera/image", "--base", "base_link", "--flange", "tool0", "--at", "{tmp}/notes.txt"],
                   "notes.txt: line 1 is not a time in seconds: 'not a bag'"),
    "joint state topic": (["{bag}", "/camera/image", "--base", "base_link", "--flange", "tool0", "--joint-states"],
                          "the bag has no joint state topic '/joint_states'; its topics: /camera/image "
                          "(sensor_msgs/msg/Image), /tf (tf2_msgs/msg/TFMessage), /tf_static (tf2_msgs/msg/TFMessage)"),
    "joint state type": (["{bag}", "/camera/image", "--base", "base_link", "--flange", "tool0", "--joint-states",
                          "/tf"],
                         "joint state topic '/tf' carries tf2_msgs/msg/TFMessage, not sensor_msgs/msg/JointState"),
    "window": (["{bag}", "/camera/image", "--base", "base_link", "--flange", "tool0", "--window", "-1"],
               "argument --window: must be a finite number of 0 or more, got -1"),
}


@pytest.mark.parametrize("case", sorted(BAD_INPUT))
def test_bad_input_is_one_error_line_naming_what_the_bag_has(small_bag, tmp_path, capsys, case):
    arguments, message = BAD_INPUT[case]
    (tmp_path / "notes.txt").write_text("not a bag\n")
    (tmp_path / "damaged.bag").write_bytes(b"#ROSBAG V2.0\n" + bytes(64))
    names = {"bag": small_bag, "tmp": tmp_path, "broken": small_bag.parent / "broken"}
    if case == "missing link" and not names["broken"].exists():
        rb.write_bag(names["broken"], rb.small_recording(), leave_out="link_1")
    arguments = [a.format(**names) for a in arguments] + ["-o", str(tmp_path / "data"), "--quiet"]
    assert cli.main(["import-bag", *arguments]) == 2
    error = capsys.readouterr().err
    assert error.startswith("velk: error: " + message.format(**names))
    assert len(error.strip().splitlines()) == 1
    assert not (tmp_path / "data").exists()


def test_existing_dataset_is_not_overwritten(small_bag, tmp_path, capsys):
    _velk.io.save_robot_poses(tmp_path, rb.SMALL_POSES)
    assert cli.main(["import-bag", str(small_bag), rb.IMAGE_TOPIC, "--base", "base_link", "--flange", "tool0",
                     "-o", str(tmp_path)]) == 2
    assert "already holds a dataset" in capsys.readouterr().err
    assert len(_velk.io.load_robot_poses(tmp_path)) == 3 and not list(tmp_path.glob("image_*.png"))
