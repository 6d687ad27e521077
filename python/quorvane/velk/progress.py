"""Progress bars on standard error while images load and while the library detects targets.

Bars are shown only when standard error is a terminal and ``--quiet`` was not given;
they never change what is computed.
"""

from __future__ import annotations

import contextlib
import sys


class Progress:
    """Makes progress bars, or nothing at all when disabled."""

    def __init__(self, enabled: bool):
        self.enabled = enabled

    @classmethod
    def for_stderr(cls, quiet: bool) -> "Progress":
        stream = sys.stderr
        return cls(not quiet and hasattr(stream, "isatty") and stream.isatty())

    @contextlib.contextmanager
    def bar(self, total: int, description: str):
        """Yields ``advance(done)``: moves the bar to ``done`` items of ``total``."""
        if not self.enabled:
            yield lambda done: None
            return
        from tqdm import tqdm

        with tqdm(total=total, desc=description, unit="image", file=sys.stderr, leave=False) as bar:
            def advance(done: int) -> None:
                bar.update(done - bar.n)

            yield advance

    @contextlib.contextmanager
    def detection(self, options, total: int, description: str = "Detecting targets"):
        """Follows the library's per-image detection progress on ``options`` for the duration of the block.

        Builds of the core without a detection progress hook run unchanged, without a bar.
        """
        if not self.enabled or not hasattr(options, "progress_callback"):
            yield options
            return
        with self.bar(total, description) as advance:
            options.progress_callback = lambda done, _total: advance(done)
            try:
                yield options
            finally:
                options.progress_callback = None
