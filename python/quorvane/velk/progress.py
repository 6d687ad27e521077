"""Progress bars on standard error while images load and while the library detects targets.

Bars are shown only when standard error is a terminal and ``--quiet`` was not given;
they never change what is computed.
"""

from __future__ import annotations

import contextlib
import sys


class _BatchCounter:
    """Turns f(done, total) calls of several detection batches in a row (one per camera) into one running count."""

    def __init__(self, advance):
        self.advance = advance
        self.finished = 0  # images of the batches already completed
        self.done = 0
        self.total = 0

    def __call__(self, done: int, total: int) -> None:
        if done < self.done:  # a new batch began
            self.finished += self.total
        self.done, self.total = done, total
        self.advance(self.finished + done)


class Progress:
    """Makes progress bars, or nothing at all when disabled."""

    def __init__(self, enabled: bool):
        self.enabled = enabled

    @classmethod
    def for_stderr(cls, quiet: bool) -> Progress:
        stream = sys.stderr
        return cls(not quiet and hasattr(stream, "isatty") and stream.isatty())

    @contextlib.contextmanager
    def bar(self, total: int, description: str):
        """Yields ``advance(done)``: moves the bar to ``done`` items of ``total``."""
        if not self.enabled:
            yield lambda done: None
            return
        from tqdm import tqdm

        with tqdm(total=total, desc=description, unit="image", file=sys.stderr, leave=False,
                  mininterval=0.0, miniters=1) as bar:
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
            options.progress_callback = _BatchCounter(advance)
            try:
                yield options
            finally:
                options.progress_callback = None
