"""A hand-eye dataset from a ROS recording: the camera's pictures and the flange pose at each one.

A bag (ROS 1 ``.bag`` file, or ROS 2 folder with ``metadata.yaml`` over sqlite3 or mcap) is read
with the pure-Python ``rosbags`` package; no ROS installation is needed. The flange pose comes from
the transform tree (``/tf`` and ``/tf_static``, every link between the base and flange frames
composed) or from a ``geometry_msgs/PoseStamped`` topic, and is interpolated to the time stamp of
each picture (linear in translation, slerp in rotation; see :mod:`quorvane.velk.transform_chain`).

Which pictures are kept:

* by default those taken while the robot stood still: over a window of ``still_window_s`` centred on
  the picture's time stamp, the flange moved less than ``still_translation_mm`` and turned less than
  ``still_rotation_deg`` from its pose at that time (the window covers the exposure and a small clock
  offset between camera and robot; pictures taken while moving are blurred and badly timed);
* with ``at_times`` (seconds, the clock of the message time stamps), the picture nearest to each of
  those times, within ``at_tolerance_s``, whether the robot was still or not.

With ``joint_topic`` (a ``sensor_msgs/JointState`` topic) the arm's joint readings are recorded too: each
joint's readings, by name, are interpolated linearly to the picture's time stamp from the two around it
(:mod:`quorvane.velk.bag_joints`). A picture is then kept only when every joint has a reading before and one
after its time stamp within half of ``still_window_s``, and, when kept for standing still, when no joint's
readings over that window stray from its value at the time stamp by the limit of
:func:`~quorvane.velk.bag_joints.joint_motion_limit`. The readings of the kept pictures go into ``joints.csv``
(:mod:`quorvane.velk.joint_table`), row k for ``image_<k>``.

The pictures are converted to 8-bit BGR (:mod:`quorvane.velk.bag_pictures`) and written as
``image_<k>.png`` while the bag is read, with the poses in ``calibration_data.npz`` at the end: the
folder ``velk poses import`` and the library's dataset loaders use. The returned
:class:`BagImportSummary` tells how many pictures were read, kept and skipped, and why.
"""

from __future__ import annotations

import collections
import math
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import _velk

from .bag_joints import JOINT_STATE_TYPE, JointReadings, JointReadingsError, joint_motion_limit
from .bag_pictures import IMAGE_TYPES, PictureError, message_to_bgr
from .datasets import POSE_FILE, capture_paths, save_robot_poses
from .geometry import rotation_angles_deg
from .joint_table import JOINT_FILE, write_joint_table
from .transform_chain import ChainError, TransformBuffer, TransformChain

TF_TYPE = "tf2_msgs/msg/TFMessage"
POSE_TYPE = "geometry_msgs/msg/PoseStamped"

#: Why a picture was not kept.
SKIP_MOVING = "robot moving"
SKIP_NO_POSE = "no flange pose at its time (outside the recorded transforms)"
SKIP_WINDOW = "the transforms do not cover its still window"
SKIP_NOT_REQUESTED = "not the nearest picture to a requested time"
SKIP_UNREADABLE = "unreadable picture"
SKIP_NO_JOINTS = "no joint readings just before and after its time within the window"
SKIP_JOINTS_MOVING = "arm joints moving"

_NS = 1_000_000_000


class BagImportError(ValueError):
    """A bag that cannot be read, or names (topics, frames) that are not in it."""


class NothingKeptError(BagImportError):
    """No picture of the bag was kept; ``summary`` tells why each was skipped."""

    def __init__(self, message: str, summary: BagImportSummary):
        super().__init__(message)
        self.summary = summary


@dataclass
class PictureRecord:
    """One picture of the image topic: its time, and the file it became or why it was skipped."""

    position: int  # on the image topic, from 0
    stamp_ns: int
    file: str | None = None  # image_<k>.png when kept
    reason: str | None = None  # one of the SKIP_ texts when skipped
    detail: str = ""
    motion_mm: float | None = None  # flange motion over the still window, when the transforms cover it
    motion_deg: float | None = None
    joint_motion: float | None = None  # the largest change of a joint reading over the still window (rad or m)

    @property
    def kept(self) -> bool:
        """Whether the picture went into the dataset."""
        return self.file is not None


