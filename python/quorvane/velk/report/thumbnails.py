"""A small picture of every view with its detected corners drawn in, as inline JPEG images."""

from __future__ import annotations

import base64
import html

import numpy as np

#: Width of a thumbnail in pixels.
THUMBNAIL_WIDTH = 300


def thumbnail_jpeg(image, corners, width: int = THUMBNAIL_WIDTH) -> bytes:
    """The picture shrunk to ``width`` with each detected corner (pixels of the full picture) circled."""
    import cv2

    height = max(1, round(image.shape[0] * width / image.shape[1]))
    small = cv2.resize(image, (width, height), interpolation=cv2.INTER_AREA)
    if small.ndim == 2:
        small = cv2.cvtColor(small, cv2.COLOR_GRAY2BGR)
    shrink = width / image.shape[1]
    if corners is not None:
        for x, y in np.asarray(corners, np.float64).reshape(-1, 2) * shrink:
            centre = (int(round(x * 4)), int(round(y * 4)))
            cv2.circle(small, centre, 14, (0, 0, 0), -1, cv2.LINE_AA, shift=2)
            cv2.circle(small, centre, 10, (60, 230, 60), -1, cv2.LINE_AA, shift=2)
    ok, encoded = cv2.imencode(".jpg", small, [cv2.IMWRITE_JPEG_QUALITY, 80])
    return encoded.tobytes() if ok else b""


def gallery_html(images, corners, captions) -> str:
    """One figure per picture: corners[k] is None where the target was not found (caption says why)."""
    figures = []
    for k, (image, points, caption) in enumerate(zip(images, corners, captions)):
        data = base64.b64encode(thumbnail_jpeg(image, points)).decode("ascii")
        count = 0 if points is None else len(np.asarray(points).reshape(-1, 2))
        figures.append(f'<figure class="thumb" id="thumbnail-{k}"><img alt="{html.escape(caption)}" '
                       f'src="data:image/jpeg;base64,{data}"><figcaption>{html.escape(caption)}'
                       f"<br>{count} corners</figcaption></figure>")
    return f'<div class="gallery">{"".join(figures)}</div>'
