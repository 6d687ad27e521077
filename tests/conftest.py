import sys
from pathlib import Path

import numpy as np
import pytest

import render_cache

REPO_ROOT = Path(__file__).resolve().parent.parent
# The shared data folder sits beside the checkout (or beside the folder holding worktrees).
SHARED_DATA = next((parent / "shared" / "data" for parent in REPO_ROOT.parents
                    if (parent / "shared" / "data").is_dir()), REPO_ROOT.parent / "shared" / "data")


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


# --------------------------------------------------------------------------
# Rendered scenes with ground truth

IMAGE_SIZE = (1280, 960)
TRUE_K = np.array([[1000.0, 0.0, 639.5], [0.0, 1000.0, 479.5], [0.0, 0.0, 1.0]])
TRUE_DIST = np.array([-0.1, 0.0, 0.0, 0.0, 0.0])


def intrinsic_targets():
    import _velk

    return {
        "chessboard": _velk.ChessboardTarget((9, 6), 0.03),
        "charuco": _velk.CharucoTarget(9, 7, 0.035, 0.026),
        "aruco": _velk.ArucoTarget((6, 5), 0.04, 0.01),
    }


def calibration_views(target, count, seed):
    """Oblique views spread over the image: distances 0.45-0.7 m, tilts 10-40 degrees, rolls +-20 degrees."""
    import _velk
    from quorvane.velk import synthetic

    rng = np.random.default_rng(seed)
    centre = synthetic.board_center(target)
    poses = []
    for k in range(count):
        distance = rng.uniform(0.45, 0.7)
        tilt = np.radians(rng.uniform(10.0, 40.0))
        azimuth = 2 * np.pi * k / count
        eye = centre + distance * np.array([np.sin(tilt) * np.cos(azimuth), np.sin(tilt) * np.sin(azimuth),
                                            -np.cos(tilt)])
        aim = centre + np.array([rng.uniform(-0.05, 0.05), rng.uniform(-0.04, 0.04), 0.0])
        roll = _velk.tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, rng.uniform(-20, 20)])
        poses.append(roll @ synthetic.look_at_pose(eye, aim))
    return poses


def render_views(target, poses, seed, noise_sigma=1.0):
    from quorvane.velk import synthetic

    return [synthetic.render_target(target, TRUE_K, TRUE_DIST, pose, IMAGE_SIZE, noise_sigma=noise_sigma,
                                    blur_sigma=0.5, seed=seed + k, supersample=2)
            for k, pose in enumerate(poses)]


_SCENE_CACHE = {}


@pytest.fixture(scope="session")
def rendered_intrinsic_scene():
    """Twenty rendered views of each target kind, cached for the session: kind -> (target, views)."""
    pytest.importorskip("cv2")

    def scene(kind):
        if kind not in _SCENE_CACHE:
            target = intrinsic_targets()[kind]
            with render_cache.active():
                _SCENE_CACHE[kind] = (target, render_views(target, calibration_views(target, 20, seed=11), seed=100))
        return _SCENE_CACHE[kind]

    return scene


@pytest.fixture(scope="session")
def rendered_rig():
    """Three synchronized cameras rendered looking at a ChArUco board in 15 poses (about 12 s, once)."""
    pytest.importorskip("cv2")
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import rig_scene

    with render_cache.active():
        return rig_scene.render_rig(3, 15)


@pytest.fixture(scope="session")
def eye_in_hand_scene():
    """Fourteen rendered pictures from a camera on a simulated robot flange, with the truth (demo scene)."""
    pytest.importorskip("cv2")
    from quorvane.velk import demo

    with render_cache.active():
        return demo.simulate_eye_in_hand(num_poses=14, seed=5)


_CAPTURE_CACHE = {}


@pytest.fixture(scope="session")
def intrinsic_capture():
    """Rendered intrinsic captures of intrinsic_captures at 640 x 480, cached for the session: name -> (target,
    images). "good": 20 pictures through a k1 k2 lens reaching the picture's corners; "small tag": 8 pictures of one
    48 mm tag; "central chessboard": 7 pictures of a chessboard near the picture's centre."""
    pytest.importorskip("cv2")
    import intrinsic_captures as captures

    makers = {"good": lambda: captures.lens_capture("k1k2", seed=3, views=20),
              "small tag": lambda: captures.small_tag_capture(seed=1),
              "central chessboard": lambda: captures.central_chessboard_capture(seed=1)}

    def capture(name):
        if name not in _CAPTURE_CACHE:
            with render_cache.active():
                _CAPTURE_CACHE[name] = makers[name]()
        return _CAPTURE_CACHE[name]

    return capture


@pytest.fixture(scope="session")
def eye_to_hand_photo_dataset(tmp_path_factory):
    """The real eye-to-hand photographs as a dataset folder with their target file: (folder, target). Commands
    run on it write their results elsewhere (-o)."""
    import cli_data
    import eye_to_hand_photos

    photos = eye_to_hand_photos.load()
    root = tmp_path_factory.mktemp("eye_to_hand_photos")
    folder = cli_data.write_hand_eye_dataset(root / "data", photos.images, photos.robot_T_tcp_list)
    target = cli_data.write_target(root / "target.json", photos.target)
    return folder, target


# --------------------------------------------------------------------------
# Order: the longest test files start first

#: The test files that take longest, longest first (each a minute or more of one core). pytest-xdist's
#: --dist loadfile gives each file to one worker as a whole; a long file started near the end would run alone
#: while the other worker has nothing left. Started first, the long files end while the short ones still keep
#: both workers busy. Files not named here follow in their usual order.
LONGEST_FILES = [
    "test_wheel.py", "test_cli_interrupted_runs.py", "test_hand_eye_images.py",
    "test_fisheye_hand_eye.py", "test_fisheye_rig.py", "test_cli_calibration.py", "test_held_out_validation.py",
    "test_cli_report.py", "test_cli_verdicts.py", "test_eye_to_hand_images.py",
    "test_fisheye_intrinsics.py", "test_readme_commands.py", "test_hand_eye_refinement.py",
    "test_cli_kinematic_hand_eye.py", "test_detection_large_pictures.py", "test_hand_eye_plan.py",
    "test_bag_import.py", "test_cli_console_agreement.py", "test_restricted_arms.py", "test_cli_board_size.py",
]


def pytest_configure(config):
    # xdist would otherwise hand out the files with the most tests first, whatever their length.
    if getattr(config.option, "loadscopereorder", False):
        config.option.loadscopereorder = False


def pytest_collection_modifyitems(items):
    rank = {name: k for k, name in enumerate(LONGEST_FILES)}
    items.sort(key=lambda item: rank.get(item.path.name, len(rank)))  # stable: a file's tests keep their order
