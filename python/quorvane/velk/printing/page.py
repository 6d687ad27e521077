"""A page holding one board at its exact size, with its quiet zone and a caption, written as PDF, PNG or SVG."""

from __future__ import annotations

import base64
import io
import re
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .. import safe_files
from ..target_file import PrintedTarget
from .board_image import METRES_PER_INCH, light_circles, pattern_image, pattern_size_m, quiet_zone_m

PAPER_SIZES_MM = {"A4": (210.0, 297.0), "A3": (297.0, 420.0), "letter": (215.9, 279.4), "A2": (420.0, 594.0),
                  "A1": (594.0, 841.0), "A0": (841.0, 1189.0)}
#: The sheets ``--paper auto`` tries, smallest first.
AUTO_PAPERS = ("A4", "A3", "A2", "A1", "A0")
FORMATS = ("pdf", "png", "svg")
#: Border most printers cannot print on, kept free on every side of the page.
PRINTER_MARGIN_MM = 6.0
CAPTION_LINE_MM = 5.0
CAPTION_LINES = 3  # and one more for the scale bar
SCALE_BAR_MM = 50.0


class PageError(ValueError):
    """A page that cannot be made: unknown paper or format, or a board too large for the paper."""


@dataclass(frozen=True)
class Paper:
    name: str
    width_mm: float
    height_mm: float


def parse_paper(text: str) -> Paper:
    """A4, A3, A2, A1, A0, letter (any case) or a custom size such as 400x300mm."""
    for name, (width, height) in PAPER_SIZES_MM.items():
        if text.lower() == name.lower():
            return Paper(name, width, height)
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*x\s*(\d+(?:\.\d+)?)\s*mm\s*", text, re.IGNORECASE)
    if not match or float(match.group(1)) <= 0 or float(match.group(2)) <= 0:
        raise PageError(f"board: unknown paper '{text}' (use auto, A4, A3, A2, A1, A0, letter or WxHmm such as 400x300mm)")
    return Paper(f"{match.group(1)}x{match.group(2)}mm", float(match.group(1)), float(match.group(2)))


def _content_mm(printed: PrintedTarget) -> tuple[float, float]:
    """Pattern with its quiet zone, and the caption under it, in millimetres."""
    width_m, height_m = pattern_size_m(printed)
    zone_m = quiet_zone_m(printed)
    return (width_m + 2 * zone_m) * 1000.0, (height_m + 2 * zone_m) * 1000.0 + (CAPTION_LINES + 1) * CAPTION_LINE_MM


def fit_orientation(printed: PrintedTarget, paper: Paper) -> tuple[float, float]:
    """Page width and height in mm, portrait or landscape, whichever holds the board; refuses a board too large."""
    need_w, need_h = _content_mm(printed)
    for width, height in ((paper.width_mm, paper.height_mm), (paper.height_mm, paper.width_mm)):
        if need_w <= width - 2 * PRINTER_MARGIN_MM and need_h <= height - 2 * PRINTER_MARGIN_MM:
            return width, height
    raise PageError(
        f"board: the board does not fit on {paper.name} ({paper.width_mm:g} x {paper.height_mm:g} mm): it needs "
        f"{need_w:.1f} x {need_h:.1f} mm with its quiet zone and caption, the paper leaves "
        f"{paper.width_mm - 2 * PRINTER_MARGIN_MM:g} x {paper.height_mm - 2 * PRINTER_MARGIN_MM:g} mm inside "
        f"{PRINTER_MARGIN_MM:g} mm margins; choose larger paper or smaller squares")


def smallest_paper(printed: PrintedTarget) -> Paper:
    """The smallest sheet of A4 to A0 that holds the board with its quiet zone and caption."""
    for name in AUTO_PAPERS:
        paper = parse_paper(name)
        try:
            fit_orientation(printed, paper)
        except PageError:
            continue
        return paper
    need_w, need_h = _content_mm(printed)
    raise PageError(f"board: the board does not fit on any sheet up to A0: it needs {need_w:.1f} x {need_h:.1f} mm "
                    "with its quiet zone and caption; choose smaller squares")


def choose_paper(text: str, printed: PrintedTarget) -> Paper:
    """--paper: ``auto`` for the smallest sheet that fits, else as parse_paper reads it."""
    return smallest_paper(printed) if text.strip().lower() == "auto" else parse_paper(text)


@dataclass(frozen=True)
class Layout:
    """Where the parts of a page go, in millimetres from the page's top left."""

    page_w: float
    page_h: float
    pattern_left: float
    pattern_top: float
    text_left: float
    caption_top: float


def page_layout(printed: PrintedTarget, paper: Paper) -> Layout:
    page_w, page_h = fit_orientation(printed, paper)
    pattern_w_mm, pattern_h_mm = (v * 1000.0 for v in pattern_size_m(printed))
    content_w, content_h = _content_mm(printed)
    zone = quiet_zone_m(printed) * 1000.0
    top = (page_h - content_h) / 2 + zone
    return Layout(page_w, page_h, (page_w - pattern_w_mm) / 2, top, (page_w - content_w) / 2,
                  top + pattern_h_mm + zone)


