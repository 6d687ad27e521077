"""numpy <-> matrix conversion, observed through the geometry functions."""

import numpy as np
import pytest

from _velk import tf

POSE = [0.1, -0.2, 0.3, 10.0, -20.0, 30.0]


def _pose_matrix():
    return tf.pose_to_transformation_matrix(POSE)


@pytest.mark.parametrize("dtype", [np.uint8, np.int8, np.uint16, np.int16, np.int32, np.float32, np.float64])
def test_supported_dtypes_accepted(dtype):
    matrix = np.eye(4, dtype=dtype)
    assert tf.transformation_matrix_to_pose(matrix) == pytest.approx([0, 0, 0, 0, 0, 0])


@pytest.mark.parametrize(
    "array",
    [
        np.eye(4, dtype=np.int64),
        np.eye(4, dtype=np.uint32),
        np.eye(4, dtype=np.uint64),
        np.eye(4, dtype=bool),
        np.eye(4, dtype=np.float16),
        np.eye(4, dtype=np.complex128),
        np.eye(4, dtype=">f8"),
        np.eye(4, dtype=object),
        np.zeros((4, 4, 1, 1)),
        np.zeros((4, 4, 5)),
        np.zeros((4, 4, 0)),
        np.float64(1.0),
        [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]],  # numpy's default int is int64 here
        "eye",
        None,
    ],
    ids=lambda a: getattr(a, "dtype", type(a).__name__).__str__() + str(np.shape(a) if not isinstance(a, str) else ""),
)
def test_unsupported_arrays_refused_with_type_error(array):
    with pytest.raises(TypeError):
        tf.transformation_matrix_to_pose(array)


@pytest.mark.parametrize(
    "make",
    [
        lambda m: np.asfortranarray(m),
        lambda m: np.pad(m, ((0, 0), (0, 4)))[:, :4],
        lambda m: np.kron(m, np.ones((2, 2)))[::2, ::2],
        lambda m: m.T.copy().T,
        lambda m: m.tolist(),
        lambda m: m.astype(">f8").astype("=f8"),
    ],
    ids=["fortran", "column-slice", "strided", "transposed-view", "nested-list", "byteswapped-back"],
)
def test_non_contiguous_and_list_inputs_arrive_intact(make):
    matrix = _pose_matrix()
    assert tf.transformation_matrix_to_pose(make(matrix)) == pytest.approx(POSE)


def test_one_dimensional_and_channel_shapes_are_not_square():
    # (16,) is 16 x 1 and (4, 1, 4) is 4 x 1 with 4 channels: neither is 4 x 4.
    with pytest.raises(ValueError, match="expected a 4x4 matrix"):
        tf.transformation_matrix_to_pose(np.eye(4).ravel())
    with pytest.raises(ValueError, match="expected a 4x4 matrix"):
        tf.transformation_matrix_to_pose(np.eye(4).reshape(4, 1, 4))


def test_returned_arrays_are_new_and_owned():
    a = tf.pose_to_transformation_matrix(POSE)
    b = tf.pose_to_transformation_matrix(POSE)
    assert a.dtype == np.float64 and a.shape == (4, 4)
    assert a.flags.c_contiguous and a.flags.owndata and a.flags.writeable
    a[0, 0] = 42.0
    assert b[0, 0] != 42.0


def test_input_array_is_copied_not_shared():
    poses = [_pose_matrix(), _pose_matrix()]
    before = [p.copy() for p in poses]
    tf.average_pose(poses)
    for p, q in zip(poses, before):
        assert np.array_equal(p, q)


@pytest.mark.parametrize("sequence", [lambda p: tuple(p), lambda p: (x for x in p), lambda p: list(p)])
def test_sequence_arguments(sequence):
    matrices = [_pose_matrix()] * 3
    assert np.allclose(tf.average_pose(sequence(matrices)), matrices[0])
    assert np.allclose(tf.pose_to_transformation_matrix(sequence(POSE)), matrices[0])


def test_number_sequence_refuses_text():
    with pytest.raises(TypeError):
        tf.pose_to_transformation_matrix("123456")
