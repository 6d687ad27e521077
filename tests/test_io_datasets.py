"""Hand-eye and multi-camera datasets on disk: layouts, log lines, capture indices, ordering."""

import os
import shutil
from pathlib import Path

import numpy as np
import pytest

from _velk import io

RNG = np.random.default_rng(7)


def images(count, seed=0):
    """Distinct small BGR images; PNG keeps them exactly."""
    rng = np.random.default_rng(seed)
    return [rng.integers(0, 256, size=(6, 9, 3), dtype=np.uint8) for _ in range(count)]


def poses(count):
    """Distinct 4x4 poses: translation (k, 2k, -k) / 10 and a rotation about z by k degrees."""
    result = []
    for k in range(count):
        a = np.radians(k)
        pose = np.eye(4)
        pose[:2, :2] = [[np.cos(a), -np.sin(a)], [np.sin(a), np.cos(a)]]
        pose[:3, 3] = [k / 10, 2 * k / 10, -k / 10]
        result.append(pose)
    return result


def log_lines(capfd):
    return capfd.readouterr().err.splitlines()


# ---- hand-eye dataset ------------------------------------------------------------

def test_hand_eye_layout_round_trip_and_log_lines(tmp_path, capfd):
    data_dir = tmp_path / "run" / "hand_eye"
    saved_images, saved_poses = images(3), poses(2)
    io.save_hand_eye_dataset(data_dir, saved_images, saved_poses)
    assert sorted(os.listdir(data_dir)) == ["calibration_data.npz", "image_0.png", "image_1.png", "image_2.png"]
    assert log_lines(capfd) == [f"[velk][SUCCESS] Saved 3 images to {data_dir}"]
    with np.load(data_dir / "calibration_data.npz") as archive:
        assert archive.files == ["robot_T_tcp_list"]
        assert archive["robot_T_tcp_list"].dtype == np.float64
        assert np.array_equal(archive["robot_T_tcp_list"], np.array(saved_poses))

    loaded_images, loaded_poses = io.load_hand_eye_dataset(data_dir)
    # Only as many images as poses are tried: image_2.png is not read.
    assert len(loaded_images) == len(loaded_poses) == 2
    assert all(np.array_equal(a, b) for a, b in zip(loaded_images, saved_images))
    assert all(p.dtype == np.float64 and np.array_equal(p, q) for p, q in zip(loaded_poses, saved_poses))
    assert log_lines(capfd) == [f"[velk][SUCCESS] Loaded 2 images from {data_dir}"]


def test_annotated_copies_and_image_format(tmp_path):
    plain, annotated = images(2, seed=1), images(3, seed=2)
    io.save_hand_eye_dataset(tmp_path, plain, poses(2), annotated)  # a longer annotated list is fine
    assert sorted(os.listdir(tmp_path)) == ["calibration_data.npz", "image_0.png", "image_0_annotated.png",
                                            "image_1.png", "image_1_annotated.png"]
    for k in range(2):
        shutil.move(tmp_path / f"image_{k}.png", tmp_path / f"image_{k}.jpg")
    loaded, _ = io.load_hand_eye_dataset(tmp_path, image_format="jpg")
    assert [np.array_equal(a, b) for a, b in zip(loaded, plain)] == [True, True]


def test_grey_images_load_as_bgr(tmp_path):
    grey = np.arange(48, dtype=np.uint8).reshape(6, 8)
    io.save_hand_eye_dataset(tmp_path, [grey], poses(1))
    (loaded,), _ = io.load_hand_eye_dataset(tmp_path)
    assert loaded.shape == (6, 8, 3) and np.array_equal(loaded[:, :, 1], grey)


@pytest.mark.parametrize("pose_type", [np.float32, np.int32])
def test_poses_are_saved_as_float64(tmp_path, pose_type):
    io.save_hand_eye_dataset(tmp_path, [], [np.eye(4, dtype=pose_type) * 2])
    with np.load(tmp_path / "calibration_data.npz") as archive:
        assert archive["robot_T_tcp_list"].dtype == np.float64
        assert np.array_equal(archive["robot_T_tcp_list"], [np.eye(4) * 2])


