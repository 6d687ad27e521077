"""Argument types for numeric options: a value out of range is an argparse error naming the option's value,
before any work."""

from __future__ import annotations

import argparse
import math


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def finite(text: str) -> float:
    """A finite number."""
    return _number(text)


def positive(text: str) -> float:
    """A finite number above 0."""
    value = _number(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} must be above 0")
    return value


def non_negative(text: str) -> float:
    """A finite number of at least 0."""
    value = _number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} must be at least 0")
    return value
