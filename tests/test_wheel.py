"""The wheel: built by `pip wheel .` alone, it installs into a clean virtual environment and works there.

The wheel is built once per state of the sources: it is kept under build/wheel-cache/<hash of
the source tree>/, and its build folder build/wheel-<tag>/ (pyproject.toml) is reused, so an unchanged
tree costs nothing and a changed one an incremental build. Where the machine has ccache, the build compiles
through the store that scripts/setup.sh fills for the editable install (build/ccache), so the library's
objects compiled from the same sources and flags are taken from there rather than compiled again.
"""

import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
SOURCES = ["CMakeLists.txt", "pyproject.toml", "README.md", "cmake", "src", "python", "scripts"]
BUILD_TIMEOUT_S = 3600
SKIPPED_PARTS = {"__pycache__"}


def source_files():
    for entry in SOURCES:
        path = REPO / entry
        candidates = [path] if path.is_file() else sorted(p for p in path.rglob("*") if p.is_file())
        yield from (p for p in candidates if not SKIPPED_PARTS & set(p.parts) and p.suffix != ".pyc")


def source_hash() -> str:
    digest = hashlib.sha256()
    for path in source_files():
        digest.update(str(path.relative_to(REPO)).encode() + b"\0" + path.read_bytes() + b"\0")
    return digest.hexdigest()[:16]


def build_wheel(cache: Path) -> Path:
    scratch = cache.parent / (cache.name + ".partial")
    shutil.rmtree(scratch, ignore_errors=True)
    # The default, isolated build: pip installs the build requirements by itself, as on a fresh machine.
    command = [sys.executable, "-m", "pip", "wheel", str(REPO), "--no-deps", "--wheel-dir", str(scratch)]
    if shutil.which("ccache"):
        command.append(f"--config-settings=cmake.define.VELK_COMPILER_CACHE={REPO / 'build' / 'ccache'}")
    built = subprocess.run(command, capture_output=True, text=True, timeout=BUILD_TIMEOUT_S)
    if built.returncode != 0:
        pytest.fail("pip wheel failed:\n" + built.stdout[-4000:] + built.stderr[-4000:])
    scratch.rename(cache)
    return next(cache.glob("*.whl"))


@pytest.fixture(scope="session")
def wheel() -> Path:
    root = REPO / "build" / "wheel-cache"
    root.mkdir(parents=True, exist_ok=True)
    with open(root / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        cache = root / source_hash()
        wheels = list(cache.glob("*.whl"))
        if wheels:
            return wheels[0]
        for old in root.iterdir():
            if old.is_dir():
                shutil.rmtree(old)
        return build_wheel(cache)


@pytest.fixture(scope="session")
def clean_venv(wheel, tmp_path_factory) -> Path:
    """A new virtual environment holding the wheel and what it depends on (numpy), nothing else."""
    venv = tmp_path_factory.mktemp("clean-venv")
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = venv / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "--quiet", str(wheel)], check=True, timeout=600)
    return python


def isolated_environment():
    """The caller's environment without anything that could point Python at the checkout."""
    return {key: value for key, value in os.environ.items()
            if key not in ("PYTHONPATH", "PYTHONHOME", "MYPYPATH", "VIRTUAL_ENV")}


def run_in(python: Path, code: str, cwd: Path):
    return subprocess.run([str(python), "-c", code], cwd=cwd, env=isolated_environment(), capture_output=True,
                          text=True, timeout=300)


def test_wheel_holds_the_module_the_stubs_and_the_package(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    assert any(name.startswith("_velk.cpython-311") and name.endswith(".so") for name in names)
    # The synthetic renderer is a package: every one of its modules ships.
    synthetic = sorted(f"quorvane/velk/synthetic/{path.name}"
                       for path in (REPO / "python" / "quorvane" / "velk" / "synthetic").glob("*.py"))
    assert "quorvane/velk/synthetic/__init__.py" in synthetic and len(synthetic) > 1
    for expected in ["_velk-stubs/__init__.pyi", "_velk-stubs/tf.pyi", "_velk-stubs/diagnostics.pyi",
                     "_velk-stubs/io.pyi", "quorvane/velk/__init__.py", "quorvane/velk/py.typed", *synthetic]:
        assert expected in names
    assert wheel.name.startswith("quorvane_velk-") and "-cp311-" in wheel.name


def test_wheel_links_no_opencv_library(wheel, tmp_path):
    if not shutil.which("readelf"):
        pytest.skip("needs readelf")
    with zipfile.ZipFile(wheel) as archive:
        module = next(name for name in archive.namelist() if name.startswith("_velk.") and name.endswith(".so"))
        archive.extract(module, tmp_path)
    dynamic = subprocess.run(["readelf", "-d", str(tmp_path / module)], check=True, capture_output=True,
                             text=True).stdout
    needed = [line for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert needed and not any("opencv" in line for line in needed)


def test_clean_venv_has_only_numpy_beside_the_package(clean_venv, tmp_path):
    listed = run_in(clean_venv, "import importlib.metadata as m; print(sorted(d.metadata['Name'].lower() "
                                "for d in m.distributions()))", tmp_path)
    installed = set(eval(listed.stdout)) - {"pip", "setuptools", "wheel"}
    assert installed == {"numpy", "quorvane-velk"}


def test_import_works_in_a_clean_venv(clean_venv, tmp_path):
    imported = run_in(clean_venv, "import quorvane.velk", tmp_path)
    assert imported.returncode == 0, imported.stderr


SMOKE = textwrap.dedent("""
    import sys
    import numpy as np
    import _velk
    import quorvane.velk as velk
    from quorvane.velk import tf

    assert sys.prefix in velk.__file__ and sys.prefix in _velk.__file__, (velk.__file__, _velk.__file__)
    pose = [0.1, -0.2, 0.3, 10.0, 20.0, 30.0]
    assert np.allclose(tf.transformation_matrix_to_pose(tf.pose_to_transformation_matrix(pose)), pose)
    target = velk.ChessboardTarget((9, 6), 0.025)
    assert target.object_points().shape == (54, 3)
    result = velk.IntrinsicCalibrator(target).calibrate([np.full((60, 80, 3), 90, np.uint8)])
    assert not result.ok
    print(sorted(velk.hand_eye_method_by_name_map()))
""")


def test_smoke_calls_in_a_clean_venv(clean_venv, tmp_path):
    ran = run_in(clean_venv, SMOKE, tmp_path)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.strip() == "['ANDREFF', 'DANIILIDIS', 'HORAUD', 'PARK', 'TSAI']"
    assert "[velk][WARNING]" in ran.stderr


def test_mypy_checks_against_the_installed_wheel(clean_venv, tmp_path):
    """mypy reads the package and the stubs as the wheel installed them (py.typed, _velk-stubs)."""
    pytest.importorskip("mypy")
    example = Path(__file__).resolve().parent / "typing_example.py"
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir",
                              os.devnull, "--python-executable", str(clean_venv), str(example)],
                             cwd=tmp_path, env=isolated_environment(), capture_output=True, text=True, timeout=600)
    assert checked.returncode == 0, checked.stdout + checked.stderr
