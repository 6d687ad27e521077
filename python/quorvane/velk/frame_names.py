"""Naming the pictures of a run in the library's text by their capture, not by their place in a list.

The library numbers pictures by their position in the list it was given ("image 3", the
held-out "frame 3") and views by their position among the views a calibration used
("Frame 2:" of the consistency table, "Outlier views (kept): 0", the doubtful robot poses).
When pictures are missing or rejected these positions drift from the capture numbers
of the files. :class:`FrameNames` rewrites such a text so that every number is the
capture index of its picture followed by the picture's file name: "Frame 8 (image_8.png)".
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field

_CAPTURE_NUMBER = re.compile(r"image_(\d+)\.\w+")
# "in image 3", "for image 3", "for chessboard image 3": a position in the list of pictures given.
_INPUT_IMAGE = re.compile(r"\b((?:in|for) (?:chessboard )?image )(\d+)\b")
# The held-out worst views: "frame 3 (2.10 px)", positions in the list of pictures given.
_WORST_VIEWS = re.compile(r"(Worst views:)(.*)$")
_INPUT_FRAME = re.compile(r"\bframe (\d+)\b")
# "  Frame 2: trans=...": a position among the views used.
_USED_FRAME = re.compile(r"^(\s*Frame )(\d+)(:)")
# "Outlier views (kept): 0, 4", the doubtful robot poses "(kept): 3 (1.20 mm, 0.100 deg)".
_KEPT_LIST = re.compile(r"(\(kept\): )(.*)$")
# "cam_1/frame 3" of a rig: a position in the capture order.
_RIG_FRAME = re.compile(r"\b(cam_\d+/frame )(\d+)\b")
_LIST_NUMBER = re.compile(r"(^|, )(\d+)(?![\d.])")


def capture_index(name: str, position: int) -> int:
    """The k of image_<k>.png, else the picture's position in the list given."""
    match = _CAPTURE_NUMBER.fullmatch(name)
    return int(match.group(1)) if match else position


@dataclass
class FrameNames:
    """The pictures given to a calibration (``names``, in the order given) and the positions among them of
    the views the calibration used (``used``; the result's ``image_indices``)."""

    names: list
    used: list = field(default_factory=list)

    def label(self, position: int) -> str:
        """"8 (image_8.png)" for the picture at ``position`` of the list given."""
        if not 0 <= position < len(self.names):
            return str(position)
        name = self.names[position]
        return f"{capture_index(name, position)} ({name})"

    def used_label(self, view: int) -> str:
        if not 0 <= view < len(self.used):
            return str(view)
        return self.label(int(self.used[view]))

    def labels_of_used(self) -> list[str]:
        return [self.used_label(view) for view in range(len(self.used))]

    def _line(self, line: str) -> str:
        line = _INPUT_IMAGE.sub(lambda m: m.group(1) + self.label(int(m.group(2))), line)
        line = _RIG_FRAME.sub(lambda m: m.group(1) + self.label(int(m.group(2))), line)
        worst = _WORST_VIEWS.search(line)
        if worst:
            views = _INPUT_FRAME.sub(lambda m: "frame " + self.label(int(m.group(1))), worst.group(2))
            line = line[:worst.start(2)] + views
        line = _USED_FRAME.sub(lambda m: m.group(1) + self.used_label(int(m.group(2))) + m.group(3), line)
        kept = _KEPT_LIST.search(line)
        if kept and self.used:
            views = _LIST_NUMBER.sub(lambda m: m.group(1) + self.used_label(int(m.group(2))), kept.group(2))
            line = line[:kept.start(2)] + views
        return line

    def rename(self, text: str) -> str:
        """``text`` with every picture and view number replaced by its capture index and file name."""
        return "\n".join(self._line(line) for line in text.split("\n"))
