import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parent.parent
SHARED_DATA = REPO_ROOT.parent / "shared" / "data"


@pytest.fixture(scope="session")
def repo_root() -> Path:
    return REPO_ROOT


@pytest.fixture(scope="session")
def python_executable() -> str:
    return sys.executable


STEREO_DIR = SHARED_DATA / "stereo-chessboard"


def _read_stereo(side):
    cv2 = pytest.importorskip("cv2")
    paths = sorted(STEREO_DIR.glob(f"{side}*.jpg"))
    if not paths:
        pytest.skip(f"no {side} photographs in {STEREO_DIR}")
    return [cv2.imread(str(p)) for p in paths]


@pytest.fixture(scope="session")
def left_photos():
    """The real left-camera chessboard photographs, as 3-channel BGR images."""
    return _read_stereo("left")


@pytest.fixture(scope="session")
def right_photos():
    return _read_stereo("right")


class EyeInHandScene:
    """Rendered views of a ChArUco board from a camera on a robot flange, with ground truth."""

    def __init__(self, views=14, seed=7):
        import math

        import numpy as np

        from _velk import CharucoTarget, tf
        from quorvane.velk import synthetic

        self.target = CharucoTarget(7, 5, 0.04, 0.03)
        self.image_size = (1280, 960)
        self.camera_matrix = synthetic.pinhole_matrix(1000.0, self.image_size)
        self.dist_coeffs = np.array([-0.05, 0.02, 0.0, 0.0, 0.0])
        self.tcp_T_camera = tf.pose_to_transformation_matrix([0.03, -0.02, 0.08, 5, -3, 90])
        self.world_T_target = tf.pose_to_transformation_matrix([0.6, 0.1, 0.0, 180, 0, 0])
        rng = np.random.default_rng(seed)
        centre = synthetic.board_center(self.target)
        self.camera_T_target_list, self.images = [], []
        for k in range(views):
            # 0.4 - 0.7 m away, viewing direction tilted 15 - 30 degrees off the board normal
            # and rolled 15 - 30 degrees about the optical axis.
            tilt = math.radians(rng.uniform(15, 30))
            azimuth = 2 * math.pi * k / views + rng.uniform(-0.3, 0.3)
            distance = rng.uniform(0.4, 0.7)
            direction = np.array([math.sin(tilt) * math.cos(azimuth), math.sin(tilt) * math.sin(azimuth),
                                  -math.cos(tilt)])
            roll = math.radians(rng.uniform(15, 30) * rng.choice([-1, 1]))
            up = np.array([math.sin(roll), -math.cos(roll), 0.0])
            aim = centre + np.append(rng.uniform(-0.02, 0.02, 2), 0.0)
            pose = synthetic.look_at_pose(centre + distance * direction, aim, up)
            view = synthetic.render_target(self.target, self.camera_matrix, self.dist_coeffs, pose, self.image_size,
                                           noise_sigma=1.5, blur_sigma=0.6, seed=seed * 100 + k,
                                           supersample=2)
            self.camera_T_target_list.append(pose)
            self.images.append(view.image)
        inverse_tcp_T_camera = np.linalg.inv(self.tcp_T_camera)
        self.robot_T_tcp_list = [self.world_T_target @ np.linalg.inv(pose) @ inverse_tcp_T_camera
                                 for pose in self.camera_T_target_list]


@pytest.fixture(scope="session")
def eye_in_hand_scene():
    """14 rendered eye-in-hand views (1280 x 960, fx = fy = 1000) of a 7 x 5 ChArUco board."""
    return EyeInHandScene()
