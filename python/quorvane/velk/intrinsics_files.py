"""Intrinsics in the files cameras already come with: a ROS camera_info YAML and an OpenCV FileStorage file
(YAML or XML). The format is told from the content, never from the file's name; a JSON file is no concern of
this module (it is an intrinsics record, read by ``records``).

ROS camera_info YAML: ``camera_matrix`` and ``distortion_coefficients`` as {rows, cols, data},
``distortion_model`` (plumb_bob: pinhole with 5 coefficients, rational_polynomial: pinhole with 8, equidistant:
fisheye with 4), ``image_width`` and ``image_height`` in pixels.

OpenCV FileStorage (``%YAML:1.0`` or XML): the camera matrix under one of :data:`MATRIX_KEYS`, the distortion
under one of :data:`DISTORTION_KEYS` (an ``opencv-matrix`` or a sequence), optionally ``image_width`` and
``image_height`` and a lens model under ``distortion_model`` or ``camera_model`` (fisheye or equidistant for the
fisheye model; pinhole without it).
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np

ROS_YAML = "ROS camera_info YAML"
OPENCV_YAML = "OpenCV FileStorage YAML"
OPENCV_XML = "OpenCV FileStorage XML"

#: ROS distortion models: the lens model each stands for and its number of coefficients.
ROS_MODELS = {"plumb_bob": ("pinhole", 5), "rational_polynomial": ("pinhole", 8), "equidistant": ("fisheye", 4)}
ROS_KEYS = ("camera_matrix", "distortion_model", "distortion_coefficients")

#: Names a FileStorage file gives its camera matrix and its distortion, in the order they are looked for.
MATRIX_KEYS = ("camera_matrix", "cameraMatrix", "K")
DISTORTION_KEYS = ("distortion_coefficients", "dist_coeffs", "distCoeffs", "D")
MODEL_KEYS = ("distortion_model", "camera_model")
FISHEYE_NAMES = ("fisheye", "equidistant")
PINHOLE_NAMES = ("pinhole", "plumb_bob", "rational_polynomial", "radtan")
SIZE_KEYS = ("image_width", "image_height")


class CameraFileError(ValueError):
    """A camera file of a known format that does not hold usable intrinsics."""


@dataclass(frozen=True)
class CameraFile:
    """The intrinsics of a camera file: camera matrix (3 x 3, pixels), distortion (one row), lens model
    ("pinhole" or "fisheye"), picture size (width, height) when the file gives it, the format and the keys read."""

    matrix: np.ndarray
    distortion: np.ndarray
    model: str
    image_size: tuple[int, int] | None
    format: str
    keys: tuple[str, ...]


def file_format(text: str) -> str | None:
    """The format of a file's content: one of the three this module reads, or None (JSON, or no mapping)."""
    head = text.lstrip()
    if head.startswith("%YAML") or "!!opencv-matrix" in text:
        return OPENCV_YAML
    if head.startswith("<"):
        return OPENCV_XML
    if head.startswith(("{", "[")):
        return None
    return ROS_YAML if isinstance(_yaml_mapping(text), dict) else None


