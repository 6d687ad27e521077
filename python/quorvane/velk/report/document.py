"""One self-contained HTML page: inline SVG plots and text, no scripts, nothing fetched from the network."""

from __future__ import annotations

import datetime
import html
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

from .. import safe_files

_STYLE = """
body { font-family: sans-serif; margin: 2em auto; max-width: 1000px; color: #222; background: #fff; }
h1 { font-size: 1.5em; border-bottom: 2px solid #2b7bba; padding-bottom: .3em; }
h2 { font-size: 1.15em; margin-top: 2em; color: #1d4f7a; }
section p.note { color: #555; font-size: .9em; }
svg { max-width: 100%; height: auto; }
pre { background: #f6f6f6; padding: .8em; overflow-x: auto; font-size: .85em; }
table { border-collapse: collapse; font-size: .9em; }
td, th { border: 1px solid #ccc; padding: .25em .6em; text-align: right; }
td.name { text-align: left; font-weight: bold; }
td.detail { text-align: left; } table.checks th, table.plan th:last-child { text-align: left; }
td.pass { color: #1a7f37; font-weight: bold; } td.fail { color: #c62828; font-weight: bold; } td.info { color: #777; }
tr.sigma td { color: #555; } tr.saved-row td { background: #eef5fb; }
p.verdict { font-size: 1.15em; font-weight: bold; padding: .5em .8em; border-left: 6px solid #1a7f37; background: #f0f8f1; }
p.verdict.fail { border-left-color: #c62828; background: #fdf0f0; }
p.verdict.warn { border-left-color: #d98e04; background: #fff7e6; }
div.warnings { border: 1px solid #d98e04; background: #fffaf0; padding: .2em 1em; margin: .8em 0; }
div.warnings li { margin: .3em 0; }
p.verdict .code { font-weight: normal; color: #555; font-size: .8em; }
p.rms { font-size: 1.05em; }
div.gallery { display: flex; flex-wrap: wrap; gap: 8px; }
figure.thumb { margin: 0; width: 300px; font-size: .8em; text-align: center; }
figure.thumb img { width: 300px; border: 1px solid #ccc; }
"""


@dataclass
class Section:
    """A heading, an optional explanation and the section's body (HTML: an inline SVG, a table, a <pre>; or a
    function drawing it, called only when the page is written, so that a command can learn the sections' warnings
    without drawing a figure). ``warnings``: what the section found that the user must act on, which the summary
    lists at the top of the page and the console beneath the verdict; ``render``, when given, builds the body from
    every section's warnings (the summary's)."""

    key: str
    heading: str
    body: str | Callable[[], str]
    note: str = ""
    warnings: list = field(default_factory=list)
    render: Callable | None = None

    def body_html(self, warnings) -> str:
        if self.render is not None:
            return self.render(warnings)
        return self.body() if callable(self.body) else self.body


def lifted_warnings(sections) -> list[str]:
    """Every section's warnings in page order, each once."""
    found = []
    for section in sections:
        found += [w for w in section.warnings if w not in found]
    return found


def text_section(key: str, heading: str, text: str, note: str = "") -> Section:
    return Section(key, heading, f"<pre>{html.escape(text)}</pre>", note)


def render_document(title: str, sections) -> str:
    stamp = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    parts = [f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
             f"<title>{html.escape(title)}</title><style>{_STYLE}</style></head><body>",
             f"<h1>{html.escape(title)}</h1><p class=\"note\">Written {stamp} by velk.</p>"]
    sections = list(sections)
    warnings = lifted_warnings(sections)
    for section in sections:
        note = f'<p class="note">{html.escape(section.note)}</p>' if section.note else ""
        body = section.body_html(warnings)
        parts.append(f'<section id="{section.key}"><h2>{html.escape(section.heading)}</h2>{note}'
                     f"{body}</section>")
    parts.append("</body></html>\n")
    return "\n".join(parts)


def write_document(path: Path, title: str, sections) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    safe_files.write_text(path, render_document(title, sections))
    return path
