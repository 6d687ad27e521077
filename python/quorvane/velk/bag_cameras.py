"""Several cameras of a robot cell from one ROS recording: a rig dataset with one folder per image topic.

Each image topic's pictures are judged as :func:`quorvane.velk.bag_import.import_bag` judges those of one
topic (taken while the robot stood still, or nearest to requested times; with a flange pose, joint readings
when asked for, and readable). The pictures of the i-th topic go into ``cam_<i>``, and every camera folder
holds the same robot poses (``calibration_data.npz``, and ``joints.csv`` with the joint readings), so that
``image_<k>`` of every camera pairs with pose k.

A pose is one stand-still of the robot: the still pictures of all cameras, in time order, belong to one
stand-still as long as the flange stays within the still limits of its pose at the first of them, at every
transform sample in between. Of a camera's still pictures in one stand-still the middle one becomes its
``image_<k>``, the one furthest from the moves on either side. With requested times a pose is one requested
time, and each camera's picture for it the one nearest to that time. The flange pose and the joint readings of
a pose are those at the picture of the first camera, in the order of the topics, that has one.

A camera without a picture at a pose has no ``image_<k>`` for it: its other pictures keep the numbers of their
poses, and the summary names the poses it misses. A stand-still no camera pictured is no pose.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

from .bag_import import (
    BagImportError,
    BagImportSummary,
    NothingKeptError,
    RobotMotion,
    check_limits,
    check_output,
    image_connections,
    keep_pictures,
    nearest_by_time,
    open_reader,
    read_robot_motion,
)
from .datasets import POSE_FILE, save_robot_poses
from .joint_table import JOINT_FILE, write_joint_table

#: Why a picture that passed the still test did not go into the dataset.
SKIP_SAME_STILL = "another picture of the camera at the same stand-still was taken"
SKIP_SAME_TIME = "another picture of the camera was nearer to the requested time"


def _numbers(values, limit: int = 8) -> str:
    values = [str(v) for v in values]
    return ", ".join(values[:limit]) + (f" and {len(values) - limit} more" if len(values) > limit else "")


@dataclass
class CameraImport:
    """One camera of the import: its image topic's summary (pictures read, written, skipped) and its folder."""

    name: str  # cam_<i>
    summary: BagImportSummary
    missing: list = field(default_factory=list)  # the poses k without a picture of this camera

    @property
    def topic(self) -> str:
        """The camera's image topic."""
        return self.summary.image_topic


@dataclass
class CameraBagImportSummary:
    """What an import of several image topics read, wrote and skipped, camera by camera."""

    bag: Path
    output_dir: Path
    cameras: list  # CameraImport, in the order of the image topics
    pose_source: str
    chain_frames: list
    criterion: str = ""
    unmatched_times: list = field(default_factory=list)  # requested times (s) no camera pictured
    robot_T_tcp_list: list = field(default_factory=list)  # the flange pose of each pose k
    joint_topic: str | None = None
    joint_names: list = field(default_factory=list)
    joint_values: list = field(default_factory=list)  # the joint readings of each pose k
    joint_files: list = field(default_factory=list)  # the joint table of each camera folder

    def warnings(self) -> list[str]:
        """One sentence per camera that misses a picture at some pose."""
        lines = []
        for camera in self.cameras:
            if not camera.missing or not self.robot_T_tcp_list:
                continue
            if len(camera.missing) == len(self.robot_T_tcp_list):
                lines.append(f"{camera.name} ({camera.topic}) has no picture at any of the "
                             f"{len(self.robot_T_tcp_list)} poses")
                continue
            lines.append(f"{camera.name} ({camera.topic}) has no picture at pose(s) {_numbers(camera.missing)} "
                         f"({_numbers(f'image_{k}' for k in camera.missing)} missing); its other pictures keep the "
                         "numbers of their poses (velk rig needs a picture of every camera at each pose)")
        return lines

    def format(self) -> str:
        """The summary the command prints: the poses, and per camera its folder, pictures and skips by reason."""
        lines = [f"Read {len(self.cameras)} image topics from {self.bag}",
                 f"  flange poses from {self.pose_source}: {' -> '.join(self.chain_frames)}"]
        if self.joint_topic:
            lines.append(f"  joint readings from {self.joint_topic}: {len(self.joint_names)} joints "
                         f"({', '.join(self.joint_names)})")
        lines.append(f"  {len(self.robot_T_tcp_list)} poses ({self.criterion})")
        for camera in self.cameras:
            summary = camera.summary
            absent = f", none at pose(s) {_numbers(camera.missing)}" if camera.missing else ""
            lines.append(f"  {camera.topic} -> {camera.name}: {len(summary.kept)} pictures of {summary.read} "
                         f"read{absent}")
            lines += summary.skip_lines("    ")
        without_stamp = sum(camera.summary.stamps_from_bag_time for camera in self.cameras)
        if without_stamp:
            lines.append(f"  {without_stamp} pictures had no header stamp; their recording time was used")
        for time in self.unmatched_times:
            lines.append(f"  no picture near the requested time {time:.6f} s")
        if self.robot_T_tcp_list:
            folders = ", ".join(camera.name for camera in self.cameras)
            pictures = sum(len(camera.summary.kept) for camera in self.cameras)
            lines.append(f"Wrote {pictures} pictures and {len(self.robot_T_tcp_list)} poses ({POSE_FILE} in each "
                         f"camera folder) to {self.output_dir}: {folders}")
        if self.joint_files:
            lines.append(f"Wrote the readings of {len(self.joint_names)} joints at each pose to {JOINT_FILE} in each "
                         "camera folder")
        return "\n".join(lines)


