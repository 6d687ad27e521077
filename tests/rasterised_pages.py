"""PDF pages rasterised for the printing tests."""

import shutil
import subprocess

import pytest


def rasterise(pdf, dpi, tmp_path):
    """The PDF's first page as a grey image at ``dpi``, by poppler's pdftoppm."""
    if shutil.which("pdftoppm") is None:
        pytest.skip("pdftoppm (Debian poppler-utils) is not installed; scripts/setup.sh installs it")
    import cv2

    subprocess.run(["pdftoppm", "-r", str(dpi), "-gray", "-singlefile", "-png", str(pdf), str(tmp_path / "page")],
                   check=True)
    return cv2.imread(str(tmp_path / "page.png"), cv2.IMREAD_GRAYSCALE)
