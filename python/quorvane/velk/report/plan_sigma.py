"""Predicted 1-sigma of the hand-eye transform against the number of pictures of a plan, axis by axis."""

from __future__ import annotations

import numpy as np

from .figure import new_figure, to_svg

_AXES = {"translation": (("x", "y", "z"), "mm", ("#2b7bba", "#5aae61", "#9970ab")),
         "rotation": (("rx", "ry", "rz"), "deg", ("#d7301f", "#fdae61", "#8c510a"))}


def sigma_curves(steps, first_count: int = 1):
    """(picture counts, translation 1-sigma [mm] x, y, z, rotation 1-sigma [deg] rx, ry, rz) of the determined
    steps of a plan, one row per step."""
    counts, translations, rotations = [], [], []
    for k, step in enumerate(steps):
        if step.determined:
            counts.append(first_count + k)
            translations.append(list(step.camera_sigma.translation_mm))
            rotations.append(list(step.camera_sigma.rotation_deg))
    return counts, np.reshape(translations, (-1, 3)), np.reshape(rotations, (-1, 3))


def figure_svg(steps, first_count: int = 1) -> str:
    counts, translations, rotations = sigma_curves(steps, first_count)
    figure = new_figure(8.0, 3.6)
    positions = np.arange(len(counts))
    for column, (name, values) in enumerate((("translation", translations), ("rotation", rotations))):
        labels, unit, colours = _AXES[name]
        axes = figure.add_subplot(1, 2, column + 1)
        for k, (label, colour) in enumerate(zip(labels, colours)):
            bars = axes.bar(positions + (k - 1) * 0.27, values[:, k], width=0.27, color=colour, label=label)
            for count, bar in zip(counts, bars):
                bar.set_gid(f"plan-sigma-{label}-{count}")
        axes.set_xticks(positions)
        axes.set_xticklabels([str(c) for c in counts], fontsize=7)
        axes.set_xlabel("pictures")
        axes.set_ylabel(f"predicted 1-sigma per axis [{unit}]")
        axes.set_ylim(bottom=0.0)
        axes.grid(True, axis="y", alpha=0.3)
        # Above the axes, clear of the bars.
        axes.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), ncol=3, fontsize=8, frameon=False)
    return to_svg(figure, "plan-sigma")
