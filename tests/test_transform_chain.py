"""Transforms between named frames over time: interpolation, chains up and down the tree, and their errors."""

import math

import numpy as np
import pytest

import _velk
from quorvane.velk.transform_chain import ChainError, TransformBuffer, slerp

NS = 1_000_000_000


def matrix(vector):
    return np.asarray(_velk.tf.pose_to_transformation_matrix(vector))


def quaternion_xyzw(pose):
    """Unit quaternion of a pose's rotation, from its rotation vector."""
    import cv2

    vector = cv2.Rodrigues(pose[:3, :3])[0].ravel()
    angle = np.linalg.norm(vector)
    axis = vector / angle if angle else np.zeros(3)
    return [*(axis * math.sin(angle / 2)), math.cos(angle / 2)]


def add(buffer, parent, child, time_ns, pose, static=False):
    buffer.add(parent, child, time_ns, pose[:3, 3], quaternion_xyzw(pose), static)


def test_interpolation_is_linear_in_translation_and_slerp_in_rotation():
    buffer = TransformBuffer()
    add(buffer, "base", "flange", 0, matrix([0.1, 0.0, 0.2, 0.0, 0.0, 10.0]))
    add(buffer, "base", "flange", 2 * NS, matrix([0.3, -0.2, 0.2, 0.0, 0.0, 70.0]))
    valid, poses = buffer.chain("base", "flange").at([0, NS // 2, NS, 2 * NS])
    assert valid.all()
    # A quarter of the way: translation a quarter along, rotation a quarter of the 60 degree turn about z.
    np.testing.assert_allclose(poses[1], matrix([0.15, -0.05, 0.2, 0.0, 0.0, 25.0]), atol=1e-12)
    np.testing.assert_allclose(poses[2], matrix([0.2, -0.1, 0.2, 0.0, 0.0, 40.0]), atol=1e-12)
    np.testing.assert_allclose(poses[3], matrix([0.3, -0.2, 0.2, 0.0, 0.0, 70.0]), atol=1e-12)


def test_slerp_takes_the_short_way_for_quaternions_of_opposite_sign():
    q0 = np.array([[0.0, 0.0, math.sin(0.1), math.cos(0.1)]])
    q1 = -np.array([[0.0, 0.0, math.sin(0.3), math.cos(0.3)]])  # the same rotation as +q, 0.4 rad further
    middle = slerp(q0, q1, np.array([0.5]))
    assert abs(abs(middle[0, 3]) - math.cos(0.2)) < 1e-12


@pytest.mark.parametrize("times, valid", [([-1, 0], [False, True]), ([NS, NS + 1], [True, False])])
def test_no_pose_outside_the_samples(times, valid):
    buffer = TransformBuffer()
    add(buffer, "base", "flange", 0, np.eye(4))
    add(buffer, "base", "flange", NS, np.eye(4))
    assert buffer.chain("base", "flange").at(times)[0].tolist() == valid


def test_chain_goes_up_to_the_common_ancestor_and_down_with_every_link_composed():
    # world -> base (static), world -> shoulder -> elbow -> flange; two links move, sampled at different times.
    world_T_base = matrix([0.2, 0.1, 0.8, 0.0, 0.0, 90.0])
    shoulder = [matrix([0.0, 0.0, 0.5, 0.0, 0.0, a]) for a in (0.0, 30.0)]
    elbow_T_flange = [matrix([0.3, 0.0, 0.0, b, 20.0, 0.0]) for b in (-10.0, 50.0)]
    shoulder_T_elbow = matrix([0.4, 0.0, 0.1, 0.0, -45.0, 0.0])
    buffer = TransformBuffer()
    add(buffer, "world", "base", 0, world_T_base, static=True)
    add(buffer, "shoulder", "elbow", 0, shoulder_T_elbow, static=True)
    for k in range(2):
        add(buffer, "world", "shoulder", k * NS, shoulder[k])
        add(buffer, "/elbow", "/flange", k * NS + NS // 4, elbow_T_flange[k])  # leading slashes of ROS 1 names
    chain = buffer.chain("base", "flange")
    assert chain.frames == ["base", "world", "shoulder", "elbow", "flange"]
    valid, poses = chain.at([NS // 4, NS])
    assert valid.tolist() == [True, True]
    # At NS // 4 the shoulder is a quarter of its turn along and the flange link at its first sample.
    expected = (np.linalg.inv(world_T_base) @ matrix([0.0, 0.0, 0.5, 0.0, 0.0, 7.5]) @ shoulder_T_elbow
                @ elbow_T_flange[0])
    np.testing.assert_allclose(poses[0], expected, atol=1e-12)
    # The reverse chain is the inverse.
    np.testing.assert_allclose(buffer.chain("flange", "base").at([NS // 4])[1][0], np.linalg.inv(expected),
                               atol=1e-12)
    np.testing.assert_array_equal(chain.moving_stamps, [0, NS // 4, NS, NS + NS // 4])


def test_static_link_holds_at_any_time_and_moving_samples_replace_it():
    buffer = TransformBuffer()
    add(buffer, "base", "flange", 5 * NS, matrix([0.1, 0.0, 0.0, 0.0, 0.0, 0.0]), static=True)
    valid, poses = buffer.chain("base", "flange").at([0, 100 * NS])
    assert valid.all() and np.allclose(poses[:, 0, 3], 0.1)
    add(buffer, "base", "flange", NS, matrix([0.2, 0.0, 0.0, 0.0, 0.0, 0.0]))
    add(buffer, "base", "flange", 2 * NS, matrix([0.2, 0.0, 0.0, 0.0, 0.0, 0.0]), static=True)
    valid, poses = buffer.chain("base", "flange").at([0, NS])
    assert valid.tolist() == [False, True] and poses[1, 0, 3] == pytest.approx(0.2)


@pytest.mark.parametrize("links, base, flange, message", [
    ([("a", "b"), ("c", "d")], "a", "d",
     "no chain of transforms in /tf connects 'a' to 'd': 'd' is linked up to 'c' (c <- d), which has no parent, and "
     "'a' only to a, b; the missing link is a transform between 'c' and one of those frames"),
    ([("a", "b")], "a", "z", "flange frame 'z' is not in /tf; its frames: a, b"),
    ([("a", "b")], "y", "b", "base frame 'y' is not in /tf; its frames: a, b"),
    ([("a", "b"), ("b", "a")], "a", "b", "the transforms in /tf form a loop through"),
])
def test_chain_errors_name_the_frames(links, base, flange, message):
    buffer = TransformBuffer("/tf")
    for parent, child in links:
        add(buffer, parent, child, 0, np.eye(4))
    with pytest.raises(ChainError) as info:
        buffer.chain(base, flange)
    assert str(info.value).startswith(message)


def test_a_frame_with_two_parents_is_refused():
    buffer = TransformBuffer("/tf")
    add(buffer, "a", "c", 0, np.eye(4))
    with pytest.raises(ChainError, match="^frame 'c' has two parents in /tf: 'a' and 'b'$"):
        add(buffer, "b", "c", 0, np.eye(4))
