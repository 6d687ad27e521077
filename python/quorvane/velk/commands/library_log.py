"""What the calibration commands show of the library's log.

The library's lines reach the ``quorvane.velk`` logger (see :mod:`quorvane.velk.logs`) as records.
While a command runs the library, :func:`held` keeps them back, then prints them once on standard
error as the library words them, a line that came n times ending with "(n times)"; with ``--quiet``
only warnings and errors. Pictures are named in them by the names the command gave the library
(``IntrinsicOptions.image_names``).
"""

from __future__ import annotations

import contextlib
import logging
import sys
from collections import Counter

from .. import logs


class _Kept(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


def folded(lines) -> list[str]:
    """Lines in their first order, each once; a line that came n times ends with "(n times)"."""
    counts = Counter(lines)
    result, seen = [], set()
    for line in lines:
        if line in seen:
            continue
        seen.add(line)
        result.append(line if counts[line] == 1 else f"{line} ({counts[line]} times)")
    return result


def shown_lines(records, quiet: bool, success: bool = True) -> list[str]:
    """The lines printed for ``records``: warnings and errors alone when ``quiet``, folded; without ``success``
    no SUCCESS line (a step that completed for a result that failed its checks)."""
    floor = logging.WARNING if quiet else logging.NOTSET
    return folded([logs.line_of(record) for record in records
                   if record.levelno >= floor and (success or record.levelno != logs.SUCCESS)])


@contextlib.contextmanager
def held(quiet: bool, success: bool = True):
    """Keeps the library's lines of the block from the console and prints them folded at its end (without
    SUCCESS lines unless ``success``). Yields the list the records gather in."""
    kept = _Kept()
    console = logs.CONSOLE in logs.LOGGER.handlers
    if console:
        logs.LOGGER.removeHandler(logs.CONSOLE)
    logs.LOGGER.addHandler(kept)
    try:
        yield kept.records
    finally:
        logs.LOGGER.removeHandler(kept)
        if console:
            logs.LOGGER.addHandler(logs.CONSOLE)
        for line in shown_lines(kept.records, quiet, success):
            print(line, file=sys.stderr)
        sys.stderr.flush()


def without_messages(records, messages) -> None:
    """Removes from ``records`` (the list :func:`held` yields) the warnings whose message ends with one of
    ``messages``: warnings a result carries as a field and the command prints with it, so that they are shown
    once."""
    messages = [m for m in messages if m]
    records[:] = [r for r in records
                  if r.levelno != logging.WARNING or not any(r.getMessage().endswith(m) for m in messages)]


@contextlib.contextmanager
def dropped():
    """Keeps the library's lines of the block from the console for good: for a second pass over pictures whose
    lines were shown once already."""
    with held(quiet=True) as records:
        try:
            yield
        finally:
            records.clear()
