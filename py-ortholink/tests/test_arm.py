import pickle

import numpy as np
import pytest

import ortholink
from ortholink import Arm, Crx, CrxModel

TOOL_XYZWPR = [12.0, -30.0, 145.0, 15.0, -20.0, 75.0]
BASE_XYZWPR = [850.0, -420.0, 310.0, 0.5, -1.5, 150.0]


def make_arm(**overrides):
    arguments = dict(
        base=Crx.pose_from_xyzwpr(BASE_XYZWPR),
        tool=Crx.pose_from_xyzwpr(TOOL_XYZWPR),
    )
    arguments.update(overrides)
    return Arm(CrxModel.Crx10iA, **arguments)


class TestConstruction:
    def test_model_defaults_follow_the_published_table(self):
        arm = Arm(CrxModel.Crx10iA)
        np.testing.assert_array_equal(arm.lower, [-190, -179.9, -71 - 179.9, -190, -179.9, -225])
        np.testing.assert_array_equal(arm.upper, [190, 179.9, 251 + 179.9, 190, 179.9, 225])
        assert arm.elbow == (-71.0, 251.0)
        np.testing.assert_array_equal(arm.max_speed, [120, 120, 180, 180, 180, 180])
        np.testing.assert_array_equal(arm.base, np.eye(4))
        np.testing.assert_array_equal(arm.tool, np.eye(4))
        assert arm.model is CrxModel.Crx10iA
        assert arm.robot.z1 == Crx.crx10ia().z1

    @pytest.mark.parametrize(
        "model, j1, j2, elbow, speed",
        [
            (CrxModel.Crx3iA, 200, 179.999, (-62.7, 242.7), [130, 130, 180, 225, 360, 360]),
            (CrxModel.Crx5iA, 200, 179.9, (-68, 248), [150, 150, 180, 225, 225, 225]),
            (CrxModel.Crx10iAL, 179.9, 179.9, (-270, 270), [120, 120, 180, 180, 180, 180]),
            (CrxModel.Crx20iAL, 179.9, 179.9, (-270, 270), [80, 80, 120, 112.5, 90, 112.5]),
            (CrxModel.Crx30iA, 179.9, 179.9, (-270, 270), [80, 80, 120, 180, 180, 180]),
        ],
    )
    def test_every_model(self, model, j1, j2, elbow, speed):
        arm = Arm(model)
        assert arm.upper[0] == j1 and arm.lower[0] == -j1
        assert arm.upper[1] == j2 and arm.lower[1] == -j2
        assert arm.elbow == elbow
        # J3 alone cuts nothing the J2 and elbow limits allow.
        assert arm.lower[2] == elbow[0] - j2 and arm.upper[2] == elbow[1] + j2
        np.testing.assert_array_equal(arm.max_speed, speed)
        np.testing.assert_array_equal(arm.upper[3:], [190, j2 if model != CrxModel.Crx3iA else 179.999, 225])

    def test_plain_robot_defaults(self):
        arm = Arm(Crx.crx5ia())
        np.testing.assert_array_equal(arm.lower, [-180] * 6)
        np.testing.assert_array_equal(arm.upper, [180] * 6)
        assert arm.elbow is None and arm.model is None
        np.testing.assert_array_equal(arm.max_speed, [180] * 6)

    def test_overrides(self):
        arm = Arm(CrxModel.Crx10iA, lower=[-1, -2, -3, -4, -5, -6], upper=[1, 2, 3, 4, 5, 6], max_speed=[1] * 6)
        np.testing.assert_array_equal(arm.lower, [-1, -2, -3, -4, -5, -6])
        np.testing.assert_array_equal(arm.upper, [1, 2, 3, 4, 5, 6])
        np.testing.assert_array_equal(arm.max_speed, [1] * 6)
        assert Arm(CrxModel.Crx10iA, elbow=None).elbow is None
        narrowed = Arm(CrxModel.Crx10iA, elbow=(0, 90))
        assert narrowed.elbow == (0.0, 90.0)
        assert narrowed.lower[2] == 0 - 179.9 and narrowed.upper[2] == 90 + 179.9

    def test_argument_errors(self):
        with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
            Arm(CrxModel.Crx10iA, np.eye(4))
        with pytest.raises(TypeError, match=r"missing required argument 'robot' \(pos 1\)"):
            Arm(tool=np.eye(4))
        with pytest.raises(TypeError, match=r"unexpected keyword argument 'limits'"):
            Arm(CrxModel.Crx10iA, limits=None)
        with pytest.raises(TypeError, match=r"argument 'robot': expected ortholink.Crx or ortholink.CrxModel, got int"):
            Arm(2)
        with pytest.raises(ValueError, match=r"argument 'lower': expected 6 values, got 5"):
            Arm(CrxModel.Crx10iA, lower=[0] * 5)
        with pytest.raises(ValueError, match=r"lower limit of J4 is above its upper limit"):
            Arm(CrxModel.Crx10iA, lower=[0, 0, 0, 10, 0, 0], upper=[0, 0, 0, 5, 0, 0])
        with pytest.raises(ValueError, match=r"limits of J1 must be finite"):
            Arm(CrxModel.Crx10iA, upper=[np.inf, 0, 0, 0, 0, 0])
        with pytest.raises(ValueError, match=r"speed of J6 must be positive"):
            Arm(CrxModel.Crx10iA, max_speed=[1, 1, 1, 1, 1, 0])
        with pytest.raises(ValueError, match=r"whole-turn variants"):
            Arm(Crx.crx10ia(), lower=[-1e5] * 6, upper=[1e5] * 6)
        with pytest.raises(ValueError, match=r"argument 'elbow': expected \(lower, upper\), got 3 values"):
            Arm(CrxModel.Crx10iA, elbow=(1, 2, 3))
        with pytest.raises(ValueError, match=r"argument 'tool': the rotation part is"):
            Arm(CrxModel.Crx10iA, tool=np.diag([1.0, 1.0, 1.01, 1.0]))


