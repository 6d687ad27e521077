"""The arm's joint readings of a ROS recording, by joint name over time, and their values at any time stamp.

A ``sensor_msgs/JointState`` topic often carries partial messages: several controllers publish their own
joints (an arm, a wrist, a gripper), each in its own order and at its own rate. :class:`JointReadings`
collects every message's positions into one time series per joint name, so the order and grouping of the
messages do not matter. The value of a joint at a time is interpolated linearly between its two readings
around that time, and only when both lie within half a window of it: a reading further away says too
little about the joint at that time. Nothing is extrapolated.

The table's column order is that of the first message naming every joint of the topic, or, when no
message names them all, the order in which the joints first appear.
"""

from __future__ import annotations

import math

import numpy as np

JOINT_STATE_TYPE = "sensor_msgs/msg/JointState"


class JointReadingsError(ValueError):
    """Joint state messages that cannot be read as positions by name."""


class JointReadings:
    """Every joint's position readings over time (ns), by joint name."""

    def __init__(self, source: str = "the joint states"):
        self.source = source  # named in errors, e.g. the topic
        self._samples: dict[str, list[tuple[int, float]]] = {}
        self._name_lists: list[tuple[str, ...]] = []  # each distinct message name list, in order of first appearance
        self._seen_lists: set[tuple[str, ...]] = set()
        self._series: dict[str, tuple[np.ndarray, np.ndarray]] | None = None
        self._names: list[str] | None = None

    def add(self, stamp_ns: int, names, positions) -> None:
        """One message's positions; a message without positions (only velocities or efforts) adds nothing, a
        position that is not finite is left out of its joint's series."""
        names, positions = [str(name) for name in names], np.asarray(positions, dtype=np.float64).reshape(-1)
        if not len(positions):
            return
        if len(positions) != len(names):
            raise JointReadingsError(f"a message on {self.source} at {stamp_ns / 1e9:.6f} s has {len(names)} joint "
                                     f"names and {len(positions)} positions")
        if len(set(names)) != len(names):
            raise JointReadingsError(f"a message on {self.source} at {stamp_ns / 1e9:.6f} s names a joint twice: "
                                     f"{', '.join(names)}")
        key = tuple(names)
        if key not in self._seen_lists:
            self._seen_lists.add(key)
            self._name_lists.append(key)
        for name, value in zip(names, positions):
            if math.isfinite(value):
                self._samples.setdefault(name, []).append((int(stamp_ns), float(value)))
        self._series = self._names = None

    @property
    def names(self) -> list[str]:
        """The joints, in the order of the first message naming them all (else in order of first appearance)."""
        if self._names is None:
            self._names = self._order()
        return self._names

    def _order(self) -> list[str]:
        every = set(self._samples)
        complete = next((names for names in self._name_lists if set(names) >= every), None)
        if complete is not None:
            return [name for name in complete if name in every]
        order = []
        for names in self._name_lists:
            order += [name for name in names if name in every and name not in order]
        return order

    def _frozen(self) -> dict[str, tuple[np.ndarray, np.ndarray]]:
        if self._series is None:
            self._series = {}
            for name, samples in self._samples.items():
                stamps = np.array([s for s, _ in samples], dtype=np.int64)
                values = np.array([v for _, v in samples], dtype=np.float64)
                order = np.argsort(stamps, kind="stable")
                self._series[name] = (stamps[order], values[order])
        return self._series

    def at(self, stamp_ns: int, half_window_ns: int) -> tuple[np.ndarray | None, list[str]]:
        """(values in :attr:`names` order, []) at the time, or (None, the joints without a reading at or before
        it and one at or after it, both within ``half_window_ns``)."""
        values, missing = [], []
        for name in self.names:
            value = _interpolated(*self._frozen()[name], int(stamp_ns), int(half_window_ns))
            if value is None:
                missing.append(name)
            values.append(value)
        return (None, missing) if missing else (np.array(values, dtype=np.float64), [])

    def motion(self, stamp_ns: int, half_window_ns: int, values: np.ndarray) -> tuple[float, str]:
        """(the largest change, its joint): how far any joint's readings within half a window of the time
        stray from its ``values`` there (:meth:`at`), in radians or metres."""
        largest, joint = 0.0, ""
        for name, value in zip(self.names, values):
            stamps, readings = self._frozen()[name]
            inside = readings[np.searchsorted(stamps, stamp_ns - half_window_ns, side="left"):
                              np.searchsorted(stamps, stamp_ns + half_window_ns, side="right")]
            change = float(np.max(np.abs(inside - value))) if len(inside) else 0.0
            if change > largest:
                largest, joint = change, name
        return largest, joint


def _interpolated(stamps: np.ndarray, values: np.ndarray, stamp: int, half_window: int) -> float | None:
    """The linear interpolation between the readings just before and just after the time (a reading at the time
    itself is taken as it is), or None when either is missing or further than half the window away."""
    upper = int(np.searchsorted(stamps, stamp, side="left"))
    if upper < len(stamps) and stamps[upper] == stamp:
        return float(values[upper])
    lower = upper - 1
    if lower < 0 or upper >= len(stamps) or stamp - stamps[lower] > half_window or stamps[upper] - stamp > half_window:
        return None
    u = (stamp - int(stamps[lower])) / float(int(stamps[upper]) - int(stamps[lower]))
    return float(values[lower] + u * (values[upper] - values[lower]))


def joint_motion_limit(still_translation_mm: float, still_rotation_deg: float) -> float:
    """The largest change of a joint reading (radians or metres) over the still window of a still picture.

    A message does not tell a revolute joint from a prismatic one, so one limit serves both: a joint turning by
    ``a`` radians moves a point a metre away by ``a`` metres, and the limit is the smaller of the flange's two,
    ``still_rotation_deg`` in radians and ``still_translation_mm`` in metres.
    """
    return min(math.radians(still_rotation_deg), still_translation_mm / 1000.0)
