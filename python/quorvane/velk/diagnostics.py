"""Diagnostics for hand-eye calibration data and solvers."""

import _velk.diagnostics as _core
from _velk.diagnostics import *  # noqa: F401,F403

__all__ = [name for name in dir(_core) if not name.startswith("_")]
