"""What the calibration commands print: the library's own text caught, renamed, shown once.

The library writes its result reports to standard output and its log lines to standard
error from C++, beneath Python. The commands run it inside :func:`captured`, then print
what it wrote through :func:`replay`: picture numbers renamed to capture names, repeated
log lines folded into one, and with ``--quiet`` only warnings and errors.
"""

from __future__ import annotations

import contextlib
import os
import sys
import tempfile
from collections import Counter
from dataclasses import dataclass

#: Log words kept by --quiet.
QUIET_WORDS = ("[WARNING]", "[ERROR]")


@dataclass
class Captured:
    out: str = ""
    err: str = ""


@contextlib.contextmanager
def captured():
    """Catches everything written to file descriptors 1 and 2 (the library's reports and log lines)."""
    caught = Captured()
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    with tempfile.TemporaryFile(mode="w+b") as out, tempfile.TemporaryFile(mode="w+b") as err:
        os.dup2(out.fileno(), 1)
        os.dup2(err.fileno(), 2)
        try:
            yield caught
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            for fd in saved:
                os.close(fd)
            for stream, name in ((out, "out"), (err, "err")):
                stream.seek(0)
                setattr(caught, name, stream.read().decode("utf-8", errors="replace"))


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


def log_lines(text: str, quiet: bool) -> list[str]:
    lines = [line for line in text.splitlines() if line.strip()]
    if quiet:
        lines = [line for line in lines if any(word in line for word in QUIET_WORDS)]
    return folded(lines)


def replay(caught: Captured, quiet: bool, rename=None, show_out: bool = True) -> None:
    """Prints caught text: the reports (unless ``quiet`` or not ``show_out``) and the folded log lines,
    with ``rename`` applied to both."""
    rename = rename or (lambda text: text)
    for line in log_lines(rename(caught.err), quiet):
        print(line, file=sys.stderr)
    if show_out and not quiet and caught.out:
        print(rename(caught.out), end="" if caught.out.endswith("\n") else "\n")
    sys.stderr.flush()
    sys.stdout.flush()
