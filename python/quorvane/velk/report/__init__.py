"""The HTML calibration report: one module per plot and one that assembles the page."""
