"""How far the refinement moved each reported flange pose, with the suspect poses marked."""

from __future__ import annotations

import math

from .figure import new_figure, to_svg


def correction_sizes(corrections):
    """Translation [mm] and rotation [deg] length of every pose correction ([x, y, z] mm, [rx, ry, rz] deg)."""
    return ([math.hypot(*c[:3]) for c in corrections], [math.hypot(*c[3:]) for c in corrections])


def figure_svg(corrections, suspects, translation_sigma_mm: float, rotation_sigma_deg: float, labels) -> str:
    translations, rotations = correction_sizes(corrections)
    figure = new_figure(8.0, 4.4)
    positions = list(range(len(corrections)))
    colours = ["#d7301f" if k in set(suspects) else "#2b7bba" for k in positions]
    # A correction of three axes, each of the estimated noise, has about sqrt(3) sigma as its length.
    panels = [(translations, translation_sigma_mm, "mm", "translation"), (rotations, rotation_sigma_deg, "deg",
                                                                         "rotation")]
    for row, (sizes, sigma, unit, name) in enumerate(panels):
        axes = figure.add_subplot(2, 1, row + 1)
        bars = axes.bar(positions, sizes, color=colours)
        for k, bar in enumerate(bars):
            bar.set_gid(f"robot-correction-{name}-{k}")
        line = axes.axhline(math.sqrt(3.0) * sigma, color="#444444", linestyle="--", linewidth=1.2,
                            label=f"estimated noise, sqrt(3) x {sigma:.3g} {unit}")
        line.set_gid(f"robot-correction-{name}-noise")
        # Head room above the tallest bar for the legend.
        axes.set_ylim(0.0, 1.35 * max(max(sizes, default=0.0), math.sqrt(3.0) * sigma, 1e-9))
        axes.set_ylabel(f"{name} [{unit}]")
        axes.set_xticks(positions)
        axes.set_xticklabels(labels if row == 1 else [], rotation=60, ha="right", fontsize=7)
        # Above the axes, clear of the bars.
        axes.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), ncol=3, fontsize=8, frameon=False)
    return to_svg(figure, "robot-corrections")
