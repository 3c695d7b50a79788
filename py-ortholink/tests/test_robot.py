import math

import numpy as np
import pytest

from ortholink import Crx, CrxModel

from conftest import ZERO_POSE_FLANGE

MODELS = [
    (CrxModel.Crx3iA, Crx.crx3ia, (280, 280, 123, 111)),
    (CrxModel.Crx5iA, Crx.crx5ia, (410, 430, 145, 130)),
    (CrxModel.Crx10iA, Crx.crx10ia, (540, 540, 160, 150)),
    (CrxModel.Crx10iAL, Crx.crx10ial, (710, 540, 160, 150)),
    (CrxModel.Crx20iAL, Crx.crx20ial, (710, 540, 160, 150)),
    (CrxModel.Crx30iA, Crx.crx30ia, (950, 750, 180, 185)),
]


@pytest.mark.parametrize("model,make,dims", MODELS)
def test_catalogue(model, make, dims):
    for robot in (Crx.from_model(model), make()):
        assert (robot.z1, robot.x1, robot.x2, robot.y1) == dims
        assert all(isinstance(v, float) for v in (robot.z1, robot.x1, robot.x2, robot.y1))


def test_from_params_order_and_keywords():
    joints = [10, 20, 30, 40, 50, 60]
    a = Crx.from_params(z1=540, x1=540, x2=160, y1=150).fk(joints)
    assert np.array_equal(a, Crx.crx10ia().fk(joints))
    other = Crx.from_params(150, 540, 160, 540)
    assert other.z1 == 150 and other.y1 == 540


def test_from_params_accepts_anything_float_like_and_stores_it():
    robot = Crx.from_params(np.float32(540), 540, np.int8(1), 1e-3)
    assert (robot.z1, robot.x2, robot.y1) == (540.0, 1.0, 1e-3)
    # A bool is an int to Python, but never a length.
    with pytest.raises(TypeError, match=r"^argument 'x2': expected real numbers, got bool$"):
        Crx.from_params(540, 540, True, 1e-3)


@pytest.mark.parametrize("name", ["z1", "x1", "x2", "y1"])
@pytest.mark.parametrize("value, text", [(0, "0.0"), (-0.0, "-0.0"), (-150, "-150.0"), (math.nan, "nan"),
                                         (math.inf, "inf"), (-math.inf, "-inf")])
def test_from_params_refuses_lengths_no_arm_has(name, value, text):
    # With any of these, ik finds nothing (or next to nothing) on poses fk reaches.
    dims = dict(z1=540, x1=540, x2=160, y1=150)
    dims[name] = value
    with pytest.raises(
        ValueError, match=rf"^argument '{name}': expected a positive, finite length in millimeters, got {text}$"
    ):
        Crx.from_params(**dims)


def test_from_params_refuses_lengths_too_short_for_the_solver():
    # 1e-300 mm arms build and then solve nothing; a micrometre is the shortest length taken.
    assert Crx.from_params(540, 540, 160, 1e-3).y1 == 1e-3
    for name in ("z1", "x1", "x2", "y1"):
        dims = dict(z1=540, x1=540, x2=160, y1=150)
        dims[name] = 1e-300
        with pytest.raises(ValueError, match=rf"^argument '{name}': expected a length of at least 0.001 millimeters"):
            Crx.from_params(**dims)


def test_from_params_errors_name_the_argument():
    with pytest.raises(TypeError, match=r"^argument 'y1': "):
        Crx.from_params(540, 540, 160, "a")
    with pytest.raises(TypeError, match=r"^argument 'z1': "):
        Crx.from_params(None, 540, 160, 150)
    with pytest.raises(TypeError, match="unexpected keyword argument 'w1'"):
        Crx.from_params(540, 540, 160, w1=150)
    with pytest.raises(TypeError):
        Crx.from_params(540, 540, 160)


