"""SE(3) pose vectors, matrices and pose averaging; the conversions between rotation forms."""

import math

import numpy as np
import pytest

from _velk import tf


def rotation_about(axis, degrees):
    pose = [0.0] * 6
    pose[3 + "xyz".index(axis)] = degrees
    return tf.pose_to_transformation_matrix(pose)[:3, :3]


def test_zero_pose_is_identity():
    m = tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, 0])
    assert m.dtype == np.float64
    assert np.array_equal(m, np.eye(4))


def test_rotation_about_x_and_translation():
    m = tf.pose_to_transformation_matrix([1, 2, 3, 90, 0, 0])
    assert np.allclose(m[:3, :3], [[1, 0, 0], [0, 0, -1], [0, 1, 0]], atol=1e-15)
    assert list(m[:3, 3]) == [1, 2, 3]
    assert list(m[3]) == [0, 0, 0, 1]


def test_extrinsic_xyz_order():
    rx, ry, rz = 20.0, -35.0, 110.0
    expected = rotation_about("z", rz) @ rotation_about("y", ry) @ rotation_about("x", rx)
    assert np.allclose(tf.pose_to_transformation_matrix([0, 0, 0, rx, ry, rz])[:3, :3], expected)


@pytest.mark.parametrize("length", [0, 5, 7])
def test_wrong_pose_length(length):
    with pytest.raises(ValueError) as info:
        tf.pose_to_transformation_matrix([0.0] * length)
    assert str(info.value) == "poseToTransformationMatrix: expected 6 elements [x,y,z,rx,ry,rz]"


@pytest.mark.parametrize(
    "pose",
    [
        [0.5, -1.0, 2.0, 10.0, 20.0, 30.0],
        [0, 0, 0, -179.0, 89.0, 179.0],
        [0, 0, 0, 179.5, -89.5, -179.5],
        [-3, 4, 5, 0.0, 0.0, -90.0],
        [0, 0, 0, 45.0, -60.0, 120.0],
    ],
)
def test_round_trip(pose):
    back = tf.transformation_matrix_to_pose(tf.pose_to_transformation_matrix(pose))
    assert back == pytest.approx(pose, abs=1e-7)


@pytest.mark.parametrize(
    "pose,expected",
    [
        ([0, 0, 0, 30, 90, 0], [0, 0, 0, 0, 90, -30]),
        ([0, 0, 0, 30, -90, 0], [0, 0, 0, 0, -90, 30]),
        ([0, 0, 0, 0, 90, 25], [0, 0, 0, 0, 90, 25]),
    ],
)
def test_gimbal_lock_puts_rotation_into_rz(pose, expected):
    back = tf.transformation_matrix_to_pose(tf.pose_to_transformation_matrix(pose))
    assert back == pytest.approx(expected, abs=1e-6)
    assert np.allclose(tf.pose_to_transformation_matrix(back), tf.pose_to_transformation_matrix(pose))


@pytest.mark.parametrize("shape", [(3, 3), (4, 3), (3, 4), (5, 5)])
def test_matrix_to_pose_needs_4x4(shape):
    with pytest.raises(ValueError) as info:
        tf.transformation_matrix_to_pose(np.zeros(shape))
    assert str(info.value) == "transformationMatrixToPose: expected a 4x4 matrix"


def test_float32_matrix_accepted():
    m = tf.pose_to_transformation_matrix([1, 2, 3, 10, 20, 30]).astype(np.float32)
    assert tf.transformation_matrix_to_pose(m) == pytest.approx([1, 2, 3, 10, 20, 30], abs=1e-4)


def test_average_of_nothing():
    with pytest.raises(ValueError) as info:
        tf.average_pose([])
    assert str(info.value) == "averagePose: poses must be non-empty"


@pytest.mark.parametrize("shape", [(3, 3), (3, 4), (4, 3), (0, 0)])
def test_average_rejects_small_matrices(shape):
    with pytest.raises(ValueError, match="averagePose"):
        tf.average_pose([np.eye(4), np.zeros(shape)])


def test_average_of_one_and_of_a_pair():
    m = tf.pose_to_transformation_matrix([0.3, 0.2, 0.1, 5, -40, 70])
    assert np.allclose(tf.average_pose([m]), m)
    assert np.allclose(tf.average_pose([m, m]), m)


def test_average_of_single_pose_reorthonormalises():
    m = tf.pose_to_transformation_matrix([0, 0, 0, 10, 20, 30])
    noisy = m.copy()
    noisy[:3, :3] *= 1.01
    r = tf.average_pose([noisy])[:3, :3]
    assert np.allclose(r @ r.T, np.eye(3))
    assert np.allclose(r, m[:3, :3])


