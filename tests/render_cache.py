"""Rendered views kept on disk, for the scenes that many test files share and that take long to render.

Inside ``with render_cache.active():`` every call of ``quorvane.velk.synthetic.render_target`` first looks for
its result under ~/.cache/quorvane-velk/rendered-views/ (VELK_RENDER_CACHE names another folder; "off" renders
everything). A view is found by a hash of all it depends on: the renderer's source files, the OpenCV and numpy
releases, the target's drawn layout, the camera, the pose and every option. So a view comes back byte for byte
as rendering it again would give it, and a change to the renderer renders anew. Files are written under a
temporary name and renamed into place, and a lock per view makes a second test worker wait for the view the
first is rendering rather than render it too.

Only scene fixtures use it: the tests of the renderer itself call it directly and always render."""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import os
import pickle
import shutil
import tempfile
from dataclasses import fields
from functools import cache
from pathlib import Path

import numpy as np

DEFAULT_FOLDER = Path.home() / ".cache" / "quorvane-velk" / "rendered-views"


def folder() -> Path | None:
    chosen = os.environ.get("VELK_RENDER_CACHE", "")
    if chosen == "off":
        return None
    return Path(chosen) if chosen else DEFAULT_FOLDER


@cache
def code_key() -> str:
    """A hash of what rendering depends on besides its arguments."""
    import cv2

    from quorvane.velk import synthetic

    digest = hashlib.sha256(f"{cv2.__version__}\0{np.__version__}\0".encode())
    for path in sorted(Path(synthetic.__file__).parent.glob("*.py")):
        digest.update(path.name.encode() + b"\0" + path.read_bytes() + b"\0")
    return digest.hexdigest()[:16]


def view_key(target, args, options) -> str:
    import cv2

    from quorvane.velk.synthetic._target_layout import _layout

    layout = _layout(cv2, target)
    drawn = [getattr(layout, field.name) for field in fields(layout)]
    digest = hashlib.sha256(pickle.dumps((drawn, args, sorted(options.items())), protocol=4))
    return digest.hexdigest()[:32]


@cache
def current_views(root: Path) -> Path:
    """The store of this renderer's views; the stores of other renderer versions are removed (they would only
    ever be read again by that older code)."""
    views = root / code_key()
    views.mkdir(parents=True, exist_ok=True)
    for other in root.iterdir():
        if other.is_dir() and other != views and len(other.name) == len(views.name):
            shutil.rmtree(other, ignore_errors=True)
    return views


def _load(path: Path):
    from quorvane.velk.synthetic import RenderedView

    with np.load(path) as stored:
        members = {name: stored[name] for name in stored.files}
    grey = members.pop("grey")
    members["image"] = np.repeat(grey[:, :, None], 3, axis=2)
    return RenderedView(**members)


def _store(path: Path, view) -> None:
    members = {field.name: getattr(view, field.name) for field in fields(view)}
    image = members.pop("image")
    # The renderer draws grey pictures: every channel is the same.
    if not (np.array_equal(image[..., 0], image[..., 1]) and np.array_equal(image[..., 0], image[..., 2])):
        return
    handle, scratch = tempfile.mkstemp(dir=path.parent, suffix=".partial")
    try:
        with os.fdopen(handle, "wb") as file:
            np.savez(file, grey=np.ascontiguousarray(image[..., 0]), **members)
        os.replace(scratch, path)
    except BaseException:
        Path(scratch).unlink(missing_ok=True)
        raise


def cached(render):
    """``render`` (synthetic.render_target) with its results kept on disk."""

    def render_or_load(target, camera_matrix, dist_coeffs, camera_T_target, image_size, **options):
        root = folder()
        if root is None:
            return render(target, camera_matrix, dist_coeffs, camera_T_target, image_size, **options)
        views = current_views(root)
        key = view_key(target, (camera_matrix, dist_coeffs, camera_T_target, image_size), options)
        path = views / f"{key}.npz"
        with open(views / f"{key}.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if path.is_file():
                return _load(path)
            view = render(target, camera_matrix, dist_coeffs, camera_T_target, image_size, **options)
            _store(path, view)
            return view

    return render_or_load


@contextlib.contextmanager
def active():
    """Makes synthetic.render_target keep its views on disk until the block ends."""
    from quorvane.velk import synthetic

    original = synthetic.render_target
    synthetic.render_target = cached(original)
    try:
        yield
    finally:
        synthetic.render_target = original
