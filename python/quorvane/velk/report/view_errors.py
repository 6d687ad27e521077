"""Per-view reprojection error bars with the error threshold, each bar labelled with its value."""

from __future__ import annotations

from .figure import new_figure, to_svg


def figure_svg(errors, threshold: float, labels) -> str:
    crowded = len(errors) > 24
    figure = new_figure(max(8.0, 0.2 * len(errors)), 3.6 if crowded else 3.4)
    axes = figure.add_subplot()
    positions = list(range(len(errors)))
    colours = ["#2b7bba" if error <= threshold else "#d7301f" for error in errors]
    bars = axes.bar(positions, errors, color=colours)
    for k, bar in enumerate(bars):
        bar.set_gid(f"view-error-bar-{k}")
    for k, text in enumerate(axes.bar_label(bars, fmt="%.2f", fontsize=5 if crowded else 6, padding=1,
                                            rotation=90 if crowded else 0)):
        text.set_gid(f"view-error-label-{k}")
    line = axes.axhline(threshold, color="#444444", linestyle="--", linewidth=1.2,
                        label=f"threshold {threshold:g} px")
    line.set_gid("view-error-threshold")
    axes.set_xticks(positions)
    axes.set_xticklabels(labels, rotation=60 if not crowded else 90, ha="right" if not crowded else "center",
                         fontsize=7 if not crowded else 5)
    axes.set_xlabel("picture")
    axes.set_ylabel("RMS reprojection error [px]")
    axes.set_ylim(0.0, 1.2 * max(max(errors, default=0.0), threshold, 1e-9))
    # Above the axes, clear of the bars.
    axes.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), ncol=3, fontsize=8, frameon=False)
    return to_svg(figure, "view-errors")
