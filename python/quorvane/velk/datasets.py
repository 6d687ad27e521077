"""Reading the inputs of the calibration commands: loose image files and the dataset folders the io module writes.

A hand-eye dataset folder holds ``calibration_data.npz`` (the robot poses) and
``image_<k>.png`` for pose k; a rig dataset folder holds ``cam_0``, ``cam_1``, ...
with ``image_<k>.png`` files of synchronized captures (and optionally the robot
poses). Images are read one by one so that a progress bar can follow them. In a
hand-eye folder picture image_<k> pairs with pose k, counted from 0, whatever pictures
are missing; rig captures and their poses are those of ``_velk.io.load_multi_camera_dataset``.
"""

from __future__ import annotations

import os
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

import _velk

from . import safe_files
from .progress import Progress

IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff")
POSE_FILE = "calibration_data.npz"
_CAPTURE_NAME = re.compile(r"image_(\d+)\.png")
_NUMBERED_PICTURE = re.compile(r"image_(\d+)\.[A-Za-z]+")
_CAMERA_FOLDER = re.compile(r"cam_(\d+)")


class InputError(ValueError):
    """Input that cannot be read: a missing folder, an unreadable image, a dataset without poses."""


def warn(message: str) -> None:
    print(f"velk: warning: {message}", file=sys.stderr)


def read_image(path: Path):
    """An image file as 8-bit BGR, the way the library's dataset loaders read it. The file is read as bytes and
    decoded from memory, so that any path the system holds opens, one whose name is not UTF-8 included."""
    import cv2
    import numpy as np

    try:
        data = np.fromfile(os.fsencode(path), dtype=np.uint8)
    except OSError as error:
        raise InputError(f"cannot read image {path}: {error.strerror or error}") from None
    image = cv2.imdecode(data, cv2.IMREAD_COLOR) if data.size else None
    if image is None:
        raise InputError(f"cannot read image {path}")
    return image


def save_robot_poses(folder, poses) -> Path:
    """Writes ``folder``/calibration_data.npz (the library's archive) whole: it replaces the old archive in one
    step, so that a write that fails leaves the poses that were there."""
    folder = Path(folder)
    with safe_files.staged_folder(folder) as stage:
        _velk.io.save_robot_poses(stage, poses)
    return folder / POSE_FILE


def picture_name(path) -> str:
    """A picture's file name as the printed lines, the library and the records show it: the bytes of a name that
    is not UTF-8 as \\xNN escapes."""
    return os.fsencode(Path(path).name).decode("utf-8", "backslashreplace")


def _read_all(paths, progress: Progress, description: str) -> list:
    images = []
    with progress.bar(len(paths), description) as advance:
        for path in paths:
            images.append(read_image(path))
            advance(len(images))
    return images


def image_paths(arguments) -> list[Path]:
    """Image files named on the command line: files as given, folders by their image files in name order."""
    paths: list[Path] = []
    for argument in arguments:
        path = Path(argument)
        if path.is_dir():
            found = sorted(p for p in path.iterdir()
                           if p.suffix.lower() in IMAGE_SUFFIXES and not p.stem.endswith("_annotated"))
            if not found:
                raise InputError(f"no image files in {path}")
            paths.extend(found)
        elif path.is_file():
            paths.append(path)
        else:
            raise InputError(f"no such file or folder: {path}")
    return paths


def load_images(paths, progress: Progress) -> list:
    return _read_all(list(paths), progress, "Loading images")


def header_size(path) -> tuple[int, int] | None:
    """A picture's (width, height) as its file header gives it, without decoding the pixels; None when the header
    cannot be read (the decoder then says what is wrong)."""
    from PIL import Image

    limit, Image.MAX_IMAGE_PIXELS = Image.MAX_IMAGE_PIXELS, None  # only the header is read: no pixels to bound
    try:
        with open(os.fsencode(path), "rb") as stream, Image.open(stream) as picture:
            return tuple(picture.size)
    except (OSError, ValueError, SyntaxError):
        return None
    finally:
        Image.MAX_IMAGE_PIXELS = limit


def require_one_header_size(paths, where: str) -> None:
    """Refuses pictures whose headers give more than one size before any is decoded, so that a picture far larger
    than the others costs nothing; pictures whose header cannot be read are left to the decoder."""
    sized = [(size, path) for path in paths if (size := header_size(path)) is not None]
    _refuse_mixed_sizes([size for size, _ in sized], [path for _, path in sized], where)


def require_one_size(images, paths, where: str) -> None:
    """Refuses pictures of more than one size, naming each size and its pictures, largest group first: a camera
    calibration holds pixels of one picture size."""
    _refuse_mixed_sizes([tuple(image.shape[1::-1]) for image in images], paths, where)


def _refuse_mixed_sizes(sizes, paths, where: str) -> None:
    by_size: dict[tuple, list] = {}
    for size, path in zip(sizes, paths):
        by_size.setdefault(size, []).append(picture_name(path))
    if len(by_size) > 1:
        groups = sorted(by_size.items(), key=lambda item: -len(item[1]))
        sizes = "; ".join(f"{w} x {h}: {_name_list(names)}" for (w, h), names in groups)
        raise InputError(f"{where}: the pictures are not all one size ({sizes}); a camera is calibrated at one "
                         "picture size: leave out or retake the others")


