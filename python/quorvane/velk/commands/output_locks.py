"""One run at a time per output folder.

A command takes a lock on each folder it writes into before any work, and keeps it until it ends. The lock is an
advisory lock on a hidden file in the folder, which names the run holding it; the system drops the lock with the
process, so a run that was killed never blocks the next one. A folder that does not exist yet is not made before
the run has a result: its lock file goes into the nearest folder that exists, named after the missing one.

The lock file also names the folder and the files the run writes there: a lock file found without a holder means
the run before was interrupted, and the temporary files its writes of those files left behind are removed.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import shutil
import sys
import time
from pathlib import Path

from ..safe_files import is_special
from .errors import UsageError

LOCK_NAME = ".velk-run.lock"

_held: dict[Path, int] = {}


def _description(command: str) -> str:
    return f"pid {os.getpid()}, velk {command}, started {time.strftime('%Y-%m-%d %H:%M:%S')}"


def _read(descriptor: int) -> list[str]:
    """The lock file's lines: the run holding it, then the names of the files it writes in the folder."""
    text = b""
    while chunk := os.pread(descriptor, 65536, len(text)):
        text += chunk
    return [line for line in text.decode("utf-8", "surrogateescape").splitlines() if line]


def _still_at(descriptor: int, path: Path) -> bool:
    """Whether ``path`` still names the file open as ``descriptor`` (a run ending removes its lock file)."""
    try:
        named = os.stat(path)
    except FileNotFoundError:
        return False
    held = os.fstat(descriptor)
    return (named.st_dev, named.st_ino) == (held.st_dev, held.st_ino)


ANY_FILE = "*"  # the name a run gives that writes files it cannot name beforehand (the pictures of an import)


def _is_temporary_of(entry: Path, names: set[str]) -> bool:
    """Whether ``entry`` is a temporary the file writers make for one of ``names`` (any file for ANY_FILE):
    .<name>.<random>.tmp, or the .staged.<random> folder of the pose archive's writer."""
    if entry.is_dir() and not entry.is_symlink():
        return entry.name.startswith(".staged.")
    if not (entry.name.startswith(".") and entry.name.endswith(".tmp")) or entry.name == LOCK_NAME:
        return False
    return ANY_FILE in names or any(entry.name.startswith(f".{name}.") for name in names)


def _remove_left_temporaries(folder: Path, names: set[str]) -> int:
    removed = 0
    for entry in folder.iterdir():
        if _is_temporary_of(entry, names):
            if entry.is_dir():
                shutil.rmtree(entry, ignore_errors=True)
            else:
                entry.unlink(missing_ok=True)
            removed += 1
    return removed


def _write_lines(descriptor: int, lines: list[str]) -> None:
    os.ftruncate(descriptor, 0)
    os.pwrite(descriptor, "".join(line + "\n" for line in lines).encode("utf-8", "surrogateescape"), 0)


def _take_over(descriptor: int, folder: Path, command: str, name: str) -> None:
    """The lock is ours: clears what an interrupted run left and names this run, the folder and the file in the
    lock file."""
    left = _read(descriptor)
    if len(left) > 1 and Path(left[1]).is_dir():
        removed = _remove_left_temporaries(Path(left[1]), set(left[2:]))
        print(f"velk: an earlier run into {left[1]} ({left[0]}) ended before it finished; {removed} temporary "
              "file(s) it left were removed", file=sys.stderr)
    _write_lines(descriptor, [_description(command), str(folder), name])


def _lock_file_for(folder: Path) -> Path:
    """The lock file of ``folder``: inside it when it exists, else in the nearest folder that does, named after
    the first missing one."""
    if folder.is_dir():
        return folder / LOCK_NAME
    missing = folder
    while not missing.parent.is_dir() and missing.parent != missing:
        missing = missing.parent
    return missing.parent / f".velk-run.{missing.name}.lock"


def lock_folder_of(command: str, output) -> None:
    """Takes this run's lock on the folder ``output`` goes to, or ends the command with a UsageError naming the
    run that holds it. A folder this process holds already is only told of the new file."""
    output = Path(output)
    if is_special(output):  # a device such as /dev/null puts no file into its folder
        return
    folder = Path(os.path.realpath(output.absolute().parent))
    path = _lock_file_for(folder)
    if path in _held:
        _write_lines(_held[path], [*_read(_held[path]), output.name])
        return
    while True:
        descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = (_read(descriptor) or ["starting"])[0]
            os.close(descriptor)
            raise UsageError(f"{command}: another run ({holder}) is writing into {folder}; wait "
                             "until it ends or give this run another output folder") from None
        if _still_at(descriptor, path):
            break
        os.close(descriptor)  # the holder ended and removed the file between our open and our lock
    _take_over(descriptor, folder, command, output.name)
    _held[path] = descriptor


def release_all() -> None:
    """Ends this run's locks: each lock file is removed while still locked, then closed."""
    for path, descriptor in list(_held.items()):
        with contextlib.suppress(OSError):
            path.unlink()
        os.close(descriptor)
        del _held[path]
