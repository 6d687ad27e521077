"""The type stubs of _velk: complete, current, and good enough for mypy to check real code."""

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _velk

pytest.importorskip("mypy")

SUBMODULES = ("tf", "diagnostics", "io", "kinematics")
TESTS = Path(__file__).resolve().parent


def installed_stubs() -> Path:
    for entry in sys.path:
        candidate = Path(entry or ".") / "_velk-stubs"
        if (candidate / "__init__.pyi").is_file():
            return candidate
    pytest.fail("no _velk-stubs package on sys.path: the build did not install the type stubs")


def stub_file(module_name: str) -> Path:
    stubs = installed_stubs()
    return stubs / "__init__.pyi" if module_name == "_velk" else stubs / f"{module_name.split('.')[1]}.pyi"


def declared_names(body) -> set[str]:
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(target.id for target in node.targets if isinstance(target, ast.Name))
        elif isinstance(node, ast.ImportFrom) and node.module is None:
            names.update(alias.asname or alias.name for alias in node.names)
    return names


def stub_tree(module_name: str) -> ast.Module:
    return ast.parse(stub_file(module_name).read_text())


def public(names) -> set[str]:
    return {name for name in names if not name.startswith("_")}


MODULES = {"_velk": _velk, **{f"_velk.{name}": getattr(_velk, name) for name in SUBMODULES}}


@pytest.mark.parametrize("module_name", MODULES)
def test_stubs_declare_every_public_name(module_name):
    module = MODULES[module_name]
    missing = public(dir(module)) - declared_names(stub_tree(module_name).body)
    assert not missing, f"names of {module_name} missing from its stubs: {sorted(missing)}"


@pytest.mark.parametrize("module_name", MODULES)
def test_stubs_declare_every_public_member_of_every_class(module_name):
    module = MODULES[module_name]
    stub_classes = {node.name: node for node in stub_tree(module_name).body if isinstance(node, ast.ClassDef)}
    classes = [(name, value) for name, value in vars(module).items() if inspect.isclass(value)
               and not name.startswith("_")]
    assert classes or module_name == "_velk.tf"
    for name, cls in classes:
        missing = public(vars(cls)) - declared_names(stub_classes[name].body)
        assert not missing, f"members of {module_name}.{name} missing from its stubs: {sorted(missing)}"


def test_installed_stubs_match_the_module(tmp_path):
    """Stubs written afresh from the imported module equal the installed ones: they are not stale."""
    generator = TESTS.parent / "scripts" / "generate_stubs.py"
    subprocess.run([sys.executable, str(generator), str(Path(_velk.__file__).parent), str(tmp_path)],
                   check=True, capture_output=True, text=True)
    fresh = {path.name: path.read_text() for path in (tmp_path / "_velk-stubs").glob("*.pyi")}
    shipped = {path.name: path.read_text() for path in installed_stubs().glob("*.pyi")}
    assert sorted(fresh) == ["__init__.pyi", "diagnostics.pyi", "io.pyi", "kinematics.pyi", "tf.pyi"]
    assert fresh == shipped


def run_mypy(*files, cwd):
    package_sources = TESTS.parent / "python"
    environment = {**os.environ, "MYPYPATH": str(package_sources)}
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                           *map(str, files)], cwd=cwd, env=environment, capture_output=True, text=True)


def test_mypy_accepts_the_example_program(tmp_path):
    checked = run_mypy(TESTS / "typing_example.py", cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_mypy_rejects_misuse_of_the_main_classes(tmp_path):
    """The stubs carry real types: wrong argument and result types are caught."""
    program = tmp_path / "misuse.py"
    program.write_text(
        "import numpy as np\n"
        "import quorvane.velk as velk\n"
        "velk.ChessboardTarget('9x6', 0.025)\n"
        "name: str = velk.tf.average_pose([np.eye(4)])\n"
        "velk.EyeInHandCalibrator(velk.IntrinsicOptions())\n"
    )
    checked = run_mypy(program, cwd=tmp_path)
    assert checked.returncode == 1
    assert [line.split(":")[1] for line in checked.stdout.splitlines() if ": error:" in line] == ["3", "4", "5"]


def test_example_program_runs(tmp_path):
    ran = subprocess.run([sys.executable, str(TESTS / "typing_example.py")], cwd=tmp_path, capture_output=True,
                         text=True)
    assert ran.returncode == 0, ran.stderr
    assert "typing example ran" in ran.stdout