class TestValueSemantics:
    def test_immutable(self):
        arm = make_arm()
        with pytest.raises(AttributeError):
            arm.tool = np.eye(4)
        with pytest.raises(AttributeError):
            arm.colour = "yellow"
        arm.lower[0] = 0.0
        assert arm.lower[0] == -190.0

    def test_pickle_equality_and_hash(self):
        arm = make_arm(elbow=(-60, 200), max_speed=[10, 20, 30, 40, 50, 60])
        copy = pickle.loads(pickle.dumps(arm))
        assert copy == arm and hash(copy) == hash(arm)
        assert copy.model is CrxModel.Crx10iA
        np.testing.assert_array_equal(copy.tool, arm.tool)
        assert make_arm() != make_arm(tool=np.eye(4))
        assert Arm(Crx.crx10ia()) != Arm(CrxModel.Crx10iA)
        plain = Arm(Crx.from_params(500, 400, 100, 90), elbow=None)
        assert pickle.loads(pickle.dumps(plain)) == plain
        assert (arm == 3) is False

    def test_repr(self):
        assert repr(Arm(CrxModel.Crx5iA)) == (
            "Arm(CrxModel.Crx5iA, base=identity, tool=identity, lower=[-200, -179.9, -247.9, -190, -179.9, -225], "
            "upper=[200, 179.9, 427.9, 190, 179.9, 225], elbow=(-68, 248), max_speed=[150, 150, 180, 225, 225, 225])"
        )
        assert repr(Arm(Crx.from_params(540, 540, 160, 150))).startswith(
            "Arm(Crx(z1=540, x1=540, x2=160, y1=150), base=identity"
        )

    def test_registered(self):
        assert "Arm" in ortholink.__all__
        assert Arm.__module__ == "ortholink"
        assert Arm.fk.__text_signature__ == "($self, joints)"


class TestForward:
    def test_fk_is_base_flange_tool(self):
        arm = make_arm()
        joints = [10, -20, 30, -40, 50, -60]
        expected = Crx.pose_from_xyzwpr(BASE_XYZWPR) @ Crx.crx10ia().fk(joints) @ Crx.pose_from_xyzwpr(TOOL_XYZWPR)
        np.testing.assert_allclose(arm.fk(joints), expected, atol=1e-9)

    def test_fk_many_matches_fk(self):
        arm = make_arm()
        rows = np.random.default_rng(3).uniform(-170, 170, size=(100, 6))
        many = arm.fk_many(rows, threads=2)
        for row, pose in zip(rows, many):
            np.testing.assert_array_equal(pose, arm.fk(row))
        assert arm.fk_many(rows[:0]).shape == (0, 4, 4)
        with pytest.raises(TypeError, match=r"takes from 1 to 2 positional arguments but 3 were given"):
            arm.fk_many(rows, 1, 2)
