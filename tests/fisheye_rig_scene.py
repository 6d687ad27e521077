"""Rendered pictures of a ChArUco board seen by a rig of three 160-degree fisheye cameras, with ground truth.

The cameras are mounted rigidly a few centimetres to 11 cm apart and turned 30 to 35 degrees from one another;
the board (5 x 7, 40 mm squares) moves through the frames 0.25 to 0.45 m from the rig, in every frame whole in at
least two cameras and in the others mostly or not at all. Rendering takes about 1.5 s a picture: callers cache the scene per session."""

from __future__ import annotations

import math

import cv2
import numpy as np

from fisheye_scenes import FIELD_OF_VIEW_DEG, IMAGE_SIZE, TRUE_FISHEYE_DIST, board
from rig_scene import RigScene, pose

# reference_T_camera as (position in metres, x-y-z angles in degrees): the second camera looks 35 degrees to the
# right, the third 30 degrees down and a little to the left.
RIG = [
    ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0)),
    ((0.11, 0.005, -0.01), (0.0, 35.0, 1.5)),
    ((-0.04, 0.08, 0.015), (-30.0, -8.0, 2.0)),
]
# Per camera: focal length scale, principal point offset in pixels, distortion offset.
_LENS_VARIATION = [
    (1.0, (0.0, 0.0), (0.0, 0.0, 0.0, 0.0)),
    (1.015, (6.0, -4.0), (0.004, -0.002, 0.0005, 0.0)),
    (0.99, (-5.0, 3.5), (-0.003, 0.002, -0.0004, 0.0001)),
]
BORDER_PX = 12
MAX_OFF_AXIS_DEG = 72.0  # corners farther from a camera's axis are not counted as seen
MAX_VIEWING_DEG = 65.0  # a camera sees the printed side at most this obliquely
MOST_CORNERS = 12  # a camera that sees part of the board sees at least this many corners


def cameras():
    """(reference_T_camera, K, D) of each camera."""
    from quorvane.velk import synthetic

    result = []
    for (position, angles), (scale, offset, dist) in zip(RIG, _LENS_VARIATION):
        k = synthetic.fisheye_matrix(FIELD_OF_VIEW_DEG, IMAGE_SIZE)
        k[0, 0] *= scale
        k[1, 1] *= scale
        k[0, 2] += offset[0]
        k[1, 2] += offset[1]
        result.append((pose(position, angles), k, TRUE_FISHEYE_DIST + np.asarray(dist)))
    return result


def _corners(target):
    dictionary = cv2.aruco.getPredefinedDictionary(target.aruco_dict_id)
    charuco = cv2.aruco.CharucoBoard((target.squares_x, target.squares_y), target.square_length,
                                     target.marker_length, dictionary)
    return np.asarray(charuco.getChessboardCorners(), np.float64)


def _pixels(corners, k, d, camera_T_target):
    rvec = cv2.Rodrigues(camera_T_target[:3, :3])[0]
    pixels, _ = cv2.fisheye.projectPoints(corners.reshape(-1, 1, 3), rvec,
                                          np.ascontiguousarray(camera_T_target[:3, 3]).reshape(3, 1), k,
                                          d.reshape(1, 4))
    return pixels.reshape(-1, 2)


def corners_in_picture(corners, k, d, camera_T_target) -> int:
    """How many board corners fall anywhere in the picture, in front of the camera, whichever side it sees."""
    in_front = (corners @ camera_T_target[:3, :3].T + camera_T_target[:3, 3])[:, 2] > 0
    pixels = _pixels(corners, k, d, camera_T_target)
    width, height = IMAGE_SIZE
    return int(np.count_nonzero(in_front & np.all((pixels >= 0) & (pixels <= (width - 1, height - 1)), axis=1)))