def test_from_model_requires_a_model():
    for bad in (2, "Crx10iA", None, 2.0):
        with pytest.raises(TypeError, match=r"^argument 'model': .*CrxModel"):
            Crx.from_model(bad)


def test_text_signatures_and_docstrings():
    assert Crx.fk.__text_signature__ == "($self, joints)"
    assert Crx.fk_all.__text_signature__ == "($self, joints)"
    assert Crx.from_params.__text_signature__ == "(z1, x1, x2, y1)"
    assert Crx.crx10ia.__text_signature__ == "()"
    assert Crx.ik_closest.__text_signature__ == "($self, target, reference)"
    assert Crx.fk.__doc__.startswith("Compute the pose of the flange for a set of joint angles.\n\n")
    assert Crx.crx10ial.__doc__ == "The CRX-10iA/L."
    assert Crx.__doc__ == "A FANUC CRX robot defined by the four link dimensions that distinguish the models."
    assert Crx.z1.__doc__ == "The height of the J3 origin above the J2 origin, in millimeters."
    assert CrxModel.__doc__.startswith("One of the models in the FANUC CRX series.\n\n`LinkMeshes.load`")


def test_fk_zero_pose_bit_for_bit(robot):
    pose = robot.fk([0, 0, 0, 0, 0, 0])
    assert pose.dtype == np.float64 and pose.shape == (4, 4)
    assert pose.flags.c_contiguous and pose.flags.writeable and pose.flags.owndata
    assert np.array_equal(pose, ZERO_POSE_FLANGE)


def test_fk_published_poses(robot):
    expected = np.array(
        [
            [-0.324865971, -0.929662146, 0.173753833, 642.711295],
            [0.82614045, -0.189514678, 0.530637489, 76.6480551],
            [-0.460384685, 0.315931133, 0.829598373, 993.670315],
            [0, 0, 0, 1],
        ]
    )
    np.testing.assert_allclose(robot.fk([10, 20, 30, 40, 50, 60]), expected, rtol=1e-8, atol=1e-8)
    expected5 = np.array(
        [
            [-0.92899525, -0.296198133, 0.221888468, 482.269919],
            [-0.280140924, 0.171010072, -0.944603948, -396.830672],
            [0.241844763, -0.939692621, -0.241844763, 343.795067],
            [0, 0, 0, 1],
        ]
    )
    np.testing.assert_allclose(Crx.crx5ia().fk([-30, 10, -20, 90, -45, 180]), expected5, rtol=1e-8, atol=1e-8)


def test_fk_j2_keeps_orientation(robot):
    pose = robot.fk([0, 30, 0, 0, 0, 0])
    assert pose[:3, 3].tolist() == [970.0, -150.0, 467.6537180435969]
    np.testing.assert_allclose(pose[:3, :3], ZERO_POSE_FLANGE[:3, :3], atol=1e-15)


def test_fk_all_shape_and_last_frame(robot):
    rng = np.random.default_rng(3)
    for _ in range(50):
        joints = rng.uniform(-360, 360, 6)
        frames = robot.fk_all(joints)
        assert frames.shape == (6, 4, 4) and frames.dtype == np.float64
        assert np.array_equal(frames[5], robot.fk(joints))
    frames = robot.fk_all(np.zeros(6))
    assert frames[2][:3, 3].tolist() == [0, 0, 540]
    assert frames[4][:3, 3].tolist() == [540, -150, 540]


def test_fk_propagates_non_finite(robot):
    assert np.isnan(robot.fk([0, 0, 0, float("nan"), 0, 0])).any()


def test_crx_has_identity_equality_only(robot):
    assert robot != Crx.crx10ia()
    assert robot == robot


