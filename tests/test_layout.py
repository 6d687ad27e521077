"""The layering of the project. C++: every folder under src/ has a rank, and a file may
include only files of its own folder or of folders ranked strictly lower; each library folder
is a static library of its own that links only lower floors. Python: the modules of
quorvane.velk come in layers that import only downwards. The ranks and layers are the ones
docs/architecture.md lays out; a new folder must be given one here and there."""
import ast
import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
ARCHITECTURE = SRC.parent / "docs" / "architecture.md"

# (floor, rank inside the floor); equal ranks in different folders may not include each other.
RANKS = {
    "core": (1, 0),
    "targets": (2, 0),
    "io": (2, 0),
    "kinematics": (2, 0),
    "calibration/refinement": (3, 1),
    "calibration/detection": (3, 1),
    "calibration/intrinsic": (3, 2),
    "calibration/hand_eye": (3, 3),
    "calibration/rig": (3, 3),
    "calibration/kinematics": (3, 3),
    "calibration/cell": (3, 4),
    "quality": (4, 0),
    "bindings": (5, 0),
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def _folder(path: Path) -> str:
    return path.parent.relative_to(SRC).as_posix()


def _sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".hpp", ".cpp"))


def _includes(path: Path):
    return INCLUDE.findall(path.read_text(encoding="utf-8"))


def test_every_source_folder_has_a_rank_and_is_documented():
    folders = {_folder(p) for p in _sources()}
    assert folders <= set(RANKS), f"folders without a rank: {sorted(folders - set(RANKS))}"
    text = ARCHITECTURE.read_text(encoding="utf-8")
    undocumented = [f for f in RANKS if f"src/{f}/" not in text]
    assert not undocumented, f"docs/architecture.md does not mention {undocumented}"


@pytest.mark.parametrize("folder", sorted(RANKS))
def test_includes_point_down(folder):
    wrong = []
    for path in _sources():
        if _folder(path) != folder:
            continue
        for included in _includes(path):
            target = SRC / included
            if not target.exists():
                wrong.append(f"{path.relative_to(SRC)} includes missing {included}")
                continue
            other = _folder(target)
            if other != folder and not RANKS[other] < RANKS[folder]:
                wrong.append(f"{path.relative_to(SRC)} includes {included}")
    assert not wrong, "includes pointing up or sideways:\n" + "\n".join(wrong)


def test_no_include_circle():
    graph = {p.relative_to(SRC).as_posix(): [i for i in _includes(p) if (SRC / i).exists()] for p in _sources()}
    state = {}

    def visit(node, trail):
        if state.get(node) == "done":
            return
        if state.get(node) == "open":
            raise AssertionError("include circle: " + " -> ".join(trail[trail.index(node):] + [node]))
        state[node] = "open"
        for child in graph.get(node, []):
            visit(child, trail + [node])
        state[node] = "done"

    for node in graph:
        visit(node, [])


def test_library_code_never_includes_python():
    offenders = [p.relative_to(SRC).as_posix() for p in _sources()
                 if _folder(p) != "bindings" and re.search(r"#\s*include\s*[<\"](pybind11|Python\.h)",
                                                           p.read_text(encoding="utf-8"))]
    assert not offenders


# The C++ floors are static libraries (src/CMakeLists.txt), each linking only the floors it
# declares; its include root exposes those and nothing else, so the compiler refuses an
# include the declarations do not allow. The declarations themselves must point down.
FLOOR_CALL = re.compile(r"\bvelk_floor\(([^)]*)\)")


def _floor_targets():
    text = re.sub(r"#.*", "", (SRC / "CMakeLists.txt").read_text(encoding="utf-8"))
    floors = {}
    for arguments in FLOOR_CALL.findall(text):
        target, folder, *rest = arguments.split()
        depends = rest[1:] if rest[:1] == ["DEPENDS"] else rest
        floors[target] = (folder, [name for name in depends if not name.startswith("$")])
    return floors


def test_every_library_folder_is_a_floor_target():
    folders = sorted(folder for folder, _ in _floor_targets().values())
    assert folders == sorted(f for f in RANKS if f != "bindings")


@pytest.mark.parametrize("target", sorted(_floor_targets()))
def test_floor_targets_link_only_lower_floors(target):
    floors = _floor_targets()
    folder, depends = floors[target]
    wrong = [name for name in depends if name in floors and not RANKS[floors[name][0]] < RANKS[folder]]
    assert not wrong, f"{target} ({folder}) links floors that are not below it: {wrong}"