@dataclass
class BagImportSummary:
    """What an import read, kept and skipped: one :class:`PictureRecord` per picture of the image topic."""

    bag: Path
    output_dir: Path
    image_topic: str
    pose_source: str  # the transform topics or the pose topic
    chain_frames: list
    pictures: list = field(default_factory=list)
    unmatched_times: list = field(default_factory=list)  # requested times (s) without a picture near them
    stamps_from_bag_time: int = 0  # pictures without a header stamp, timed by their recording time
    criterion: str = ""
    robot_T_tcp_list: list = field(default_factory=list)  # base_T_flange of each kept picture, in file order
    joint_topic: str | None = None  # the JointState topic, when the joint readings are recorded
    joint_names: list = field(default_factory=list)  # the columns of joint_values
    joint_values: list = field(default_factory=list)  # each kept picture's joint readings (rad, m), in file order
    joint_file: Path | None = None  # the joint table written

    @property
    def read(self) -> int:
        """How many pictures the image topic holds."""
        return len(self.pictures)

    @property
    def kept(self) -> list[PictureRecord]:
        """The pictures written, in file order."""
        return [p for p in self.pictures if p.kept]

    @property
    def skipped(self) -> dict[str, int]:
        """Skipped pictures counted by reason, in order of first appearance."""
        return dict(collections.Counter(p.reason for p in self.pictures if not p.kept))

    def skip_lines(self, indent: str) -> list[str]:
        """One line per reason for skipping, with the count and up to three of the details."""
        lines = []
        for reason, count in self.skipped.items():
            details = sorted({p.detail for p in self.pictures if p.reason == reason and p.detail})
            more = f" ({'; '.join(details[:3])}{'; ...' if len(details) > 3 else ''})" if details else ""
            lines.append(f"{indent}skipped {count}: {reason}{more}")
        return lines

    def format(self) -> str:
        """The summary the command prints: counts kept and skipped by reason, and where the dataset went."""
        lines = [f"Read {self.read} pictures on {self.image_topic} from {self.bag}",
                 f"  flange poses from {self.pose_source}: {' -> '.join(self.chain_frames)}",
                 f"  kept {len(self.kept)} ({self.criterion})"]
        if self.joint_topic:
            lines.insert(2, f"  joint readings from {self.joint_topic}: {len(self.joint_names)} joints "
                            f"({', '.join(self.joint_names)})")
        lines += self.skip_lines("  ")
        if self.stamps_from_bag_time:
            lines.append(f"  {self.stamps_from_bag_time} pictures had no header stamp; their recording time was used")
        for time in self.unmatched_times:
            lines.append(f"  no picture near the requested time {time:.6f} s")
        if self.kept:
            lines.append(f"Wrote {len(self.kept)} pictures and {POSE_FILE} to {self.output_dir}")
        if self.joint_file is not None:
            lines.append(f"Wrote the readings of {len(self.joint_names)} joints at each picture to {self.joint_file}")
        return "\n".join(lines)


def _stamp_ns(header, fallback_ns: int) -> tuple[int, bool]:
    """The header's stamp in ns, or the fallback (and True) when the publisher left it at zero."""
    stamp = int(header.stamp.sec) * _NS + int(header.stamp.nanosec)
    return (stamp, False) if stamp != 0 else (int(fallback_ns), True)


def open_reader(bag_path: Path):
    """The rosbags reader of a ROS 1 .bag file or a ROS 2 bag folder, opened; a BagImportError when it is none."""
    from rosbags.highlevel import AnyReader
    from rosbags.typesys import Stores, get_typestore

    path = Path(bag_path)
    if path.is_file() and path.suffix != ".bag" and (path.parent / "metadata.yaml").is_file():
        path = path.parent  # a storage file of a ROS 2 bag: the bag is its folder
    if not path.exists():
        raise BagImportError(f"cannot open bag {bag_path}: no such file or folder")
    if path.is_file() and path.suffix != ".bag":
        raise BagImportError(f"cannot open bag {bag_path}: not a ROS 1 bag (.bag) or a ROS 2 bag folder "
                             "(with metadata.yaml)")
    try:
        # ROS 2 bags recorded before message definitions were stored need the standard ones.
        reader = AnyReader([path], default_typestore=get_typestore(Stores.LATEST))
        reader.open()
    except Exception as error:  # rosbags raises its own, yaml, sqlite and OS errors for a damaged bag
        raise BagImportError(f"cannot open bag {bag_path}: {error}") from None
    return reader


