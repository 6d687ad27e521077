"""The limits results are judged by."""

from __future__ import annotations

EXIT_OK = 0
EXIT_NOT_TRUSTWORTHY = 1

#: Robot pose error taken as explained by an ordinary robot (per axis, 1-sigma), mm and deg.
NOMINAL_ROBOT_NOISE_MM = 1.0
NOMINAL_ROBOT_NOISE_DEG = 0.1
#: How many times the spread the nominal robot noise explains the target consistency may reach.
CONSISTENCY_FACTOR = 4.0
#: Largest reprojection RMS of a trusted result, px.
MAX_RMS_PX = 3.0
#: Largest robot noise the refinement may estimate for a trusted result (per axis, 1-sigma).
MAX_ROBOT_NOISE_MM = 5.0
MAX_ROBOT_NOISE_DEG = 1.0
#: Largest median held-out error of a trusted result.
MAX_HELD_OUT_MM = 10.0
MAX_HELD_OUT_DEG = 1.0
#: Smallest axis-spread ratio of the rotations between views (below it one axis is unobserved).
MIN_AXIS_SPAN_RATIO = 0.15
#: Largest spread of the solvers' results (rz in deg after wrapping, translation in mm).
from ..solver_agreement import MAX_SOLVER_SPREAD_DEG, MAX_SOLVER_SPREAD_MM  # noqa: F401,E402 (its home)

#: Camera-to-target distances beyond this (m) mean lengths in the wrong unit.
MAX_PLAUSIBLE_DISTANCE_M = 20.0
#: A focal length beyond this many picture widths means intrinsics the pictures could not determine.
MAX_FOCAL_OVER_WIDTH = 20.0
#: Largest mean error of a kinematic model over the poses it was calibrated on (measured-pose data).
MAX_KINEMATIC_MEAN_MM = 2.0
MAX_KINEMATIC_MEAN_DEG = 0.2
#: How much worse than the nominal chain (both fitted with their two transforms) the calibrated chain may
#: predict held-out poses, as a factor on the mean errors: beyond it the corrections fit noise.
MAX_KINEMATIC_HELD_OUT_FACTOR = 1.05
#: An alternative pairing or reading of the poses is named as the cause when it shrinks the
#: target consistency spread by at least this factor.
CAUSE_IMPROVEMENT = 4.0

#: The denominator terms of the rational pinhole model.
RATIONAL_TERMS = ("k4", "k5", "k6")
#: Fewest pictures within the error threshold for trusted intrinsics.
MIN_INTRINSIC_VIEWS = 5
#: Largest 1-sigma of a trusted focal length, as a share of it.
MAX_FOCAL_SIGMA_SHARE = 0.01
#: Largest 1-sigma of a trusted principal point coordinate, as a share of the picture's width.
MAX_PRINCIPAL_POINT_SIGMA_SHARE = 0.02
#: A distortion term whose 1-sigma exceeds its value is undetermined when that 1-sigma moves a point seen in the
#: picture's corners by at least this many pixels; below it the term is too small to matter either way (a tangential
#: term of the stereo photographs' left camera, p2 = -0.0003 +- 0.0003, moves them 0.2 px, under their 0.4 px RMS).
MIN_UNDETERMINED_SHIFT_PX = 0.5
#: Largest ratio of the held-out RMS to the fitted RMS of trusted intrinsics. Rendered captures reaching the
#: picture's corners stay at 1.03 or below with 24 pictures and the chosen model (one of 100 reached 1.6 with 12), the
#: stereo photographs at 1.02; a few pictures of one small tag reach 1.2 to 23 (bench/distortion_model_choice.py).
MAX_HELD_OUT_OVER_FITTED = 1.5
#: Largest growth of the distortion from the observed corners' edge to the picture's corners, against a lens whose
#: displacement grows with the cube of the radius (see distortion_field.Extrapolation); displacements in the picture's
#: corners up to EXTRAPOLATION_WARNING_PX pass whatever their growth. The chosen models of rendered captures, the
#: demos and the stereo photographs grow by 2.5 at most; undetermined fits fold back before the corners (inf).
MAX_EXTRAPOLATION_GROWTH = 4.0
#: The causes named when the pictures do not determine the intrinsics: fewer pictures than this, a board tilted by
#: less than this from facing the camera in every picture, corners reaching less than this share of the way from the
#: principal point to the picture's corners (captures with the board in the picture's corners reach 0.6 to 0.75 with
#: the corners inside a chessboard's border, the stereo photographs 0.66; a board kept near the centre 0.35 to 0.5).
FEW_INTRINSIC_PICTURES = 10
SMALL_TILT_DEG = 20.0
SMALL_CORNER_REACH = 0.55
#: A printed square longer than this (m) is a length given in millimetres.
MAX_PLAUSIBLE_SQUARE_M = 1.0
