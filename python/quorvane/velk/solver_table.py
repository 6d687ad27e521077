"""The hand-eye method comparison as console text: every solver's transform in mm and deg, columns apart, and one
sentence on their agreement read from the same figures as the solver agreement check, so that the two never
disagree."""

from __future__ import annotations

from .solver_agreement import SOLVER_LIMIT, SolverAgreement, solver_agreement, wrap_near

_BAR = "=" * 60
_COLUMNS = ("x [mm]", "y [mm]", "z [mm]", "rx [deg]", "ry [deg]", "rz [deg]")
_NAME_WIDTH = 12
_VALUE_WIDTH = 10


def _reference_angles(method_results) -> list[float] | None:
    """The first solved result's rx, ry, rz: the other rows' angles are shown within half a turn of them."""
    for result in method_results.values():
        if result is not None:
            return list(result.pose_deg[3:])
    return None


def _row(name: str, result, reference) -> str:
    if result is None:
        return f"  {name:<{_NAME_WIDTH}}(failed)"
    x, y, z, *angles = result.pose_deg
    values = [x * 1000.0, y * 1000.0, z * 1000.0] + [wrap_near(a, r) for a, r in zip(angles, reference)]
    return f"  {name:<{_NAME_WIDTH}}" + " ".join(f"{v:>{_VALUE_WIDTH}.2f}" for v in values)


def agreement_sentence(agreement: SolverAgreement) -> str:
    """What the solver agreement check found, as one sentence."""
    count = len(agreement.solved)
    if count < 2:
        return f"Only {count} solver(s) gave a result: the solver agreement check fails."
    figures = (f"largest distance from the consensus {agreement.largest_mm:.2f} mm, {agreement.largest_deg:.3f} deg"
               f"; limit {SOLVER_LIMIT}")
    if not agreement.passed:
        return (f"The solvers do not agree (outliers: {', '.join(agreement.outliers)}; {figures}): the solver "
                "agreement check fails.")
    if agreement.outliers:
        return (f"{count - 1} of {count} methods agree; outlier: {agreement.outliers[0]} ({figures}). The "
                "consensus is trusted.")
    return f"All {count} methods agree: {figures}."


#: Per kind of restricted motion (``diagnostics.restricted_motion``): the mark of each general solver, the first
#: line of the sentence under the table and what the closed forms return arbitrarily.
UNDEFINED_MARKS = {
    "one axis": ("(undefined on turns about one axis)",
                 "Every turn of the robot is about one axis: the general closed forms return an arbitrary",
                 "value along it"),
    "no turn": ("(undefined when the robot does not turn)",
                "The robot does not turn between the poses: the general closed forms return an arbitrary",
                "offset"),
}


def comparison_text(method_results, motion: str | None = None) -> str:
    """The comparison's table (solver name -> result with pose_deg in metres and deg, or None) and its sentence;
    with ``motion`` "one axis" (every turn of the robot is about one axis) or "no turn" (the robot does not turn)
    each solver is marked undefined instead."""
    reference = _reference_angles(method_results)
    header = f"  {'Method':<{_NAME_WIDTH}}" + " ".join(f"{c:>{_VALUE_WIDTH}}" for c in _COLUMNS)
    rule = "  " + "-" * (len(header) - 2)
    lines = [_BAR, "HAND-EYE CROSS-METHOD COMPARISON", _BAR, header, rule]
    if motion in UNDEFINED_MARKS:
        mark, sentence, what = UNDEFINED_MARKS[motion]
        lines += [f"  {name:<{_NAME_WIDTH}}{mark}" for name in method_results]
        lines += [rule, f"  >>> {sentence}",
                  f"      {what}, so their outputs are not listed; the refinement starts from the closed form",
                  "      for such motions."]
        return "\n".join(lines) + "\n"
    lines += [_row(name, result, reference) for name, result in method_results.items()]
    agreement = solver_agreement(method_results)
    failed = f"; failed: {', '.join(agreement.failed)}" if agreement.failed else ""
    lines += [rule, "  Angles within half a turn of the first solver's" + failed + ".",
              f"  >>> {agreement_sentence(agreement)}"]
    return "\n".join(lines) + "\n"
