"""The statically linked module and the cv2 wheel must live side by side in one process."""

import subprocess
import sys
import textwrap

import pytest

CV2_WORK = """
import cv2, numpy as np
img = np.zeros((60, 80), np.uint8); img[20:40, 30:50] = 255
ok, png = cv2.imencode('.png', img)
assert ok and np.array_equal(cv2.imdecode(png, cv2.IMREAD_GRAYSCALE), img)
r, _ = cv2.Rodrigues(np.array([0.0, 0.0, np.pi / 2]))
assert np.allclose(r, [[0, -1, 0], [1, 0, 0], [0, 0, 1]])
"""

VELK_WORK = """
import _velk, numpy as np
m = _velk.tf.pose_to_transformation_matrix([1, 2, 3, 90, 0, 0])
assert np.allclose(m[:3, :3], [[1, 0, 0], [0, 0, -1], [0, 1, 0]])
assert np.allclose(_velk.tf.average_pose([m, m]), m)
"""


@pytest.mark.parametrize("order", [("cv2", "velk"), ("velk", "cv2")])
def test_both_compute_in_either_import_order(order):
    pytest.importorskip("cv2")
    blocks = {"cv2": CV2_WORK, "velk": VELK_WORK}
    script = "\n".join(textwrap.dedent(blocks[name]) for name in order) + "\n" + CV2_WORK + VELK_WORK
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