@dataclass
class HandEyeData:
    """Pictures and the robot poses they pair with; ``image_names`` and ``capture_indices`` name every kept
    picture (``image_7.png`` was taken at pose 7), ``total_poses`` counts the poses the folder holds."""

    images: list
    robot_T_tcp_list: list
    image_names: list = field(default_factory=list)
    total_poses: int = 0
    capture_indices: list = field(default_factory=list)


def _require_folder(folder: Path) -> None:
    if not folder.is_dir():
        raise InputError(f"no such dataset folder: {folder}")


def load_poses(folder: Path) -> list:
    if not (folder / POSE_FILE).is_file():
        raise InputError(f"no {POSE_FILE} in {folder} (write one with: velk poses import FILE -o {folder})")
    return _velk.io.load_robot_poses(folder)


def _name_list(names, limit: int = 6) -> str:
    names = list(names)
    shown = ", ".join(names[:limit])
    return shown + (f" and {len(names) - limit} more" if len(names) > limit else "")


def numbered_pictures(folder: Path) -> dict[int, Path]:
    """image_<k>.<ext> files of a folder by their index k."""
    found: dict[int, Path] = {}
    for path in sorted(folder.iterdir()):
        match = _NUMBERED_PICTURE.fullmatch(path.name)
        if match and path.suffix.lower() in IMAGE_SUFFIXES:
            index = int(match.group(1))
            if index in found:
                raise InputError(f"{found[index].name} and {path.name} in {folder} both claim pose {index}")
            found[index] = path
    return found


def pairing_problems(indices, pose_count: int) -> list[str]:
    """What is wrong with pairing pictures numbered ``indices`` with poses 0 .. pose_count - 1 by index:
    a numbering that starts at 1, pictures without a pose, poses without a picture."""
    indices = sorted(indices)
    problems = []
    extra = [k for k in indices if k >= pose_count]
    missing = [k for k in range(pose_count) if k not in set(indices)]
    if indices and indices[0] == 1 and 0 in missing:
        problems.append(f"the pictures are numbered from 1 (image_1 ... image_{indices[-1]}) but picture image_<k> "
                        f"is taken at pose k, counted from 0: every pose would pair with the wrong picture "
                        f"(rename them to image_0 ... image_{indices[-1] - 1})")
    if extra:
        problems.append(f"{len(extra)} more picture(s) than poses: "
                        f"{_name_list(f'image_{k}' for k in extra)} ha{'s' if len(extra) == 1 else 've'} no robot "
                        f"pose (the pose file holds {pose_count}, numbered 0 to {pose_count - 1})")
    if missing and not (problems and missing == [0]):
        problems.append(f"no picture for pose(s) {_name_list(str(k) for k in missing)}: "
                        f"{_name_list(f'image_{k}' for k in missing)} missing")
    return problems


def load_hand_eye_folder(folder, progress: Progress, allow_gaps: bool = False, poses=None) -> HandEyeData:
    """Images and robot poses of a hand-eye dataset, paired by the index in the picture names (image_<k> with
    pose k). A numbering that starts at 1, a missing picture or a picture without a pose is an error naming
    the files, unless ``allow_gaps``: then the pictures that have a pose are used and the others named in a
    warning. ``poses`` (pose k for image_<k>) stands in for the folder's pose file when given."""
    folder = Path(folder)
    _require_folder(folder)
    poses = load_poses(folder) if poses is None else list(poses)
    pictures = numbered_pictures(folder)
    if not pictures:
        raise InputError(f"no image_<k>.png files for the {len(poses)} poses in {folder}")
    problems = pairing_problems(pictures, len(poses))
    if problems and not allow_gaps:
        raise InputError(f"pictures and poses of {folder} do not pair: " + "; ".join(problems)
                         + " (--allow-gaps uses the pictures that have a pose)")
    for problem in problems:
        warn(problem)
    indices = [k for k in sorted(pictures) if k < len(poses)]
    if not indices:
        raise InputError(f"none of the pictures in {folder} has a robot pose")
    paths = [pictures[k] for k in indices]
    require_one_header_size(paths, str(folder))
    images = _read_all(paths, progress, "Loading images")
    require_one_size(images, paths, str(folder))
    return HandEyeData(images, [poses[k] for k in indices], [picture_name(p) for p in paths], len(poses), indices)


def camera_folders(folder: Path) -> list[Path]:
    """cam_0, cam_1, ... as far as they run without a gap."""
    indices = {int(m.group(1)) for p in folder.iterdir() if p.is_dir() and (m := _CAMERA_FOLDER.fullmatch(p.name))}
    folders = []
    while len(folders) in indices:
        folders.append(folder / f"cam_{len(folders)}")
    return folders