def test_average_of_symmetric_rotations():
    a = tf.pose_to_transformation_matrix([0, 0, 0, 0, 10, 0])
    b = tf.pose_to_transformation_matrix([2, 4, 6, 0, -10, 0])
    mean = tf.average_pose([a, b])
    assert np.allclose(mean[:3, :3], np.eye(3))
    assert np.allclose(mean[:3, 3], [1, 2, 3])
    assert list(mean[3]) == [0, 0, 0, 1]


@pytest.mark.parametrize(
    "poses",
    [
        [np.zeros((4, 4))],
        [np.diag([1.0, 1.0, -1.0, 1.0])],
        [np.diag([-1.0, -1.0, -1.0, 1.0])],
        [np.diag([1.0, 0.0, 0.0, 1.0])],
        [tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, 0]), tf.pose_to_transformation_matrix([0, 0, 0, 180, 0, 0])],
    ],
    ids=["zero", "reflection", "point-reflection", "rank-one", "opposed"],
)
def test_average_is_a_rotation_even_on_degenerate_input(poses):
    r = tf.average_pose(poses)[:3, :3]
    assert math.isclose(np.linalg.det(r), 1.0, abs_tol=1e-9)
    assert np.allclose(r @ r.T, np.eye(3), atol=1e-9)


def test_docstrings():
    assert tf.pose_to_transformation_matrix.__doc__.splitlines()[-1].strip() == (
        "Convert [x, y, z, rx, ry, rz] (degrees, extrinsic xyz Euler) to a 4x4 matrix.")
    assert tf.transformation_matrix_to_pose.__doc__.splitlines()[-1].strip() == (
        "Convert a 4x4 transformation matrix to [x, y, z, rx, ry, rz] (degrees).")
    assert tf.average_pose.__doc__.splitlines()[-1].strip() == (
        "Mean SE(3) pose: average translations, project the mean rotation onto SO(3) via SVD.")
    assert "pose_xyzrpy_deg" in tf.pose_to_transformation_matrix.__doc__


@pytest.mark.parametrize("channels", [2, 3, 4])
def test_matrix_to_pose_refuses_multichannel_4x4(channels):
    # A (4, 4, c) array is a 4 x 4 matrix of c channels; reading it as one channel would give a wrong pose.
    with pytest.raises(ValueError, match="expected a 4x4 matrix"):
        tf.transformation_matrix_to_pose(np.ones((4, 4, channels)))


# --------------------------------------------------------------------------
# The package's conversions between rotation forms (quorvane.velk.geometry)

from quorvane.velk import geometry  # noqa: E402


def _axis_rotation(axis, radians):
    """Rotation about a unit axis by the textbook formula, independent of the module under test."""
    a = np.asarray(axis, np.float64) / np.linalg.norm(axis)
    cross = np.array([[0.0, -a[2], a[1]], [a[2], 0.0, -a[0]], [-a[1], a[0], 0.0]])
    return math.cos(radians) * np.eye(3) + (1 - math.cos(radians)) * np.outer(a, a) + math.sin(radians) * cross


ROTATIONS = {
    "identity": ((1, 0, 0), 0.0),
    "tiny": ((0.3, -0.5, 0.8), 1e-9),
    "general": ((0.3, -0.5, 0.8), 1.1),
    "obtuse": ((-0.7, 0.2, 0.4), 2.5),
    "half-turn-x": ((1, 0, 0), math.pi),
    "half-turn-y": ((0, 1, 0), math.pi),
    "half-turn-z": ((0, 0, 1), math.pi),
    "half-turn-diagonal": ((-1, 1, 1), math.pi),
    "half-turn-in-plane": ((-0.6, 0.8, 0), math.pi),
    "nearly-half-turn": ((-0.6, 0.8, 0), math.pi - 1e-7),
}

FORMS = {
    "quaternion-wxyz": (lambda r: geometry.quaternion_from_rotation(r), lambda q: geometry.rotation_from_quaternion(q)),
    "quaternion-xyzw": (lambda r: geometry.quaternion_from_rotation(r, "xyzw"),
                        lambda q: geometry.rotation_from_quaternion(q, "xyzw")),
    "rotvec": (geometry.rotvec_from_rotation, geometry.rotation_from_rotvec),
    "euler-deg": (geometry.euler_deg_from_rotation, geometry.rotation_from_euler_deg),
}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("rotation", ROTATIONS)
def test_every_form_gives_back_the_rotation(form, rotation):
    matrix = _axis_rotation(*ROTATIONS[rotation])
    to_form, from_form = FORMS[form]
    assert np.allclose(from_form(to_form(matrix)), matrix, rtol=0, atol=1e-12)


