"""Errors of the commands and the exit codes they end with."""

from __future__ import annotations

EXIT_FAILED = 1
EXIT_USAGE = 2


class CommandError(Exception):
    """An error reported as one line, ending the command with ``exit_code``."""

    exit_code = EXIT_USAGE


class UsageError(CommandError):
    """Bad arguments or unreadable input."""


class CalibrationFailed(CommandError):
    """The calibration ran but produced no usable result."""

    exit_code = EXIT_FAILED
