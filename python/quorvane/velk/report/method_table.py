"""The hand-eye method comparison as an HTML table, with the comparison's own verdict.

Angles are shown within half a turn of the saved result's (rz = -179.9 beside a saved +179.9 reads 180.1), and
every row gives its distance from the saved result as one translation and one rotation angle, so that angles a
full turn apart never look far apart."""

from __future__ import annotations

import html

import numpy as np

from ..geometry import rotation_angle_deg
from ..solver_agreement import wrap_near


def distance_from(matrix, reference) -> tuple[float, float]:
    """Translation [mm] and rotation angle [deg] between two 4x4 rigid transforms."""
    a, b = np.asarray(matrix, np.float64), np.asarray(reference, np.float64)
    return float(np.linalg.norm(a[:3, 3] - b[:3, 3])) * 1000.0, rotation_angle_deg(a, b)


def _cells(pose_mm_deg, reference_deg) -> str:
    x, y, z, rx, ry, rz = pose_mm_deg
    angles = [wrap_near(v, r) for v, r in zip((rx, ry, rz), reference_deg)]
    return "".join(f"<td>{v:.2f}</td>" for v in (x, y, z)) + "".join(f"<td>{v:.2f}</td>" for v in angles)


def table_html(method_results, verdict_text: str = "", saved=None, matrix_name: str = "tcp_T_camera") -> str:
    """method_results: solver name -> result (pose_deg in metres and deg, and the 4x4 ``matrix_name``) or None;
    saved: the transform the record holds (a summary.SavedTransform), shown first and compared with. The table is
    followed by the sentence on the solvers' agreement, read from the same figures as the solver agreement check
    (verdict_text, the console's text of the comparison, is not repeated: the table holds its rows)."""
    from ..solver_agreement import solver_agreement
    from ..solver_table import agreement_sentence
    from .summary import pose_mm_deg

    reference = pose_mm_deg(saved.matrix) if saved is not None else None
    rows = []
    if saved is not None:
        rows.append(f'<tr class="saved-row"><td class="name">{html.escape(saved.name)}</td>'
                    f"{_cells(reference, reference[3:])}<td>0.00</td><td>0.000</td></tr>")
    for name, result in method_results.items():
        if result is None:
            columns = 8 if saved is not None else 6
            cells = f'<td class="name">{html.escape(name)}</td><td colspan="{columns}">failed</td>'
        else:
            x, y, z, rx, ry, rz = result.pose_deg
            pose = [x * 1000.0, y * 1000.0, z * 1000.0, rx, ry, rz]
            cells = f'<td class="name">{html.escape(name)}</td>' + _cells(pose, reference[3:] if reference else
                                                                         pose[3:])
            matrix = np.asarray(getattr(result, matrix_name, np.empty((0, 0))))
            if saved is not None and matrix.shape == (4, 4):
                translation, rotation = distance_from(matrix, saved.matrix)
                cells += f"<td>{translation:.2f}</td><td>{rotation:.3f}</td>"
            elif saved is not None:
                cells += "<td></td><td></td>"
        rows.append(f'<tr class="method-row">{cells}</tr>')
    # Without a saved result (velk check) there is nothing to measure the solvers from.
    distances = "<th>from saved [mm]</th><th>from saved [deg]</th>" if saved is not None else ""
    header = ("<tr><th>Method</th><th>x [mm]</th><th>y [mm]</th><th>z [mm]</th><th>rx [deg]</th>"
              f"<th>ry [deg]</th><th>rz [deg]</th>{distances}</tr>")
    sentence = agreement_sentence(solver_agreement(method_results))
    return (f'<table class="methods" id="method-comparison">{header}{"".join(rows)}</table>'
            f'<p class="agreement" id="solver-agreement">{html.escape(sentence)}</p>')
