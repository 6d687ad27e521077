"""``velk poses import``: robot controller exports into a dataset's calibration_data.npz."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from ..datasets import (
    POSE_FILE,
    InputError,
    camera_folders,
    capture_paths,
    load_poses,
    numbered_pictures,
    save_robot_poses,
    warn,
)
from ..geometry import EULER_ORDERS
from ..pose_files import is_pose_folder, read_pose_folder
from ..pose_import import FORMATS, QUATERNION_ORDERS, UNITS, read_pose_file
from . import output_paths
from .errors import UsageError


def add_parser(commands, common) -> None:
    parser = commands.add_parser("poses", parents=[common], help="robot poses")
    actions = parser.add_subparsers(dest="action", required=True)
    importer = actions.add_parser("import", parents=[common],
                                  help="read a CSV or JSON pose export, or a folder of pose files, into "
                                       "DATASET_DIR/calibration_data.npz")
    importer.add_argument("file", help="CSV or JSON file, one flange pose robot_T_tcp per row; or a folder (or a "
                                       "quoted glob such as 'poses/pose_*.yaml') of YAML or JSON files, one pose per "
                                       "picture, taken in the order of the number in their names")
    importer.add_argument("--format", choices=FORMATS,
                          help="what a row holds (needed for a CSV or JSON export): xyz-quat, xyz-rotvec (rotation "
                               "vector in radians), xyz-rotvec-deg (in degrees), xyz-euler-deg, matrix; pose files "
                               "tell their rotation by its shape, and take only xyz-rotvec-deg (their rotation "
                               "vectors in degrees)")
    importer.add_argument("--units", default="m", choices=tuple(UNITS), help="translation units (default: m)")
    importer.add_argument("--quat-order", default=None, choices=QUATERNION_ORDERS,
                          help="quaternion component order of xyz-quat (default: the order a CSV header names, "
                               "such as x,y,z,qx,qy,qz,qw; wxyz without a header)")
    importer.add_argument("--euler-order", default="xyz", choices=EULER_ORDERS, metavar="ORDER",
                          help="Euler sequence of xyz-euler-deg, its three angles in its order: lower case about "
                               "the fixed axes, upper case about the moving ones (ZYX: z, then the new y, then the "
                               "newest x); default xyz, extrinsic x-y-z")
    importer.add_argument("--invert", action="store_true",
                          help="the file holds the base in the flange frame (tcp_T_robot): import each pose inverted")
    importer.add_argument("-o", "--output", required=True, metavar="DATASET_DIR")
    held = importer.add_mutually_exclusive_group()
    held.add_argument("--force", action="store_true",
                      help="replace the robot poses the dataset already holds (without it they are kept and "
                           "the import refused)")
    held.add_argument("--append", action="store_true",
                      help="add the poses after those the dataset holds (a capture continued, such as the poses "
                           "velk plan --next chose): pose k pairs with picture image_<k>, so the pictures must run "
                           "image_0 ... without a gap and none may be numbered beyond the last pose")
    importer.set_defaults(run=run_import)


def _image_count(folder: Path, cameras: list) -> int | None:
    if cameras:
        return len(capture_paths(cameras[0]))
    if not folder.is_dir():
        return None
    return len(capture_paths(folder))


def check_outputs(args, archives: list[Path]) -> None:
    """Refuses, before reading the pose file, to overwrite it or (without --force) poses the dataset holds."""
    outputs = {f"-o ({path.parent.name}/{path.name})": path for path in archives}
    output_paths.check_outputs("poses import", outputs, {"the pose file": args.file})
    held = [str(path) for path in archives if path.exists()]
    if args.append and len(held) < len(archives):
        missing = ", ".join(str(path) for path in archives if not path.exists())
        raise UsageError(f"poses import: --append continues the poses a dataset holds, but there is no {missing}; "
                         "import without --append")
    if held and not args.force and not args.append:
        raise UsageError(f"poses import: {', '.join(held)} already holds robot poses; give --force to replace them "
                         "(the pictures pair with the poses by index)")


def _read_table(args) -> tuple[list, list]:
    notes = []
    if args.format is None:
        raise UsageError("poses import: --format is needed for a pose table (CSV or JSON export)")
    if args.euler_order != "xyz" and args.format != "xyz-euler-deg":
        raise UsageError("poses import: --euler-order applies to --format xyz-euler-deg only")
    poses = read_pose_file(args.file, args.format, args.units, args.quat_order, notes=notes,
                           euler_order=args.euler_order)
    return poses, notes


def _read_folder(args) -> tuple[list, list]:
    if args.format not in (None, "xyz-rotvec-deg") or args.euler_order != "xyz":
        raise UsageError("poses import: pose files tell their rotation by its shape; of --format they take only "
                         "xyz-rotvec-deg (rotation vectors in degrees), and no --euler-order")
    read = read_pose_folder(args.file, args.units, args.quat_order, rotvec_degrees=args.format == "xyz-rotvec-deg")
    for keys in read.keys_summary():
        print(f"Keys used: {keys}")
    return read.poses, read.notes


def numbering_problems(picture_numbers, held: int, total: int) -> list[str]:
    """What is wrong with the pictures numbered ``picture_numbers`` for a dataset whose ``held`` poses are continued
    to ``total``: a gap among image_0 ... (pose k pairs with image_<k>), a picture beyond the last pose."""
    numbers = sorted(picture_numbers)
    problems = []
    # A dataset without pictures yet (poses planned ahead) has no numbering to break.
    gaps = [k for k in range(held) if k not in set(numbers)] if numbers else []
    if gaps:
        problems.append("no picture " + ", ".join(f"image_{k}" for k in gaps[:6]) + f" for the {held} poses held: "
                        "pictures taken at the appended poses would pair with the wrong poses")
    beyond = [k for k in numbers if k >= total]
    if beyond:
        problems.append(", ".join(f"image_{k}" for k in beyond[:6]) + f" lie(s) beyond the last pose ({total - 1} "
                        "after the append): pictures are numbered by the pose they were taken at")
    later = [k for k in numbers if k >= held]
    if later and later != list(range(held, held + len(later))):
        problems.append("the pictures of the appended poses must run on from image_" + str(held) + " without a gap")
    return problems


def _appended(args, folder: Path, cameras: list, poses: list) -> list:
    """The poses the dataset holds followed by ``poses``, once the pictures' numbering is checked."""
    held = load_poses(cameras[0] if cameras else folder)
    try:
        numbers = list(numbered_pictures(cameras[0] if cameras else folder))
    except InputError as error:
        raise UsageError(f"poses import: {error}") from None
    problems = numbering_problems(numbers, len(held), len(held) + len(poses))
    if problems:
        raise UsageError(f"poses import: cannot append to {folder}: " + "; ".join(problems))
    return list(held) + list(poses)


def run_import(args) -> int:
    folder = Path(args.output)
    cameras = camera_folders(folder) if folder.is_dir() else []
    check_outputs(args, [place / POSE_FILE for place in (cameras or [folder])])
    poses, notes = _read_folder(args) if is_pose_folder(args.file) else _read_table(args)
    if args.invert:
        poses = [np.linalg.inv(pose) for pose in poses]
    imported = len(poses)
    if args.append:
        poses = _appended(args, folder, cameras, poses)
    images = _image_count(folder, cameras)
    # A rig dataset keeps the same poses in every camera folder.
    written = ", ".join(str(save_robot_poses(target, poses)) for target in (cameras or [folder]))
    if args.append:
        first = len(poses) - imported
        print(f"Appended {imported} poses from {args.file} to the {first} held in {written}: take pictures "
              f"image_{first} ... image_{len(poses) - 1} at them")
    else:
        print(f"Imported {len(poses)} poses from {args.file} into {written}")
    for note in notes:
        warn(note)
    if images and images != len(poses) and not args.append:
        warn(f"{folder} holds {images} images but {len(poses)} poses were imported; "
             "picture image_<k> pairs with pose k")
    return 0
