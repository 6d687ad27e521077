"""Per-view reprojection error bars with the error threshold, each bar labelled with its value."""

from __future__ import annotations

from .figure import new_figure, to_svg


def figure_svg(errors, threshold: float, labels) -> str:
    figure = new_figure(8.0, 3.4)
    axes = figure.add_subplot()
    positions = list(range(len(errors)))
    colours = ["#2b7bba" if error <= threshold else "#d7301f" for error in errors]
    bars = axes.bar(positions, errors, color=colours)
    for k, bar in enumerate(bars):
        bar.set_gid(f"view-error-bar-{k}")
    for k, text in enumerate(axes.bar_label(bars, fmt="%.2f", fontsize=6, padding=1)):
        text.set_gid(f"view-error-label-{k}")
    line = axes.axhline(threshold, color="#444444", linestyle="--", linewidth=1.2,
                        label=f"threshold {threshold:g} px")
    line.set_gid("view-error-threshold")
    axes.set_xticks(positions)
    axes.set_xticklabels(labels, rotation=60, ha="right", fontsize=7)
    axes.set_xlabel("picture")
    axes.set_ylabel("RMS reprojection error [px]")
    axes.set_ylim(0.0, 1.2 * max(max(errors, default=0.0), threshold, 1e-9))
    axes.legend(loc="upper right", fontsize=8)
    return to_svg(figure, "view-errors")
