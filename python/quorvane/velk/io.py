"""On-disk persistence for calibration datasets and results."""

import _velk.io as _core
from _velk.io import *  # noqa: F401,F403

__all__ = [name for name in dir(_core) if not name.startswith("_")]
