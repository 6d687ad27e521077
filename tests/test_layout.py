"""The include rule of the C++ library: every folder under src/ has a rank, and a file may
include only files of its own folder or of folders ranked strictly lower. The ranks are the
ones docs/architecture.md lays out; a new folder must be given one here and there."""
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
    "calibration/refinement": (3, 1),
    "calibration/detection": (3, 1),
    "calibration/intrinsic": (3, 2),
    "calibration/hand_eye": (3, 3),
    "calibration/rig": (3, 3),
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

