"""Every public class, function and method of the package explains itself in a docstring."""

import importlib
import inspect
import re
from types import SimpleNamespace

import pytest

import _velk

CORE_MODULES = {"_velk": _velk, "_velk.tf": _velk.tf, "_velk.diagnostics": _velk.diagnostics, "_velk.io": _velk.io}
# The dataset functions of io are bound without docstrings of their own, by design: their text is
# the generated signature alone (docs/quickstart.md shows their use).
UNDOCUMENTED_BY_DESIGN = {f"_velk.io.{name}" for name in [
    "save_hand_eye_dataset", "load_hand_eye_dataset", "next_multi_camera_capture_index", "save_multi_camera_capture",
    "save_multi_camera_robot_poses", "load_multi_camera_robot_poses", "load_multi_camera_dataset"]}
PYTHON_MODULES = ["quorvane.velk", "quorvane.velk.synthetic", "quorvane.velk.demo", "quorvane.velk.cli",
                  "quorvane.velk.tf", "quorvane.velk.io", "quorvane.velk.diagnostics", "quorvane.velk.planning"]


def described(routine) -> bool:
    """True when the docstring says more than the signature text the binding library writes.

    An overloaded function needs words under each numbered overload.
    """
    doc = routine.__doc__ or ""
    name = getattr(routine, "__name__", "")
    if "\nOverloaded function.\n" in doc:
        overloads = re.split(r"^\d+\. ", doc.split("Overloaded function.", 1)[1], flags=re.MULTILINE)[1:]
        return bool(overloads) and all(any(line.strip() for line in text.splitlines()[1:]) for text in overloads)
    return any(line.strip() and not line.startswith(name + "(") for line in doc.splitlines())


def core_routines():
    for module_name, module in CORE_MODULES.items():
        for name, value in vars(module).items():
            if name.startswith("_") or inspect.ismodule(value):
                continue
            if inspect.isclass(value):
                for member, routine in vars(value).items():
                    if (member == "__init__" or not member.startswith("_")) and not isinstance(routine, property):
                        yield f"{module_name}.{name}.{member}", getattr(value, member)
            elif callable(value):
                yield f"{module_name}.{name}", value


@pytest.mark.parametrize("module_name", CORE_MODULES)
def test_core_classes_have_docstrings(module_name):
    module = CORE_MODULES[module_name]
    bare = [name for name, value in vars(module).items()
            if inspect.isclass(value) and not name.startswith("_") and not (value.__doc__ or "").strip()]
    assert not bare


def test_core_functions_and_methods_have_docstrings():
    routines = dict(core_routines())
    assert len(routines) > 80
    assert UNDOCUMENTED_BY_DESIGN <= set(routines)
    assert not sorted(name for name, routine in routines.items()
                      if not described(routine) and name not in UNDOCUMENTED_BY_DESIGN)


@pytest.mark.parametrize("module_name", PYTHON_MODULES)
def test_python_modules_classes_and_functions_have_docstrings(module_name):
    module = importlib.import_module(module_name)
    assert (module.__doc__ or "").strip()
    bare = []
    for name, value in vars(module).items():
        if name.startswith("_") or getattr(value, "__module__", None) != module_name:
            continue
        if inspect.isfunction(value) or inspect.isclass(value):
            if not (value.__doc__ or "").strip():
                bare.append(name)
            if inspect.isclass(value):
                bare += [f"{name}.{member}" for member, routine in vars(value).items()
                         if not member.startswith("_") and inspect.isfunction(routine)
                         and not (routine.__doc__ or "").strip()]
    assert not bare


def test_signature_text_alone_is_not_a_docstring():
    # A bound function without a docstring of its own carries only its signature line.
    assert not described(SimpleNamespace(__doc__="load(path: str) -> int\n", __name__="load"))
    assert described(_velk.tf.average_pose)
    overloaded = "f(*args, **kwargs)\nOverloaded function.\n\n1. f(a: int) -> None\n\nWith an int.\n\n2. f(a: str) -> None\n"
    assert not described(SimpleNamespace(__doc__=overloaded, __name__="f"))
    assert described(SimpleNamespace(__doc__=overloaded + "\nWith a name.\n", __name__="f"))
