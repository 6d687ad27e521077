"""Facts about the compiled module: docstrings, submodules, re-import, exceptions."""

import importlib
import subprocess
import sys

import numpy as np
import pytest

import _velk

MODULE_DOC = (
    "Compiled C++ core of quorvane-velk: targets, calibration, geometry, quality, io. "
    "Not meant to be imported directly  -  use the quorvane.velk Python package."
)

SUBMODULES = {
    "tf": "SE(3) pose <-> 4x4 transformation matrix conversions.",
    "diagnostics": "Diagnostics for hand-eye calibration data and solvers.",
    "io": "On-disk persistence for calibration datasets and results.",
}


def test_module_docstring():
    assert _velk.__doc__ == MODULE_DOC


@pytest.mark.parametrize("name,doc", SUBMODULES.items())
def test_submodule_registered(name, doc):
    sub = getattr(_velk, name)
    assert sub.__doc__ == doc
    assert sys.modules[f"_velk.{name}"] is sub
    assert sub.__name__ == f"_velk.{name}"
    assert sub.__file__ == _velk.__file__


def test_submodule_import_forms():
    from _velk.tf import average_pose

    assert average_pose is _velk.tf.average_pose
    assert importlib.import_module("_velk.io") is _velk.io


def test_reimport_returns_identical_module():
    saved = sys.modules.pop("_velk")
    try:
        again = importlib.import_module("_velk")
        assert again is saved
        assert again.tf is saved.tf
    finally:
        sys.modules["_velk"] = saved


def test_module_exports_only_init_symbol():
    out = subprocess.run(["nm", "-D", "--defined-only", _velk.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__velk"]


@pytest.mark.parametrize(
    "call,exception,message",
    [
        (lambda: _velk.tf.average_pose([]), ValueError, "averagePose: poses must be non-empty"),
        (lambda: _velk.tf.pose_to_transformation_matrix([1, 2]), ValueError,
         "poseToTransformationMatrix: expected 6 elements [x,y,z,rx,ry,rz]"),
        (lambda: _velk.tf.transformation_matrix_to_pose("not an array"), TypeError, None),
    ],
)
def test_exception_translation(call, exception, message):
    with pytest.raises(exception) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_opencv_error_becomes_runtime_error():
    # A 4x4 matrix with 3 channels cannot be converted to one-channel double by OpenCV.
    with pytest.raises(RuntimeError):
        _velk.tf.average_pose([np.zeros((4, 4, 3), dtype=np.float64)])


def test_python_package_reexports():
    import quorvane.velk as velk
    import quorvane.velk.tf as vtf

    assert vtf.average_pose is _velk.tf.average_pose
    assert velk.tf is vtf
    assert velk.io.__doc__ == SUBMODULES["io"]
    assert velk.diagnostics.__doc__ == SUBMODULES["diagnostics"]
