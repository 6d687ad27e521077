"""A one-page PDF drawn with the PDF's own path operators: the board's black parts are filled rectangles with
their edges at exact millimetre positions, so the page is sharp at any zoom and prints at any resolution."""

from __future__ import annotations

import zlib
from dataclasses import dataclass, field

POINTS_PER_MM = 72.0 / 25.4


@dataclass
class VectorPage:
    """A page in millimetres, origin at the top left and y down, as the raster page is laid out."""

    width_mm: float
    height_mm: float
    rectangles: list = field(default_factory=list)  # (left, top, width, height) in mm, filled black
    texts: list = field(default_factory=list)  # (left, baseline, size, text) in mm
    circles: list = field(default_factory=list)  # (centre x, centre y, radius, white) in mm, over the rectangles

    def add_rectangles(self, rectangles, left: float = 0.0, top: float = 0.0) -> None:
        self.rectangles += [(left + x, top + y, w, h) for x, y, w, h in rectangles]

    def add_circles(self, circles, white: bool, left: float = 0.0, top: float = 0.0) -> None:
        self.circles += [(left + x, top + y, r, white) for x, y, r in circles]

    def add_text(self, left: float, baseline: float, size_mm: float, text: str) -> None:
        self.texts.append((left, baseline, size_mm, text))


def _number(value: float) -> str:
    text = f"{value:.6f}".rstrip("0").rstrip(".")
    return "0" if text in ("-0", "") else text


def _pdf_string(text: str) -> str:
    """A literal string of the standard Latin-1 font; characters outside it become '?'."""
    encoded = text.encode("latin-1", "replace").decode("latin-1")
    return "(" + encoded.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)") + ")"


# Distance of the control points from the ends of a quarter circle drawn as one cubic Bezier curve, in radii.
_QUARTER_ARC = 0.5522847498


def _circle_path(x: float, y: float, r: float) -> list[str]:
    """A closed path of four Bezier quarters around (x, y)."""
    k = _QUARTER_ARC * r
    n = _number
    return [f"{n(x + r)} {n(y)} m",
            f"{n(x + r)} {n(y + k)} {n(x + k)} {n(y + r)} {n(x)} {n(y + r)} c",
            f"{n(x - k)} {n(y + r)} {n(x - r)} {n(y + k)} {n(x - r)} {n(y)} c",
            f"{n(x - r)} {n(y - k)} {n(x - k)} {n(y - r)} {n(x)} {n(y - r)} c",
            f"{n(x + k)} {n(y - r)} {n(x + r)} {n(y - k)} {n(x + r)} {n(y)} c", "h"]


def _circle_fills(page: VectorPage) -> list[str]:
    """The circles, black ones then white ones, each colour one filled path."""
    lines = []
    for white, grey in ((False, "0 g"), (True, "1 g")):
        paths = [line for x, y, r, w in page.circles if w == white for line in _circle_path(x, y, r)]
        if paths:
            lines += [grey, *paths, "f"]
    return lines


def content_stream(page: VectorPage) -> bytes:
    height_pt = page.height_mm * POINTS_PER_MM
    scale = _number(POINTS_PER_MM)
    lines = ["q", f"{scale} 0 0 -{scale} 0 {_number(height_pt)} cm", "0 g"]  # mm, y down, black fill
    # One path holds every rectangle and is filled once: touching rectangles leave no seam between them.
    lines += [f"{_number(x)} {_number(y)} {_number(w)} {_number(h)} re" for x, y, w, h in page.rectangles]
    if page.rectangles:
        lines.append("f")
    lines += _circle_fills(page)
    lines.append("Q")
    for left, baseline, size, text in page.texts:
        lines.append(f"BT /F1 {_number(size * POINTS_PER_MM)} Tf 1 0 0 1 {_number(left * POINTS_PER_MM)} "
                     f"{_number(height_pt - baseline * POINTS_PER_MM)} Tm {_pdf_string(text)} Tj ET")
    return ("\n".join(lines) + "\n").encode("latin-1")


def pdf_bytes(page: VectorPage) -> bytes:
    stream = zlib.compress(content_stream(page))
    width, height = _number(page.width_mm * POINTS_PER_MM), _number(page.height_mm * POINTS_PER_MM)
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        (f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 {width} {height}] /Contents 4 0 R "
         f"/Resources << /Font << /F1 5 0 R >> >> >>").encode("ascii"),
        f"<< /Length {len(stream)} /Filter /FlateDecode >>\nstream\n".encode("ascii") + stream + b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
    ]
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(len(out))
        out += f"{number} 0 obj\n".encode("ascii") + body + b"\nendobj\n"
    xref = len(out)
    out += f"xref\n0 {len(objects) + 1}\n0000000000 65535 f \n".encode("ascii")
    out += b"".join(f"{offset:010d} 00000 n \n".encode("ascii") for offset in offsets)
    out += f"trailer\n<< /Size {len(objects) + 1} /Root 1 0 R >>\nstartxref\n{xref}\n%%EOF\n".encode("ascii")
    return bytes(out)
