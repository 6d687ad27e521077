"""Per-frame hand-eye consistency: how far each frame's world_T_target lies from their mean."""

from __future__ import annotations

import numpy as np

from .figure import new_figure, to_svg


def figure_svg(consistency, labels=None) -> str:
    """labels: the name of each frame's picture, as the other plots name it (default: its position)."""
    translations = np.asarray(consistency.translation_deviations_m, np.float64) * 1000.0
    rotations = np.asarray(consistency.rotation_deviations_deg, np.float64)
    frames = list(range(len(translations)))
    figure = new_figure(8.0, 4.6)
    top, bottom = figure.subplots(2, 1, sharex=True)
    for k, bar in enumerate(top.bar(frames, translations, color="#2b7bba")):
        bar.set_gid(f"consistency-translation-{k}")
    top.axhline(float(consistency.mean_translation_m) * 1000.0, color="#444444", linestyle="--", linewidth=1,
                label="mean")
    top.set_ylabel("translation [mm]")
    # Above the axes, clear of the bars.
    top.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), ncol=3, fontsize=8, frameon=False)
    for k, bar in enumerate(bottom.bar(frames, rotations, color="#e08214")):
        bar.set_gid(f"consistency-rotation-{k}")
    bottom.axhline(float(consistency.mean_rotation_deg), color="#444444", linestyle="--", linewidth=1)
    bottom.set_ylabel("rotation [deg]")
    bottom.set_xlabel("picture")
    bottom.set_xticks(frames)
    if labels is not None:
        bottom.set_xticklabels(labels, rotation=60, ha="right", fontsize=7)
    top.set_title("Deviation of each frame's target pose from the mean target pose", fontsize=9)
    return to_svg(figure, "consistency")
