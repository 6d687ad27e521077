"""What markers a set of pictures shows, to name the likely cause when a marker board is not found in them.

A target file may name the wrong dictionary (a tag family other than the printed one) or the wrong ids
(a single tag printed with id 10, the file saying 0). Both leave the calibration without markers; the
pictures themselves say which: :func:`target_marker_hint` looks at a few of them for the board's own
markers and, when they are missing, for markers of every other family, decoded without error correction
so that one family's markers are not read as another's.
"""

from __future__ import annotations

from collections import Counter

import _velk

#: Pictures looked at for the markers of other dictionaries or ids.
SAMPLE_PICTURES = 6
#: The largest dictionary of each family (it holds the smaller ones' markers) and every other family.
FAMILIES = ("DICT_4X4_1000", "DICT_5X5_1000", "DICT_6X6_1000", "DICT_7X7_1000", "DICT_ARUCO_ORIGINAL",
            "DICT_APRILTAG_16H5", "DICT_APRILTAG_25H9", "DICT_APRILTAG_36H10", "DICT_APRILTAG_36H11",
            "DICT_ARUCO_MIP_36H12")


def sample(images) -> list:
    """Up to SAMPLE_PICTURES pictures spread over the list."""
    return list(images[:: max(1, len(images) // SAMPLE_PICTURES)][:SAMPLE_PICTURES])


def marker_ids(dictionary_name: str, images, exact: bool = False) -> list[list[int]]:
    """The ids of the markers of a dictionary in each picture; with ``exact`` only markers read without a bit
    error."""
    import cv2

    dictionary = cv2.aruco.getPredefinedDictionary(_velk.aruco_dictionary_id_map()[dictionary_name])
    parameters = cv2.aruco.DetectorParameters()
    if exact:
        parameters.errorCorrectionRate = 0.0
    detector = cv2.aruco.ArucoDetector(dictionary, parameters)
    found = []
    for image in images:
        grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY) if image.ndim == 3 else image
        _, ids, _ = detector.detectMarkers(grey)
        found.append([] if ids is None else [int(i) for i in ids.ravel()])
    return found


def _id_text(ids) -> str:
    ordered = sorted(ids)
    return ", ".join(str(i) for i in ordered[:8]) + (", ..." if len(ordered) > 8 else "")


def _board_ids(printed) -> set[int]:
    """The marker ids a board of the target file carries; empty when the kind does not say (ChArUco)."""
    if printed.kind != "aruco":
        return set()
    first = int(printed.first_marker_id or 0)
    return set(range(first, first + int(printed.markers_x) * int(printed.markers_y)))


def _other_family(printed, pictures) -> str | None:
    """The family (not the target file's) whose markers the pictures show most, with the ids, or None."""
    known = _velk.aruco_dictionary_id_map()
    seen = {name: marker_ids(name, pictures, exact=True) for name in FAMILIES
            if name in known and name != printed.dictionary}
    counts = {name: sum(len(ids) for ids in per_picture) for name, per_picture in seen.items()}
    best = max(counts, key=counts.get, default=None)
    if best is None or counts[best] == 0:
        return None
    ids = {i for per_picture in seen[best] for i in per_picture}
    shown = sum(1 for per_picture in seen[best] if per_picture)
    return f"{best} (ids {_id_text(ids)}, in {shown} of {len(pictures)} pictures looked at)"


def target_marker_hint(printed, images) -> str | None:
    """Before a calibration with a marker board: one sentence naming what the pictures show when the target file's
    dictionary or ids match none of their markers, with the fix; None when the board's markers are there (or the
    target has no markers). A few pictures are looked at first, all of them only when those show none."""
    if printed.kind not in ("charuco", "aruco") or not images:
        return None
    board = _board_ids(printed)

    def matches(per_picture) -> bool:
        return any(ids and (not board or board & set(ids)) for ids in per_picture)

    own = marker_ids(printed.dictionary, sample(images))
    if matches(own):
        return None
    own = marker_ids(printed.dictionary, images)
    if matches(own):
        return None
    pictures = sample(images)
    seen = Counter(i for per_picture in own for i in per_picture)
    if seen and board:
        first = min(seen)
        shown = sum(1 for per_picture in own if per_picture)
        return (f"markers of {printed.dictionary} with id {_id_text(seen)} in {shown} of {len(images)} pictures, but "
                f"the target file expects id {_id_text(board)}; write the board's first id into the target file "
                f"(velk board ... --first-id {first})")
    other = _other_family(printed, pictures)
    if other is None:
        return None
    return (f"no markers of dictionary {printed.dictionary} found in any picture; check the target's dictionary "
            f"(the pictures show markers of {other})")