def _topic_list(topics) -> str:
    return ", ".join(f"{name} ({info.msgtype})" for name, info in sorted(topics.items())) or "none"


def _connections(reader, topic: str, types: tuple, role: str):
    topics = reader.topics
    if topic not in topics:
        raise BagImportError(f"the bag has no {role} topic '{topic}'; its topics: {_topic_list(topics)}")
    msgtype = topics[topic].msgtype
    if msgtype not in types:
        raise BagImportError(f"{role} topic '{topic}' carries {msgtype}, not {' or '.join(types)}")
    return [c for c in reader.connections if c.topic == topic]


def _messages(reader, connections):
    """(connection, bag time ns, message) in recording order; a message that cannot be decoded ends the import."""
    for connection, timestamp, raw in reader.messages(connections=connections):
        try:
            message = reader.deserialize(raw, connection.msgtype)
        except Exception as error:  # a damaged record: rosbags' own or a struct error
            raise BagImportError(f"cannot read the message on {connection.topic} at "
                                 f"{timestamp / _NS:.6f} s: {error}") from None
        yield connection, timestamp, message


def _read_transforms(reader, tf_topics, pose_topic, base_frame: str, flange_frame: str):
    """The transform buffer of the bag's transform topics or pose topic, and the name of that source."""
    if pose_topic:
        connections = _connections(reader, pose_topic, (POSE_TYPE,), "pose")
        buffer = TransformBuffer(pose_topic)
        for _, timestamp, msg in _messages(reader, connections):
            frame = msg.header.frame_id.lstrip("/")
            if frame and frame != base_frame.lstrip("/"):
                raise BagImportError(f"pose topic '{pose_topic}' gives poses in frame '{frame}', "
                                     f"not in the base frame '{base_frame}'")
            p, q = msg.pose.position, msg.pose.orientation
            buffer.add(base_frame, flange_frame, _stamp_ns(msg.header, timestamp)[0], (p.x, p.y, p.z),
                       (q.x, q.y, q.z, q.w), static=False)
        return buffer, pose_topic
    topics = reader.topics
    present = [topic for topic in tf_topics if topic in topics]
    if not present:
        raise BagImportError(f"the bag has none of the transform topics {', '.join(tf_topics)}; "
                             f"its topics: {_topic_list(topics)}")
    source = " and ".join(present)
    buffer = TransformBuffer(source)
    connections = [c for topic in present for c in _connections(reader, topic, (TF_TYPE,), "transform")]
    for connection, timestamp, msg in _messages(reader, connections):
        static = connection.topic.rstrip("/").endswith("tf_static")
        for transform in msg.transforms:
            t, q = transform.transform.translation, transform.transform.rotation
            buffer.add(transform.header.frame_id, transform.child_frame_id,
                       _stamp_ns(transform.header, timestamp)[0], (t.x, t.y, t.z), (q.x, q.y, q.z, q.w), static)
    return buffer, source


class _StillJudge:
    """The flange pose at a time and how far the flange moved over the window around it."""

    def __init__(self, chain: TransformChain, window_s: float):
        self.chain = chain
        self.half_window = int(round(window_s * _NS / 2))
        self.moving_stamps = chain.moving_stamps

    def pose(self, stamp: int):
        valid, poses = self.chain.at([stamp])
        return poses[0] if valid[0] else None

    def motion(self, stamp: int) -> tuple[float, float] | None:
        """(mm, deg): the largest distance and turn of the flange from its pose at ``stamp`` over the window,
        at the window's ends and every transform sample inside it; None when the transforms do not cover it."""
        return self.motion_over(stamp, stamp - self.half_window, stamp + self.half_window)

    def motion_over(self, reference: int, low: int, high: int) -> tuple[float, float] | None:
        """(mm, deg): the largest distance and turn of the flange from its pose at ``reference`` over the times
        ``low`` to ``high`` (their ends and every transform sample between); None when the transforms do not
        cover them."""
        inside = self.moving_stamps[np.searchsorted(self.moving_stamps, low, side="left"):
                                    np.searchsorted(self.moving_stamps, high, side="right")]
        valid, poses = self.chain.at(np.concatenate([[reference, low, high], inside]))
        if not valid.all():
            return None
        shift = np.linalg.norm(poses[:, :3, 3] - poses[0, :3, 3], axis=1).max() * 1000.0
        turn = rotation_angles_deg(poses[0, :3, :3], poses[:, :3, :3]).max()
        return float(shift), float(turn)


