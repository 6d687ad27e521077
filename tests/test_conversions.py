"""numpy <-> matrix conversion, observed through the geometry functions and the pictures a calibration reads."""

import numpy as np
import pytest

from _velk import IntrinsicCalibrator, tf

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


# --------------------------------------------------------------------------
# Pictures lent to a calibration: read in place during the call, never shared afterwards


def _lent_forms():
    def padded(image):
        wide = np.zeros((image.shape[0], image.shape[1] + 8, 3), np.uint8)
        wide[:, 4:-4] = image
        return wide[:, 4:-4]  # not contiguous: converted by copy

    def read_only(image):
        image = image.copy()
        image.setflags(write=False)
        return image

    return {"contiguous": lambda images: [i.copy() for i in images],
            "padded": lambda images: [padded(i) for i in images],
            "read-only": lambda images: [read_only(i) for i in images],
            "tuple": lambda images: tuple(i.copy() for i in images),
            "generator": lambda images: (i.copy() for i in images),
            "stacked": lambda images: np.stack(images)}


@pytest.fixture(scope="module")
def charuco_views(rendered_intrinsic_scene):
    target, views = rendered_intrinsic_scene("charuco")
    return target, [v.image for v in views[:6]]


@pytest.mark.parametrize("form", list(_lent_forms()))
def test_lent_pictures_give_the_same_calibration(charuco_views, form):
    target, images = charuco_views
    reference = IntrinsicCalibrator(target).calibrate([i.copy() for i in images])
    result = IntrinsicCalibrator(target).calibrate(_lent_forms()[form](images))
    assert result.ok and result.successful_indices == reference.successful_indices
    assert np.array_equal(result.intrinsic_matrix, reference.intrinsic_matrix)
    assert result.per_view_errors == reference.per_view_errors


def test_lent_pictures_share_no_memory_with_what_the_calibrator_keeps(charuco_views):
    target, images = charuco_views
    lent = [i.copy() for i in images]
    calibrator = IntrinsicCalibrator(target)
    result = calibrator.calibrate(lent)
    annotated = calibrator.corner_images()
    kept = [a.copy() for a in annotated]
    kept_points = [p.copy() for p in calibrator.detections().image_points]
    for picture in lent:
        picture[...] = 0
    assert all(np.array_equal(a, b) for a, b in zip(calibrator.corner_images(), kept))
    assert all(np.array_equal(a, b) for a, b in zip(calibrator.detections().image_points, kept_points))
    outputs = annotated + list(result.image_points) + [result.intrinsic_matrix]
    assert not any(np.shares_memory(out, picture) for out in outputs for picture in lent)
