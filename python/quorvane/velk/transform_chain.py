"""Time-stamped transforms between named frames, and the pose of one frame in another at any time.

A recording of a robot holds a tree of frames: every transform names a parent frame, a child
frame and ``parent_T_child`` (a translation in metres and a unit quaternion). Static transforms
hold for all time; the others are samples in time, and the transform between two samples is
interpolated linearly in translation and by slerp in rotation, as a transform listener would.
Nothing is extrapolated: before the first or after the last sample of a link there is no pose.

:class:`TransformBuffer` collects the transforms; :meth:`TransformBuffer.chain` finds the links
between two frames (up from the first to the frames' common ancestor, down to the second) and
returns a :class:`TransformChain` that gives ``base_T_flange`` at an array of times at once.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .geometry import rotation_from_quaternions, slerp


class ChainError(ValueError):
    """Two frames that no sequence of recorded transforms connects, or a frame that is not recorded."""


@dataclass
class _Link:
    """parent_T_child over time: one sample for a static link, samples in time order for a moving one."""

    parent: str
    static: bool
    stamps: list = field(default_factory=list)  # ns
    translations: list = field(default_factory=list)
    quaternions: list = field(default_factory=list)  # x, y, z, w
    # Arrays built by freeze().
    times: np.ndarray | None = None
    t: np.ndarray | None = None
    q: np.ndarray | None = None

    def freeze(self) -> None:
        order = np.argsort(np.asarray(self.stamps, dtype=np.int64), kind="stable")
        self.times = np.asarray(self.stamps, dtype=np.int64)[order]
        self.t = np.asarray(self.translations, dtype=np.float64)[order]
        q = np.asarray(self.quaternions, dtype=np.float64)[order]
        q /= np.linalg.norm(q, axis=1, keepdims=True)
        self.q = q
        if self.static:
            # A static link holds its latest value for all time.
            self.times, self.t, self.q = self.times[-1:], self.t[-1:], self.q[-1:]

    def at(self, times: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(valid, rotations (n,3,3), translations (n,3)) at times (ns); valid is False outside the samples."""
        n = len(times)
        if self.static:
            return (np.ones(n, bool), np.broadcast_to(rotation_from_quaternions(self.q, "xyzw")[0], (n, 3, 3)),
                    np.broadcast_to(self.t[0], (n, 3)))
        valid = (times >= self.times[0]) & (times <= self.times[-1])
        # Sample k-1 and k bracket each time; a time equal to a sample uses that sample exactly.
        upper = np.clip(np.searchsorted(self.times, times, side="left"), 1, max(len(self.times) - 1, 1))
        lower = upper - 1
        if len(self.times) == 1:
            upper = lower = np.zeros(n, dtype=np.intp)
        span = (self.times[upper] - self.times[lower]).astype(np.float64)
        u = np.where(span > 0, (times - self.times[lower]) / np.where(span > 0, span, 1.0), 0.0)
        u = np.clip(u, 0.0, 1.0)
        translation = self.t[lower] + u[:, None] * (self.t[upper] - self.t[lower])
        rotation = rotation_from_quaternions(slerp(self.q[lower], self.q[upper], u), "xyzw")
        return valid, rotation, translation


@dataclass
class _Step:
    child: str
    link: _Link
    inverse: bool  # walked from child up to parent: multiply by child_T_parent


