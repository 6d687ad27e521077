"""Each picture's error when predicted from a calibration without it, beside its residual in the calibration."""

from __future__ import annotations

from .figure import new_figure, to_svg


def figure_svg(frames, held_out, fitted, median: float, worst, labels=None) -> str:
    """labels: one per bar pair (default "frame N"); a rig names camera and frame."""
    labels = list(labels) if labels is not None else [f"frame {f}" for f in frames]
    figure = new_figure(8.0, 3.4)
    axes = figure.add_subplot()
    positions = list(range(len(frames)))
    width = 0.4
    held = axes.bar([p - width / 2 for p in positions], held_out, width, color="#d95f0e", label="held out")
    fit = axes.bar([p + width / 2 for p in positions], fitted, width, color="#2b7bba", label="fitted")
    for k, (a, b) in enumerate(zip(held, fit)):
        a.set_gid(f"held-out-bar-{k}")
        b.set_gid(f"held-out-fitted-{k}")
    line = axes.axhline(median, color="#444444", linestyle="--", linewidth=1.2,
                        label=f"median held out {median:.2f} px")
    line.set_gid("held-out-median")
    for k, frame in enumerate(frames):
        if frame in worst:
            gid = f"held-out-worst-{frame}" if labels[k] == f"frame {frame}" else f"held-out-worst-{k}"
            axes.annotate(labels[k], (positions[k] - width / 2, held_out[k]), textcoords="offset points",
                          xytext=(0, 3), ha="center", fontsize=7, gid=gid)
    axes.set_xticks(positions)
    axes.set_xticklabels(labels, rotation=60, ha="right", fontsize=7)
    axes.set_ylabel("RMS corner error [px]")
    axes.set_ylim(0.0, 1.25 * max(max(held_out, default=0.0), max(fitted, default=0.0), 1e-9))
    # Above the axes, clear of the bars.
    axes.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), ncol=3, fontsize=8, frameon=False)
    return to_svg(figure, "held-out")