@pytest.mark.parametrize("bad_pose", [np.eye(3), np.zeros((4, 3)), np.zeros((4, 4, 3)), np.zeros(16)],
                         ids=["3x3", "4x3", "4x4x3", "flat"])
def test_non_4x4_pose_fails_after_creating_the_folder_and_before_any_file(tmp_path, bad_pose):
    data_dir = tmp_path / "d"
    with pytest.raises(ValueError, match=r"^io: expected 4x4 pose matrices$"):
        io.save_hand_eye_dataset(data_dir, images(2), [np.eye(4), bad_pose])
    assert data_dir.is_dir() and os.listdir(data_dir) == []


def test_short_annotated_list_is_refused_before_any_file(tmp_path):
    with pytest.raises(ValueError, match="^io: annotated_images must be empty or hold one image per image_list"):
        io.save_hand_eye_dataset(tmp_path, images(3), poses(3), images(2))
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("missing", [[0], [1], [2], [0, 2], [0, 1, 2]])
def test_missing_images_drop_their_poses(tmp_path, capfd, missing):
    saved_images, saved_poses = images(3), poses(3)
    io.save_hand_eye_dataset(tmp_path, saved_images, saved_poses)
    for k in missing:
        (tmp_path / f"image_{k}.png").unlink()
    capfd.readouterr()
    loaded_images, loaded_poses = io.load_hand_eye_dataset(tmp_path)
    kept = [k for k in range(3) if k not in missing]
    assert len(loaded_images) == len(loaded_poses) == len(kept)
    for image, pose, k in zip(loaded_images, loaded_poses, kept):
        assert np.array_equal(image, saved_images[k]) and np.array_equal(pose, saved_poses[k])
    expected = [f"[velk][WARNING] Image {tmp_path / f'image_{k}.png'} is missing; its robot pose is left out"
                for k in missing]
    assert log_lines(capfd) == expected + [f"[velk][SUCCESS] Loaded {len(kept)} images from {tmp_path}"]


def test_hand_eye_load_failures(tmp_path):
    with pytest.raises(RuntimeError) as info:
        io.load_hand_eye_dataset(tmp_path)
    assert str(info.value) == f"npz: cannot open {tmp_path / 'calibration_data.npz'} for reading"

    io.save_hand_eye_dataset(tmp_path, images(1), poses(1))
    (tmp_path / "image_0.png").write_bytes(b"not a picture")
    with pytest.raises(RuntimeError) as info:
        io.load_hand_eye_dataset(tmp_path)
    assert str(info.value) == f"io: cv::imread returned an empty image for {tmp_path / 'image_0.png'}"


@pytest.mark.parametrize("shape", [(3, 4), (2, 4, 4, 1), (2, 3, 3), (2, 4, 5), (16,), ()])
def test_pose_array_of_another_shape_is_refused(tmp_path, shape):
    np.savez(tmp_path / "calibration_data.npz", robot_T_tcp_list=np.zeros(shape))
    with pytest.raises(RuntimeError, match=r"^io: robot_T_tcp_list npz entry is not shaped \(N, 4, 4\)$"):
        io.load_hand_eye_dataset(tmp_path)


def test_image_that_cannot_be_written(tmp_path):
    (tmp_path / "image_1.png").mkdir()
    with pytest.raises(RuntimeError) as info:
        io.save_hand_eye_dataset(tmp_path, images(2), poses(2))
    assert str(info.value) == f"io: cv::imwrite failed for {tmp_path / 'image_1.png'}"
    # Not transactional: what came before the failure stays.
    assert (tmp_path / "calibration_data.npz").is_file() and (tmp_path / "image_0.png").is_file()


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_pose_archive_write_failure_is_reported(tmp_path):
    (tmp_path / "calibration_data.npz").symlink_to("/dev/full")
    with pytest.raises(RuntimeError, match="^npz: cannot write "):
        io.save_hand_eye_dataset(tmp_path, [], poses(3))