def _picture_stamps(reader, connections) -> list[tuple[int, bool]]:
    return [_stamp_ns(msg.header, timestamp) for _, timestamp, msg in _messages(reader, connections)]


def _nearest_positions(stamps: list, at_times, tolerance_s: float) -> list:
    """For each requested time, the position of the picture nearest to it within the tolerance, or None."""
    order = np.argsort(stamps, kind="stable")
    sorted_stamps = np.asarray(stamps, dtype=np.int64)[order]
    matches = []
    for time in at_times:
        target = int(round(float(time) * _NS))
        k = int(np.searchsorted(sorted_stamps, target))
        candidates = [j for j in (k - 1, k) if 0 <= j < len(sorted_stamps)]
        best = min(candidates, key=lambda j: abs(int(sorted_stamps[j]) - target), default=None)
        if best is None or abs(int(sorted_stamps[best]) - target) > tolerance_s * _NS:
            matches.append(None)
        else:
            matches.append(int(order[best]))
    return matches


def _nearest_pictures(stamps: list, at_times, tolerance_s: float) -> tuple[set, list]:
    """Positions of the pictures nearest to each requested time (within the tolerance), and the times without one."""
    matches = _nearest_positions(stamps, at_times, tolerance_s)
    wanted = {position for position in matches if position is not None}
    return wanted, [float(time) for time, position in zip(at_times, matches) if position is None]


class _PictureWriter:
    """Writes kept pictures on worker threads (the PNG encoder runs without the GIL) while the bag is read on.

    At most two pictures per worker wait, so memory stays bounded however many pictures are kept."""

    def __init__(self, folder: Path):
        self.folder = folder
        self.workers = max(1, _velk.get_num_threads())
        self.pool = ThreadPoolExecutor(self.workers)
        self.pending = collections.deque()

    def write(self, index: int, image: np.ndarray) -> str:
        while len(self.pending) >= 2 * self.workers:
            self.pending.popleft().result()
        self.pending.append(self.pool.submit(_velk.io.save_hand_eye_image, self.folder, index, image))
        return f"image_{index}.png"

    def close(self) -> None:
        try:
            while self.pending:
                self.pending.popleft().result()
        finally:
            self.pool.shutdown(wait=True, cancel_futures=True)


def _read_joints(reader, joint_topic: str) -> JointReadings:
    """Every joint's readings on the JointState topic, timed by the header stamps."""
    connections = _connections(reader, joint_topic, (JOINT_STATE_TYPE,), "joint state")
    readings = JointReadings(joint_topic)
    try:
        for _, timestamp, msg in _messages(reader, connections):
            readings.add(_stamp_ns(msg.header, timestamp)[0], msg.name, msg.position)
    except JointReadingsError as error:
        raise BagImportError(str(error)) from None
    if not readings.names:
        raise BagImportError(f"joint state topic '{joint_topic}' holds no joint positions")
    return readings


def check_output(output_dir: Path, joints: bool) -> None:
    """Refuses an output that is a file or a folder that already holds a dataset."""
    if output_dir.exists() and not output_dir.is_dir():
        raise BagImportError(f"output {output_dir} is a file, not a folder")
    if output_dir.is_dir() and ((output_dir / POSE_FILE).exists() or capture_paths(output_dir)
                                or (joints and (output_dir / JOINT_FILE).exists())):
        raise BagImportError(f"{output_dir} already holds a dataset ({POSE_FILE}, {JOINT_FILE} or image_<k>.png); "
                             "import into a new folder")


def check_limits(still_translation_mm: float, still_rotation_deg: float, still_window_s: float,
                 at_tolerance_s: float) -> None:
    """Refuses a limit that is not a finite number of 0 or more."""
    for name, value in (("still_translation_mm", still_translation_mm), ("still_rotation_deg", still_rotation_deg),
                        ("still_window_s", still_window_s), ("at_tolerance_s", at_tolerance_s)):
        if not (math.isfinite(value) and value >= 0):
            raise BagImportError(f"{name} must be a finite number of 0 or more, got {value}")


