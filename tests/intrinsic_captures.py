"""Rendered intrinsic captures with a known lens: good ones, whose board reaches the picture's corners, through lenses
of each distortion model, and the poor ones users take (a few pictures of one small tag, a few pictures of a
chessboard near the picture's centre)."""

import numpy as np

import _velk
from quorvane.velk import synthetic

IMAGE_SIZE = (640, 480)
#: The true lens of each distortion model: (focal length px, distortion). The rational lens is a wide one, since
#: only far from the principal point does its distortion differ from k1 k2 p1 p2 k3.
TRUE_LENSES = {
    "k1": (520.0, [-0.25, 0.0, 0.0, 0.0, 0.0]),
    "k1k2": (520.0, [-0.3, 0.12, 0.0, 0.0, 0.0]),
    "k1k2p": (520.0, [-0.28, 0.09, 0.003, -0.002, 0.0]),
    "k1k2pk3": (520.0, [-0.35, 0.25, 0.002, -0.0015, -0.12]),
    "rational": (300.0, [1.5, 0.3, 0.002, -0.0015, 0.0, 1.8, 0.8, 0.0]),
}
#: The lens of the poor captures: 600 px, mild barrel distortion.
POOR_CAPTURE_LENS = (600.0, [-0.2, 0.05, 0.0, 0.0, 0.0])


def chessboard():
    return _velk.ChessboardTarget((9, 6), 0.03)


def small_tag():
    """One 48 mm marker."""
    return _velk.ArucoTarget((1, 1), 0.048, 0.01)


def board_poses(target, count, rng, distance_m=(0.35, 0.6), tilt_deg=(10.0, 40.0), aim_m=(0.09, 0.07),
                roll_deg=20.0):
    """Cameras around the board at the given distances and tilts, each looking at a point up to ``aim_m`` off the
    board's centre (so that the board moves about the picture) and rolled by up to ``roll_deg``."""
    centre = synthetic.board_center(target)
    poses = []
    for k in range(count):
        distance = rng.uniform(*distance_m)
        tilt = np.radians(rng.uniform(*tilt_deg))
        azimuth = 2 * np.pi * k / count + rng.uniform(-0.2, 0.2)
        eye = centre + distance * np.array([np.sin(tilt) * np.cos(azimuth), np.sin(tilt) * np.sin(azimuth),
                                            -np.cos(tilt)])
        aim = centre + np.array([rng.uniform(-aim_m[0], aim_m[0]), rng.uniform(-aim_m[1], aim_m[1]), 0.0])
        roll = _velk.tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, rng.uniform(-roll_deg, roll_deg)])
        poses.append(roll @ synthetic.look_at_pose(eye, aim))
    return poses


def render(target, lens, poses, seed, image_size=IMAGE_SIZE):
    focal, distortion = lens
    camera = synthetic.pinhole_matrix(focal, image_size)
    return [synthetic.render_target(target, camera, np.array(distortion), pose, image_size, noise_sigma=1.0,
                                    blur_sigma=0.5, seed=seed + k, supersample=2).image
            for k, pose in enumerate(poses)]


def lens_capture(true_model, seed, views=24, image_size=IMAGE_SIZE):
    """Pictures of a chessboard reaching the picture's corners through the true lens of ``true_model``; the
    distances scale with the focal length so that the board fills as much of the picture, and the focal length
    with the picture's width so that a smaller picture sees the same."""
    focal, _ = TRUE_LENSES[true_model]
    target = chessboard()
    scale = focal / 520.0
    poses = board_poses(target, views, np.random.default_rng(seed), distance_m=(0.35 * scale, 0.6 * scale))
    lens = (focal * image_size[0] / IMAGE_SIZE[0], TRUE_LENSES[true_model][1])
    return target, render(target, lens, poses, 1000 * seed, image_size)


def small_tag_capture(seed, views=8):
    """A few pictures of one small tag, 25-40 cm away, tilted by at most 25 degrees."""
    target = small_tag()
    poses = board_poses(target, views, np.random.default_rng(seed), distance_m=(0.25, 0.4), tilt_deg=(0.0, 25.0),
                        aim_m=(0.0, 0.0))
    return target, render(target, POOR_CAPTURE_LENS, poses, 1000 * seed)


def central_chessboard_capture(seed, views=7):
    """A few pictures of a chessboard near the picture's centre, little tilted."""
    target = chessboard()
    poses = board_poses(target, views, np.random.default_rng(seed), distance_m=(0.55, 0.8), tilt_deg=(5.0, 25.0),
                        aim_m=(0.03, 0.03))
    return target, render(target, POOR_CAPTURE_LENS, poses, 1000 * seed)