def test_every_cpp_test_is_built():
    cmake = (SRC.parent / "tests" / "cpp" / "CMakeLists.txt").read_text(encoding="utf-8")
    unbuilt = [p.name for p in sorted((SRC.parent / "tests" / "cpp").glob("test_*.cpp"))
               if not re.search(rf"\b{re.escape(p.name)}\b", cmake)]
    assert not unbuilt, f"tests/cpp/CMakeLists.txt builds no executable from {unbuilt}"


# The Python package has layers too: the command line on top (commands/, cli.py and
# __main__.py, which runs it), the report and the verdicts under it, and everything else
# below. A module imports its own layer or lower ones, never a higher one or another layer of
# the same rank; relative imports and imports inside functions count as well.
PACKAGE = SRC.parent / "python" / "quorvane" / "velk"
PACKAGE_NAME = "quorvane.velk"
PYTHON_LAYERS = {"commands": ("commands", 3), "cli": ("commands", 3), "__main__": ("commands", 3),
                 "report": ("report", 2), "verdict": ("verdict", 2)}
REST = ("rest", 1)


def _module_name(package_dir: Path, path: Path) -> str:
    parts = path.relative_to(package_dir).with_suffix("").parts
    if parts[-1] == "__init__":
        parts = parts[:-1]
    return ".".join((PACKAGE_NAME, *parts))


def _python_layer(module: str):
    inner = module[len(PACKAGE_NAME):].lstrip(".")
    return PYTHON_LAYERS.get(inner.split(".")[0], REST) if inner else REST


def _imported_modules(package_dir: Path, path: Path, known: set[str]):
    """The package's modules that ``path`` imports anywhere in its body, with the line;
    ``known`` holds the names of all the package's modules."""
    module = _module_name(package_dir, path)
    package = module if path.name == "__init__.py" else module.rpartition(".")[0]
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            names = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([node.module] if node.module else []))
            # "from X import name" imports the module X.name when there is one, else X.
            names = [f"{base}.{alias.name}" if f"{base}.{alias.name}" in known else base for alias in node.names]
        else:
            continue
        for name in names:
            if name == PACKAGE_NAME or name.startswith(PACKAGE_NAME + "."):
                yield name, node.lineno


def upward_python_imports(package_dir: Path) -> list[str]:
    paths = sorted(package_dir.rglob("*.py"))
    known = {_module_name(package_dir, p) for p in paths}
    wrong = []
    for path in paths:
        layer = _python_layer(_module_name(package_dir, path))
        for imported, line in _imported_modules(package_dir, path, known):
            other = _python_layer(imported)
            if other != layer and not other[1] < layer[1]:
                wrong.append(f"{path.relative_to(package_dir)}:{line} ({layer[0]}) imports {imported} ({other[0]})")
    return wrong


def test_python_imports_point_down():
    wrong = upward_python_imports(PACKAGE)
    assert not wrong, "imports pointing up or sideways:\n" + "\n".join(wrong)


def _synthetic_package(root: Path, path: str, source: str) -> Path:
    package = root / "quorvane" / "velk"
    for module in ("__init__.py", "cli.py", "verdict.py", "records.py", "commands/__init__.py",
                   "commands/common.py", "report/__init__.py", "report/summary.py"):
        (package / module).parent.mkdir(parents=True, exist_ok=True)
        (package / module).write_text("", encoding="utf-8")
    (package / path).write_text(source, encoding="utf-8")
    return package


@pytest.mark.parametrize("path,source", [
    ("verdict.py", "from .commands import common\n"),
    ("records.py", "def save():\n    from .report.summary import Summary\n"),
    ("records.py", "import quorvane.velk.cli\n"),
    ("records.py", "from quorvane.velk import verdict\n"),
    ("report/summary.py", "from ..verdict import judge\n"),
    ("report/summary.py", "from .. import cli\n"),
    ("report/__init__.py", "from ..commands.common import progress_for\n"),
])
def test_checker_finds_an_upward_import(tmp_path, path, source):
    wrong = upward_python_imports(_synthetic_package(tmp_path, path, source))
    assert len(wrong) == 1 and wrong[0].startswith(f"{path}:"), wrong


@pytest.mark.parametrize("path,source", [
    ("cli.py", "from .commands import common\n"),
    ("commands/common.py", "def write():\n    from ..report.summary import Summary\n    from ..verdict import judge\n"),
    ("report/summary.py", "from .. import records\nfrom . import summary\nimport _velk\n"),
    ("verdict.py", "from .records import save\n"),
    ("__init__.py", "from . import records\n"),
])
def test_checker_lets_a_downward_import_pass(tmp_path, path, source):
    assert upward_python_imports(_synthetic_package(tmp_path, path, source)) == []
