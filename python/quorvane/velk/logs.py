"""The library's log lines in Python's :mod:`logging`.

Importing :mod:`quorvane.velk` hands every line the compiled core logs to the logger
``quorvane.velk`` (:data:`LOGGER`), at the matching level (the library's SUCCESS is the level
:data:`SUCCESS`, between INFO and WARNING), with two attributes on the record:
``velk_component``, the name in brackets at the start of the message ("IntrinsicCalibrator",
empty when there is none), and ``velk_level``, the level word the library prints.

By default the logger prints each line on the process's standard error as the library itself does,
"[velk][WARNING] [IntrinsicCalibrator] Chessboard not found in image 3", through
:data:`CONSOLE`. To route the lines elsewhere, remove that handler and add your own, or set
``LOGGER.propagate = True`` to let the root logger's handlers have them too.
"""

from __future__ import annotations

import atexit
import logging
import sys

import _velk

#: The logger of the library's lines.
LOGGER = logging.getLogger("quorvane.velk")
#: The level of the library's SUCCESS lines (a completed step, data saved or loaded).
SUCCESS = 25
logging.addLevelName(SUCCESS, "SUCCESS")

_LEVELS = {0: logging.DEBUG, 1: logging.INFO, 2: logging.WARNING, 3: logging.ERROR, 4: SUCCESS}
_WORDS = {0: "DEBUG", 1: "INFO", 2: "WARNING", 3: "ERROR", 4: "SUCCESS"}


def line_of(record: logging.LogRecord) -> str:
    """The line the library prints for a record: "[velk][LEVEL] message"."""
    word = getattr(record, "velk_level", None) or logging.getLevelName(record.levelno)
    return f"[velk][{word}] {record.getMessage()}"


class LineFormatter(logging.Formatter):
    """Formats a record as the library's own line."""

    def format(self, record: logging.LogRecord) -> str:
        return line_of(record)


class ConsoleHandler(logging.Handler):
    """Writes each line to the process's standard error (``sys.__stderr__``, file descriptor 2), where the
    compiled core writes them when nothing takes them from it."""

    def __init__(self, level=logging.NOTSET):
        super().__init__(level)
        self.setFormatter(LineFormatter())

    def emit(self, record: logging.LogRecord) -> None:
        try:
            stream = sys.__stderr__ or sys.stderr
            stream.write(self.format(record) + "\n")
            stream.flush()
        except Exception:  # noqa: BLE001 - logging must never break the calculation that logged
            self.handleError(record)


#: The default handler: the library's lines on standard error.
CONSOLE = ConsoleHandler()


def _forward(level: int, component: str, message: str) -> None:
    LOGGER.log(_LEVELS.get(level, logging.INFO), message,
               extra={"velk_level": _WORDS.get(level, "INFO"), "velk_component": component})


def install() -> None:
    """Routes the core's log lines to :data:`LOGGER` (done once on import)."""
    if CONSOLE not in LOGGER.handlers:
        LOGGER.addHandler(CONSOLE)
    LOGGER.setLevel(logging.DEBUG)
    LOGGER.propagate = False
    _velk.set_log_sink(_forward)


def _release() -> None:
    # The core keeps the callable until it is told otherwise; it must let go before the interpreter ends.
    _velk.set_log_sink(None)


install()
atexit.register(_release)
