"""Rotation variety of captured poses: motions kept, singular values, verdict text."""

import pytest

from _velk import diagnostics, tf


def poses_from_angles(angles):
    """Poses whose consecutive motions are the given (rx, ry, rz) steps in degrees."""
    poses = [tf.pose_to_transformation_matrix([0.05, -0.02, 0.6, 0, 0, 0])]
    for step in angles:
        poses.append(poses[-1] @ tf.pose_to_transformation_matrix([0.01, 0.0, 0.0, *step]))
    return poses


@pytest.mark.parametrize("count", [0, 1, 2, 3])
def test_too_few_poses(count):
    poses = poses_from_angles([(20, 0, 0), (0, 20, 0), (0, 0, 20)])[:count]
    assert diagnostics.analyze_rotation_variety(poses) is None


def test_single_axis_is_poor():
    stats = diagnostics.analyze_rotation_variety(poses_from_angles([(10, 0, 0)] * 3))
    assert stats.num_motions == 3
    assert stats.singular_values[1] < 1e-9 and stats.axis_span_ratio < 1e-9
    assert stats.angle_mean_deg == pytest.approx(10.0) and stats.angle_max_deg == pytest.approx(10.0)
    text = diagnostics.format_rotation_variety(stats)
    assert text.endswith("  >>> POOR rotation variety  -  motions cluster in a plane.\n"
                         "  >>> Hand-eye is poorly observable in one axis; expect bias.\n")


def test_three_axes_are_healthy():
    stats = diagnostics.analyze_rotation_variety(poses_from_angles([(20, 0, 0), (0, 20, 0), (0, 0, 20), (0, 0, -30)]))
    assert stats.num_motions == 4
    s = stats.singular_values
    assert len(s) == 3 and s[0] >= s[1] >= s[2] > 0
    assert stats.axis_span_ratio == pytest.approx(s[2] / s[0])
    assert stats.angle_max_deg == pytest.approx(30.0)
    assert stats.angle_mean_deg == pytest.approx(22.5)
    assert diagnostics.format_rotation_variety(stats).endswith("  >>> Rotation variety is healthy.\n")


@pytest.mark.parametrize("minimum,expected", [(0.5, 3), (0.59, 3), (0.61, None), (0.0, 3)])
def test_minimum_rotation_is_strict(minimum, expected):
    stats = diagnostics.analyze_rotation_variety(poses_from_angles([(0.6, 0, 0), (0, 0.6, 0), (0, 0, 0.6)]),
                                                 min_rotation_deg=minimum)
    assert (stats.num_motions if stats else None) == expected


def test_small_motions_are_ignored_entirely():
    steps = [(20, 0, 0), (0.2, 0, 0), (0, 20, 0), (0, 0, 0.1), (0, 0, 20)]
    stats = diagnostics.analyze_rotation_variety(poses_from_angles(steps))
    assert stats.num_motions == 3 and stats.angle_mean_deg == pytest.approx(20.0)


def test_translation_does_not_matter():
    base = poses_from_angles([(15, 0, 0), (0, 15, 0), (0, 0, 15)])
    shifted = [p.copy() for p in base]
    for k, p in enumerate(shifted):
        p[:3, 3] += [0.1 * k, -0.3 * k, 0.05]
    a = diagnostics.analyze_rotation_variety(base)
    b = diagnostics.analyze_rotation_variety(shifted)
    assert a.singular_values == pytest.approx(b.singular_values)


def test_stats_have_no_constructor():
    with pytest.raises(TypeError):
        diagnostics.RotationVarietyStats()