def import_bag(bag_path, output_dir, image_topic: str, base_frame: str, flange_frame: str,
               tf_topics=("/tf", "/tf_static"), pose_topic: str | None = None, still_translation_mm: float = 0.2,
               still_rotation_deg: float = 0.02, still_window_s: float = 0.2, at_times=None,
               at_tolerance_s: float = 0.05, joint_topic: str | None = None, progress=None) -> BagImportSummary:
    """Writes the pictures of ``image_topic`` kept from the bag, and the flange pose ``base_T_flange`` at each, into
    ``output_dir`` as a hand-eye dataset; returns the summary.

    The flange poses come from ``tf_topics`` (the transform tree) or, when ``pose_topic`` is given, from its
    PoseStamped messages (poses of the flange in the base frame). Pictures are kept when the robot stood still
    (see the module's description) or, with ``at_times`` (seconds), when nearest to one of those times.
    With ``joint_topic`` (a JointState topic) the joint readings at each kept picture go into ``joints.csv``, and
    pictures without readings of every joint around them, or taken while a joint moved, are skipped.
    ``progress`` is a :class:`quorvane.velk.progress.Progress` (none by default).

    Raises :class:`BagImportError` for a bag that cannot be read, a missing topic or frame (the message names
    those the bag has), a chain of transforms with a missing link, or an output folder that already holds a
    dataset; :class:`NothingKeptError` when no picture qualifies (nothing is written then).
    """
    bag_path, output_dir = Path(bag_path), Path(output_dir)
    check_limits(still_translation_mm, still_rotation_deg, still_window_s, at_tolerance_s)
    check_output(output_dir, joint_topic is not None)
    reader = open_reader(bag_path)
    try:
        return _import(reader, bag_path, output_dir, image_topic, base_frame.lstrip("/"), flange_frame.lstrip("/"),
                       tuple(tf_topics), pose_topic, still_translation_mm, still_rotation_deg, still_window_s,
                       at_times, at_tolerance_s, joint_topic, progress)
    finally:
        reader.close()


@dataclass
class RobotMotion:
    """What the pictures of a bag are judged against: the flange's motion, and the joint readings when recorded."""

    judge: _StillJudge
    pose_source: str
    chain_frames: list
    readings: JointReadings | None
    joint_topic: str | None
    still_translation_mm: float
    still_rotation_deg: float

    @property
    def joint_limit(self) -> float:
        """The largest change of a joint reading over the still window of a still picture (rad or m)."""
        return joint_motion_limit(self.still_translation_mm, self.still_rotation_deg)

    def still_criterion(self, still_window_s: float) -> str:
        """How a still picture is told, as the summaries print it."""
        criterion = (f"the flange moved less than {self.still_translation_mm:g} mm and "
                     f"{self.still_rotation_deg:g} deg over {still_window_s:g} s")
        if self.readings is not None:
            criterion += f", every joint less than {self.joint_limit:g} rad or m"
        return criterion

    def summary(self, bag_path: Path, output_dir: Path, image_topic: str) -> BagImportSummary:
        """An empty summary of one image topic, naming the pose source and the joints."""
        summary = BagImportSummary(bag_path, output_dir, image_topic, self.pose_source, self.chain_frames)
        if self.readings is not None:
            summary.joint_topic, summary.joint_names = self.joint_topic, list(self.readings.names)
        return summary


def read_robot_motion(reader, base_frame: str, flange_frame: str, tf_topics, pose_topic, still_translation_mm: float,
                      still_rotation_deg: float, still_window_s: float, joint_topic) -> RobotMotion:
    """The flange's chain of transforms (or pose topic) and the joint readings of the bag."""
    buffer, source = _read_transforms(reader, tf_topics, pose_topic, base_frame, flange_frame)
    try:
        chain = buffer.chain(base_frame, flange_frame)
    except ChainError as error:
        raise BagImportError(str(error)) from None
    readings = _read_joints(reader, joint_topic) if joint_topic is not None else None
    return RobotMotion(_StillJudge(chain, still_window_s), source, chain.frames, readings, joint_topic,
                       still_translation_mm, still_rotation_deg)


def image_connections(reader, image_topic: str):
    """The bag's connections of an image topic; an error naming the bag's topics when it has none."""
    return _connections(reader, image_topic, IMAGE_TYPES, "image")


