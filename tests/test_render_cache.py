"""The test suite's store of rendered views (render_cache): a view read back is the view the renderer draws, byte
for byte, and anything the picture depends on finds a view of its own."""

from dataclasses import fields

import numpy as np
import pytest

import render_cache

cv2 = pytest.importorskip("cv2")

SIZE = (160, 120)


def _camera():
    from quorvane.velk import synthetic

    return synthetic.pinhole_matrix(150.0, SIZE), np.array([-0.1, 0.01, 0.0, 0.0, 0.0])


def _render(target, pose, **options):
    from quorvane.velk import synthetic

    k, d = _camera()
    return synthetic.render_target(target, k, d, pose, SIZE, **options)


def _pose(target, distance=0.5):
    from quorvane.velk import synthetic

    centre = synthetic.board_center(target)
    return synthetic.look_at_pose(centre + [0.05, -0.03, -distance], centre)


def _assert_same(found, drawn):
    for field in fields(drawn):
        a, b = getattr(found, field.name), getattr(drawn, field.name)
        assert a.dtype == b.dtype and a.shape == b.shape, field.name
        np.testing.assert_array_equal(a, b, err_msg=field.name)


@pytest.fixture
def store(tmp_path, monkeypatch):
    monkeypatch.setenv("VELK_RENDER_CACHE", str(tmp_path))
    return tmp_path


@pytest.mark.parametrize("kind", ["chessboard", "charuco"])
def test_a_stored_view_is_the_rendered_view(store, kind):
    import _velk

    target = {"chessboard": _velk.ChessboardTarget((6, 4), 0.04),
              "charuco": _velk.CharucoTarget(5, 4, 0.05, 0.037)}[kind]
    options = {"noise_sigma": 1.0, "blur_sigma": 0.5, "seed": 3, "supersample": 1}
    with render_cache.active():
        first = _render(target, _pose(target), **options)
        stored = list(store.rglob("*.npz"))
        again = _render(target, _pose(target), **options)
    assert len(stored) == 1
    drawn = _render(target, _pose(target), **options)
    _assert_same(first, drawn)
    _assert_same(again, drawn)
    assert list(store.rglob("*.npz")) == stored


def test_what_the_picture_depends_on_is_part_of_the_key(store):
    import _velk

    target = _velk.ChessboardTarget((6, 4), 0.04)
    variants = [({}, {"seed": 1, "noise_sigma": 1.0}), ({}, {"seed": 2, "noise_sigma": 1.0}),
                ({"distance": 0.45}, {"seed": 1, "noise_sigma": 1.0}),
                ({}, {"seed": 1, "noise_sigma": 1.0, "supersample": 2})]
    with render_cache.active():
        for pose_options, options in variants:
            _render(target, _pose(target, **pose_options), **options)
        # The same arguments with another board: its layout keys the view.
        other = _velk.ChessboardTarget((6, 4), 0.041)
        view = _render(other, _pose(target), seed=1, noise_sigma=1.0)
    assert len(list(store.rglob("*.npz"))) == len(variants) + 1
    _assert_same(view, _render(other, _pose(target), seed=1, noise_sigma=1.0))


def test_off_renders_without_storing(tmp_path, monkeypatch):
    import _velk

    monkeypatch.setenv("VELK_RENDER_CACHE", "off")
    monkeypatch.setattr(render_cache, "DEFAULT_FOLDER", tmp_path)
    target = _velk.ChessboardTarget((6, 4), 0.04)
    with render_cache.active():
        _render(target, _pose(target))
    assert list(tmp_path.iterdir()) == []


def test_the_renderer_is_restored_after_the_block():
    from quorvane.velk import synthetic

    original = synthetic.render_target
    with pytest.raises(RuntimeError), render_cache.active():
        assert synthetic.render_target is not original
        raise RuntimeError
    assert synthetic.render_target is original