def vector_page(printed: PrintedTarget, paper: Paper, target_file_name: str):
    """The page as exact rectangles and text, for the PDF."""
    from .board_shapes import pattern_circles, pattern_rectangles
    from .vector_pdf import VectorPage

    layout = page_layout(printed, paper)
    page = VectorPage(layout.page_w, layout.page_h)
    page.add_rectangles(pattern_rectangles(printed), layout.pattern_left, layout.pattern_top)
    page.add_circles(pattern_circles(printed), light_circles(printed), layout.pattern_left, layout.pattern_top)
    size = 0.6 * CAPTION_LINE_MM
    for k, line in enumerate(caption_lines(printed, target_file_name)):
        page.add_text(layout.text_left, layout.caption_top + k * CAPTION_LINE_MM + size, size, line)
    bar_top = layout.caption_top + (CAPTION_LINES + 0.3) * CAPTION_LINE_MM
    page.add_rectangles([(layout.text_left, bar_top, SCALE_BAR_MM, 0.6)])
    return page


def caption_lines(printed: PrintedTarget, target_file_name: str) -> list[str]:
    if printed.kind == "chessboard":
        check = f"one square = {printed.square_size * 1000:.2f} mm"
    elif printed.kind == "charuco":
        check = f"one square = {printed.square_length * 1000:.2f} mm"
    elif printed.kind == "circle_grid":
        check = f"one spacing (centre to centre) = {printed.spacing * 1000:.2f} mm"
    else:
        check = f"one marker = {printed.marker_length * 1000:.2f} mm"
    return [printed.describe(),
            f"Print at 100 % (no fit to page); check: {check}; the bar below is {SCALE_BAR_MM:g} mm",
            f"Target file: {target_file_name}"]


def _font(pixels: int):
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=pixels)
    except (TypeError, OSError):  # Pillow without FreeType: the fixed bitmap font
        return ImageFont.load_default()


def render_page(printed: PrintedTarget, paper: Paper, dpi: float, target_file_name: str):
    """The whole page as a grey Pillow image at ``dpi``."""
    from PIL import Image, ImageDraw

    page_w_mm, page_h_mm = fit_orientation(printed, paper)
    px_per_mm = dpi / (METRES_PER_INCH * 1000.0)
    page = Image.new("L", (int(round(page_w_mm * px_per_mm)), int(round(page_h_mm * px_per_mm))), 255)
    pattern = Image.fromarray(np.ascontiguousarray(pattern_image(printed, dpi)))
    content_w_mm, content_h_mm = _content_mm(printed)
    zone_px = quiet_zone_m(printed) * 1000.0 * px_per_mm
    left = int(round((page.width - pattern.width) / 2))
    top = int(round((page_h_mm - content_h_mm) / 2 * px_per_mm + zone_px))
    page.paste(pattern, (left, top))

    draw = ImageDraw.Draw(page)
    line_px = CAPTION_LINE_MM * px_per_mm
    caption_top = top + pattern.height + zone_px
    font = _font(max(8, int(line_px * 0.6)))
    text_left = int(round((page_w_mm - content_w_mm) / 2 * px_per_mm))
    for k, line in enumerate(caption_lines(printed, target_file_name)):
        draw.text((text_left, caption_top + k * line_px), line, fill=0, font=font)
    bar_top = caption_top + (CAPTION_LINES + 0.3) * line_px
    bar_len = int(round(SCALE_BAR_MM * px_per_mm))
    draw.rectangle([text_left, bar_top, text_left + bar_len - 1, bar_top + max(1, 0.6 * px_per_mm)], fill=0)
    return page


def _svg_document(page, dpi: float) -> str:
    buffer = io.BytesIO()
    page.save(buffer, format="PNG", dpi=(dpi, dpi))
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    width_mm = page.width / dpi * METRES_PER_INCH * 1000.0
    height_mm = page.height / dpi * METRES_PER_INCH * 1000.0
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width_mm:.4f}mm" height="{height_mm:.4f}mm" '
            f'viewBox="0 0 {page.width} {page.height}">\n'
            f'<image width="{page.width}" height="{page.height}" style="image-rendering:pixelated" '
            f'href="data:image/png;base64,{data}"/>\n</svg>\n')


def output_format(path: Path) -> str:
    suffix = path.suffix.lower().lstrip(".")
    if suffix not in FORMATS:
        raise PageError(f"board: the output must end in .pdf, .png or .svg, got '{path.name}'")
    return suffix


def write_page(page, path: Path, dpi: float) -> None:
    """Writes a page of render_page (PNG, SVG) or of vector_page (PDF)."""
    kind = output_format(path)
    if kind == "pdf" and hasattr(page, "rectangles"):
        from .vector_pdf import pdf_bytes

        safe_files.write_bytes(path, pdf_bytes(page))
    elif kind == "svg":
        safe_files.write_text(path, _svg_document(page, dpi), encoding="ascii")
    else:  # a raster page still makes a valid, if pixelated, PDF
        encoded = io.BytesIO()
        page.save(encoded, **({"format": "PDF", "resolution": float(dpi)} if kind == "pdf"
                              else {"format": "PNG", "dpi": (dpi, dpi)}))
        safe_files.write_bytes(path, encoded.getvalue())