def capture_paths(camera_folder: Path) -> list[Path]:
    """image_<k>.png of one camera in capture order (by k)."""
    found = [(int(m.group(1)), p) for p in camera_folder.iterdir() if (m := _CAPTURE_NAME.fullmatch(p.name))]
    return [p for _, p in sorted(found)]


@dataclass
class RigData:
    image_lists: list
    camera_names: list
    robot_T_tcp_list: list
    capture_names: list = field(default_factory=list)  # the reference camera's file names, in capture order


def load_rig_folder(folder, progress: Progress) -> RigData:
    """Every camera's images in capture order; all cameras must hold the same number of captures."""
    folder = Path(folder)
    _require_folder(folder)
    cameras = camera_folders(folder)
    if len(cameras) < 2:
        raise InputError(f"a rig dataset needs at least two camera folders cam_0, cam_1 in {folder}")
    per_camera = [capture_paths(camera) for camera in cameras]
    for camera, paths in zip(cameras, per_camera):
        if not paths:
            raise InputError(f"no image_<k>.png files in {camera}")
    if len({len(paths) for paths in per_camera}) != 1:
        counts = ", ".join(f"{c.name}: {len(p)}" for c, p in zip(cameras, per_camera))
        raise InputError(f"all cameras must hold the same number of synchronized captures ({counts})")
    for camera, paths in zip(cameras, per_camera):
        require_one_header_size(paths, str(camera))
    flat = [path for paths in per_camera for path in paths]
    images = _read_all(flat, progress, "Loading images")
    count = len(per_camera[0])
    image_lists = [images[i * count:(i + 1) * count] for i in range(len(cameras))]
    for camera, pictures, paths in zip(cameras, image_lists, per_camera):
        require_one_size(pictures, paths, str(camera))
    return RigData(image_lists, [c.name for c in cameras], _velk.io.load_multi_camera_robot_poses(folder),
                   [p.name for p in per_camera[0]])


@dataclass
class CellData:
    """Every camera's pictures of a cell, one entry per robot pose (None where the camera took none there), the
    shared robot poses, and every picture's file name (None where there is none)."""

    image_lists: list
    camera_names: list
    robot_T_tcp_list: list
    image_names: list

    def image_size(self, camera: int) -> tuple[int, int]:
        image = next(image for image in self.image_lists[camera] if image is not None)
        return int(image.shape[1]), int(image.shape[0])


def _cell_poses(folder: Path, cameras: list[Path]) -> list:
    """The robot poses of a cell: the folder's own pose file, or the one every camera folder holds (they must
    agree: a picture pairs with the pose of its number)."""
    if (folder / POSE_FILE).is_file():
        return list(_velk.io.load_robot_poses(folder))
    held = [camera for camera in cameras if (camera / POSE_FILE).is_file()]
    if not held:
        raise InputError(f"no {POSE_FILE} in {folder} or its camera folders (write one with: velk poses import FILE "
                         f"-o {folder})")
    poses = list(_velk.io.load_robot_poses(held[0]))
    for camera in held[1:]:
        other = list(_velk.io.load_robot_poses(camera))
        if len(other) != len(poses) or any(abs(a - b).max() > 1e-9 for a, b in zip(poses, other)):
            raise InputError(f"the robot poses of {held[0].name} and {camera.name} differ: every camera of a cell "
                             "pictures the same robot poses (import them once with velk poses import)")
    return poses


def load_cell_folder(folder, progress: Progress) -> CellData:
    """A cell dataset: cam_0, cam_1, ... each with image_<k>.png taken at robot pose k, and the robot poses shared
    by the cameras. A camera may lack pictures at some poses; a picture beyond the last pose is an error."""
    folder = Path(folder)
    _require_folder(folder)
    cameras = camera_folders(folder)
    if not cameras:
        raise InputError(f"a cell dataset needs camera folders cam_0, cam_1, ... in {folder}")
    poses = _cell_poses(folder, cameras)
    pictures = [numbered_pictures(camera) for camera in cameras]
    for camera, numbered in zip(cameras, pictures):
        beyond = sorted(k for k in numbered if k >= len(poses))
        if beyond:
            raise InputError(f"{camera}: {_name_list(f'image_{k}' for k in beyond)} ha"
                             f"{'s' if len(beyond) == 1 else 've'} no robot pose (there are {len(poses)}, numbered "
                             f"0 to {len(poses) - 1})")
        if not numbered:
            raise InputError(f"no image_<k> pictures in {camera}")
        require_one_header_size(list(numbered.values()), str(camera))
    flat = [numbered[k] for numbered in pictures for k in sorted(numbered)]
    images = iter(_read_all(flat, progress, "Loading images"))
    image_lists, names = [], []
    for camera, numbered in zip(cameras, pictures):
        read = {k: next(images) for k in sorted(numbered)}
        require_one_size(list(read.values()), [numbered[k] for k in sorted(numbered)], str(camera))
        image_lists.append([read.get(k) for k in range(len(poses))])
        names.append([picture_name(numbered[k]) if k in numbered else None for k in range(len(poses))])
    return CellData(image_lists, [camera.name for camera in cameras], poses, names)
