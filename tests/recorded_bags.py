"""ROS bags of a simulated eye-in-hand capture, written with the rosbags writers, for the import tests and bench.

The robot stops at each flange pose of a rendered demo scene, the camera takes pictures while it stands
there and while it moves to the next stop, and the recording holds:

* the pictures on ``/camera/image`` (raw Image in a chosen encoding, or a PNG CompressedImage), time
  stamped at their exposure and recorded 5 ms later;
* the flange through an intermediate frame: ``base_link -> link_1 -> tool0`` on ``/tf`` at 50 Hz, the two
  links in separate messages 7 ms apart, both moving between stops (smooth start and stop); the static
  ``world -> base_link`` and ``tool0 -> camera_link`` on ``/tf_static``;
* or, with ``pose_topic``, the flange pose in ``base_link`` as PoseStamped at the same rate instead of /tf;
* with ``joints``, the readings of a three-joint arm on a JointState topic (:class:`JointPublishing`): a first
  message naming every joint, then partial messages of two controllers, each with its own joints, order and rate.
  The joints stand still at the stops and move smoothly between them, as the flange does.

A picture is still when its exposure lies in a stop with ``STILL_MARGIN_S`` to spare on both sides; the
others are taken while moving or so close to a move that the flange turns within the importer's window.
Pictures taken while moving show the last stop's view: a kept one would pair a wrong pose with it.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import _velk

NS = 1_000_000_000
START_NS = 1_700_000_000 * NS
STOP_S = 0.9  # the robot stands still this long at each pose
MOVE_S = 1.0  # and takes this long to the next
# Exposure times within a stop (s from its start): three still pictures clear of both moves by 0.15 s
# beyond the importer's 0.1 s half window, and one 0.06 s before the move whose window sees it start.
STILL_OFFSETS = (0.25, 0.45, 0.65)
EDGE_OFFSET = 0.86
MOVING_OFFSETS = (0.3, 0.7)  # within a move (s from its start)
TF_PERIOD_NS = 20_000_000
IMAGE_TOPIC = "/camera/image"
JOINT_NAMES = ("shoulder", "elbow", "wrist")  # the arm's order


@dataclass
class Recording:
    flange_poses: list  # base_T_tool0 at each stop (the scene's robot_T_tcp)
    stop_images: list  # the picture taken at each stop
    picture_times_ns: list = field(default_factory=list)
    picture_stops: list = field(default_factory=list)  # the stop whose view each picture shows
    still: list = field(default_factory=list)  # whether each picture was taken standing still

    @property
    def end_ns(self) -> int:
        return START_NS + int(round(len(self.flange_poses) * (STOP_S + MOVE_S) * NS))


def _quaternion_xyzw(rotation: np.ndarray) -> np.ndarray:
    """Unit quaternion (x, y, z, w) of a rotation matrix, from its rotation vector."""
    import cv2

    vector = cv2.Rodrigues(rotation)[0].ravel()
    angle = np.linalg.norm(vector)
    axis = vector / angle if angle > 0 else np.zeros(3)
    return np.array([*(axis * np.sin(angle / 2)), np.cos(angle / 2)])


def _link_poses(flange_poses):
    """base_T_link1 and link1_T_tool0 at each stop; their product is the flange pose."""
    firsts, seconds = [], []
    for k, flange in enumerate(flange_poses):
        first = _velk.tf.pose_to_transformation_matrix([0.5 * flange[0, 3], 0.5 * flange[1, 3], 0.3,
                                                         0.0, 10.0 * (k % 3), 35.0 * k])
        firsts.append(first)
        seconds.append(np.linalg.inv(first) @ flange)
    return firsts, seconds


def _smooth(u):
    """Smoothstep: the fraction of a move done at time fraction u, starting and ending at rest."""
    u = np.clip(u, 0.0, 1.0)
    return u * u * (3.0 - 2.0 * u)


def _slerp(q0, q1, s):
    if np.dot(q0, q1) < 0:
        q1 = -q1
    angle = np.arccos(np.clip(np.dot(q0, q1), -1.0, 1.0))
    if angle < 1e-12:
        return q0
    return (np.sin((1 - s) * angle) * q0 + np.sin(s * angle) * q1) / np.sin(angle)


def link_at(stop_poses, time_ns):
    """(translation, quaternion xyzw) of a link at a time: constant at stops, a smooth move in between."""
    cycle = (STOP_S + MOVE_S) * NS
    k = int((time_ns - START_NS) // cycle)
    k = min(max(k, 0), len(stop_poses) - 1)
    into = (time_ns - START_NS - k * cycle) / NS - STOP_S
    a, b = stop_poses[k], stop_poses[min(k + 1, len(stop_poses) - 1)]
    s = float(_smooth(into / MOVE_S)) if into > 0 else 0.0
    translation = (1 - s) * a[:3, 3] + s * b[:3, 3]
    return translation, _slerp(_quaternion_xyzw(a[:3, :3]), _quaternion_xyzw(b[:3, :3]), s)


def make_recording(flange_poses, stop_images, still_offsets=STILL_OFFSETS, moving_pictures=True) -> Recording:
    """The picture times of the robot's stops: ``still_offsets`` in each stop and, with ``moving_pictures``,
    one at the edge of each move and two within it."""
    recording = Recording(list(flange_poses), list(stop_images))
    cycle = STOP_S + MOVE_S
    for k in range(len(flange_poses)):
        start = START_NS + int(round(k * cycle * NS))
        last = k == len(flange_poses) - 1
        entries = [(o, True) for o in still_offsets]
        if moving_pictures and not last:
            entries += [(EDGE_OFFSET, False)] + [(STOP_S + o, False) for o in MOVING_OFFSETS]
        for offset, still in entries:
            recording.picture_times_ns.append(start + int(round(offset * NS)))
            recording.picture_stops.append(k)
            recording.still.append(still)
    return recording


@dataclass
class JointPublishing:
    """How the joint readings are published: ``controllers`` holds (joint names in message order, period ns,
    delay ns of the first message after the recording's start)."""

    topic: str = "/joint_states"
    # A message naming every joint 0.05 s before the first stop, after the controllers' first partial ones.
    first: tuple = ("wrist", "shoulder", "elbow")
    controllers: tuple = ((("elbow", "shoulder"), 20_000_000, 3_000_000), (("wrist",), 25_000_000, 11_000_000))
    silent: tuple | None = None  # (controller, from ns, to ns): that controller publishes nothing then
    clock_offset_ns: int = 0  # readings stamped this much later than the time the joints held their values


def stop_joints(count: int) -> np.ndarray:
    """The joint values (rad, in JOINT_NAMES order) at each of ``count`` stops."""
    k = np.arange(count, dtype=np.float64)[:, None]
    return np.array([0.2, -1.0, 0.4]) + k * np.array([0.5, 0.3, -0.6])


def joints_at(recording: Recording, time_ns) -> np.ndarray:
    """The true joint values (JOINT_NAMES order) at a time: still at the stops, smooth moves in between."""
    stops = stop_joints(len(recording.flange_poses))
    cycle = (STOP_S + MOVE_S) * NS
    k = min(max(int((time_ns - START_NS) // cycle), 0), len(stops) - 1)
    into = (time_ns - START_NS - k * cycle) / NS - STOP_S
    s = float(_smooth(into / MOVE_S)) if into > 0 else 0.0
    return (1 - s) * stops[k] + s * stops[min(k + 1, len(stops) - 1)]


def _joint_messages(typestore, recording: Recording, publishing: JointPublishing):
    """(record time ns, topic, type, message) of the joint readings."""
    msgtype = "sensor_msgs/msg/JointState"
    JointState = typestore.types[msgtype]

    def message(time_ns, names):
        values = dict(zip(JOINT_NAMES, joints_at(recording, time_ns)))
        stamp = time_ns + publishing.clock_offset_ns
        return (stamp + 2_000_000, publishing.topic, msgtype,
                JointState(header=_header(typestore, stamp, ""), name=list(names),
                           position=np.array([values[n] for n in names]), velocity=np.zeros(0), effort=np.zeros(0)))

    start = START_NS - NS // 10
    messages = [message(START_NS - NS // 20, publishing.first)]
    for index, (names, period, delay) in enumerate(publishing.controllers):
        for time in range(start + delay, recording.end_ns + NS // 10, period):
            silent = publishing.silent
            if silent is None or silent[0] != index or not silent[1] <= time < silent[2]:
                messages.append(message(time, names))
    return messages


SMALL_POSES = [_velk.tf.pose_to_transformation_matrix(v) for v in
               ([0.40, -0.10, 0.30, 180.0, 0.0, 30.0], [0.45, 0.05, 0.28, 170.0, 10.0, -20.0],
                [0.38, 0.12, 0.35, -165.0, -15.0, 75.0])]


def small_recording() -> Recording:
    """Three stops with tiny flat pictures: quick to write and import."""
    pictures = [np.full((12, 16, 3), 40 * (k + 1), np.uint8) for k in range(len(SMALL_POSES))]
    return make_recording(SMALL_POSES, pictures)


def _stamp(typestore, time_ns):
    Time = typestore.types["builtin_interfaces/msg/Time"]
    return Time(sec=int(time_ns // NS), nanosec=int(time_ns % NS))


def _header(typestore, time_ns, frame):
    Header = typestore.types["std_msgs/msg/Header"]
    extra = {"seq": 0} if "seq" in Header.__dataclass_fields__ else {}  # ROS 1 headers count messages
    return Header(stamp=_stamp(typestore, time_ns), frame_id=frame, **extra)


def _transform(typestore, time_ns, parent, child, translation, quaternion):
    t = typestore.types
    return t["geometry_msgs/msg/TransformStamped"](
        header=_header(typestore, time_ns, parent), child_frame_id=child,
        transform=t["geometry_msgs/msg/Transform"](
            translation=t["geometry_msgs/msg/Vector3"](x=float(translation[0]), y=float(translation[1]),
                                                      z=float(translation[2])),
            rotation=t["geometry_msgs/msg/Quaternion"](x=float(quaternion[0]), y=float(quaternion[1]),
                                                       z=float(quaternion[2]), w=float(quaternion[3]))))


def picture_message(typestore, time_ns, image, encoding):
    """An Image ('mono8', 'rgb8', 'bgr8') or, for encoding 'png', a CompressedImage of a grey-valued BGR picture."""
    import cv2

    t = typestore.types
    header = _header(typestore, time_ns, "camera_link")
    if encoding == "png":
        data = cv2.imencode(".png", image, [cv2.IMWRITE_PNG_COMPRESSION, 1])[1].ravel()
        return t["sensor_msgs/msg/CompressedImage"](header=header, format="png", data=data)
    pixels = {"mono8": lambda: image[:, :, 0], "rgb8": lambda: image[:, :, ::-1], "bgr8": lambda: image}[encoding]()
    pixels = np.ascontiguousarray(pixels)
    channels = 1 if pixels.ndim == 2 else 3
    height, width = pixels.shape[:2]
    return t["sensor_msgs/msg/Image"](header=header, height=height, width=width, encoding=encoding,
                                      is_bigendian=0, step=width * channels, data=pixels.reshape(-1))


@dataclass
class Camera:
    topic: str
    recording: Recording


def write_bag(path: Path, recording: Recording, ros_version: int = 2, encoding: str = "mono8",
              storage: str = "sqlite3", pose_topic: str | None = None, image_topic: str = IMAGE_TOPIC,
              leave_out: str | None = None, joints: JointPublishing | None = None, cameras=()) -> Path:
    """Writes the recording as a ROS 1 .bag file or a ROS 2 folder (sqlite3 or mcap); returns its path.

    ``leave_out`` names a frame whose moving transform to its parent is not recorded (a broken chain);
    ``joints`` adds the arm's joint readings; ``cameras`` holds (image topic, recording) of more cameras, whose
    recordings give their own picture times and pictures (the flange poses are those of ``recording``)."""
    from rosbags.typesys import Stores, get_typestore

    typestore = get_typestore(Stores.ROS1_NOETIC if ros_version == 1 else Stores.ROS2_HUMBLE)
    if ros_version == 1:
        from rosbags.typesys import get_types_from_msg

        # The ROS 1 store has no tf2_msgs; a ROS 1 recording carries the definition.
        typestore.register(get_types_from_msg("geometry_msgs/TransformStamped[] transforms", "tf2_msgs/msg/TFMessage"))
    firsts, seconds = _link_poses(recording.flange_poses)
    messages = []  # (record time ns, topic, message)
    tf_type = "tf2_msgs/msg/TFMessage"
    TF = typestore.types[tf_type]
    if pose_topic is None:
        statics = [_transform(typestore, START_NS, "world", "base_link", [0.0, 0.0, 0.8], [0, 0, 0, 1]),
                   _transform(typestore, START_NS, "tool0", "camera_link", [0.03, 0.0, 0.05],
                              [0, 0, np.sin(0.4), np.cos(0.4)])]
        messages.append((START_NS - NS // 10, "/tf_static", tf_type, TF(transforms=statics)))
    time = START_NS - NS // 10
    while time <= recording.end_ns + NS // 10:
        if pose_topic is None:
            for offset, (parent, child, poses) in ((0, ("base_link", "link_1", firsts)),
                                                  (7_000_000, ("link_1", "tool0", seconds))):
                if child == leave_out:
                    continue
                translation, quaternion = link_at(poses, time + offset)
                messages.append((time + offset + 1_000_000, "/tf", tf_type,
                                 TF(transforms=[_transform(typestore, time + offset, parent, child, translation,
                                                           quaternion)])))
        else:
            flange = flange_at(recording, time)
            t = typestore.types
            q = _quaternion_xyzw(flange[:3, :3])
            pose = t["geometry_msgs/msg/Pose"](
                position=t["geometry_msgs/msg/Point"](x=flange[0, 3], y=flange[1, 3], z=flange[2, 3]),
                orientation=t["geometry_msgs/msg/Quaternion"](x=q[0], y=q[1], z=q[2], w=q[3]))
            messages.append((time + 1_000_000, pose_topic, "geometry_msgs/msg/PoseStamped",
                             t["geometry_msgs/msg/PoseStamped"](header=_header(typestore, time, "base_link"),
                                                                pose=pose)))
        time += TF_PERIOD_NS
    if joints is not None:
        messages += _joint_messages(typestore, recording, joints)
    picture_type = "sensor_msgs/msg/CompressedImage" if encoding == "png" else "sensor_msgs/msg/Image"
    # Pictures are serialized as they are written, one at a time; a stop's pictures share their pixels.
    pixels = {}

    def picture(time_ns, camera, stop):
        if (camera.topic, stop) not in pixels:
            pixels[camera.topic, stop] = picture_message(typestore, 0, camera.recording.stop_images[stop], encoding)
        message = pixels[camera.topic, stop]
        return dataclasses.replace(message, header=_header(typestore, time_ns, "camera_link"))

    for topic, pictures in ((image_topic, recording), *cameras):
        camera = Camera(topic, pictures)
        for time_ns, stop in zip(pictures.picture_times_ns, pictures.picture_stops):
            messages.append((time_ns + 5_000_000, topic, picture_type,
                             lambda time_ns=time_ns, camera=camera, stop=stop: picture(time_ns, camera, stop)))
    messages.sort(key=lambda m: m[0])
    if ros_version == 1:
        from rosbags.rosbag1 import Writer

        writer = Writer(path)
        serialize = typestore.serialize_ros1
    else:
        from rosbags.rosbag2 import StoragePlugin, Writer

        writer = Writer(path, version=9, storage_plugin=StoragePlugin[storage.upper()])
        serialize = typestore.serialize_cdr
    with writer:
        connections = {}
        for record_time, topic, msgtype, message in messages:
            if topic not in connections:
                connections[topic] = writer.add_connection(topic, msgtype, typestore=typestore)
            if callable(message):
                message = message()
            writer.write(connections[topic], record_time, serialize(message, msgtype))
    return path


def flange_at(recording: Recording, time_ns) -> np.ndarray:
    """The true base_T_tool0 at a time: the product of the two moving links."""
    firsts, seconds = _link_poses(recording.flange_poses)
    pose = np.eye(4)
    for poses in (firsts, seconds):
        translation, q = link_at(poses, time_ns)
        link = np.eye(4)
        link[:3, 3] = translation
        link[:3, :3] = _rotation(q)
        pose = pose @ link
    return pose


def _rotation(q):
    x, y, z, w = q / np.linalg.norm(q)
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])
