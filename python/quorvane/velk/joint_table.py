"""The arm's joint readings per picture: a small text table beside the robot poses.

``joints.csv`` in a hand-eye dataset folder holds one row per pose, row k for ``image_<k>``: the joint
values in the chain's order, separated by commas or spaces. A first row of names (``shoulder_pan_joint,
...``) is optional, lines starting with ``#`` are comments. Revolute joints are in radians, or degrees
with ``units="deg"``; prismatic joints are in metres either way.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from . import safe_files

JOINT_FILE = "joints.csv"
ANGLE_UNITS = {"rad": 1.0, "deg": np.pi / 180.0}
# Above this a revolute reading in radians is almost surely in degrees (a joint turning more than a turn
# either way is rare, a table of degrees nearly always holds values beyond it).
_LARGEST_PLAUSIBLE_RAD = 2.0 * np.pi + 1e-6
_SEPARATOR = re.compile(r"[,\s;]+")


class JointTableError(ValueError):
    """A joint table that cannot be read or does not fit the chain."""


@dataclass
class JointTable:
    """Joint readings as read: ``values`` is poses x joints, in the file's units; ``names`` the header's."""

    values: np.ndarray
    names: list[str] = field(default_factory=list)
    source: str = ""

    def __len__(self) -> int:
        return len(self.values)


def _cells(line: str) -> list[str]:
    return [cell for cell in _SEPARATOR.split(line.strip()) if cell]


def _number(cell: str, where: str) -> float:
    try:
        value = float(cell)
    except ValueError:
        raise JointTableError(f"{where}: '{cell}' is not a number") from None
    if not np.isfinite(value):
        raise JointTableError(f"{where}: {cell} is not a finite joint value")
    return value


def parse_joint_table(text: str, source: str = "joint table") -> JointTable:
    """The table of ``text``: every row as long as the first, every value a finite number."""
    names: list[str] = []
    rows: list[list[float]] = []
    for number, line in enumerate(text.splitlines(), start=1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        cells = _cells(line)
        where = f"{source}, line {number}"
        if not rows and not names and not _is_numeric(cells[0]):
            names = cells
            continue
        row = [_number(cell, where) for cell in cells]
        width = len(names) or (len(rows[0]) if rows else len(row))
        if len(row) != width:
            raise JointTableError(f"{where}: {len(row)} values where the table has {width} joints")
        rows.append(row)
    if not rows:
        raise JointTableError(f"{source} holds no joint readings")
    return JointTable(np.array(rows, dtype=np.float64), names, source)


def _is_numeric(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def read_joint_table(path) -> JointTable:
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as error:
        raise JointTableError(f"cannot read the joint table {path}: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise JointTableError(f"{path} is not a text table of joint readings") from None
    return parse_joint_table(text, str(path))


def joint_values(table: JointTable, chain, units: str = "rad") -> np.ndarray:
    """The chain's joint values (radians, metres) of every row: the columns must match the chain's joints
    (by name when the table names them), revolute columns are converted from ``units``."""
    if units not in ANGLE_UNITS:
        raise JointTableError(f"unknown joint units '{units}' (use rad or deg)")
    links = list(chain.links)
    values = _columns_in_chain_order(table, links)
    revolute = np.array([link.type == "revolute" for link in links], dtype=bool)
    if units == "rad" and revolute.any():
        largest = float(np.max(np.abs(values[:, revolute])))
        if largest > _LARGEST_PLAUSIBLE_RAD:
            raise JointTableError(f"{table.source}: a revolute joint reads {largest:.4g} rad, more than a full turn: "
                                  "are the angles in degrees? (give --joint-units deg)")
    values = values.copy()
    values[:, revolute] *= ANGLE_UNITS[units]
    return values


def _columns_in_chain_order(table: JointTable, links) -> np.ndarray:
    chain_names = [link.name for link in links]
    if table.names and all(chain_names) and set(chain_names) <= set(table.names):
        return table.values[:, [table.names.index(name) for name in chain_names]]
    if table.values.shape[1] != len(links):
        named = f" ({', '.join(table.names)})" if table.names else ""
        raise JointTableError(f"{table.source} has {table.values.shape[1]} joint columns{named}, the chain "
                              f"{len(links)} joints ({', '.join(n or '?' for n in chain_names)})")
    return table.values


def write_joint_table(path, values_rad, names=None) -> Path:
    """Writes ``values_rad`` (poses x joints, radians and metres) with a header of ``names`` when given."""
    path = Path(path)
    values = np.atleast_2d(np.asarray(values_rad, dtype=np.float64))
    lines = ["# joint readings, one row per pose (row k pairs with image_k); revolute joints in rad"]
    if names:
        lines.append(",".join(names))
    lines += [",".join(repr(float(v)) for v in row) for row in values]
    safe_files.write_text(path, "\n".join(lines) + "\n")
    return path