def nearest_by_time(reader, connections, at_times, tolerance_s: float) -> list:
    """For each requested time, the position on the image topic of the picture nearest to it within the
    tolerance, or None."""
    return _nearest_positions([stamp for stamp, _ in _picture_stamps(reader, connections)], at_times, tolerance_s)


def keep_pictures(reader, connections, summary: BagImportSummary, motion: RobotMotion, wanted, folder: Path,
                  progress) -> tuple[list, list]:
    """Reads the pictures of one image topic into ``summary.pictures``, writes those kept into ``folder`` as
    image_0.png, image_1.png, ... in recording order, and returns the flange pose and the joint readings at each.

    ``wanted`` holds the positions of the pictures nearest to the requested times, or is None to keep the
    pictures taken while the robot stood still."""
    judge, readings = motion.judge, motion.readings
    poses, joint_rows, writer = [], [], None
    total = sum(c.msgcount for c in connections)
    try:
        with progress.bar(total, "Reading pictures") as advance:
            for position, (connection, timestamp, msg) in enumerate(_messages(reader, connections)):
                stamp, from_bag = _stamp_ns(msg.header, timestamp)
                summary.stamps_from_bag_time += from_bag
                record = PictureRecord(position, stamp)
                summary.pictures.append(record)
                advance(position + 1)
                moved = judge.motion(stamp)
                if moved is not None:
                    record.motion_mm, record.motion_deg = moved
                pose = judge.pose(stamp)
                if wanted is not None and position not in wanted:
                    record.reason = SKIP_NOT_REQUESTED
                    continue
                if pose is None:
                    record.reason = SKIP_NO_POSE
                    continue
                if wanted is None:
                    if moved is None:
                        record.reason = SKIP_WINDOW
                        continue
                    if moved[0] >= motion.still_translation_mm or moved[1] >= motion.still_rotation_deg:
                        record.reason = SKIP_MOVING
                        continue
                if readings is not None:
                    joints, missing = readings.at(stamp, judge.half_window)
                    if joints is None:
                        record.reason, record.detail = SKIP_NO_JOINTS, ", ".join(missing)
                        continue
                    if wanted is None:
                        record.joint_motion, joint = readings.motion(stamp, judge.half_window, joints)
                        if record.joint_motion >= motion.joint_limit:
                            record.reason, record.detail = SKIP_JOINTS_MOVING, joint
                            continue
                try:
                    picture = message_to_bgr(msg, connection.msgtype)
                except PictureError as error:
                    record.reason, record.detail = SKIP_UNREADABLE, str(error)
                    continue
                if writer is None:
                    writer = _PictureWriter(folder)
                record.file = writer.write(len(poses), picture)
                poses.append(pose)
                if readings is not None:
                    joint_rows.append(joints)
    finally:
        if writer is not None:
            writer.close()
    return poses, joint_rows


def _import(reader, bag_path, output_dir, image_topic, base_frame, flange_frame, tf_topics, pose_topic,
            still_translation_mm, still_rotation_deg, still_window_s, at_times, at_tolerance_s, joint_topic, progress):
    from .progress import Progress

    progress = progress or Progress(False)
    connections = image_connections(reader, image_topic)
    motion = read_robot_motion(reader, base_frame, flange_frame, tf_topics, pose_topic, still_translation_mm,
                               still_rotation_deg, still_window_s, joint_topic)
    summary = motion.summary(bag_path, output_dir, image_topic)

    wanted = None
    if at_times is not None:
        at_times = [float(time) for time in at_times]
        wanted, summary.unmatched_times = _nearest_pictures(
            [stamp for stamp, _ in _picture_stamps(reader, connections)], at_times, at_tolerance_s)
        summary.criterion = f"nearest to {len(at_times) - len(summary.unmatched_times)} requested times"
    else:
        summary.criterion = motion.still_criterion(still_window_s)

    poses, joint_rows = keep_pictures(reader, connections, summary, motion, wanted, output_dir, progress)
    if not poses:
        raise NothingKeptError(f"no picture of the {summary.read} read from {bag_path} was kept", summary)
    save_robot_poses(output_dir, poses)
    summary.robot_T_tcp_list = poses
    if motion.readings is not None:
        summary.joint_values = joint_rows
        summary.joint_file = write_joint_table(output_dir / JOINT_FILE, joint_rows, summary.joint_names)
    return summary
