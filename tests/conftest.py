import sys
from pathlib import Path

import pytest

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


@pytest.fixture(scope="session")
def rendered_rig():
    """Three synchronized cameras rendered looking at a ChArUco board in 15 poses (about 12 s, once)."""
    pytest.importorskip("cv2")
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import rig_scene

    return rig_scene.render_rig(3, 15)
