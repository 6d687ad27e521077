"""Rotations and rigid transforms in every form the package reads or writes.

* quaternions: unit (w, x, y, z) by default; ``order="xyzw"`` for x, y, z, w (the order of ROS
  messages). A quaternion and its negative are the same rotation; the ones returned here have w >= 0.
* rotation vectors: axis times angle in radians (rx, ry, rz), angle in [0, pi].
* Euler angles: extrinsic x-y-z in degrees, the library's pose vector [x, y, z, rx, ry, rz]
  (the compiled core's conversion, :mod:`_velk.tf`); other sequences by name (:data:`EULER_ORDERS`).
* 4 x 4 transforms: rotation block and translation column, last row 0 0 0 1.

Everything is plain numpy apart from the Euler angles.
"""

from __future__ import annotations

import math

import numpy as np

QUATERNION_ORDERS = ("wxyz", "xyzw")

#: Below this the skew part of a rotation near a half turn (2 sin(angle) times the axis) tells no sign.
_HALF_TURN_SINE = 1e-12


def _check_order(order: str) -> str:
    if order not in QUATERNION_ORDERS:
        raise ValueError(f"quaternion order must be 'wxyz' or 'xyzw', got {order!r}")
    return order


def _wxyz(q: np.ndarray, order: str) -> np.ndarray:
    """Quaternions (..., 4) moved into w, x, y, z order."""
    return q if _check_order(order) == "wxyz" else q[..., [3, 0, 1, 2]]


def rotation_from_quaternions(q, order: str = "wxyz") -> np.ndarray:
    """(n, 3, 3) rotation matrices of (n, 4) quaternions, each scaled to unit length first."""
    q = _wxyz(np.asarray(q, dtype=np.float64).reshape(-1, 4), order)
    q = q / np.linalg.norm(q, axis=1, keepdims=True)
    w, x, y, z = q[:, 0], q[:, 1], q[:, 2], q[:, 3]
    rotation = np.empty((len(q), 3, 3))
    rotation[:, 0, 0] = 1 - 2 * (y * y + z * z)
    rotation[:, 0, 1] = 2 * (x * y - z * w)
    rotation[:, 0, 2] = 2 * (x * z + y * w)
    rotation[:, 1, 0] = 2 * (x * y + z * w)
    rotation[:, 1, 1] = 1 - 2 * (x * x + z * z)
    rotation[:, 1, 2] = 2 * (y * z - x * w)
    rotation[:, 2, 0] = 2 * (x * z - y * w)
    rotation[:, 2, 1] = 2 * (y * z + x * w)
    rotation[:, 2, 2] = 1 - 2 * (x * x + y * y)
    return rotation


def rotation_from_quaternion(q, order: str = "wxyz") -> np.ndarray:
    """3 x 3 rotation matrix of one quaternion, scaled to unit length first."""
    return rotation_from_quaternions(q, order)[0]


def _nearest_rotation(matrix) -> np.ndarray:
    """The rotation closest to a 3 x 3 matrix (read from a file, it may be a little off)."""
    u, _, vt = np.linalg.svd(np.asarray(matrix, dtype=np.float64)[:3, :3])
    return u @ vt


def _half_turn_axis(rotation: np.ndarray, cosine: float) -> np.ndarray:
    """Unit axis of a rotation near a half turn, from its symmetric part: (R + R^T) / 2 = c I + (1 - c) a a^T.
    Its sign is left to the caller."""
    outer = ((rotation + rotation.T) / 2.0 - cosine * np.eye(3)) / (1.0 - cosine)
    column = int(np.argmax(np.diag(outer)))
    axis = outer[:, column]
    return axis / np.linalg.norm(axis)


def _axis_angle(rotation) -> tuple[np.ndarray, float]:
    """Unit axis (zero for no turn) and angle in [0, pi] of a rotation matrix (the top-left 3 x 3 block of what is
    given). A half turn, whose axis and its negative are the same rotation, gets the axis whose first non-zero
    component is positive."""
    r = _nearest_rotation(rotation)
    skew = np.array([r[2, 1] - r[1, 2], r[0, 2] - r[2, 0], r[1, 0] - r[0, 1]])  # 2 sin(angle) axis
    sine = float(np.linalg.norm(skew)) / 2.0
    cosine = min(1.0, max(-1.0, (float(np.trace(r)) - 1.0) / 2.0))
    angle = math.atan2(sine, cosine)
    if cosine >= 0.0:
        # Far from a half turn the skew part gives the axis to full precision.
        return (skew / (2.0 * sine) if sine > 0.0 else np.zeros(3)), angle
    axis = _half_turn_axis(r, cosine)
    along = float(axis @ skew)
    if abs(along) > _HALF_TURN_SINE:
        axis = axis if along > 0 else -axis
    else:
        leading = axis[np.flatnonzero(np.abs(axis) > 1e-9)[0]]
        axis = axis if leading > 0 else -axis
    return axis + 0.0, angle  # no negative zeros


def rotvec_from_rotation(rotation) -> np.ndarray:
    """Rotation vector (3,) of a rotation matrix (the top-left 3 x 3 block of what is given); the angle is in
    [0, pi], and a half turn's axis has its first non-zero component positive."""
    axis, angle = _axis_angle(rotation)
    return axis * angle


def rotation_from_rotvec(vector) -> np.ndarray:
    """3 x 3 rotation matrix of a rotation vector (radians)."""
    vector = np.asarray(vector, dtype=np.float64).reshape(3)
    angle = float(np.linalg.norm(vector))
    if angle == 0.0:
        return np.eye(3)
    axis = vector / angle
    cross = np.array([[0.0, -axis[2], axis[1]], [axis[2], 0.0, -axis[0]], [-axis[1], axis[0], 0.0]])
    return (math.cos(angle) * np.eye(3) + (1.0 - math.cos(angle)) * np.outer(axis, axis)
            + math.sin(angle) * cross)


