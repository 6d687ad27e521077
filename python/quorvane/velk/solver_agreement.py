"""How the solvers of a hand-eye method comparison agree: the figures the solver agreement check judges and the
console's comparison table shows, so that the two read the same."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .geometry import rotation_angle_deg

# A solver farther than these from the consensus is an outlier.
MAX_SOLVER_SPREAD_DEG = 1.5
MAX_SOLVER_SPREAD_MM = 10.0


def wrap_near(angle_deg: float, reference_deg: float) -> float:
    """The angle plus or minus whole turns, within half a turn of the reference."""
    return reference_deg + (angle_deg - reference_deg + 180.0) % 360.0 - 180.0


def _solved_transform(result) -> np.ndarray:
    """The camera transform a solver of a method comparison found, either set-up: from its pose vector."""
    from _velk import tf

    return np.asarray(tf.pose_to_transformation_matrix(list(result.pose_deg)), dtype=np.float64)


@dataclass
class SolverAgreement:
    """How the solvers of a method comparison agree: the solvers that gave a result, those farther from the
    consensus than the limits (outliers), those that failed, and the largest distances from the consensus."""

    solved: list
    outliers: list
    failed: list
    largest_mm: float = float("nan")
    largest_deg: float = float("nan")

    @property
    def passed(self) -> bool:
        return len(self.solved) >= 2 and len(self.outliers) <= 1 and len(self.solved) - len(self.outliers) >= 2


def solver_agreement(method_results) -> SolverAgreement:
    """Agreement of the solvers of a method comparison (None entries are failed solves). The solver closest to
    all others is the centre; a solver farther from it than the limits (translation, rotation angle) is an
    outlier, and more than one outlier is no consensus."""
    solved = {name: _solved_transform(r) for name, r in method_results.items() if r is not None}
    failed = [name for name, r in method_results.items() if r is None]
    if len(solved) < 2:
        return SolverAgreement(list(solved), [], failed)
    transforms = list(solved.values())

    def distance(a, b):
        return (np.linalg.norm(a[:3, 3] - b[:3, 3]) * 1000.0 / MAX_SOLVER_SPREAD_MM
                + rotation_angle_deg(a, b) / MAX_SOLVER_SPREAD_DEG)

    centre = min(transforms, key=lambda a: sum(distance(a, b) for b in transforms))
    off_mm = np.array([np.linalg.norm(t[:3, 3] - centre[:3, 3]) * 1000.0 for t in transforms])
    off_deg = np.array([rotation_angle_deg(t, centre) for t in transforms])
    outliers = [name for name, mm, deg in zip(solved, off_mm, off_deg)
                if not (mm <= MAX_SOLVER_SPREAD_MM and deg <= MAX_SOLVER_SPREAD_DEG)]
    return SolverAgreement(list(solved), outliers, failed, float(off_mm.max()), float(off_deg.max()))


SOLVER_LIMIT = f"{MAX_SOLVER_SPREAD_MM:g} mm, {MAX_SOLVER_SPREAD_DEG:g} deg, at most one outlier"
