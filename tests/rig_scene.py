"""Rendered pictures of a ChArUco board seen by a rig of synchronized cameras, with ground truth.

Shared by the multi-camera tests and bench/multi_camera.py.
"""

import math
from dataclasses import dataclass

import cv2
import numpy as np

from quorvane.velk import synthetic

IMAGE_SIZE = (640, 480)
BORDER_PX = 20
# Corners that every camera must share with the reference camera in a frame (frame 0: all of them).
SHARED_CORNERS = 22
FIRST_FRAME_DISTANCE_M = 0.55
BOARD = (10, 8, 0.025, 0.018)  # squares x, squares y, square and marker length

# reference_T_camera of up to four cameras as (position, x-y-z angles in degrees): baselines of
# 0.1 to 0.3 m, each camera turned a few degrees towards the middle of the rig.
_RIG = [
    ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0)),
    ((0.15, 0.0, 0.0), (0.0, -6.0, 0.0)),
    ((-0.12, 0.04, 0.02), (3.0, 5.0, 1.0)),
    ((0.04, -0.10, 0.01), (-6.0, -1.5, -2.0)),
]
# Focal length, principal point and distortion of each camera.
_INTRINSICS = [
    (810.0, (322.0, 238.0), (-0.12, 0.06, 0.0005, -0.0004, 0.0)),
    (790.0, (318.5, 242.0), (-0.08, 0.03, -0.0003, 0.0002, 0.0)),
    (830.0, (325.0, 236.5), (-0.15, 0.09, 0.0, 0.0006, 0.0)),
    (800.0, (316.0, 240.5), (-0.10, 0.05, 0.0004, 0.0, 0.0)),
]


@dataclass
class RigScene:
    target: object
    images: list  # images[camera][frame], BGR uint8
    reference_T_camera: list  # true 4 x 4 poses
    camera_matrices: list
    distortions: list
    reference_T_target: list  # true board pose per frame


def pose(position, angles_deg):
    """4 x 4 transform: rotations about the fixed x, y and z axes in that order, then the translation."""
    rx, ry, rz = np.radians(angles_deg)
    cx, sx, cy, sy, cz, sz = np.cos(rx), np.sin(rx), np.cos(ry), np.sin(ry), np.cos(rz), np.sin(rz)
    rot_x = np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]])
    rot_y = np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
    rot_z = np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]])
    T = np.eye(4)
    T[:3, :3] = rot_z @ rot_y @ rot_x
    T[:3, 3] = position
    return T


def _board_corners(target):
    board = cv2.aruco.CharucoBoard((target.squares_x, target.squares_y), target.square_length,
                                   target.marker_length, cv2.aruco.getPredefinedDictionary(target.aruco_dict_id))
    return np.asarray(board.getChessboardCorners(), np.float64)


def _inside(corners, K, D, camera_T_target):
    """Which board corners a camera sees at least BORDER_PX inside its image."""
    in_camera = corners @ camera_T_target[:3, :3].T + camera_T_target[:3, 3]
    if np.any(in_camera[:, 2] <= 0):
        return np.zeros(len(corners), bool)
    rvec, _ = cv2.Rodrigues(camera_T_target[:3, :3])
    pixels, _ = cv2.projectPoints(corners, rvec, camera_T_target[:3, 3], K, D)
    width, height = IMAGE_SIZE
    upper = (width - 1 - BORDER_PX, height - 1 - BORDER_PX)
    return np.all((pixels.reshape(-1, 2) >= BORDER_PX) & (pixels.reshape(-1, 2) <= upper), axis=1)


def _board_poses(target, cameras, count, rng):
    """Board poses in the reference frame, tilted up to about 35 degrees; frame 0 faces the rig."""
    centre = synthetic.board_center(target)
    corners = _board_corners(target)
    poses = []
    for _ in range(100 * count):
        if len(poses) == count:
            return poses
        if poses:
            offset = [rng.uniform(-0.3, 0.3), rng.uniform(-0.3, 0.3), -rng.uniform(0.4, 0.65)]
            roll = rng.uniform(-0.5, 0.5)
        else:
            offset, roll = [0.02, 0.0, -FIRST_FRAME_DISTANCE_M], 0.0
        up = (np.sin(roll), -np.cos(roll), 0.0)
        reference_T_target = synthetic.look_at_pose(centre + np.asarray(offset), centre, up=up)
        inside = [_inside(corners, K, D, np.linalg.inv(rt) @ reference_T_target) for rt, K, D in cameras]
        needed = SHARED_CORNERS if poses else len(corners)
        if all(np.count_nonzero(inside[0] & seen) >= needed for seen in inside):
            poses.append(reference_T_target)
        elif not poses:
            raise ValueError("the first board pose is not seen whole by every camera")
    raise ValueError("too few board poses that every camera sees")


