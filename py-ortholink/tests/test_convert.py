import numpy as np
import pytest

from ortholink import Crx

from conftest import ZERO_POSE_FLANGE


class TestJoints:
    @pytest.mark.parametrize(
        "joints",
        [
            [10, 20, 30, 40, 50, 60],
            (10, 20, 30, 40, 50, 60),
            np.array([10, 20, 30, 40, 50, 60], dtype=np.float32),
            np.arange(12, dtype=np.float64)[::2] * 0 + np.array([10, 20, 30, 40, 50, 60.0]),
            np.array([10, 20, 30, 40, 50, 60], dtype=">f8"),
            [np.float32(10), np.int8(20), 30.0, True * 40, 50, 60],
            range(10, 70, 10),
        ],
    )
    def test_accepted_forms(self, robot, joints):
        np.testing.assert_allclose(robot.fk(joints), robot.fk(np.array([10, 20, 30, 40, 50, 60.0])), atol=1e-12)

    def test_strided_view_is_read_in_logical_order(self, robot):
        base = np.zeros(12)
        base[::2] = [10, 20, 30, 40, 50, 60]
        assert np.array_equal(robot.fk(base[::2]), robot.fk([10, 20, 30, 40, 50, 60]))
        reversed_view = np.array([60, 50, 40, 30, 20, 10.0])[::-1]
        assert np.array_equal(robot.fk(reversed_view), robot.fk([10, 20, 30, 40, 50, 60]))

    def test_arguments_are_not_modified(self, robot):
        joints = np.array([10, 20, 30, 40, 50, 60.0])
        copy = joints.copy()
        robot.fk(joints)
        assert np.array_equal(joints, copy)

    def test_wrong_dimension_is_a_type_error(self, robot):
        with pytest.raises(TypeError, match=r"^argument 'joints': "):
            robot.fk(np.zeros((1, 6)))
        with pytest.raises(TypeError, match=r"^argument 'joints': "):
            robot.fk(3.0)
        with pytest.raises(TypeError, match=r"^argument 'joints': "):
            robot.fk_all({"a": 1})

    def test_wrong_length_is_a_value_error(self, robot):
        with pytest.raises(ValueError, match=r"^Expected 6 joint angles, got 5$"):
            robot.fk([1, 2, 3, 4, 5])
        with pytest.raises(ValueError, match=r"^Expected 6 joint angles, got 7$"):
            robot.fk(np.zeros(7))
        with pytest.raises(ValueError, match=r"^Expected 6 joint angles, got 0$"):
            robot.fk([])

    def test_long_sequences_fail_on_their_length_alone(self, robot):
        # Not read item by item first (range(10**8) took 6 s and 800 MB).
        with pytest.raises(ValueError, match=r"^Expected 6 joint angles, got 100000000$"):
            robot.fk(range(10**8))

        class Claims:
            def __init__(self, length):
                self.length = length

            def __len__(self):
                return self.length

            def __getitem__(self, i):
                if i >= 6:
                    raise IndexError(i)
                return 1.0

        with pytest.raises(ValueError, match=rf"^Expected 6 joint angles, got {2**62}$"):
            robot.fk(Claims(2**62))
        with pytest.raises(ValueError, match=rf"^Expected 6 joint angles, got {2**62}$"):
            robot.ik_closest(robot.fk([0] * 6), Claims(2**62))
        with pytest.raises(ValueError, match=rf"^argument 'lower': expected 6 values, got {2**62}$"):
            Crx.expand_turns([0] * 6, Claims(2**62), [0] * 6)
        assert np.array_equal(robot.fk(Claims(6)), robot.fk([1.0] * 6))
        # A short one is still read, so its words still give NumPy's error.
        with pytest.raises(ValueError, match="could not convert"):
            robot.fk(["a"] * 7)

    def test_words_raise_the_asarray_error(self, robot):
        with pytest.raises(ValueError, match="could not convert"):
            robot.fk(["a", "b", "c", "d", "e", "f"])
        with pytest.raises(ValueError):
            robot.fk("abcdef")

    def test_a_renamed_type_error_keeps_its_cause(self, robot):
        class Refuses:
            def __array__(self, dtype=None, copy=None):
                try:
                    raise KeyError("inner")
                except KeyError as error:
                    raise TypeError("not today") from error

        with pytest.raises(TypeError, match=r"^argument 'joints': not today$") as caught:
            robot.fk(Refuses())
        assert isinstance(caught.value.__cause__, KeyError)
        # Other errors pass through untouched.
        with pytest.raises(ValueError, match="could not convert"):
            robot.fk_many([["a"] * 6])


