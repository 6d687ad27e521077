"""The report's opening summary: the verdict, the saved transforms in mm and deg with their 1-sigma, the RMS
reprojection error in pixels and the checks behind the verdict."""

from __future__ import annotations

import html
import math
from dataclasses import dataclass, field

import numpy as np


@dataclass
class SavedTransform:
    """One transform of the saved record: its name (as the record calls it), the 4x4 matrix (metres) and, when
    refined, its 1-sigma (anything with translation_mm and rotation_deg, three values each)."""

    name: str
    matrix: object
    sigma: object = None


def _sigma_cell(value: float, digits: int) -> str:
    """A 1-sigma cell; NaN (a component the robot's motions leave undetermined) reads "not determined"."""
    return f"<td>&plusmn; {value:.{digits}f}</td>" if math.isfinite(value) else "<td>not determined</td>"


@dataclass
class Check:
    """One figure the result was judged by; passed None when it is shown for information only."""

    name: str
    passed: object
    detail: str


@dataclass
class Summary:
    transforms: list = field(default_factory=list)
    rms_px: float = float("nan")
    rms_detail: str = ""
    checks: list = field(default_factory=list)


def pose_mm_deg(matrix) -> list[float]:
    """x, y, z in millimetres and rx, ry, rz in degrees, as the library's text report gives the pose."""
    import _velk

    pose = list(_velk.tf.transformation_matrix_to_pose(np.asarray(matrix, np.float64)))
    return [v * 1000.0 for v in pose[:3]] + list(pose[3:])


def _transform_rows(transforms) -> str:
    rows = []
    for transform in transforms:
        values = pose_mm_deg(transform.matrix)
        cells = "".join(f"<td>{v:.2f}</td>" for v in values[:3]) + "".join(f"<td>{v:.3f}</td>" for v in values[3:])
        rows.append(f'<tr class="saved-transform"><td class="name">{html.escape(transform.name)}</td>{cells}</tr>')
        if transform.sigma is not None:
            sigma = list(transform.sigma.translation_mm) + list(transform.sigma.rotation_deg)
            cells = ("".join(_sigma_cell(v, 2) for v in sigma[:3]) + "".join(_sigma_cell(v, 3) for v in sigma[3:]))
            rows.append(f'<tr class="sigma"><td class="name">1-sigma</td>{cells}</tr>')
    header = ("<tr><th>Saved transform</th><th>x [mm]</th><th>y [mm]</th><th>z [mm]</th><th>rx [deg]</th>"
              "<th>ry [deg]</th><th>rz [deg]</th></tr>")
    return f'<table class="saved" id="saved-transforms">{header}{"".join(rows)}</table>'


def _mark(passed) -> str:
    if passed is None:
        return '<td class="info">info</td>'
    return '<td class="pass">pass</td>' if passed else '<td class="fail">FAIL</td>'


def _check_rows(checks) -> str:
    rows = []
    for check in checks:
        name, passed, detail = check if isinstance(check, tuple) else (check.name, check.passed, check.detail)
        rows.append(f'<tr class="check"><td class="name">{html.escape(str(name))}</td>{_mark(passed)}'
                    f'<td class="detail">{html.escape(str(detail))}</td></tr>')
    return ('<table class="checks" id="checks"><tr><th>Check</th><th>Result</th><th>Figures</th></tr>'
            f'{"".join(rows)}</table>')


def _verdict_html(verdict, warning_count: int = 0) -> str:
    """The verdict line; a passing verdict with warnings to act on says so in the line itself."""
    code = int(getattr(verdict, "code", 0))
    kind = "pass" if code == 0 else "fail"
    text = str(verdict.text)
    if code == 0 and warning_count:
        kind = "warn"
        text = (verdict.text_with_warnings(warning_count) if hasattr(verdict, "text_with_warnings")
                else f"{text}, with {warning_count} warning(s) to act on")
    return (f'<p class="verdict {kind}" id="verdict">{html.escape(text)} '
            f'<span class="code">(exit code {code})</span></p>')


def warnings_html(warnings) -> str:
    """The warnings of the page's sections, listed at the top."""
    if not warnings:
        return ""
    items = "".join(f'<li class="warning">{html.escape(w)}</li>' for w in warnings)
    return f'<div class="warnings" id="warnings"><b>Warnings to act on</b><ul>{items}</ul></div>'


def summary_html(summary: Summary, verdict=None, warnings=()) -> str:
    """The summary's body. A verdict (anything with text, code and checks of (name, passed, detail)) leads it and
    its checks replace the ones the report computed itself; ``warnings`` (of every section) follow it."""
    warnings = list(warnings)
    parts = [_verdict_html(verdict, len(warnings))] if verdict is not None else []
    parts.append(warnings_html(warnings))
    if summary.transforms:
        parts.append(_transform_rows(summary.transforms))
        if all(t.sigma is None for t in summary.transforms):
            parts.append('<p class="note">No 1-sigma: the result was not refined.</p>')
        else:
            parts.append('<p class="note">1-sigma of the rotation is about the parent frame\'s x, y and z axes.</p>')
    if summary.rms_px == summary.rms_px:  # not NaN
        parts.append(f'<p class="rms" id="rms">Reprojection RMS: <b>{summary.rms_px:.3f} px</b>'
                     f'{" " + html.escape(summary.rms_detail) if summary.rms_detail else ""}</p>')
    checks = list(verdict.checks) if verdict is not None else summary.checks
    if checks:
        parts.append(_check_rows(checks))
    return "".join(parts)
