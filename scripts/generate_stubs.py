"""Writes the type stubs of a freshly built _velk module as the stub package _velk-stubs.

    python scripts/generate_stubs.py MODULE_DIR OUTPUT_DIR

MODULE_DIR holds the built extension; OUTPUT_DIR receives OUTPUT_DIR/_velk-stubs/ with
__init__.pyi and one .pyi per submodule. The build runs this after every link of the module,
so the stubs always list exactly what the module binds.
"""

from __future__ import annotations

import shutil
import sys
from pathlib import Path

# Defaults that are bound objects (an IntrinsicOptions() default, say) have no Python
# expression in the signature text; the stubs show them as "...".
BOUND_OBJECT_REPR = r"<_velk\.\w+ object at 0x[0-9a-fA-F]+>"


def generate(module_dir: Path, output_dir: Path) -> Path:
    sys.path.insert(0, str(module_dir))
    from pybind11_stubgen import main

    package = output_dir / "_velk-stubs"
    shutil.rmtree(package, ignore_errors=True)
    main(["_velk", "--output-dir", str(output_dir), "--root-suffix=-stubs", "--exit-code",
          "--ignore-invalid-expressions", BOUND_OBJECT_REPR])
    if not (package / "__init__.pyi").is_file():
        raise SystemExit(f"generate_stubs: no stubs written to {package}")
    return package


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    generate(Path(sys.argv[1]), Path(sys.argv[2]))