def read_camera_file(path) -> CameraFile | None:
    """The intrinsics of a ROS camera_info or OpenCV FileStorage file, None for a file of another format or one
    that cannot be read (the intrinsics record's reader reports those)."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, ValueError):
        return None
    kind = file_format(text)
    if kind == ROS_YAML:
        return _ros_camera(path, _yaml_mapping(text))
    if kind is not None:
        return _opencv_camera(path, text, kind)
    return None


def _yaml_mapping(text: str):
    import yaml

    try:
        return yaml.safe_load(text)
    except yaml.YAMLError:
        return None


def _image_size(width, height) -> tuple[int, int] | None:
    values = (width, height)
    if all(isinstance(v, int) and not isinstance(v, bool) and v > 0 for v in values):
        return int(width), int(height)
    return None


def _held(keys) -> str:
    return ", ".join(str(k) for k in keys) or "nothing"


def _ros_matrix(path: Path, content: dict, key: str) -> np.ndarray:
    node = content[key]
    if not isinstance(node, dict) or any(name not in node for name in ("rows", "cols", "data")):
        raise CameraFileError(f"intrinsics: {path} ({ROS_YAML}): {key} needs rows, cols and data")
    try:
        values = np.array(node["data"], dtype=np.float64)
        rows, cols = int(node["rows"]), int(node["cols"])
    except (TypeError, ValueError):
        raise CameraFileError(f"intrinsics: {path} ({ROS_YAML}): {key} holds values that are not numbers") from None
    if values.ndim != 1 or values.size != rows * cols:
        raise CameraFileError(f"intrinsics: {path} ({ROS_YAML}): {key} has {values.size} data values for "
                              f"{rows} x {cols}")
    return values.reshape(rows, cols)


def _ros_camera(path: Path, content: dict) -> CameraFile:
    missing = [key for key in ROS_KEYS if key not in content]
    if missing:
        raise CameraFileError(f"intrinsics: {path} ({ROS_YAML}) lacks {', '.join(missing)} (it holds: "
                              f"{_held(content)})")
    name = content["distortion_model"]
    if name not in ROS_MODELS:
        raise CameraFileError(f"intrinsics: {path} ({ROS_YAML}) has distortion_model {name!r}; known are "
                              f"{', '.join(ROS_MODELS)}")
    model, count = ROS_MODELS[name]
    matrix = _ros_matrix(path, content, "camera_matrix")
    distortion = _ros_matrix(path, content, "distortion_coefficients").reshape(1, -1)
    if distortion.size != count:
        raise CameraFileError(f"intrinsics: {path} ({ROS_YAML}): distortion_model {name} takes {count} "
                              f"distortion_coefficients, not {distortion.size}")
    size = _image_size(content.get("image_width"), content.get("image_height"))
    keys = ROS_KEYS + (SIZE_KEYS if size else ())
    return CameraFile(matrix, distortion, model, size, ROS_YAML, keys)


def _storage(path: Path, text: str, kind: str):
    import cv2

    try:
        storage = cv2.FileStorage(text, cv2.FILE_STORAGE_READ | cv2.FILE_STORAGE_MEMORY)
    except cv2.error as error:
        raise CameraFileError(f"intrinsics: {path} is not a readable {kind} file ({error.err})") from None
    if not storage.isOpened():
        raise CameraFileError(f"intrinsics: {path} is not a readable {kind} file")
    return storage


def _node_values(node) -> np.ndarray | None:
    """The numbers of an opencv-matrix node or of a sequence of numbers, None for any other node."""
    matrix = node.mat()
    if matrix is not None:
        return np.asarray(matrix, dtype=np.float64)
    if node.isSeq() and node.size() > 0 and all(node.at(i).isReal() or node.at(i).isInt() for i in range(node.size())):
        return np.array([node.at(i).real() for i in range(node.size())], dtype=np.float64)
    return None


def _first_present(storage, names) -> str | None:
    return next((name for name in names if not storage.getNode(name).empty()), None)


def _storage_values(path: Path, storage, names, what: str, kind: str, held) -> tuple[str, np.ndarray]:
    name = _first_present(storage, names)
    if name is None:
        raise CameraFileError(f"intrinsics: {path} ({kind}) has no {what}: none of {', '.join(names)} is there "
                              f"(it holds: {_held(held)})")
    values = _node_values(storage.getNode(name))
    if values is None:
        raise CameraFileError(f"intrinsics: {path} ({kind}): {name} is neither an opencv-matrix nor a list of numbers")
    return name, values


def _storage_model(path: Path, storage, kind: str) -> tuple[str | None, str]:
    name = _first_present(storage, MODEL_KEYS)
    if name is None:
        return None, "pinhole"
    value = storage.getNode(name).string()
    if value in FISHEYE_NAMES:
        return name, "fisheye"
    if value in PINHOLE_NAMES:
        return name, "pinhole"
    raise CameraFileError(f"intrinsics: {path} ({kind}) has {name} {value!r}; known are "
                          f"{', '.join(FISHEYE_NAMES + PINHOLE_NAMES)}")


def _storage_size(storage) -> tuple[int, int] | None:
    nodes = [storage.getNode(name) for name in SIZE_KEYS]
    if not all(node.isInt() for node in nodes):
        return None
    return _image_size(*(int(node.real()) for node in nodes))


def _opencv_camera(path: Path, text: str, kind: str) -> CameraFile:
    storage = _storage(path, text, kind)
    try:
        held = storage.root().keys()
        matrix_key, matrix = _storage_values(path, storage, MATRIX_KEYS, "camera matrix", kind, held)
        distortion_key, distortion = _storage_values(path, storage, DISTORTION_KEYS, "distortion", kind, held)
        model_key, model = _storage_model(path, storage, kind)
        size = _storage_size(storage)
    finally:
        storage.release()
    keys = (matrix_key, distortion_key) + ((model_key,) if model_key else ()) + (SIZE_KEYS if size else ())
    return CameraFile(matrix, distortion.reshape(1, -1), model, size, kind, keys)
