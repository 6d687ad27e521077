"""A command's output paths, checked before any work: an output never overwrites one of the run's inputs nor
another output of the same run, and the place it goes to can take a file.

A folder the output needs is created when it is missing, as long as the nearest folder that exists on the way is
a writable folder.
"""

from __future__ import annotations

import os
from pathlib import Path

from ..datasets import IMAGE_SUFFIXES, POSE_FILE, camera_folders
from ..joint_table import JOINT_FILE
from .errors import UsageError
from .output_locks import lock_folder_of


def result_file(output, default_name: str) -> Path:
    """The file a result record goes to, as the library's record writers resolve it: ``default_name`` inside an
    existing folder (whatever its name, cap.2024 included), a path ending in a separator or one without an
    extension; else the path itself."""
    path = Path(output)
    if path.is_dir() or str(output).endswith(("/", os.sep)) or not path.suffix:
        return path / default_name
    return path


def dataset_files(folder) -> list[Path]:
    """The pictures, the pose archive and the joint table of a hand-eye dataset folder and of its cam_<k> folders
    (none when the folder does not exist: its loader says so)."""
    folder = Path(folder)
    if not folder.is_dir():
        return []
    files = []
    for place in (folder, *camera_folders(folder)):
        files += [p for p in place.iterdir()
                  if p.is_file() and (p.suffix.lower() in IMAGE_SUFFIXES or p.name in (POSE_FILE, JOINT_FILE))]
    return files


def _same_file(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist (yet)
        return a.resolve() == b.resolve()


def _nearest_existing(path: Path) -> Path:
    for ancestor in path.absolute().parents:
        if ancestor.exists():
            return ancestor
    return Path(path.absolute().anchor)


def _is_utf8(path: Path) -> bool:
    try:
        str(path).encode("utf-8")
    except UnicodeEncodeError:  # bytes the system's file name decoding could not read, kept as surrogates
        return False
    return True


def _place_problem(path: Path) -> str | None:
    """Why no file can be written at ``path``, None when one can."""
    if not _is_utf8(path):
        return "has a name that is not valid UTF-8, which the records and the printed lines cannot hold: give an " \
               "output path in UTF-8 (the inputs may stay where they are)"
    if path.is_dir():
        return "is a folder; name a file"
    folder = _nearest_existing(path)
    if not folder.is_dir():
        return f"cannot be written: {folder} is not a folder"
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"cannot be written: {folder} is not writable"
    return None


def _input_files(inputs: dict):
    for label, given in inputs.items():
        if given is None:
            continue
        for path in [given] if isinstance(given, (str, os.PathLike)) else given:
            yield label, Path(path)


def check_outputs(command: str, outputs: dict, inputs: dict) -> None:
    """Refuses, with a UsageError naming both, an output that is one of the run's inputs or the same file as
    another output, and an output whose place cannot take a file; then takes this run's lock on the folders the
    outputs go to, refusing when another run writes there (the command line drops the locks when the command
    ends). ``outputs`` maps each output's option to the
    file it writes (None when not given); ``inputs`` maps a description of each input to a path or a list of
    them (None when not given)."""
    given = {option: Path(path) for option, path in outputs.items() if path is not None}
    for option, path in given.items():
        problem = _place_problem(path)
        if problem:
            raise UsageError(f"{command}: {option} {path} {problem}")
        for label, source in _input_files(inputs):
            if _same_file(path, source):
                raise UsageError(f"{command}: {option} {path} is {label} ({source}), which the run reads: writing "
                                 "it would destroy it; choose another output")
    options = list(given)
    for k, option in enumerate(options):
        for other in options[k + 1:]:
            if _same_file(given[option], given[other]):
                raise UsageError(f"{command}: {option} and {other} both name {given[option]}; give each output a "
                                 "file of its own")
    for path in given.values():
        lock_folder_of(command, path)
