"""quorvane.velk: camera calibration for cameras that work with robot arms.

Intrinsics, the hand-eye transform ``tcp_T_camera``, multi-camera rig poses and
verdicts on the quality of calibration data, computed by the compiled core
``_velk`` and re-exported here.
"""

from ._native_libraries import raise_if_missing_library

try:
    import _velk
except ImportError as error:
    raise_if_missing_library(error)
    raise
from _velk import *  # noqa: F401,F403  (the public names of the compiled core)

from . import diagnostics, io, logs, tf  # noqa: F401

__all__ = [name for name in dir(_velk) if not name.startswith("_")]