@pytest.mark.parametrize("path_type", [str, os.fsencode, Path])
def test_data_dir_path_types(tmp_path, path_type):
    io.save_hand_eye_dataset(path_type(str(tmp_path)), images(1), poses(1))
    assert len(io.load_hand_eye_dataset(path_type(str(tmp_path)))[0]) == 1
    io.save_multi_camera_robot_poses(path_type(str(tmp_path / "m")), poses(1), 1)
    assert len(io.load_multi_camera_robot_poses(path_type(str(tmp_path / "m")))) == 1


# ---- capture index -----------------------------------------------------------------

@pytest.mark.parametrize("files,num_cameras,expected", [
    ({}, 2, 0),
    ({"cam_0": ["image_0.png", "image_1.png"], "cam_1": ["image_7.png"]}, 2, 8),
    ({"cam_0": ["image_12_annotated.png", "image_x.png", "image_.png", "image_3.PNG", "image_4.png.bak"]}, 1, 0),
    ({"cam_1": ["image_3.png"]}, 2, 4),
    ({"cam_1": ["image_3.png"]}, 1, 0),
    ({"cam_2": ["image_3.png"]}, 2, 0),
    ({"cam_0": ["image_007.png", "image_2.png"]}, 1, 8),
    ({"cam_0": ["image_a_5.png", "img_9.png", "image_6_annotated.png"]}, 1, 6),
    ({"cam_0": ["image_99999999999.png", "image_2147483647.png", "image_1.png"]}, 1, 2),
    ({"cam_0": ["image_2147483646.png"]}, 1, 2147483647),
])
def test_next_capture_index(tmp_path, files, num_cameras, expected):
    for folder, names in files.items():
        (tmp_path / folder).mkdir()
        for name in names:
            (tmp_path / folder / name).write_bytes(b"")
    assert io.next_multi_camera_capture_index(tmp_path, num_cameras) == expected


def test_next_capture_index_skips_what_is_not_a_camera_folder(tmp_path):
    assert io.next_multi_camera_capture_index(tmp_path / "absent", 3) == 0
    (tmp_path / "cam_0").write_text("a file, not a folder")
    (tmp_path / "cam_1").mkdir()
    (tmp_path / "cam_1" / "image_4.png").write_bytes(b"")
    assert io.next_multi_camera_capture_index(tmp_path, 2) == 5


@pytest.mark.parametrize("call", [
    lambda d: io.next_multi_camera_capture_index(d, -1),
    lambda d: io.save_multi_camera_robot_poses(d, poses(1), -2),
], ids=["next-index", "save-poses"])
def test_negative_camera_count_is_a_length_error(tmp_path, call):
    data_dir = tmp_path / "d"
    with pytest.raises(ValueError):
        call(data_dir)
    assert not data_dir.exists()


# ---- multi-camera captures and poses -------------------------------------------------

def test_save_capture_layout_and_log_line(tmp_path, capfd):
    frames, annotated = images(3, seed=3), images(3, seed=4)
    io.save_multi_camera_capture(tmp_path, frames, 5, annotated)
    assert sorted(os.listdir(tmp_path)) == ["cam_0", "cam_1", "cam_2"]
    for i in range(3):
        assert sorted(os.listdir(tmp_path / f"cam_{i}")) == ["image_5.png", "image_5_annotated.png"]
    assert log_lines(capfd) == ["[velk][SUCCESS] Saved capture #5 (3 cameras)"]
    io.save_multi_camera_capture(tmp_path, images(3, seed=5), 5)  # overwrites
    assert io.next_multi_camera_capture_index(tmp_path, 3) == 6
    loaded = io.load_multi_camera_dataset(tmp_path, 3)
    assert [np.array_equal(cam[0], frame) for cam, frame in zip(loaded, images(3, seed=5))] == [True] * 3


def test_save_capture_refuses_a_short_annotated_list(tmp_path):
    with pytest.raises(ValueError, match="^io: annotated_images must be empty or hold one image per frames"):
        io.save_multi_camera_capture(tmp_path / "d", images(3), 0, images(1))
    assert not (tmp_path / "d").exists()


