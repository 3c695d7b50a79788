import math

import numpy as np
import pytest

import ortholink
from ortholink import IkSolution, SolutionKind


def wrapped_close(a, b, tol):
    diff = (np.asarray(a, dtype=float) - np.asarray(b, dtype=float) + 180.0) % 360.0 - 180.0
    return bool(np.all(np.abs(diff) <= tol))


GENERATOR = [10, 20, 30, 40, 50, 60]


class TestIk:
    def test_published_target_order(self, robot):
        solutions = robot.ik(robot.fk(GENERATOR))
        assert solutions.shape == (8, 6) and solutions.dtype == np.float64
        assert wrapped_close(solutions[2], GENERATOR, 1e-6)
        assert wrapped_close(solutions[3], [-170, -20, 150, -140, 50, 60], 1e-6)
        assert wrapped_close(solutions[0], [-9.60, 19.75, 51.86, -129.01, -45.28, -155.19], 0.01)
        assert wrapped_close(solutions[1], [170.40, -19.75, 128.14, 50.99, -45.28, -155.19], 0.01)

    def test_ik_and_detailed_agree(self, robot):
        rng = np.random.default_rng(11)
        for _ in range(20):
            target = robot.fk(rng.uniform(-180, 180, 6))
            array = robot.ik(target)
            detailed = robot.ik_detailed(target)
            assert array.shape == (len(detailed), 6)
            for row, solution in zip(array, detailed):
                assert np.array_equal(row, solution.joints)
                assert solution.residual <= 1e-8
                assert np.allclose(robot.fk(row), target, atol=1e-8)

    def test_unreachable(self, robot):
        target = np.eye(4)
        target[0, 3] = 5000.0
        result = robot.ik(target)
        assert result.shape == (0, 6) and result.dtype == np.float64
        assert robot.ik_detailed(target) == []
        assert robot.ik_closest(target, GENERATOR) is None

    def test_argument_binding(self, robot):
        with pytest.raises(TypeError):
            robot.ik()
        with pytest.raises(TypeError):
            robot.ik(np.eye(4), np.eye(4))
        assert robot.ik(target=robot.fk(GENERATOR)).shape == (8, 6)


class TestClosest:
    def test_references(self, robot):
        target = robot.fk(GENERATOR)
        assert wrapped_close(robot.ik_closest(target, [9, 19, 29, 39, 49, 59]).joints, GENERATOR, 1e-6)
        mirror = robot.ik_closest(target, [-171, -21, 151, -141, 51, 61])
        assert wrapped_close(mirror.joints, [-170, -20, 150, -140, 50, 60], 1e-6)
        first = robot.ik_closest(target, [math.nan] * 6)
        assert np.array_equal(first.joints, robot.ik(target)[0])
        exact = robot.ik(target)[5]
        assert np.array_equal(robot.ik_closest(target, exact).joints, exact)

    def test_conversion_order(self, robot):
        with pytest.raises(TypeError, match=r"^argument 'reference': "):
            robot.ik_closest(np.zeros((3, 3)), np.zeros((1, 6)))
        with pytest.raises(ValueError, match=r"got shape \[3, 3\]"):
            robot.ik_closest(np.zeros((3, 3)), [1, 2, 3, 4, 5])
        with pytest.raises(ValueError, match=r"^Expected 6 joint angles, got 5$"):
            robot.ik_closest(robot.fk(GENERATOR), [1, 2, 3, 4, 5])


class TestIkSolution:
    def test_properties(self, robot):
        solution = robot.ik_detailed(robot.fk(GENERATOR))[2]
        assert isinstance(solution, IkSolution)
        assert solution.kind is SolutionKind.Regular
        assert math.isclose(solution.theta, -math.pi / 6, abs_tol=1e-6)
        joints = solution.joints
        assert joints.dtype == np.float64 and joints.shape == (6,) and joints.flags.writeable
        joints[:] = 0
        assert wrapped_close(solution.joints, GENERATOR, 1e-6)
        assert solution.joints is not solution.joints
        with pytest.raises(AttributeError):
            solution.residual = 0.0

    def test_identity_hash_and_equality(self, robot):
        a, b = robot.ik_detailed(robot.fk(GENERATOR))[:2]
        assert hash(a) != hash(b) or a is b
        assert a == a and a != robot.ik_detailed(robot.fk(GENERATOR))[0]
        assert len({a, b}) == 2

    def test_repr(self, robot):
        solution = robot.ik_closest(robot.fk(GENERATOR), GENERATOR)
        text = repr(solution)
        assert text.startswith("IkSolution(joints=[10.0000, 20.0000, 30.0000, 40.0000, 50.0000, 60.0000], residual=")
        assert text.endswith(", kind=Regular)")
        residual = text.split("residual=")[1].split(",")[0]
        mantissa, exponent = residual.split("e")
        assert len(mantissa) == 5 and "+" not in exponent and not exponent.lstrip("-").startswith("0")
        assert float(residual) == pytest.approx(solution.residual, rel=1e-3)


class TestSolutionKind:
    def test_members(self):
        members = [SolutionKind.Regular, SolutionKind.AxisDegenerate, SolutionKind.SingularFamily]
        assert [int(m) for m in members] == [0, 1, 2]
        assert repr(SolutionKind.AxisDegenerate) == "SolutionKind.AxisDegenerate" == str(SolutionKind.AxisDegenerate)
        assert SolutionKind.Regular == 0 and SolutionKind.Regular != SolutionKind.SingularFamily
        assert SolutionKind.Regular is SolutionKind.Regular
        assert not (SolutionKind.Regular == ortholink.CrxModel.Crx3iA)
        with pytest.raises(TypeError):
            hash(SolutionKind.Regular)
        with pytest.raises(TypeError):
            SolutionKind.Regular < SolutionKind.AxisDegenerate
