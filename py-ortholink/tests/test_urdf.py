"""ROS 2 / URDF conventions and the URDF export, checked by a real URDF library."""

import numpy as np
import pytest

from ortholink import Crx

DEG = np.pi / 180.0


def test_joints_to_urdf_radians_with_the_elbow_angle_third():
    q = Crx.joints_to_urdf([10, 20, 30, 40, 50, 60])
    assert q.shape == (6,) and q.dtype == np.float64
    np.testing.assert_allclose(q, np.array([10, 20, 50, 40, 50, 60]) * DEG, rtol=0, atol=1e-15)
    back = Crx.joints_from_urdf(q)
    assert back.shape == (6,)
    np.testing.assert_allclose(back, [10, 20, 30, 40, 50, 60], rtol=0, atol=1e-12)


def test_joint_conversions_of_stacks_and_round_trips():
    rng = np.random.default_rng(14)
    joints = rng.uniform(-270, 270, (50, 6))
    q = Crx.joints_to_urdf(joints)
    assert q.shape == (50, 6)
    for row, converted in zip(joints, q, strict=True):
        np.testing.assert_array_equal(Crx.joints_to_urdf(row), converted)
    np.testing.assert_allclose(Crx.joints_from_urdf(q), joints, rtol=0, atol=1e-11)
    assert Crx.joints_to_urdf(np.empty((0, 6))).shape == (0, 6)
    # Inputs are read, never written.
    before = joints.copy()
    Crx.joints_from_urdf(joints)
    np.testing.assert_array_equal(joints, before)


def test_joint_conversion_errors_name_the_argument():
    with pytest.raises(ValueError, match=r"Expected 6 values, got shape \[5\]"):
        Crx.joints_to_urdf([1, 2, 3, 4, 5])
    with pytest.raises(ValueError, match=r"Expected an \(n, 6\) array, got shape \[2, 7\]"):
        Crx.joints_from_urdf(np.zeros((2, 7)))
    with pytest.raises(TypeError, match=r"^argument 'joints': "):
        Crx.joints_to_urdf(object())
    with pytest.raises(TypeError, match=r"^argument 'q': "):
        Crx.joints_from_urdf(np.zeros((1, 1, 6)))
    assert Crx.joints_from_urdf(q=np.zeros(6)).tolist() == [0.0] * 6
