"""Matplotlib figures drawn off-screen and turned into inline SVG."""

from __future__ import annotations

import io
import re


def new_figure(width_in: float = 8.0, height_in: float = 3.6):
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    return Figure(figsize=(width_in, height_in), layout="constrained")


def to_svg(figure, name: str) -> str:
    """The figure as an ``<svg>`` element; ``name`` keeps its internal ids apart from other figures on the page."""
    import matplotlib

    text = io.StringIO()
    with matplotlib.rc_context({"svg.fonttype": "none", "svg.hashsalt": name}):
        figure.savefig(text, format="svg")
    svg = text.getvalue()
    svg = svg[svg.index("<svg"):]  # without the XML declaration and doctype
    # Internal ids (clip paths, images) are prefixed so that several figures can share one page.
    return re.sub(r'(id="|url\(#|href="#)(?!view-|coverage-|residual|distortion|rotation-|consistency-|rig-|robot-correction-|held-out-|plan-|kinematic-)',
                  lambda m: m.group(1) + name + "-", svg)
