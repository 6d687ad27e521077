"""One module per ``velk`` command; each adds its subparser and the function that runs it."""
