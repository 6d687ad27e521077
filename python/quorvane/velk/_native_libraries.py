"""The shared libraries the compiled core links against, and the Debian packages that hold them.

OpenCV is linked into ``_velk`` statically; the libraries below are not and must be on the
machine. When one is missing, importing ``_velk`` fails with the loader's terse
"cannot open shared object file"; :func:`raise_if_missing_library` turns that into one message
that names the library and the Debian packages to install.
"""

from __future__ import annotations

import re

# Library name (as the loader asks for it, without the version suffix) -> Debian 12 package.
NATIVE_LIBRARY_PACKAGES = {
    "libpng16.so": "libpng16-16",
    "libz.so": "zlib1g",
    "libopenblas.so": "libopenblas0",
    "liblapack.so": "libopenblas0",
    "libblas.so": "libopenblas0",
    "libceres.so": "libceres3",
    "libglog.so": "libgoogle-glog0v6",
    "libgflags.so": "libgflags2.2",
    "libcholmod.so": "libcholmod3",
    "libspqr.so": "libspqr2",
    "libcxsparse.so": "libcxsparse3",
    "libamd.so": "libamd2",
    "libcamd.so": "libcamd2",
    "libccolamd.so": "libccolamd2",
    "libcolamd.so": "libcolamd2",
    "libsuitesparseconfig.so": "libsuitesparseconfig5",
    "libmetis.so": "libmetis5",
    "libtbb.so": "libtbb12",
    "libgomp.so": "libgomp1",
}

# The packages one apt-get line installs to give the core everything it may link against:
# Ceres brings glog, gflags and SuiteSparse with it.
DEBIAN_PACKAGES = ("libceres3", "libopenblas0", "libpng16-16", "zlib1g")

_MISSING_LIBRARY = re.compile(r"(?P<library>[\w.+-]+\.so(?:\.[\w.]+)?): cannot open shared object file")


def package_for_library(soname: str) -> str | None:
    """Debian package that holds a shared library, by its loader name ("libceres.so.3"), or None."""
    base = re.sub(r"(\.so)(\.[\w.]+)?$", r"\1", soname)
    return NATIVE_LIBRARY_PACKAGES.get(base)


def missing_library(error: ImportError) -> str | None:
    """The shared library an import failed to find, or None when the failure is of another kind."""
    match = _MISSING_LIBRARY.search(str(error))
    return match.group("library") if match else None


def missing_library_message(library: str) -> str:
    """The import error text for a compiled core that cannot find one of its shared libraries."""
    packages = list(DEBIAN_PACKAGES)
    package = package_for_library(library)
    if package is not None and package not in packages:
        packages.insert(0, package)
    named = f" (Debian package {package})" if package else ""
    return (f"quorvane.velk: the compiled core _velk needs the shared library {library}{named}, "
            f"which is not installed. Install its native libraries with: apt-get install {' '.join(packages)}")


def raise_if_missing_library(error: ImportError) -> None:
    """Re-raises the import error of ``_velk`` with install advice when a shared library is missing."""
    library = missing_library(error)
    if library is not None:
        raise ImportError(missing_library_message(library), name="_velk") from error
