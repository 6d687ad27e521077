"""Files written whole or not at all.

Every file the package writes goes first to a hidden temporary file in the target's own folder, is flushed to
the disk, and then replaces the target in one rename. A write that fails part way (a full disk, a lost mount)
leaves the previous file as it was and no temporary behind; a reader never sees half a file.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import stat
import tempfile
from pathlib import Path


def _new_file_mode() -> int:
    """The permissions an ordinary ``open(path, "w")`` would give a new file under the process umask."""
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def _write_all(descriptor: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view):]


def _sync_folder(folder: Path) -> None:
    """Makes a rename in ``folder`` durable where the system allows opening a folder."""
    try:
        descriptor = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)


def _temporary_beside(path: Path) -> tuple[int, Path]:
    descriptor, name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    return descriptor, Path(name)


def is_special(path: Path) -> bool:
    """A device, pipe or socket (/dev/null, /dev/stdout): renaming a file over it would replace the device."""
    try:
        kind = path.stat().st_mode
    except OSError:
        return False
    return not (stat.S_ISREG(kind) or stat.S_ISDIR(kind))


def _write_in_place(path: Path, data: bytes) -> None:
    with open(path, "wb") as stream:
        stream.write(data)


def write_bytes(path, data: bytes) -> Path:
    """Replaces the file at ``path`` by ``data`` in one step; its folder must exist. Returns the path. A link is
    followed and the file it names replaced; a device, pipe or socket is written into as it is."""
    given = path = Path(path)
    if path.is_symlink():
        path = Path(os.path.realpath(path))
    if is_special(path):
        _write_in_place(path, bytes(data))
        return given
    mode = path.stat().st_mode & 0o7777 if path.is_file() else _new_file_mode()
    descriptor, temporary = _temporary_beside(path)
    try:
        try:
            _write_all(descriptor, bytes(data))
            os.fchmod(descriptor, mode)
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    _sync_folder(path.parent)
    return given


def write_text(path, text: str, encoding: str = "utf-8") -> Path:
    """Replaces the file at ``path`` by ``text`` in one step (see :func:`write_bytes`)."""
    return write_bytes(path, text.encode(encoding))


@contextlib.contextmanager
def staged_folder(folder):
    """A hidden temporary folder inside ``folder`` for a writer that only takes a folder (the library's pose
    archive): on leaving the block without an error, each file written there replaces its namesake in
    ``folder``; the temporary folder is removed in any case."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    stage = Path(tempfile.mkdtemp(prefix=".staged.", dir=folder))
    try:
        yield stage
        for written in sorted(stage.iterdir()):
            write_bytes(folder / written.name, written.read_bytes())
    finally:
        shutil.rmtree(stage, ignore_errors=True)
