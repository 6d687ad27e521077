"""Shared libraries of the compiled core: every one is accounted for, and a missing one is explained."""

import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _velk
from quorvane.velk import _native_libraries as native

# Libraries of the C runtime and compiler that every Linux system has.
BASE_LIBRARIES = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2",
                  "libpthread.so.0", "libdl.so.2", "librt.so.1"}


def needed_libraries(path) -> list[str]:
    dynamic = subprocess.run(["readelf", "-d", str(path)], check=True, capture_output=True, text=True).stdout
    return [line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]


def resolved_paths(path) -> dict[str, str]:
    lines = subprocess.run(["ldd", str(path)], check=True, capture_output=True, text=True).stdout.splitlines()
    return {parts[0]: parts[2] for parts in (line.split() for line in lines) if len(parts) >= 3 and parts[1] == "=>"}


def owning_package(path) -> str:
    # By file name: with merged /usr, dpkg may list the file under /lib rather than /usr/lib.
    real_file = Path(path).resolve()
    owner = subprocess.run(["dpkg", "-S", f"*/{real_file.name}"], capture_output=True, text=True)
    assert owner.returncode == 0, f"no Debian package owns {real_file}"
    return owner.stdout.splitlines()[0].split(":", 1)[0]


@pytest.mark.skipif(not (shutil.which("readelf") and shutil.which("dpkg")), reason="needs readelf and dpkg")
def test_every_needed_library_is_named_with_the_package_that_holds_it():
    needed = [name for name in needed_libraries(_velk.__file__) if name not in BASE_LIBRARIES]
    assert needed, "the module links no shared library beyond the C runtime"
    paths = resolved_paths(_velk.__file__)
    for library in needed:
        package = native.package_for_library(library)
        assert package is not None, f"{library} is linked but has no Debian package in NATIVE_LIBRARY_PACKAGES"
        owner = owning_package(paths[library])
        # "libopenblas0" is the package that installs one of its variants, e.g. libopenblas0-pthread.
        assert owner == package or owner.startswith(package + "-"), (library, package, owner)
        assert package in native.missing_library_message(library)


@pytest.mark.parametrize("library,package", [("libceres.so.3", "libceres3"), ("libpng16.so.16", "libpng16-16"),
                                             ("libopenblas.so.0", "libopenblas0"), ("libglog.so.1", "libgoogle-glog0v6"),
                                             ("libz.so.1", "zlib1g"), ("libunknown.so", None)])
def test_package_for_library(library, package):
    assert native.package_for_library(library) == package


IMPORT_WITH_FAILING_CORE = textwrap.dedent("""
    import builtins, sys
    real_import = builtins.__import__

    def failing_import(name, *args, **kwargs):
        if name == "_velk":
            raise ImportError(sys.argv[1])
        return real_import(name, *args, **kwargs)

    builtins.__import__ = failing_import
    try:
        import quorvane.velk
    except ImportError as error:
        print(str(error))
        print(type(error.__cause__).__name__, str(error.__cause__))
    else:
        print("imported")
""")


def import_with_failing_core(message):
    ran = subprocess.run([sys.executable, "-c", IMPORT_WITH_FAILING_CORE, message], capture_output=True, text=True,
                         check=True)
    return ran.stdout.splitlines()


@pytest.mark.parametrize("library,package", [("libceres.so.3", "libceres3"), ("libpng16.so.16", "libpng16-16"),
                                             ("libcholmod.so.3", "libcholmod3"), ("libfancy.so.7", None)])
def test_missing_shared_library_gives_one_message_naming_the_packages(library, package):
    loader_error = f"{library}: cannot open shared object file: No such file or directory"
    message, cause = import_with_failing_core(loader_error)
    assert message.startswith(f"quorvane.velk: the compiled core _velk needs the shared library {library}")
    install = message.split("apt-get install ", 1)[1].split()
    assert set(native.DEBIAN_PACKAGES) <= set(install)
    if package is not None:
        assert f"(Debian package {package})" in message and package in install
    assert cause == f"ImportError {loader_error}"


def test_other_import_errors_pass_unchanged():
    mismatch = ("Python version mismatch: module was compiled for Python 3.11, but the interpreter version is "
                "incompatible: 3.12.1.")
    message, cause = import_with_failing_core(mismatch)
    assert message == mismatch
    assert cause == "NoneType None"
