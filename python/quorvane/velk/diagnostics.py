"""Diagnostics for hand-eye calibration data and solvers."""

from _velk.diagnostics import *  # noqa: F401,F403

import _velk.diagnostics as _core

__all__ = [name for name in dir(_core) if not name.startswith("_")]