def _still_poses(motion: RobotMotion, kept: list) -> list[dict]:
    """The stand-stills the kept pictures of every camera (``kept[i]``, the records in file order) were taken at,
    in time order: each maps a camera to the position in ``kept[i]`` of its middle picture there."""
    candidates = sorted((record.stamp_ns, camera, j) for camera, records in enumerate(kept)
                        for j, record in enumerate(records))
    stills, anchor, previous = [], None, None
    for stamp, camera, j in candidates:
        if anchor is not None:
            moved = motion.judge.motion_over(anchor, previous, stamp)
            if moved is None or moved[0] >= motion.still_translation_mm or moved[1] >= motion.still_rotation_deg:
                anchor = None
        if anchor is None:
            stills.append({})
            anchor = stamp
        stills[-1].setdefault(camera, []).append(j)
        previous = stamp
    return [{camera: js[(len(js) - 1) // 2] for camera, js in still.items()} for still in stills]


def _requested_poses(matches: list, kept: list) -> list[dict]:
    """The requested times some camera pictured, in time order: each maps a camera to the position in ``kept[i]``
    of its picture nearest to that time (``matches[i]``: each time's nearest position on the topic, or None).
    A picture nearest to two times serves the first of them."""
    stills = []
    by_position = [{record.position: j for j, record in enumerate(records)} for records in kept]
    used = [set() for _ in kept]
    for t in range(len(matches[0]) if matches else 0):
        pose = {}
        for camera, camera_matches in enumerate(matches):
            j = by_position[camera].get(camera_matches[t])
            if j is not None and j not in used[camera]:
                pose[camera] = j
                used[camera].add(j)
        if pose:
            stills.append(pose)
    return stills


def import_bag_cameras(bag_path, output_dir, image_topics, base_frame: str, flange_frame: str,
                       tf_topics=("/tf", "/tf_static"), pose_topic: str | None = None,
                       still_translation_mm: float = 0.2, still_rotation_deg: float = 0.02,
                       still_window_s: float = 0.2, at_times=None, at_tolerance_s: float = 0.05,
                       joint_topic: str | None = None, progress=None) -> CameraBagImportSummary:
    """Writes the pictures of two or more ``image_topics`` into ``output_dir``/cam_0, cam_1, ... (in the order of
    the topics), with the same flange poses, one per stand-still of the robot (see the module's description), in
    every camera folder; returns the summary. The options are those of :func:`~quorvane.velk.bag_import.import_bag`.

    Raises :class:`BagImportError` as ``import_bag`` does, and for a topic named twice or an output folder (or
    camera folder) that already holds a dataset; :class:`NothingKeptError` when no camera kept a picture
    (nothing is written then)."""
    bag_path, output_dir, image_topics = Path(bag_path), Path(output_dir), list(image_topics)
    if len(image_topics) < 2:
        raise BagImportError("a camera folder per image topic needs two image topics or more")
    twice = [topic for k, topic in enumerate(image_topics) if topic in image_topics[:k]]
    if twice:
        raise BagImportError(f"image topic '{twice[0]}' is named twice; each camera has a topic of its own")
    check_limits(still_translation_mm, still_rotation_deg, still_window_s, at_tolerance_s)
    folders = [output_dir / f"cam_{i}" for i in range(len(image_topics))]
    for folder in (output_dir, *folders):
        check_output(folder, joint_topic is not None)
    reader = open_reader(bag_path)
    try:
        return _import(reader, bag_path, output_dir, folders, image_topics, base_frame.lstrip("/"),
                       flange_frame.lstrip("/"), tuple(tf_topics), pose_topic, still_translation_mm,
                       still_rotation_deg, still_window_s, at_times, at_tolerance_s, joint_topic, progress)
    finally:
        reader.close()


def _import(reader, bag_path, output_dir, folders, image_topics, base_frame, flange_frame, tf_topics, pose_topic,
            still_translation_mm, still_rotation_deg, still_window_s, at_times, at_tolerance_s, joint_topic, progress):
    from .progress import Progress

    progress = progress or Progress(False)
    connections = [image_connections(reader, topic) for topic in image_topics]
    motion = read_robot_motion(reader, base_frame, flange_frame, tf_topics, pose_topic, still_translation_mm,
                               still_rotation_deg, still_window_s, joint_topic)
    cameras = [CameraImport(folder.name, motion.summary(bag_path, folder, topic))
               for folder, topic in zip(folders, image_topics)]
    result = CameraBagImportSummary(bag_path, output_dir, cameras, motion.pose_source, motion.chain_frames)
    if motion.readings is not None:
        result.joint_topic, result.joint_names = joint_topic, list(motion.readings.names)

    matches = None
    if at_times is not None:
        at_times = sorted(float(time) for time in at_times)
        matches = [nearest_by_time(reader, c, at_times, at_tolerance_s) for c in connections]
        for camera, camera_matches in zip(cameras, matches):
            camera.summary.unmatched_times = [t for t, m in zip(at_times, camera_matches) if m is None]
            matched = len(at_times) - len(camera.summary.unmatched_times)
            camera.summary.criterion = f"nearest to {matched} requested times"
        result.unmatched_times = [t for k, t in enumerate(at_times) if all(m[k] is None for m in matches)]
        result.criterion = (f"one per requested time a camera pictured, of {len(at_times)}; each camera's picture "
                            "nearest to it")
    else:
        for camera in cameras:
            camera.summary.criterion = motion.still_criterion(still_window_s)
        result.criterion = (f"one per stand-still of the robot, {motion.still_criterion(still_window_s)}; each "
                            "camera's middle still picture there")

    created = not output_dir.exists()
    output_dir.mkdir(parents=True, exist_ok=True)
    # Every picture that passes goes into a hidden folder first: which one becomes image_<k> is known only once
    # the pictures of every camera are read.
    stage = Path(tempfile.mkdtemp(prefix=".bag-import.", dir=output_dir))
    written = False
    try:
        kept, poses_of, joints_of = [], [], []
        for i, (camera, camera_connections) in enumerate(zip(cameras, connections)):
            camera_stage = stage / camera.name
            camera_stage.mkdir()
            wanted = None if matches is None else {m for m in matches[i] if m is not None}
            poses, joint_rows = keep_pictures(reader, camera_connections, camera.summary, motion, wanted,
                                              camera_stage, progress)
            kept.append(camera.summary.kept)
            poses_of.append(poses)
            joints_of.append(joint_rows)
        robot_poses = _still_poses(motion, kept) if matches is None else _requested_poses(matches, kept)
        if not robot_poses:
            for camera in cameras:
                camera.summary.robot_T_tcp_list = []
            raise NothingKeptError(f"no picture of the {sum(c.summary.read for c in cameras)} on "
                                   f"{len(cameras)} image topics read from {bag_path} was kept", result)
        for pose in robot_poses:
            first = min(pose)
            result.robot_T_tcp_list.append(poses_of[first][pose[first]])
            if motion.readings is not None:
                result.joint_values.append(joints_of[first][pose[first]])
        for i, (camera, folder) in enumerate(zip(cameras, folders)):
            numbers = {pose[i]: k for k, pose in enumerate(robot_poses) if i in pose}
            camera.missing = [k for k, pose in enumerate(robot_poses) if i not in pose]
            folder.mkdir(exist_ok=True)
            for j, record in enumerate(kept[i]):
                if j in numbers:
                    name = f"image_{numbers[j]}.png"
                    os.replace(stage / camera.name / record.file, folder / name)
                    record.file = name
                    written = True
                else:
                    record.file = None
                    record.reason = SKIP_SAME_STILL if matches is None else SKIP_SAME_TIME
            camera.summary.robot_T_tcp_list = [result.robot_T_tcp_list[k] for k in sorted(numbers.values())]
            save_robot_poses(folder, result.robot_T_tcp_list)
            if motion.readings is not None:
                camera.summary.joint_values = [result.joint_values[k] for k in sorted(numbers.values())]
                camera.summary.joint_file = write_joint_table(folder / JOINT_FILE, result.joint_values,
                                                              result.joint_names)
                result.joint_files.append(camera.summary.joint_file)
    finally:
        shutil.rmtree(stage, ignore_errors=True)
        if created and not written:
            shutil.rmtree(output_dir, ignore_errors=True)
    return result