def test_robot_poses_go_to_every_camera_folder(tmp_path, capfd):
    io.save_multi_camera_robot_poses(tmp_path / "rig", poses(4), 3)
    archives = [(tmp_path / "rig" / f"cam_{i}" / "calibration_data.npz").read_bytes() for i in range(3)]
    assert archives[0] == archives[1] == archives[2]
    assert capfd.readouterr().err == ""
    loaded = io.load_multi_camera_robot_poses(tmp_path / "rig")
    assert all(np.array_equal(p, q) for p, q in zip(loaded, poses(4))) and len(loaded) == 4


def test_robot_poses_come_from_the_first_cam_folder_in_path_order(tmp_path):
    assert io.load_multi_camera_robot_poses(tmp_path / "absent") == []
    (tmp_path / "cam_0").mkdir()
    (tmp_path / "camera").mkdir()
    np.savez(tmp_path / "camera" / "calibration_data.npz", robot_T_tcp_list=np.zeros((1, 4, 4)))
    assert io.load_multi_camera_robot_poses(tmp_path) == []
    io.save_multi_camera_robot_poses(tmp_path / "two", poses(2), 1)
    shutil.move(tmp_path / "two" / "cam_0", tmp_path / "cam_2")
    io.save_multi_camera_robot_poses(tmp_path / "five", poses(5), 1)
    shutil.move(tmp_path / "five" / "cam_0", tmp_path / "cam_10")
    assert len(io.load_multi_camera_robot_poses(tmp_path)) == 5  # cam_10 sorts before cam_2


# ---- multi-camera dataset ------------------------------------------------------------

@pytest.mark.parametrize("captures", [3, 12, 23])
def test_dataset_is_read_in_capture_order(tmp_path, capfd, captures):
    frames = {c: images(2, seed=100 + c) for c in range(captures)}
    for c in RNG.permutation(captures):  # the order of saving does not matter
        io.save_multi_camera_capture(tmp_path, frames[int(c)], int(c), images(2, seed=999))
    io.save_multi_camera_robot_poses(tmp_path, poses(captures), 2)
    capfd.readouterr()
    cameras = io.load_multi_camera_dataset(tmp_path, 2)
    robot_poses = io.load_multi_camera_robot_poses(tmp_path)
    assert len(cameras) == 2 and [len(frames_) for frames_ in cameras] == [captures, captures]
    for camera in range(2):
        for c in range(captures):
            assert np.array_equal(cameras[camera][c], frames[c][camera]), f"camera {camera}, capture {c}"
    assert len(robot_poses) == captures and np.array_equal(robot_poses[11 % captures], poses(captures)[11 % captures])
    assert log_lines(capfd) == [f"[velk][SUCCESS] Loaded {captures} frames from {tmp_path / f'cam_{i}'}"
                                for i in range(2)]


def test_dataset_orders_padded_and_unnumbered_names(tmp_path):
    names = ["image_x.png", "image_10.png", "image_02.png", "image_2.png", "image_1.png", "image_a_3.png"]
    (tmp_path / "cam_0").mkdir()
    for value, name in enumerate(names):
        io.save_multi_camera_capture(tmp_path / "tmp", [np.full((2, 2, 3), value, np.uint8)], 0)
        shutil.move(tmp_path / "tmp" / "cam_0" / "image_0.png", tmp_path / "cam_0" / name)
    (frames,) = io.load_multi_camera_dataset(tmp_path, 1)
    order = [names[int(frame[0, 0, 0])] for frame in frames]
    assert order == ["image_1.png", "image_02.png", "image_2.png", "image_a_3.png", "image_10.png", "image_x.png"]


def test_dataset_with_no_cameras_is_empty(tmp_path):
    assert io.load_multi_camera_dataset(tmp_path, 0) == []
    assert io.load_multi_camera_dataset(tmp_path, -3) == []