@pytest.mark.parametrize("rotation", ROTATIONS)
def test_quaternion_and_rotation_vector_are_those_of_the_axis_and_angle(rotation):
    axis, angle = ROTATIONS[rotation]
    axis = np.asarray(axis, np.float64) / np.linalg.norm(axis)
    if angle == math.pi and axis[np.flatnonzero(np.abs(axis) > 1e-9)[0]] < 0:
        axis = -axis  # a half turn is told by the axis whose first non-zero component is positive
    matrix = _axis_rotation(axis, angle)
    assert np.allclose(geometry.rotvec_from_rotation(matrix), axis * angle, rtol=0, atol=1e-12)
    wxyz = np.concatenate([[math.cos(angle / 2)], math.sin(angle / 2) * axis])
    assert np.allclose(geometry.quaternion_from_rotation(matrix), wxyz, rtol=0, atol=1e-12)
    assert np.allclose(geometry.quaternion_from_rotation(matrix, "xyzw"), wxyz[[1, 2, 3, 0]], rtol=0, atol=1e-12)


@pytest.mark.parametrize("order", geometry.QUATERNION_ORDERS)
@pytest.mark.parametrize("q", [(0.2, -0.4, 0.1, 0.88), (-0.2, 0.4, -0.1, 0.88), (0.0, 0.6, 0.8, 0.0)])
def test_a_quaternion_and_its_negative_are_one_rotation_and_come_back_with_w_not_negative(order, q):
    q = np.asarray(q) / np.linalg.norm(q)
    matrix = geometry.rotation_from_quaternion(q, order)
    assert np.allclose(geometry.rotation_from_quaternion(-q, order), matrix, rtol=0, atol=1e-15)
    back = geometry.quaternion_from_rotation(matrix, order)
    assert back[0 if order == "wxyz" else 3] >= 0.0
    assert np.allclose(geometry.rotation_from_quaternion(back, order), matrix, rtol=0, atol=1e-12)
    assert np.allclose(np.abs(back @ q), 1.0, rtol=0, atol=1e-12)


def test_a_quaternion_is_scaled_to_unit_length_and_its_order_is_checked():
    q = geometry.quaternion_from_rotation(_axis_rotation((0.3, -0.5, 0.8), 1.1))
    assert np.allclose(geometry.rotation_from_quaternion(3.0 * q), geometry.rotation_from_quaternion(q), atol=1e-15)
    with pytest.raises(ValueError, match="quaternion order"):
        geometry.rotation_from_quaternion(q, "zyxw")


def test_a_rotation_read_slightly_off_is_taken_as_the_nearest_rotation():
    matrix = _axis_rotation((0.3, -0.5, 0.8), 1.1)
    off = matrix * 1.0005
    assert np.allclose(geometry.rotvec_from_rotation(off), geometry.rotvec_from_rotation(matrix), atol=1e-12)


@pytest.mark.parametrize("angle", [0.0, 1e-4, 0.7, math.pi / 2, 3.0, math.pi])
def test_rotation_angle_between_two_transforms(angle):
    a = geometry.transform(_axis_rotation((0.1, 0.9, -0.3), 0.4), [1.0, 2.0, 3.0])
    b = geometry.transform(a[:3, :3] @ _axis_rotation((0.5, -0.2, 0.6), angle))
    assert geometry.rotation_angle_deg(a, b) == pytest.approx(math.degrees(angle), abs=2e-6)
    assert geometry.rotation_angles_deg(a[:3, :3], b[None, :3, :3])[0] == pytest.approx(math.degrees(angle), abs=2e-6)


@pytest.mark.parametrize("order, same_as", [
    ("xyz", None),  # the pose vector's own angles, through the compiled core
    ("ZYX", "xyz"),  # about moving axes in one order = about fixed axes in the other, angles reversed
    ("XYZ", "zyx"),
    ("ZYZ", "zyz"),
])
def test_euler_orders_compose_as_named(order, same_as):
    angles = (25.0, -40.0, 70.0)
    rotation = geometry.rotation_from_euler_order_deg(angles, order)
    if same_as is None:
        np.testing.assert_allclose(rotation, geometry.rotation_from_euler_deg(angles), atol=1e-12)
    else:
        np.testing.assert_allclose(rotation, geometry.rotation_from_euler_order_deg(angles[::-1], same_as),
                                   atol=1e-12)
    first = geometry.rotation_from_euler_order_deg((angles[0], 0, 0), order)
    axis = "xyz".index(order[0].lower())
    assert first[axis, axis] == pytest.approx(1.0)  # the first angle turns about the first axis named
    with pytest.raises(ValueError, match="Euler order"):
        geometry.rotation_from_euler_order_deg(angles, "xyw")