class TransformChain:
    """``base_T_flange`` composed from every link between the two frames."""

    def __init__(self, base: str, flange: str, steps: list[_Step]):
        self.base, self.flange, self._steps = base, flange, steps

    @property
    def frames(self) -> list[str]:
        """The frames from base to flange."""
        names = [self.base]
        for step in self._steps:
            names.append(step.link.parent if step.inverse else step.child)
        return names

    @property
    def moving_stamps(self) -> np.ndarray:
        """Every sample time (ns) of the chain's moving links, sorted."""
        stamps = [step.link.times for step in self._steps if not step.link.static]
        return np.unique(np.concatenate(stamps)) if stamps else np.zeros(0, dtype=np.int64)

    def at(self, times) -> tuple[np.ndarray, np.ndarray]:
        """(valid (n,), base_T_flange (n,4,4)) at times in ns; a pose is valid when every link covers its time."""
        times = np.asarray(times, dtype=np.int64).reshape(-1)
        n = len(times)
        valid = np.ones(n, bool)
        rotation = np.broadcast_to(np.eye(3), (n, 3, 3)).copy()
        translation = np.zeros((n, 3))
        for step in self._steps:
            ok, r, t = step.link.at(times)
            valid &= ok
            if step.inverse:  # child_T_parent = (R^T, -R^T t)
                r = np.transpose(r, (0, 2, 1))
                t = -np.einsum("nij,nj->ni", r, t)
            translation = translation + np.einsum("nij,nj->ni", rotation, t)
            rotation = rotation @ r
        poses = np.zeros((n, 4, 4))
        poses[:, :3, :3], poses[:, :3, 3], poses[:, 3, 3] = rotation, translation, 1.0
        return valid, poses


class TransformBuffer:
    """Every transform of a recording, by child frame (each frame has one parent, as in a transform tree)."""

    def __init__(self, source: str = "the transforms"):
        self.source = source  # named in errors, e.g. "/tf and /tf_static"
        self._links: dict[str, _Link] = {}
        self._frozen = False

    def add(self, parent: str, child: str, stamp_ns: int, translation, quaternion_xyzw, static: bool) -> None:
        parent, child = parent.lstrip("/"), child.lstrip("/")
        link = self._links.get(child)
        if link is None:
            link = self._links[child] = _Link(parent, static)
        elif link.parent != parent:
            raise ChainError(f"frame '{child}' has two parents in {self.source}: '{link.parent}' and '{parent}'")
        elif link.static and not static:
            # Published both ways: the moving samples describe it over time.
            link.static, link.stamps, link.translations, link.quaternions = False, [], [], []
        elif static and not link.static:
            return
        link.stamps.append(int(stamp_ns))
        link.translations.append(translation)
        link.quaternions.append(quaternion_xyzw)
        self._frozen = False

    @property
    def frames(self) -> list[str]:
        names = set(self._links)
        names.update(link.parent for link in self._links.values())
        return sorted(names)

    def _ancestry(self, frame: str) -> list[str]:
        """frame, its parent, its parent's parent, ... up to a frame without a parent."""
        path = [frame]
        while path[-1] in self._links:
            parent = self._links[path[-1]].parent
            if parent in path:
                raise ChainError(f"the transforms in {self.source} form a loop through '{parent}'")
            path.append(parent)
        return path

    def _linked_to(self, root: str) -> list[str]:
        """Every frame whose ancestry ends at root."""
        return [frame for frame in self.frames if self._ancestry(frame)[-1] == root]

    def chain(self, base: str, flange: str) -> TransformChain:
        base, flange = base.lstrip("/"), flange.lstrip("/")
        frames = self.frames
        for role, name in (("base", base), ("flange", flange)):
            if name not in frames:
                listed = ", ".join(frames) if frames else "none"
                raise ChainError(f"{role} frame '{name}' is not in {self.source}; its frames: {listed}")
        if not self._frozen:
            for link in self._links.values():
                link.freeze()
            self._frozen = True
        up, down = self._ancestry(base), self._ancestry(flange)
        common = next((frame for frame in up if frame in down), None)
        if common is None:
            lonely = down[-1]
            reached = self._linked_to(up[-1])
            raise ChainError(
                f"no chain of transforms in {self.source} connects '{base}' to '{flange}': "
                f"'{flange}' is linked up to '{lonely}' ({' <- '.join(reversed(down))}), which has no parent, and "
                f"'{base}' only to {', '.join(reached)}; the missing link is a transform between '{lonely}' "
                f"and one of those frames")
        steps = [_Step(frame, self._links[frame], True) for frame in up[:up.index(common)]]
        steps += [_Step(frame, self._links[frame], False) for frame in reversed(down[:down.index(common)])]
        return TransformChain(base, flange, steps)