def test_dataset_failures(tmp_path, capfd):
    with pytest.raises(RuntimeError) as info:
        io.load_multi_camera_dataset(tmp_path, 1)
    assert str(info.value) == f"io: missing camera folder: {tmp_path / 'cam_0'}"

    (tmp_path / "cam_0").mkdir()
    (tmp_path / "cam_0" / "image_0_annotated.png").write_bytes(b"")
    with pytest.raises(RuntimeError) as info:
        io.load_multi_camera_dataset(tmp_path, 1)
    assert str(info.value) == f"io: no image_*.png files in {tmp_path / 'cam_0'}"

    for c in range(3):
        io.save_multi_camera_capture(tmp_path, images(2, seed=c), c)
    (tmp_path / "cam_1" / "image_1.png").unlink()
    capfd.readouterr()
    with pytest.raises(RuntimeError, match="^io: all cameras must have the same frame count; captures must be "
                                           "synchronized$"):
        io.load_multi_camera_dataset(tmp_path, 2)
    assert log_lines(capfd)[-1] == f"[velk][SUCCESS] Loaded 2 frames from {tmp_path / 'cam_1'}"


DATASET_FUNCTIONS = ["save_hand_eye_dataset", "load_hand_eye_dataset", "next_multi_camera_capture_index",
                     "save_multi_camera_capture", "save_multi_camera_robot_poses", "load_multi_camera_robot_poses",
                     "load_multi_camera_dataset"]


def test_dataset_functions_are_registered_after_the_records_without_docstrings():
    names = [name for name in vars(io) if not name.startswith("_")]
    assert names[-7:] == DATASET_FUNCTIONS
    assert names.index("load_multi_camera_calibration") < names.index("save_hand_eye_dataset")
    for name in DATASET_FUNCTIONS:
        doc = getattr(io, name).__doc__.strip()
        assert doc.startswith(name + "(") and "\n" not in doc  # only the generated signature


def test_real_jpeg_photographs_decode_like_cv2(tmp_path, left_photos):
    # The library's own OpenCV decodes JPEG (the shared photographs are JPEG files).
    cv2 = pytest.importorskip("cv2")
    from conftest import STEREO_DIR

    sources = sorted(STEREO_DIR.glob("left*.jpg"))[:2]
    io.save_hand_eye_dataset(tmp_path, [np.zeros((4, 4, 3), np.uint8)] * 2, poses(2))
    for k, source in enumerate(sources):
        os.remove(tmp_path / f"image_{k}.png")
        shutil.copy(source, tmp_path / f"image_{k}.jpg")
    loaded, _ = io.load_hand_eye_dataset(tmp_path, image_format="jpg")
    assert len(loaded) == 2
    for image, source in zip(loaded, sources):
        expected = cv2.imread(str(source))
        assert image.shape == expected.shape == (480, 640, 3)
        assert np.abs(image.astype(int) - expected.astype(int)).max() <= 1


# ---- pictures one at a time --------------------------------------------------------------


def test_pictures_written_one_at_a_time_make_the_same_dataset(tmp_path):
    io.save_hand_eye_dataset(tmp_path / "whole", images(3), poses(3))
    for k, image in enumerate(images(3)):
        assert io.save_hand_eye_image(tmp_path / "single", k, image) == tmp_path / "single" / f"image_{k}.png"
    io.save_robot_poses(tmp_path / "single", poses(3))
    for name in ["calibration_data.npz"] + [f"image_{k}.png" for k in range(3)]:
        assert (tmp_path / "single" / name).read_bytes() == (tmp_path / "whole" / name).read_bytes()


@pytest.mark.parametrize("index, image, message", [
    (-1, images(1)[0], "^io: image index must be 0 or more, got -1$"),
    (0, np.zeros((0, 0, 3), np.uint8), "^io: image 0 is empty$"),
])
def test_single_picture_refused_before_the_folder_is_made(tmp_path, index, image, message):
    with pytest.raises(ValueError, match=message):
        io.save_hand_eye_image(tmp_path / "data", index, image)
    assert not (tmp_path / "data").exists()
