"""``velk import-bag``: a hand-eye dataset (pictures and flange poses) from a ROS 1 or ROS 2 recording."""

from __future__ import annotations

import argparse
from pathlib import Path

from . import output_locks
from .common import progress_for
from .errors import UsageError

_DESCRIPTION = """\
Reads a ROS recording (a ROS 1 .bag file, or a ROS 2 bag folder over sqlite3 or mcap; no ROS
installation needed) and writes the pictures taken while the robot stood still, with the flange pose
robot_T_tcp at each, into DATASET_DIR as image_<k>.png and calibration_data.npz (the folder
'velk poses import' writes; calibrate it with 'velk hand-eye DATASET_DIR').

The pictures come from IMAGE_TOPIC (sensor_msgs/Image in any common encoding, or CompressedImage),
converted to 8-bit BGR. The flange pose is the chain of transforms from --base to --flange on /tf
and /tf_static (every link in between composed), or the PoseStamped messages of --pose-topic,
interpolated to the picture's time stamp (linear in translation, slerp in rotation). A picture is
kept when the flange moved less than --still-mm and turned less than --still-deg over --window
seconds around its time stamp, or, with --at, when it is the nearest to one of the listed times.
A summary tells how many pictures were read, kept and skipped, and why.

With --joint-states the arm's joint readings at each kept picture are recorded too, from a
sensor_msgs/JointState topic (/joint_states unless named; partial messages of several controllers
are merged by joint name), interpolated linearly to the picture's time stamp, and written to
joints.csv (row k for image_k, the joint names as header, radians and metres). A picture is then
kept only when every joint has a reading just before and just after its time stamp within half of
--window, and, unless picked with --at, when no joint reading over the window strays by more than
the smaller of --still-deg (in radians) and --still-mm (in metres).

With several IMAGE_TOPICs (the cameras of a robot cell) DATASET_DIR becomes a rig folder: the pictures of
the i-th topic go into DATASET_DIR/cam_<i>, and every camera folder holds the same calibration_data.npz (and
joints.csv). Pose k is one stand-still of the robot (with --at, one requested time): each camera's pictures
are picked as above, and of those a camera took during one stand-still the middle one becomes its
image_<k>.png; the flange pose and joint readings are those at the picture of the first camera that has one.
A camera without a picture at pose k has no image_<k>.png (a warning names the poses), its other pictures
keep their numbers; a stand-still no camera pictured is no pose."""


def _non_negative(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{text}'") from None
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a finite number of 0 or more, got {text}")
    return value


def add_parser(commands, common) -> None:
    parser = commands.add_parser(
        "import-bag", parents=[common], help="pictures and flange poses from a ROS bag into a dataset folder",
        description=_DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bag", metavar="BAG", help="ROS 1 .bag file or ROS 2 bag folder (metadata.yaml)")
    parser.add_argument("image_topic", metavar="IMAGE_TOPIC", nargs="+",
                        help="camera topic, e.g. /camera/image_raw; several for a camera folder cam_<i> each")
    parser.add_argument("--base", required=True, metavar="FRAME", help="robot base frame, e.g. base_link")
    parser.add_argument("--flange", required=True, metavar="FRAME", help="flange (tool) frame, e.g. tool0")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--tf-topics", nargs="+", default=["/tf", "/tf_static"], metavar="TOPIC",
                        help="transform topics (default: /tf /tf_static; a name ending in tf_static is static)")
    source.add_argument("--pose-topic", metavar="TOPIC",
                        help="take the flange poses from this geometry_msgs/PoseStamped topic (in the base frame) "
                             "instead of transforms")
    parser.add_argument("--still-mm", type=_non_negative, default=0.2, metavar="MM",
                        help="largest flange motion over the window for a still picture (default: %(default)g)")
    parser.add_argument("--still-deg", type=_non_negative, default=0.02, metavar="DEG",
                        help="largest flange turn over the window for a still picture (default: %(default)g)")
    parser.add_argument("--window", type=_non_negative, default=0.2, metavar="SECONDS",
                        help="length of the window centred on the picture's time stamp (default: %(default)g)")
    parser.add_argument("--at", metavar="TIMES_FILE",
                        help="keep the picture nearest to each time in this file instead (one time stamp in "
                             "seconds per line, the clock of the message stamps; # comments)")
    parser.add_argument("--at-tolerance", type=_non_negative, default=0.05, metavar="SECONDS",
                        help="largest distance of a picture from its --at time (default: %(default)g)")
    parser.add_argument("--joint-states", nargs="?", const="/joint_states", metavar="TOPIC",
                        help="record the joint readings at each picture from this sensor_msgs/JointState topic "
                             "(default topic: /joint_states) into joints.csv")
    parser.add_argument("-o", "--output", required=True, metavar="DATASET_DIR", help="new dataset folder")
    parser.set_defaults(run=run)


def read_times(path) -> list[float]:
    """The time stamps (s) of a --at file: one number per line, blank lines and # comments ignored."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror or error}") from None
    times = []
    for number, line in enumerate(text.splitlines(), start=1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        try:
            times.append(float(line))
        except ValueError:
            raise UsageError(f"{path.name}: line {number} is not a time in seconds: {line!r}") from None
    if not times:
        raise UsageError(f"no times in {path}")
    return times


def run(args) -> int:
    from ..bag_cameras import import_bag_cameras
    from ..bag_import import NothingKeptError, import_bag
    from ..datasets import warn

    at_times = read_times(args.at) if args.at else None
    output = Path(args.output)
    if output.is_dir() or not output.exists():  # a file in its place is refused by the import itself
        output_locks.lock_folder_of("import-bag", output / output_locks.ANY_FILE)
    topics = args.image_topic
    options = dict(tf_topics=tuple(args.tf_topics), pose_topic=args.pose_topic, still_translation_mm=args.still_mm,
                   still_rotation_deg=args.still_deg, still_window_s=args.window, at_times=at_times,
                   at_tolerance_s=args.at_tolerance, joint_topic=args.joint_states, progress=progress_for(args))
    try:
        if len(topics) == 1:
            summary = import_bag(args.bag, args.output, topics[0], args.base, args.flange, **options)
            warnings = []
        else:
            summary = import_bag_cameras(args.bag, args.output, topics, args.base, args.flange, **options)
            warnings = summary.warnings()
    except NothingKeptError as error:
        print(error.summary.format())
        raise UsageError(str(error)) from None
    print(summary.format())
    for warning in warnings:
        warn(warning)
    return 0
