"""Real eye-to-hand pictures: a still camera watching a ChArUco board on a robot flange, with the flange poses.

The data set sits in the shared data folder beside the checkout (eye-to-hand-charuco, see its README.md):
images/N.png and poses/N.yaml for N = 0..15, the board and the camera's intrinsics given with the data.
There is no ground truth for the hand-eye transforms. load() skips the calling test when the folder is missing.
"""

from dataclasses import dataclass

import numpy as np
import pytest

from conftest import SHARED_DATA

EYE_TO_HAND_DIR = SHARED_DATA / "eye-to-hand-charuco"
NUM_PICTURES = 16
IMAGE_SIZE = (1600, 1200)
#: CharucoTarget(squares_x, squares_y, square_length [m], marker_length [m], aruco_dict_id = DICT_6X6_250).
BOARD = (5, 7, 0.036195, 0.018256, 10)
CAMERA_MATRIX = np.array([[1352.02747, 0.0, 789.67065], [0.0, 1356.14287, 627.2995], [0.0, 0.0, 1.0]])
DISTORTION = np.zeros((1, 5))


@dataclass
class EyeToHandPhotos:
    images: list  # BGR uint8, picture N at index N
    robot_T_tcp_list: list  # 4 x 4 float64, metres
    target: object
    camera_matrix: np.ndarray
    distortion: np.ndarray


def read_pose_file(path):
    """robot_T_tcp from the "key: value" lines x, y, z [m] and the quaternion qx, qy, qz, qw."""
    values = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        key, sep, value = line.partition(":")
        if sep and key.strip():
            values[key.strip()] = float(value)
    missing = [k for k in ("x", "y", "z", "qx", "qy", "qz", "qw") if k not in values]
    if missing:
        raise ValueError(f"{path}: no {', '.join(missing)}")
    pose = np.eye(4)
    pose[:3, :3] = quaternion_to_rotation(values["qx"], values["qy"], values["qz"], values["qw"])
    pose[:3, 3] = [values["x"], values["y"], values["z"]]
    return pose


def quaternion_to_rotation(qx, qy, qz, qw):
    """Rotation matrix of a (normalised) quaternion with scalar part qw."""
    q = np.array([qx, qy, qz, qw], dtype=np.float64)
    x, y, z, w = q / np.linalg.norm(q)
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
        [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
        [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
    ])


def load(folder=EYE_TO_HAND_DIR):
    """The sixteen pictures in order 0..15 with their flange poses, the board and the given intrinsics."""
    cv2 = pytest.importorskip("cv2")
    if not (folder / "images").is_dir() or not (folder / "poses").is_dir():
        pytest.skip(f"no eye-to-hand data set in {folder}")
    import _velk

    images, poses = [], []
    for n in range(NUM_PICTURES):
        image = cv2.imread(str(folder / "images" / f"{n}.png"), cv2.IMREAD_COLOR)
        if image is None:
            raise FileNotFoundError(f"cannot read {folder / 'images' / f'{n}.png'}")
        images.append(image)
        poses.append(read_pose_file(folder / "poses" / f"{n}.yaml"))
    return EyeToHandPhotos(images, poses, _velk.CharucoTarget(*BOARD), CAMERA_MATRIX.copy(), DISTORTION.copy())
