"""Helpers the file readers share for values read from untrusted input."""

from __future__ import annotations

import math


def is_finite(value) -> bool:
    """Whether a number is finite; an integer too large for a float is not."""
    try:
        return math.isfinite(value)
    except OverflowError:
        return False


def short_repr(value) -> str:
    """The value as an error message can quote it: at most about 40 characters."""
    try:
        text = repr(value)
    except ValueError:  # an integer with more digits than Python prints
        return "a number too long to print"
    return text if len(text) <= 40 else text[:20] + f"... ({len(text)} characters)"