class TestPose:
    def test_identity_and_integer_and_nested_lists(self, robot):
        for target in (np.eye(4), np.eye(4, dtype=int), np.eye(4).tolist()):
            assert robot.ik(target).shape[1] == 6

    def test_fk_output_is_accepted_back(self, robot):
        assert robot.ik(robot.fk([0] * 6)).shape[0] > 0
        assert robot.ik(ZERO_POSE_FLANGE).shape[0] > 0

    def test_as_numpy_objects(self, robot):
        class Wrapper:
            def __init__(self, m):
                self.m = m

            def as_numpy(self):
                return self.m

        target = robot.fk([10, 20, 30, 40, 50, 60])
        assert np.array_equal(robot.ik(Wrapper(target)), robot.ik(target))

        class Failing:
            def as_numpy(self):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            robot.ik(Failing())

        class BadLookup:
            def __getattr__(self, name):
                raise RuntimeError("lookup")

        with pytest.raises(RuntimeError):
            robot.ik(BadLookup())

    def test_only_conversion_failures_become_the_conversion_message(self, robot):
        def raising(error):
            class Array:
                def __array__(self, dtype=None, copy=None):
                    raise error

            return Array()

        class Custom(Exception):
            pass

        not_a_matrix = r"Expected a 4x4 array, or an object with an as_numpy\(\) method$"
        for error in (ValueError("v"), TypeError("t"), OverflowError("o")):
            with pytest.raises(ValueError, match="^" + not_a_matrix):
                robot.ik(raising(error))
            with pytest.raises(ValueError, match="^target 1: " + not_a_matrix):
                robot.ik_many([np.eye(4), raising(error)])
        for error in (KeyboardInterrupt(), MemoryError("m"), Custom("c"), RecursionError("r")):
            for call in (robot.ik, lambda t: robot.ik_many([np.eye(4), t]), Crx.xyzwpr, robot.ik_detailed):
                with pytest.raises(type(error)) as raised:
                    call(raising(error))
                assert raised.value is error

        class Interrupted:
            def __len__(self):
                return 6

            def __getitem__(self, i):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            robot.fk(Interrupted())
        with pytest.raises(KeyboardInterrupt):
            robot.ik(Interrupted())

    def test_shape_errors(self, robot):
        with pytest.raises(ValueError, match=r"^Expected a 4x4 transformation matrix, got shape \[3, 4\]$"):
            robot.ik(np.zeros((3, 4)))
        with pytest.raises(ValueError, match=r"^Expected a 4x4 array, or an object with an as_numpy\(\) method$"):
            robot.ik(np.zeros(16))
        with pytest.raises(ValueError, match=r"^Expected a 4x4 array, or an object with an as_numpy\(\) method$"):
            robot.ik("not a matrix")
        with pytest.raises(ValueError, match=r"^Expected a 4x4 array"):
            robot.ik([[1, 2], [3]])

    @pytest.mark.parametrize(
        "change",
        [
            lambda m: m.__setitem__((3, 3), 1 + 1e-15),
            lambda m: m.__setitem__((2, 2), -1.0),
            lambda m: m[:3, :3].__imul__(1.001),
            lambda m: m.__setitem__((3, 0), 1e-300),
            lambda m: m.__setitem__((0, 3), np.nan),
            lambda m: m.__setitem__((1, 3), np.inf),
            lambda m: m.__setitem__((0, 0), np.nan),
        ],
    )
    def test_not_rigid(self, robot, change):
        m = np.eye(4)
        change(m)
        with pytest.raises(ValueError, match=r"^Failed to convert matrix to isometry$"):
            robot.ik(m)

    def test_four_decimals_are_not_enough(self, robot):
        m = np.round(robot.fk([10, 20, 30, 40, 50, 60]), 4)
        with pytest.raises(ValueError, match="isometry"):
            robot.ik(m)

    def test_transposed_and_fortran_views(self, robot):
        target = robot.fk([10, 20, 30, 40, 50, 60])
        fortran = np.asfortranarray(target)
        assert np.array_equal(robot.ik(fortran), robot.ik(target))
        with pytest.raises(ValueError, match="isometry"):
            robot.ik(target.T)
        rotation_only = np.eye(4)
        rotation_only[:3, :3] = target[:3, :3]
        assert robot.ik(rotation_only.T.T).shape[1] == 6
        flipped = target[::-1, ::-1][::-1, ::-1]
        assert np.array_equal(robot.ik(flipped), robot.ik(target))


class TestArrayLikes:
    """What offers itself to NumPy as an array (other libraries' arrays, memoryviews) is read as one
    by every batch method, as Crx.ik_many always read it."""

    class Wrapped:
        def __init__(self, array):
            self.array = array

        def __array__(self, dtype=None, copy=None):
            return self.array

    class Interface:
        def __init__(self, array):
            self.array = array
            self.__array_interface__ = array.__array_interface__

    def test_stacks_of_poses(self):
        from ortholink import Arm, CrxModel

        arm = Arm(CrxModel.Crx10iA)
        poses = arm.fk_many(np.linspace([0, 10, 20, 30, 40, 50], [10, 20, 30, 40, 50, 60], 4))
        expected = arm.plan_path(poses).joints
        for given in (self.Wrapped(poses), self.Interface(poses), memoryview(poses)):
            np.testing.assert_array_equal(arm.plan_path(given).joints, expected)
            np.testing.assert_array_equal(arm.ik_many(given).joints, arm.ik_many(poses).joints)
        with pytest.raises(ValueError, match=r"argument 'poses': expected an \(n, 4, 4\) array, got shape \[3\]"):
            arm.ik_many(memoryview(b"abc"))
        # Crx.xyzwpr reads a stack given as nested lists or a list of arrays as it reads the array.
        rows = Crx.xyzwpr(poses)
        for given in (poses.tolist(), list(poses), memoryview(poses), self.Wrapped(poses)):
            np.testing.assert_array_equal(Crx.xyzwpr(given), rows)
        np.testing.assert_array_equal(Crx.xyzwpr(poses[1].tolist()), rows[1])

    def test_envelope_links_as_numpy_integers(self):
        from ortholink import Arm, CrxModel

        capsules = [([0, 0, 0], [0, 0, 100], 30)]
        arm = Arm(CrxModel.Crx10iA, envelopes={np.int64(2): capsules, np.int32(3): capsules})
        np.testing.assert_array_equal(arm.envelopes[2], [[0, 0, 0, 0, 0, 100, 30]])
        for key in (True, np.bool_(True), 7, 2.0):
            with pytest.raises(ValueError, match="expected link indices 0 .. 6 as keys"):
                Arm(CrxModel.Crx10iA, envelopes={key: capsules})
