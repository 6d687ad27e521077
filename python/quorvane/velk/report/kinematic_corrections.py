"""The corrections a calibration through the arm's chain estimated (with 2-sigma bars), and every picture's board
position predicted from fits without it, through the nominal chain and through the calibrated one."""

from __future__ import annotations

import math

from .figure import new_figure, to_svg


def _unit(parameter) -> tuple[str, float]:
    return ("deg", math.degrees(1.0)) if parameter.unit == "rad" else ("mm", 1000.0)


def _correction_panel(axes, parameters) -> None:
    positions = list(range(len(parameters)))
    for k, parameter in enumerate(parameters):
        unit, scale = _unit(parameter)
        colour = "#2b7bba" if unit == "deg" else "#1a9850"
        bar = axes.bar(k, parameter.value * scale, color=colour)
        bar[0].set_gid(f"kinematic-correction-{k}")
        axes.errorbar(k, parameter.value * scale, yerr=2.0 * parameter.sigma * scale, color="#444444", capsize=3)
    axes.axhline(0.0, color="#444444", linewidth=0.8)
    axes.set_xticks(positions)
    axes.set_xticklabels([f"{p.name} [{_unit(p)[0]}]" for p in parameters], rotation=30, ha="right", fontsize=7)
    axes.set_ylabel("correction (2-sigma bars)")


def _prediction_panel(axes, nominal_mm, calibrated_mm, labels) -> None:
    positions = list(range(len(labels)))
    width = 0.4
    for offset, values, colour, name in ((-width / 2, nominal_mm, "#d95f0e", "nominal chain"),
                                         (width / 2, calibrated_mm, "#2b7bba", "calibrated chain")):
        bars = axes.bar([p + offset for p in positions], values, width, color=colour, label=name)
        for k, bar in enumerate(bars):
            bar.set_gid(f"kinematic-held-out-{name.split()[0]}-{k}")
    axes.set_xticks(positions)
    axes.set_xticklabels(labels, rotation=60, ha="right", fontsize=7)
    axes.set_ylabel("held-out board position [mm]")
    axes.set_ylim(0.0, 1.35 * max(max(nominal_mm, default=0.0), max(calibrated_mm, default=0.0), 1e-9))
    # Above the axes, clear of the bars.
    axes.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), ncol=3, fontsize=8, frameon=False)


def figure_svg(estimated, nominal_mm, calibrated_mm, labels) -> str:
    """``estimated``: the estimated corrections (name, unit "rad" or "m", value, sigma); ``nominal_mm`` and
    ``calibrated_mm``: per picture, its board's predicted position against its own pose."""
    figure = new_figure(8.0, 6.0 if estimated else 3.4)
    rows = 2 if estimated else 1
    if estimated:
        _correction_panel(figure.add_subplot(rows, 1, 1), estimated)
    _prediction_panel(figure.add_subplot(rows, 1, rows), list(nominal_mm), list(calibrated_mm), labels)
    return to_svg(figure, "kinematic-corrections")
