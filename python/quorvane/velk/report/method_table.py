"""The hand-eye method comparison as an HTML table, with the comparison's own verdict."""

from __future__ import annotations

import html


def table_html(method_results, verdict_text: str) -> str:
    rows = []
    for name, result in method_results.items():
        if result is None:
            cells = f'<td class="name">{html.escape(name)}</td><td colspan="6">failed</td>'
        else:
            x, y, z, rx, ry, rz = result.pose_deg
            cells = (f'<td class="name">{html.escape(name)}</td>' +
                     "".join(f"<td>{v * 1000:.2f}</td>" for v in (x, y, z)) +
                     "".join(f"<td>{v:.2f}</td>" for v in (rx, ry, rz)))
        rows.append(f'<tr class="method-row">{cells}</tr>')
    header = ("<tr><th>Method</th><th>x [mm]</th><th>y [mm]</th><th>z [mm]</th><th>rx [deg]</th>"
              "<th>ry [deg]</th><th>rz [deg]</th></tr>")
    return (f'<table class="methods" id="method-comparison">{header}{"".join(rows)}</table>'
            f"<pre>{html.escape(verdict_text)}</pre>")