def quaternion_from_rotation(rotation, order: str = "wxyz") -> np.ndarray:
    """Unit quaternion (4,) of a rotation matrix, with w >= 0 (a half turn's axis as in :func:`rotvec_from_rotation`)."""
    axis, angle = _axis_angle(rotation)
    wxyz = np.concatenate([[math.cos(angle / 2.0)], math.sin(angle / 2.0) * axis])
    return wxyz if _check_order(order) == "wxyz" else wxyz[[1, 2, 3, 0]]


def rotation_from_euler_deg(angles_deg) -> np.ndarray:
    """3 x 3 rotation matrix of extrinsic x-y-z Euler angles in degrees (rx, ry, rz)."""
    from _velk import tf

    rx, ry, rz = (float(a) for a in np.asarray(angles_deg, dtype=np.float64).reshape(3))
    return np.asarray(tf.pose_to_transformation_matrix([0.0, 0.0, 0.0, rx, ry, rz]), dtype=np.float64)[:3, :3]


#: Euler sequences by name, the angles given in the sequence's order: lower case turns about the fixed axes
#: (extrinsic: "zyx" is z first, then y, then x), upper case about the moving ones (intrinsic: "ZYX" is z, then
#: the new y, then the newest x). "xyz" is the library's pose vector.
EULER_ORDERS = tuple(sequence for case in (str.lower, str.upper)
                     for sequence in map(case, ("xyz", "xzy", "yxz", "yzx", "zxy", "zyx",
                                                "xyx", "xzx", "yxy", "yzy", "zxz", "zyz")))


def _axis_rotation(axis: str, angle_deg: float) -> np.ndarray:
    c, s = math.cos(math.radians(angle_deg)), math.sin(math.radians(angle_deg))
    i = "xyz".index(axis.lower())
    j, k = (i + 1) % 3, (i + 2) % 3
    rotation = np.eye(3)
    rotation[j, j], rotation[j, k], rotation[k, j], rotation[k, k] = c, -s, s, c
    return rotation


def rotation_from_euler_order_deg(angles_deg, order: str) -> np.ndarray:
    """3 x 3 rotation of three Euler angles in degrees about the axes of ``order`` (see :data:`EULER_ORDERS`),
    the angles in that order."""
    if order not in EULER_ORDERS:
        raise ValueError(f"Euler order must be one of {', '.join(EULER_ORDERS)}, got {order!r}")
    angles = [float(a) for a in np.asarray(angles_deg, dtype=np.float64).reshape(3)]
    if order == "xyz":
        return rotation_from_euler_deg(angles)
    turns = [_axis_rotation(axis, angle) for axis, angle in zip(order, angles)]
    # Turns about fixed axes apply from the left, turns about moving axes from the right.
    first, second, third = turns if order.isupper() else turns[::-1]
    return first @ second @ third


def euler_deg_from_rotation(rotation) -> np.ndarray:
    """Extrinsic x-y-z Euler angles in degrees (rx, ry, rz) of a rotation matrix; ry in [-90, 90]."""
    from _velk import tf

    return np.asarray(tf.transformation_matrix_to_pose(transform(rotation)), dtype=np.float64)[3:]


def transform(rotation=None, translation=None) -> np.ndarray:
    """4 x 4 transform of a 3 x 3 rotation (identity when None) and a translation (zero when None)."""
    matrix = np.eye(4)
    if rotation is not None:
        matrix[:3, :3] = np.asarray(rotation, dtype=np.float64)[:3, :3]
    if translation is not None:
        matrix[:3, 3] = np.asarray(translation, dtype=np.float64).reshape(3)
    return matrix


def rotation_angle_deg(a, b) -> float:
    """Angle (deg) of the rotation between two rotation matrices or transforms; a full turn apart is no angle."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    cosine = (np.trace(a[:3, :3].T @ b[:3, :3]) - 1.0) / 2.0
    return math.degrees(math.acos(min(1.0, max(-1.0, cosine))))


def rotation_angles_deg(reference, rotations) -> np.ndarray:
    """Angles (deg) of the rotations between one 3 x 3 rotation and each of (n, 3, 3) rotations."""
    cosine = (np.einsum("ij,nij->n", np.asarray(reference, np.float64), np.asarray(rotations, np.float64))
              - 1.0) / 2.0
    return np.degrees(np.arccos(np.clip(cosine, -1.0, 1.0)))


def slerp(q0: np.ndarray, q1: np.ndarray, u: np.ndarray) -> np.ndarray:
    """Spherical interpolation between rows of unit quaternions q0 and q1 at fractions u (n,), on the shorter arc.
    Any component order, the same for both."""
    dot = np.sum(q0 * q1, axis=1)
    q1 = np.where(dot[:, None] < 0.0, -q1, q1)
    dot = np.abs(dot)
    angle = np.arccos(np.clip(dot, -1.0, 1.0))
    sin_angle = np.sin(angle)
    # Below about 1e-6 rad the sines lose their digits; the chord is the arc there.
    near = sin_angle < 1e-9
    safe = np.where(near, 1.0, sin_angle)
    w0 = np.where(near, 1.0 - u, np.sin((1.0 - u) * angle) / safe)
    w1 = np.where(near, u, np.sin(u * angle) / safe)
    q = w0[:, None] * q0 + w1[:, None] * q1
    return q / np.linalg.norm(q, axis=1, keepdims=True)
