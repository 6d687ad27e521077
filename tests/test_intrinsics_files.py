"""--intrinsics reads a ROS camera_info YAML and OpenCV FileStorage files (YAML, XML) besides intrinsics.json:
the format from the content, the lens model from the file, the keys it lacks named, the picture size checked."""

import numpy as np
import pytest

import cli_data
from quorvane.velk import cli, records

MATRIX = [[600.0, 0.0, 320.5], [0.0, 601.0, 240.5], [0.0, 0.0, 1.0]]
FIVE = [0.1, -0.02, 0.001, 0.002, 0.003]
EIGHT = [0.1, -0.02, 0.001, 0.002, 0.003, 0.01, 0.02, 0.03]
FOUR = [0.1, -0.01, 0.001, 0.0001]


def ros(model, distortion, size=(640, 480)):
    return lambda path: cli_data.write_ros_camera_info(path.with_suffix(".yaml"), MATRIX, distortion, model, size)


def opencv(suffix, entries):
    return lambda path: cli_data.write_opencv_camera(path.with_suffix(suffix), entries)


def text(content):
    def write(path):
        path.with_suffix(".yaml").write_text(content)
        return path.with_suffix(".yaml")
    return write


SIZE = {"image_width": 640, "image_height": 480}


@pytest.mark.parametrize("write, distortion, model, size", [
    (ros("plumb_bob", FIVE), FIVE, "pinhole", (640, 480)),
    (ros("rational_polynomial", EIGHT), EIGHT, "pinhole", (640, 480)),
    (ros("equidistant", FOUR), FOUR, "fisheye", (640, 480)),
    (ros("plumb_bob", FIVE, size=None), FIVE, "pinhole", None),
    (opencv(".yaml", {**SIZE, "camera_matrix": MATRIX, "distortion_coefficients": [FIVE]}), FIVE, "pinhole",
     (640, 480)),
    (opencv(".yaml", {"K": MATRIX, "D": FOUR, "distortion_model": "fisheye"}), FOUR, "fisheye", None),
    (opencv(".xml", {"cameraMatrix": MATRIX, "distCoeffs": EIGHT, **SIZE}), EIGHT, "pinhole", (640, 480)),
    (opencv(".xml", {"K": MATRIX, "dist_coeffs": [FIVE]}), FIVE, "pinhole", None),
], ids=["ros-plumb-bob", "ros-rational", "ros-equidistant", "ros-no-size", "yaml-long-names", "yaml-short-fisheye",
        "xml-camel-case", "xml-no-size"])
def test_camera_files_give_the_matrix_distortion_lens_model_and_picture_size(tmp_path, write, distortion, model,
                                                                             size):
    path = write(tmp_path / "camera")
    matrix, read_distortion, read_model = records.load_camera(path)
    np.testing.assert_array_equal(matrix, MATRIX)
    np.testing.assert_array_equal(read_distortion, [distortion])
    assert read_model == model
    assert records.record_image_size(path) == size


def test_the_format_comes_from_the_content_not_the_name(tmp_path):
    path = ros("equidistant", FOUR)(tmp_path / "camera")
    renamed = path.rename(tmp_path / "camera.json")
    assert records.load_camera(renamed)[2] == "fisheye"


@pytest.mark.parametrize("write, words", [
    (text("image_width: 640\ncamera_matrix: {rows: 3, cols: 3, data: [1, 0, 0, 0, 1, 0, 0, 0, 1]}\n"),
     "lacks distortion_model, distortion_coefficients (it holds: image_width, camera_matrix)"),
    (ros("kannala_brandt", FOUR), "distortion_model 'kannala_brandt'; known are plumb_bob, rational_polynomial"),
    (ros("plumb_bob", FOUR), "distortion_model plumb_bob takes 5 distortion_coefficients, not 4"),
    (ros("equidistant", FIVE), "distortion_model equidistant takes 4 distortion_coefficients, not 5"),
    (opencv(".yaml", {"intrinsics": MATRIX, "D": FIVE}),
     "has no camera matrix: none of camera_matrix, cameraMatrix, K is there (it holds: intrinsics, D)"),
    (opencv(".xml", {"K": MATRIX, "distortion": FIVE}),
     "has no distortion: none of distortion_coefficients, dist_coeffs, distCoeffs, D is there (it holds: K, "
     "distortion)"),
    (opencv(".yaml", {"K": MATRIX, "D": FIVE, "camera_model": "omni"}), "has camera_model 'omni'"),
    (opencv(".yaml", {"K": [[600.0, 0.0], [0.0, 600.0]], "D": FIVE}), "needs a finite 3 x 3 camera_matrix"),
], ids=["ros-missing-keys", "ros-unknown-model", "ros-plumb-bob-count", "ros-equidistant-count",
        "yaml-no-matrix", "xml-no-distortion", "yaml-unknown-model", "yaml-2x2-matrix"])
def test_unusable_camera_files_are_refused_naming_what_is_wrong(tmp_path, write, words):
    path = write(tmp_path / "camera")
    with pytest.raises(records.RecordError) as raised:
        records.load_camera(path)
    assert words in str(raised.value) and str(path.name) in str(raised.value)


@pytest.fixture(scope="module")
def rendered(eye_in_hand_scene, tmp_path_factory):
    """The session's rendered eye-in-hand scene as a dataset folder with its target."""
    root = tmp_path_factory.mktemp("rendered")
    folder = cli_data.write_hand_eye_dataset(root / "data", list(eye_in_hand_scene.images),
                                             eye_in_hand_scene.robot_T_tcp_list)
    return folder, cli_data.write_target(root / "target.json", eye_in_hand_scene.target)


@pytest.mark.parametrize("command", ["hand-eye", "check"])
@pytest.mark.parametrize("suffix", [".yaml", ".xml", "ros"])
def test_camera_files_of_another_picture_size_are_refused(rendered, eye_in_hand_scene, tmp_path, capsys, command,
                                                          suffix):
    folder, target = rendered
    width, height = eye_in_hand_scene.image_size
    other = (width // 2, height // 2)
    path = tmp_path / "camera"
    if suffix == "ros":
        path = cli_data.write_ros_camera_info(path.with_suffix(".yaml"), eye_in_hand_scene.camera_matrix,
                                              eye_in_hand_scene.distortion, image_size=other)
    else:
        path = cli_data.write_opencv_camera(path.with_suffix(suffix), {
            "camera_matrix": eye_in_hand_scene.camera_matrix, "distortion_coefficients": eye_in_hand_scene.distortion,
            "image_width": other[0], "image_height": other[1]})
    assert cli.main([command, str(folder), "--target", str(target), "--intrinsics", str(path), "--quiet"]) == 2
    error = capsys.readouterr().err
    assert f"holds intrinsics of {other[0]} x {other[1]} pictures, but the pictures are {width} x {height}" in error


def test_hand_eye_calibrates_with_a_ros_camera_info(rendered, eye_in_hand_scene, tmp_path):
    folder, target = rendered
    path = cli_data.write_ros_camera_info(tmp_path / "camera.yaml", eye_in_hand_scene.camera_matrix,
                                          eye_in_hand_scene.distortion, image_size=eye_in_hand_scene.image_size)
    assert cli.main(["hand-eye", str(folder), "--target", str(target), "--intrinsics", str(path), "--quiet",
                     "-o", str(tmp_path / "hand_eye.json")]) == 0