class TestCrxModel:
    def test_members_are_cached(self):
        assert CrxModel.Crx5iA is CrxModel.Crx5iA
        assert Crx.from_model(CrxModel.Crx5iA).z1 == 410

    def test_repr_str_int(self):
        for code, name in enumerate(["Crx3iA", "Crx5iA", "Crx10iA", "Crx10iAL", "Crx20iAL", "Crx30iA"]):
            member = getattr(CrxModel, name)
            assert repr(member) == f"CrxModel.{name}" == str(member)
            assert int(member) == code

    def test_comparisons(self):
        assert CrxModel.Crx10iA == 2
        assert CrxModel.Crx10iA == np.int64(2)
        assert CrxModel.Crx10iA != 3
        assert CrxModel.Crx10iA != CrxModel.Crx10iAL
        assert CrxModel.Crx10iA == CrxModel.Crx10iA
        assert not (CrxModel.Crx10iA == "Crx10iA")
        assert not (CrxModel.Crx10iA == 2.0)
        assert CrxModel.Crx3iA != 2**80
        with pytest.raises(TypeError):
            CrxModel.Crx3iA < CrxModel.Crx5iA
        with pytest.raises(TypeError):
            CrxModel.Crx3iA >= 1

    def test_unhashable_and_not_an_index(self):
        with pytest.raises(TypeError):
            hash(CrxModel.Crx5iA)
        with pytest.raises(TypeError):
            {CrxModel.Crx5iA}
        with pytest.raises(TypeError):
            [0, 1, 2][CrxModel.Crx5iA]


class TestInterpolatePoses:
    def test_steps_and_ends(self):
        a = Crx.pose_from_xyzwpr([600, -150, 700, 180, 0, 90])
        b = Crx.pose_from_xyzwpr([400, 150, 500, 150, 30, 0])
        poses = Crx.interpolate_poses(a, b, 6)
        assert poses.shape == (6, 4, 4)
        np.testing.assert_allclose(poses[0], a, rtol=0, atol=1e-12)
        np.testing.assert_allclose(poses[-1], b, rtol=0, atol=1e-12)
        np.testing.assert_allclose(np.diff(poses[:, :3, 3], axis=0), np.tile((b - a)[:3, 3] / 5, (5, 1)), atol=1e-9)
        # Equal rotation angles between neighbours: the trace of R_k^T R_{k+1}.
        angles = [np.arccos((np.trace(p.T[:3, :3] @ q[:3, :3]) - 1) / 2) for p, q in zip(poses, poses[1:])]
        np.testing.assert_allclose(angles, angles[0], atol=1e-9)
        stepped = Crx.interpolate_poses(a, b, step=(1000.0, 5.0))
        whole = np.degrees(np.arccos((np.trace(a[:3, :3].T @ b[:3, :3]) - 1) / 2))
        assert len(stepped) == int(np.ceil(whole / 5.0)) + 1

    def test_arguments(self):
        a = np.eye(4)
        with pytest.raises(TypeError, match="either n or step"):
            Crx.interpolate_poses(a, a)
        with pytest.raises(TypeError, match="either n or step"):
            Crx.interpolate_poses(a, a, 3, step=(1, 1))
        with pytest.raises(ValueError, match="argument 'n'"):
            Crx.interpolate_poses(a, a, 1)
        with pytest.raises(TypeError, match="argument 'n'"):
            Crx.interpolate_poses(a, a, True)
        with pytest.raises(TypeError, match="argument 'n': expected an int, got float"):
            Crx.interpolate_poses(a, a, 3.0)
        # A count computed with NumPy is a count.
        assert Crx.interpolate_poses(a, a, np.int64(5)).shape == (5, 4, 4)
        with pytest.raises(ValueError, match="argument 'step'"):
            Crx.interpolate_poses(a, a, step=(0, 1))
        with pytest.raises(ValueError, match=r"argument 'step': the steps need 1000000001 poses, more than 1048576"):
            Crx.interpolate_poses(a, np.diag([1.0, 1, 1, 1]) + np.pad([[1e9], [0], [0]], ((0, 1), (3, 0))), step=(1, 1))
        with pytest.raises(ValueError, match="argument 'b'"):
            Crx.interpolate_poses(a, [1, 2, 3, 4, 5, 6], 3)