def render_rig(num_cameras, num_frames, seed=7, noise_sigma=0.5, blur_sigma=0.8):
    """Synchronized pictures of the board by the first num_cameras cameras of the rig."""
    from _velk import CharucoTarget

    target = CharucoTarget(*BOARD)
    rng = np.random.default_rng(seed)
    reference_T_camera = [pose(*_RIG[k]) for k in range(num_cameras)]
    matrices = [synthetic.pinhole_matrix(f, IMAGE_SIZE, c) for f, c, _ in _INTRINSICS[:num_cameras]]
    distortions = [np.array(d) for _, _, d in _INTRINSICS[:num_cameras]]
    cameras = list(zip(reference_T_camera, matrices, distortions))
    boards = _board_poses(target, cameras, num_frames, rng)
    images = [[synthetic.render_target(target, K, D, np.linalg.inv(rt) @ board, IMAGE_SIZE, noise_sigma=noise_sigma,
                                       blur_sigma=blur_sigma, seed=seed * 1000 + 100 * k + f).image
               for f, board in enumerate(boards)]
              for k, (rt, K, D) in enumerate(cameras)]
    return RigScene(target, images, reference_T_camera, matrices, distortions, boards)


# --------------------------------------------------------------------------
# Hiding parts of the board: a ChArUco corner is found only when both markers beside it are.


def _board(target):
    return cv2.aruco.CharucoBoard((target.squares_x, target.squares_y), target.square_length,
                                  target.marker_length, cv2.aruco.getPredefinedDictionary(target.aruco_dict_id))


def corner_markers(target):
    """For each chessboard-corner id, the ids of the two markers beside it."""
    board = _board(target)
    marker_centres = np.asarray(board.getObjPoints(), np.float64).reshape(-1, 4, 3).mean(axis=1)
    marker_ids = np.asarray(board.getIds()).ravel()
    corners = np.asarray(board.getChessboardCorners(), np.float64)
    near = np.linalg.norm(corners[:, None, :] - marker_centres[None, :, :], axis=2) < 0.75 * target.square_length
    return [frozenset(int(i) for i in marker_ids[row]) for row in near]


def corners_with_markers(target, kept_markers):
    """The corner ids a detector finds when only kept_markers are visible."""
    kept = set(kept_markers)
    return {c for c, beside in enumerate(corner_markers(target)) if beside <= kept}


def with_only_markers(scene, camera, frame, kept_markers):
    """A copy of a picture in which every marker not in kept_markers is painted over with paper white."""
    target = scene.target
    board = _board(target)
    camera_T_target = np.linalg.inv(scene.reference_T_camera[camera]) @ scene.reference_T_target[frame]
    rvec, _ = cv2.Rodrigues(camera_T_target[:3, :3])
    quads, _ = cv2.projectPoints(np.asarray(board.getObjPoints(), np.float64).reshape(-1, 3), rvec,
                                 camera_T_target[:3, 3], scene.camera_matrices[camera], scene.distortions[camera])
    quads = quads.reshape(-1, 4, 2)
    image = scene.images[camera][frame].copy()
    kept = set(kept_markers)
    for marker_id, quad in zip(np.asarray(board.getIds()).ravel(), quads):
        if int(marker_id) not in kept:
            centre = quad.mean(axis=0)
            grown = centre + (quad - centre) * 1.15  # covers the blurred edge, stays inside the white square
            cv2.fillConvexPoly(image, np.round(grown).astype(np.int32), (synthetic.WHITE_LEVEL,) * 3)
    return image


def all_markers(target):
    return list(range(len(np.asarray(_board(target).getIds()).ravel())))


def markers_for_corner_count(target, count):
    """Markers giving exactly count corners: a run in board order, or such a run less one marker."""
    ids = all_markers(target)
    for end in range(1, len(ids) + 1):
        run = ids[:end]
        for candidate in [run] + [[m for m in run if m != left_out] for left_out in run]:
            if len(corners_with_markers(target, candidate)) == count:
                return candidate
    raise ValueError(f"no set of markers gives exactly {count} corners")


# --------------------------------------------------------------------------
# Helpers of the multi-camera tests


def rotation_error_deg(a, b):
    relative = a[:3, :3].T @ b[:3, :3]
    return math.degrees(math.acos(np.clip((np.trace(relative) - 1) / 2, -1.0, 1.0)))


def assert_pose_close(found, true, mm=2.0, deg=0.1):
    assert found.shape == (4, 4) and found.dtype == np.float64
    assert np.linalg.norm(found[:3, 3] - true[:3, 3]) * 1000 < mm
    assert rotation_error_deg(found, true) < deg
    assert np.array_equal(found[3], [0, 0, 0, 1])


def image_lists(scene, cameras=None):
    cameras = range(len(scene.images)) if cameras is None else cameras
    return [list(scene.images[k]) for k in cameras]


def given_intrinsics(scene, cameras=None):
    cameras = range(len(scene.images)) if cameras is None else cameras
    return [scene.camera_matrices[k] for k in cameras], [scene.distortions[k].reshape(1, -1) for k in cameras]


def blank_like(image):
    return np.full_like(image, 90)


def log_lines(err):
    return [line for line in err.splitlines() if line.startswith("[velk]")]
