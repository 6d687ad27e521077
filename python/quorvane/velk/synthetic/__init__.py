"""Synthetic camera views of calibration targets, with exact ground truth.

:func:`render_target` draws what a pinhole camera with lens distortion (or a fisheye lens,
``camera_model="fisheye"``) sees of a
printed chessboard, ChArUco board, ArUco grid board or circle grid placed at a known pose,
and returns the image together with the true image positions of the board's
corners. Use it to test detectors and calibrations against known answers, to
try out a capture plan before going to the lab, or for demos.

The image is rendered by following every pixel backwards: the pixel positions
are undistorted into viewing rays (checked by distorting them again), each ray
is intersected with the board plane, and the printed sheet is looked up in a
texture built from the board geometry, several times finer than the image.
Every pixel averages supersample x supersample looks across its area, as a
sensor pixel does. Ground truth comes from the forward model
(``cv2.projectPoints``) with the same distortion; the two agree to about a
thousandth of a pixel. A 1280x960 view takes around half a second.

Targets are plain objects described by their attributes (the library's target
classes have exactly these, but any object with them will do):

* chessboard: ``size`` = (cols, rows) inner corners and ``square_size``
  [m]. Inner corner (row i, col j) is at (j * s, i * s, 0) in the board frame,
  its index is ``i * cols + j``. The printed board has (cols + 1) x (rows + 1)
  squares with the top-left one black.
* ChArUco: ``squares_x``, ``squares_y``, ``square_length``,
  ``marker_length`` [m] and ``aruco_dict_id`` (an OpenCV predefined dictionary
  id); optional ``ids`` and ``legacy_pattern``. Layout and board frame are
  OpenCV's ``cv2.aruco.CharucoBoard``.
* ArUco grid: ``board_size`` = (markers_x, markers_y), ``marker_length``,
  ``marker_separation`` [m] and ``aruco_dict_id``; optional ``ids`` or
  ``first_marker_id`` (the markers then carry the ids that follow it). Layout
  and board frame are OpenCV's ``cv2.aruco.GridBoard``.
* circle grid: ``size`` = (circles per row, rows), ``spacing`` and
  ``circle_diameter`` [m] and ``asymmetric``. Circle (row i, column j) is
  centred at (j * s, i * s, 0), or ((2 j + i % 2) * s, i * s, 0) when
  asymmetric. The truth is the projected centre of each circle (not the centre
  of the ellipse it images to). Optional ``polarity``: "light" draws light
  circles on a dark sheet, anything else dark circles on white. Optional
  ``origin_circle_diameter`` > 0 (symmetric grids): the bottom-left circle is
  that large and is the origin; circle (row i from the top, column j) is then
  centred at (j * s, (rows - 1 - i) * s, 0), and the printed face is seen from
  the positive z side.

Every board is printed on a white sheet that leaves a quiet zone of one square
(chessboard, ChArUco), one marker length (ArUco grid) or one spacing (circle
grid) around the pattern; see
:func:`sheet_bounds`. The printed face is seen from the board frame's negative
z side (a circle grid with a marked origin: the positive z side); a camera behind
the sheet sees blank paper.

All lengths are in metres, all poses are 4x4 homogeneous matrices. The module
needs numpy and, for rendering, OpenCV for Python (``opencv-python-headless``).
"""

import numpy as np  # noqa: F401  (RenderedView's annotations say np.ndarray and are resolved here)

from ._camera_model import fisheye_matrix, pinhole_matrix
from ._look_at import look_at_pose
from ._render import BACKGROUND_LEVEL, BLACK_LEVEL, WHITE_LEVEL, RenderedView, render_target
from ._target_layout import board_center, printed_face_side, sheet_bounds

__all__ = [
    "BACKGROUND_LEVEL",
    "BLACK_LEVEL",
    "WHITE_LEVEL",
    "RenderedView",
    "board_center",
    "fisheye_matrix",
    "look_at_pose",
    "pinhole_matrix",
    "printed_face_side",
    "render_target",
    "sheet_bounds",
]

# The public classes and functions present themselves as members of this package, where they
# are documented, pickled and have their annotations resolved, not of the private module that
# defines them.
for _public in (RenderedView, board_center, fisheye_matrix, look_at_pose, pinhole_matrix, printed_face_side,
                render_target, sheet_bounds):
    _public.__module__ = __name__
del _public
