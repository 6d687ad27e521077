"""Predicted 1-sigma of the hand-eye transform against the number of pictures of a plan."""

from __future__ import annotations

from .figure import new_figure, to_svg


def sigma_curves(steps, first_count: int = 1):
    """(picture counts, translation norms [mm], rotation norms [deg]) of the determined steps of a plan."""
    counts, translations, rotations = [], [], []
    for k, step in enumerate(steps):
        if step.determined:
            counts.append(first_count + k)
            translations.append(step.camera_sigma.translation_norm_mm)
            rotations.append(step.camera_sigma.rotation_norm_deg)
    return counts, translations, rotations


def figure_svg(steps, first_count: int = 1) -> str:
    counts, translations, rotations = sigma_curves(steps, first_count)
    figure = new_figure(8.0, 3.4)
    for column, (values, unit, name, colour) in enumerate(
            [(translations, "mm", "translation", "#2b7bba"), (rotations, "deg", "rotation", "#d7301f")]):
        axes = figure.add_subplot(1, 2, column + 1)
        (line,) = axes.plot(counts, values, marker="o", color=colour)
        line.set_gid(f"plan-sigma-{name}")
        axes.set_xlabel("pictures")
        axes.set_ylabel(f"predicted 1-sigma {name} [{unit}]")
        axes.set_ylim(bottom=0.0)
        axes.grid(True, alpha=0.3)
    return to_svg(figure, "plan-sigma")
