"""Printable calibration boards: the pattern drawn at an exact physical size on a page."""