def seen_corners(corners, k, d, camera_T_target) -> int:
    """How many board corners a camera sees well inside its picture, facing its printed side."""
    in_camera = corners @ camera_T_target[:3, :3].T + camera_T_target[:3, 3]
    normal = camera_T_target[:3, 2]  # board +z points away from a camera that sees the printed side
    centre = in_camera.mean(axis=0)
    if math.degrees(math.acos(np.clip(normal @ centre / np.linalg.norm(centre), -1, 1))) > MAX_VIEWING_DEG:
        return 0
    off_axis = np.degrees(np.arccos(np.clip(in_camera[:, 2] / np.linalg.norm(in_camera, axis=1), -1, 1)))
    pixels = _pixels(corners, k, d, camera_T_target)
    width, height = IMAGE_SIZE
    inside = np.all((pixels >= BORDER_PX) & (pixels <= (width - 1 - BORDER_PX, height - 1 - BORDER_PX)), axis=1)
    return int(np.count_nonzero(inside & (off_axis < MAX_OFF_AXIS_DEG)))


def board_poses(rig_cameras, count, seed):
    """reference_T_target of ``count`` frames: the board 0.25 to 0.45 m from the rig, whole in the reference camera
    and in the others in turn (so in two cameras at least), its centre spread over the cameras' common field."""
    from fisheye_scenes import view_pose
    from quorvane.velk import synthetic

    rng = np.random.default_rng(seed)
    target = board()
    corners = _corners(target)
    centre = synthetic.board_center(target)
    # The middle of the rig's view: the mean of the optical axes.
    axis = np.mean([rt[:3, 2] for rt, _, _ in rig_cameras], axis=0)
    axis /= np.linalg.norm(axis)
    reference_T_middle = np.eye(4)
    z = axis
    x = np.cross([0.0, 1.0, 0.0], z)
    x /= np.linalg.norm(x)
    reference_T_middle[:3, :3] = np.stack([x, np.cross(z, x), z], axis=1)
    poses = []
    for _ in range(400 * count):
        if len(poses) == count:
            return poses
        k = len(poses)
        off = 55.0 * math.sqrt((k % 8 + rng.uniform(0.1, 0.9)) / 8)
        candidate = reference_T_middle @ view_pose(off, rng.uniform(0.0, 360.0), rng.uniform(0.25, 0.45),
                                                   rng.uniform(-30.0, 30.0), rng.uniform(-30.0, 30.0), centre)
        in_camera = [np.linalg.inv(rt) @ candidate for rt, _, _ in rig_cameras]
        whole = [seen_corners(corners, kk, d, pose) == len(corners)
                 for (_, kk, d), pose in zip(rig_cameras, in_camera)]
        # A camera sees the board whole, most of it or nothing: a few corners at the rim of the picture would
        # make a view that fisheye calibration cannot start from.
        clean = all(w or corners_in_picture(corners, kk, d, pose) in (0, *range(MOST_CORNERS, len(corners) + 1))
                    for w, (_, kk, d), pose in zip(whole, rig_cameras, in_camera))
        # Whole in the reference camera and, frame by frame in turn, in each of the others.
        if clean and whole[0] and whole[1 + k % (len(rig_cameras) - 1)]:
            poses.append(candidate)
    raise ValueError("too few board poses seen whole by two cameras")


def render_fisheye_rig(num_frames: int = 14, seed: int = 5, noise_sigma: float = 1.0) -> RigScene:
    """Synchronized pictures of the board by the three fisheye cameras."""
    from quorvane.velk import synthetic

    rig_cameras = cameras()
    boards = board_poses(rig_cameras, num_frames, seed)
    target = board()
    images = [[synthetic.render_target(target, k, d, np.linalg.inv(rt) @ b, IMAGE_SIZE, noise_sigma=noise_sigma,
                                       seed=seed * 1000 + 100 * c + f, camera_model="fisheye", supersample=2).image
               for f, b in enumerate(boards)]
              for c, (rt, k, d) in enumerate(rig_cameras)]
    return RigScene(target, images, [rt for rt, _, _ in rig_cameras], [k for _, k, _ in rig_cameras],
                    [d for _, _, d in rig_cameras], boards)
