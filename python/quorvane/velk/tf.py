"""SE(3) pose <-> 4x4 transformation matrix conversions."""

import _velk.tf as _core
from _velk.tf import *  # noqa: F401,F403

__all__ = [name for name in dir(_core) if not name.startswith("_")]
