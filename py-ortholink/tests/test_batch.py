import copy
import math
import pickle

import numpy as np
import pytest

import ortholink
from ortholink import Arm, Crx, CrxModel

RNG_SEED = 20261208


@pytest.fixture(scope="module")
def joints() -> np.ndarray:
    return np.random.default_rng(RNG_SEED).uniform(-180, 180, (400, 6))


class TestFkMany:
    def test_matches_fk_row_by_row(self, robot, joints):
        for threads in (None, 1, 2, 3):
            poses = robot.fk_many(joints, threads=threads)
            assert poses.shape == (400, 4, 4) and poses.dtype == np.float64
            for i in range(0, 400, 37):
                assert np.array_equal(poses[i], robot.fk(joints[i]))

    def test_inputs(self, robot):
        assert robot.fk_many(np.zeros((0, 6))).shape == (0, 4, 4)
        assert robot.fk_many([[0] * 6, [10, 20, 30, 40, 50, 60]]).shape == (2, 4, 4)
        with pytest.raises(ValueError, match=r"got shape \[2, 5\]"):
            robot.fk_many(np.zeros((2, 5)))
        with pytest.raises(TypeError, match=r"^argument 'joints': "):
            robot.fk_many(np.zeros(6))
        with pytest.raises(TypeError, match=r"^argument 'joints': "):
            robot.fk_many(np.zeros((2, 2, 6)))
        with pytest.raises(ValueError, match="threads"):
            robot.fk_many(np.zeros((2, 6)), threads=0)
        # Angles fk refuses (whole turns no longer exact) are refused row by row; NaN gives NaN.
        huge = np.zeros((3, 6))
        huge[2, 5] = 1e20
        for batch in (robot.fk_many, Arm(CrxModel.Crx10iA).fk_many):
            with pytest.raises(ValueError, match=r"^argument 'joints': J6 of row 2 is 1e\+20, expected at most"):
                batch(huge)
            assert np.isnan(batch([[math.nan, 0, 0, 0, 0, 0]])).any()
        # threads is an optional parameter like any other: by position or by name, once.
        assert robot.fk_many(np.zeros((2, 6)), 1).shape == (2, 4, 4)
        with pytest.raises(TypeError, match=r"^fk_many\(\) takes from 1 to 2 positional arguments but 3 were given$"):
            robot.fk_many(np.zeros((2, 6)), 1, 2)
        with pytest.raises(TypeError, match=r"^fk_many\(\) got multiple values for argument 'threads'$"):
            robot.fk_many(np.zeros((2, 6)), 1, threads=2)
        with pytest.raises(TypeError, match=r"^fk_many\(\) missing required argument 'joints' \(pos 1\)$"):
            robot.fk_many(threads=2)

    def test_thread_counts_are_plain_ints(self, robot):
        rows = np.zeros((2, 6))
        big = str(2**70)
        with pytest.raises(ValueError, match=rf"^argument 'threads': expected a count from 1 to 1024, got {big}$"):
            robot.fk_many(rows, threads=2**70)
        with pytest.raises(ValueError, match=str(-(2**70))):
            robot.ik_many(robot.fk_many(rows), threads=-(2**70))
        for flag in (True, False):
            with pytest.raises(TypeError, match=r"^argument 'threads': expected an int or None, got bool$"):
                robot.fk_many(rows, threads=flag)
        with pytest.raises(TypeError, match=r"^argument 'threads': "):
            robot.fk_many(rows, threads=2.0)
        assert robot.fk_many(rows, threads=np.int64(2)).shape == (2, 4, 4)


class TestIkMany:
    def test_agrees_with_ik(self, robot, joints):
        targets = robot.fk_many(joints)
        far = np.eye(4)
        far[0, 3] = 5000.0
        targets = np.concatenate([targets[:50], far[None], targets[50:]])
        for threads in (1, 2):
            batch = robot.ik_many(targets, threads=threads)
            assert isinstance(batch, ortholink.IkBatch)
            assert len(batch) == len(targets)
            offsets = batch.offsets
            assert offsets.dtype == np.int64 and offsets.shape == (len(targets) + 1,) and offsets[0] == 0
            assert batch[50].shape == (0, 6)
            for i in range(0, len(targets), 23):
                detailed = robot.ik_detailed(targets[i])
                rows = slice(offsets[i], offsets[i + 1])
                assert np.array_equal(batch[i], robot.ik(targets[i]))
                assert np.array_equal(batch.joints[rows], batch[i])
                assert batch.residual[rows].tolist() == [s.residual for s in detailed]
                assert batch.theta[rows].tolist() == [s.theta for s in detailed]
                assert batch.kind[rows].tolist() == [int(s.kind) for s in detailed]
            assert batch.kind.dtype == np.uint8
            assert np.array_equal(batch[-1], batch[len(targets) - 1])
            with pytest.raises(IndexError, match="index out of range"):
                batch[len(targets)]

    def test_sequences_of_poses(self, robot, joints):
        class Wrapped:
            def __init__(self, m):
                self.m = m

            def as_numpy(self):
                return self.m

        targets = robot.fk_many(joints[:5])
        expected = robot.ik_many(targets)
        for given in ([Wrapped(t) for t in targets], [t.tolist() for t in targets], list(targets)):
            assert np.array_equal(robot.ik_many(given).joints, expected.joints)

    def test_a_bad_target_names_its_index(self, robot, joints):
        targets = robot.fk_many(joints[:5])
        targets[3][0, 0] = 2.0
        with pytest.raises(ValueError, match=r"^target 3: Failed to convert matrix to isometry$"):
            robot.ik_many(targets)
        with pytest.raises(ValueError, match=r"got shape \[2, 3, 4\]"):
            robot.ik_many(np.zeros((2, 3, 4)))
        with pytest.raises(ValueError, match=r"^target 1: Expected a 4x4 transformation matrix"):
            robot.ik_many([np.eye(4), np.eye(3)])

    def test_pickle(self, robot, joints):
        batch = robot.ik_many(robot.fk_many(joints[:20]))
        again = pickle.loads(pickle.dumps(batch))
        for name in ("joints", "residual", "theta", "kind", "offsets"):
            assert np.array_equal(getattr(again, name), getattr(batch, name))
        assert repr(again) == repr(batch)


class TestIkPath:
    def test_follows_and_marks_gaps(self, robot):
        start = np.array([10, 20, 30, 40, 50, 60.0])
        steps = np.array([start + [k, 0, 0, 0, -0.5 * k, 0] for k in range(1, 11)])
        targets = list(robot.fk_many(steps))
        far = np.eye(4)
        far[0, 3] = 5000.0
        targets.insert(4, far)
        path = robot.ik_path(targets, start)
        assert path.shape == (11, 6)
        assert np.isnan(path[4]).all()
        reached = np.delete(path, 4, axis=0)
        diff = (reached - steps + 180) % 360 - 180
        assert np.abs(diff).max() < 1e-6

    def test_matches_ik_closest_chain(self, robot, joints):
        # The same choice as ik_closest at every step; the row is that
        # solution turned by whole turns to lie nearest the previous row.
        targets = robot.fk_many(joints[:30])
        path = robot.ik_path(targets, np.zeros(6))
        previous = np.zeros(6)
        previous_row = np.zeros(6)
        for target, row in zip(targets, path):
            best = robot.ik_closest(target, previous)
            turns = (row - best.joints) / 360
            np.testing.assert_allclose(turns, np.round(turns), atol=1e-12)
            assert np.all(np.abs(row - previous_row) <= 180)
            previous, previous_row = best.joints, row

    def test_rows_are_unwrapped(self, robot):
        # J6 sweeping 150 -> 210 (and J1 -> past -180 the other way) never
        # jumps by a whole turn, starting from a start given beyond 180.
        sweep = np.array([[-170 - 2 * k, 20, 30, 40, 50, 150 + 5 * k] for k in range(13)], dtype=float)
        path = robot.ik_path(robot.fk_many(sweep), sweep[0])
        np.testing.assert_allclose(path, sweep, atol=1e-6)
        start = sweep[0] + [0, 0, 0, 0, 0, 720]
        np.testing.assert_allclose(robot.ik_path(robot.fk_many(sweep), start)[:, 5], sweep[:, 5] + 720, atol=1e-6)
        # After an unreachable target the next row follows the last reached one.
        far = np.eye(4)
        far[0, 3] = 5000.0
        targets = list(robot.fk_many(sweep))
        targets.insert(7, far)
        path = robot.ik_path(targets, sweep[0])
        assert np.isnan(path[7]).all()
        np.testing.assert_allclose(np.delete(path, 7, axis=0), sweep, atol=1e-6)

    def test_a_nan_start_joint_is_free(self, robot):
        # As in ik_closest, a NaN joint of the reference does not count in the
        # distance; that joint's first row is then the solution as solved.
        sweep = np.array([[10, 20, 30, 40, 50, 150 + 5 * k] for k in range(8)], dtype=float)
        path = robot.ik_path(robot.fk_many(sweep), [10, 20, 30, 40, 50, math.nan])
        np.testing.assert_allclose(path, sweep, atol=1e-6)


class TestLimits:
    def test_expand_turns(self):
        lower = [-360, -150, -360, -360, -180, -450]
        upper = [360, 150, 360, 360, 180, 450]
        variants = Crx.expand_turns([[10, 20, 30, 40, 50, 60], [0, 190, 0, 0, 0, 0]], lower, upper)
        assert variants.shape == (24, 6)
        assert variants[0].tolist() == [-350, 20, -330, -320, 50, -300]
        assert Crx.within_limits(variants, lower, upper).all()
        assert Crx.expand_turns([10, 20, 30, 40, 50, 60], lower, upper).shape == (24, 6)
        with pytest.raises(ValueError, match="argument 'lower'"):
            Crx.expand_turns([0] * 6, [0] * 5, upper)

    def test_expand_turns_refuses_open_ranges_on_every_joint(self):
        for joint in range(6):
            lower, upper = [-360.0] * 6, [360.0] * 6
            lower[joint] = -math.inf
            with pytest.raises(
                ValueError,
                match=rf"^argument 'lower': J{joint + 1} limit is -inf, expected a finite limit \(an open range has "
                r"infinitely many whole-turn variants\)$",
            ):
                Crx.expand_turns([[0, 200, 0, 0, 0, 0]], lower, upper)
            lower[joint], upper[joint] = -360.0, math.inf
            with pytest.raises(ValueError, match=rf"^argument 'upper': J{joint + 1} limit is inf"):
                Crx.expand_turns(np.zeros((0, 6)), lower, upper)

    def test_expand_turns_is_bounded_and_exact(self):
        bound = 2.0**28
        message = r"expected at most 268435456.0 in magnitude \(whole turns are not exact beyond\)$"
        # These once never returned, with the interpreter lock held.
        with pytest.raises(ValueError, match=r"^argument 'lower': J1 limit is -1e\+19, " + message):
            Crx.expand_turns([0] * 6, [-1e19] + [0] * 5, [1e19] + [0] * 5)
        with pytest.raises(ValueError, match=r"^argument 'joints': J1 of row 0 is 1e\+300, " + message):
            Crx.expand_turns([1e300, 0, 0, 0, 0, 0], [-360] * 6, [360] * 6)
        # and this one gave J1 = 0.
        with pytest.raises(ValueError, match=r"^argument 'joints': J4 of row 1 is 3e\+18, "):
            Crx.expand_turns([[0] * 6, [0, 0, 0, 3e18, 0, 0]], [-360] * 6, [360] * 6)
        # Just below the bound every variant is the value plus exact whole turns.
        value = bound - 1000 + 0.25
        variants = Crx.expand_turns([value, 0, 0, 0, 0, 0], [bound - 1000] + [0] * 5, [bound - 280] + [0] * 5)
        assert variants[:, 0].tolist() == [value, value + 360]

    def test_expand_turns_caps_the_total(self):
        # Each row alone is within the per-solution cap; all 300 are not.
        with pytest.raises(
            ValueError,
            match=r"^the limits allow 16666500 whole-turn variants in total, more than the 4194304 rows "
            r"expand_turns returns$",
        ):
            Crx.expand_turns(np.zeros((300, 6)), [-1e7] + [0] * 5, [1e7] + [0] * 5)
        with pytest.raises(ValueError, match=r"^the limits allow more than 65536 whole-turn variants of one solution$"):
            Crx.expand_turns(np.zeros(6), [-1e7] * 2 + [0] * 4, [1e7] * 2 + [0] * 4)
        assert Crx.expand_turns(np.zeros((3, 6)), [-1e7] + [0] * 5, [1e7] + [0] * 5).shape == (3 * 55555, 6)

    def test_within_limits(self):
        mask = Crx.within_limits([[0] * 6, [200, 0, 0, 0, 0, 0], [math.nan] * 6], [-180] * 6, [180] * 6)
        assert mask.dtype == np.bool_ and mask.tolist() == [True, False, False]
        assert Crx.within_limits([180] * 6, [-180] * 6, [180] * 6) is True

    def test_variants_reach_the_same_pose(self, robot):
        variants = Crx.expand_turns([10, 20, 30, 40, 50, 60], [-400] * 6, [400] * 6)
        reference = robot.fk([10, 20, 30, 40, 50, 60])
        for v in variants:
            np.testing.assert_allclose(robot.fk(v), reference, atol=1e-9)


class TestXyzwpr:
    def test_round_trip_close_to_gimbal_lock(self):
        # Between 1e-12 and 1e-3 degrees from P = +-90 W and R are each
        # ill-determined but their pair must still rebuild the pose (the first
        # row once came back with a matrix error of 7.9e-5).
        rows = [[0, 0, 0, 167.9905146874712, -89.99999999991495, 85.79198725914216]]
        rng = np.random.default_rng(5)
        for offset in np.logspace(-12, -3, 40):
            for sign in (1, -1):
                rows.append([1, 2, 3, rng.uniform(-180, 180), sign * (90 - offset), rng.uniform(-180, 180)])
        poses = Crx.pose_from_xyzwpr(np.array(rows))
        again = Crx.pose_from_xyzwpr(Crx.xyzwpr(poses))
        assert np.abs(again - poses).max() < 1e-9
        # Exactly at the lock W is still reported as 0.
        assert Crx.xyzwpr(Crx.pose_from_xyzwpr([0, 0, 0, 30, 90, 10]))[3] == 0


    def test_round_trip(self, robot, joints):
        poses = robot.fk_many(joints)
        rows = Crx.xyzwpr(poses)
        assert rows.shape == (400, 6)
        np.testing.assert_allclose(Crx.pose_from_xyzwpr(rows), poses, atol=1e-9)
        rng = np.random.default_rng(2)
        values = rng.uniform([-900, -900, -900, -180, -89, -180], [900, 900, 900, 180, 89, 180], (500, 6))
        np.testing.assert_allclose(Crx.xyzwpr(Crx.pose_from_xyzwpr(values)), values, atol=1e-9)

    def test_conventions(self):
        pose = Crx.pose_from_xyzwpr([1, 2, 3, 90, 0, 0])
        np.testing.assert_allclose(pose[:3, 3], [1, 2, 3])
        np.testing.assert_allclose(pose[:3, 1], [0, 0, 1], atol=1e-15)
        assert Crx.xyzwpr(np.eye(4)).tolist() == [0, 0, 0, 0, 0, 0]
        with pytest.raises(ValueError, match="isometry"):
            Crx.xyzwpr(np.eye(4) * 2)
        with pytest.raises(TypeError, match=r"^argument 'pose': expected real numbers, got NoneType"):
            Crx.xyzwpr(None)

    def test_angles_whose_turns_are_not_exact_are_refused(self):
        # 1e20 is exactly 280 degrees modulo a turn, yet its sine was computed as another angle's.
        with pytest.raises(ValueError, match=r"^argument 'xyzwpr': W is 1e\+20, expected at most 268435456.0"):
            Crx.pose_from_xyzwpr([0, 0, 0, 1e20, 0, 0])
        with pytest.raises(ValueError, match=r"^argument 'xyzwpr': R of row 1 is -1000000000.0, expected at most"):
            Crx.pose_from_xyzwpr([[0] * 6, [0, 0, 0, 0, 0, -1e9]])
        np.testing.assert_allclose(Crx.pose_from_xyzwpr([0, 0, 0, 268435126.0, 0, 0]),  # within the bound, 46 + turns
                                   Crx.pose_from_xyzwpr([0, 0, 0, 46, 0, 0]), atol=1e-6)
        assert np.isnan(Crx.pose_from_xyzwpr([0, 0, 0, np.nan, 0, 0])[:3, :3]).all()


class TestState:
    """State given to _from_state (what pickle stores) is checked before use."""

    def test_batch_counts_are_whole_numbers(self, robot, joints):
        batch = robot.ik_many(robot.fk_many(joints[:3]))
        state = batch.__reduce__()[1]
        joints_, residual, theta, kind, offsets = state
        again = ortholink.IkBatch._from_state(joints_, residual, theta, list(kind), list(offsets))
        assert np.array_equal(again.offsets, batch.offsets) and np.array_equal(again.kind, batch.kind)
        integers = r"^argument '{}': expected a 1-dimensional array of integers, got "
        bad_offsets = offsets.astype(float)
        bad_offsets[1] += 0.5
        for name, value, got in (
            ("offsets", bad_offsets, "a 1-dimensional array of float64"),
            ("offsets", offsets.astype(float), "a 1-dimensional array of float64"),
            ("offsets", [0, True] + list(offsets[2:]), "a bool among the items"),
            ("kind", kind.astype(bool), "a 1-dimensional array of bool"),
            ("kind", kind.astype(float) + 0.25, "a 1-dimensional array of float64"),
        ):
            arguments = dict(joints=joints_, residual=residual, theta=theta, kind=kind, offsets=offsets)
            arguments[name] = value
            with pytest.raises(TypeError, match=integers.format(name) + got):
                ortholink.IkBatch._from_state(**arguments)
        with pytest.raises(ValueError, match="inconsistent IkBatch state"):
            ortholink.IkBatch._from_state(joints_, residual, theta, kind + 3, offsets)
        # What IkSolution refuses in its state, a batch refuses in any of its solutions.
        for name, value, message in (
            ("joints", np.where(np.arange(joints_.size).reshape(joints_.shape) == 7, np.nan, joints_),
             r"^argument 'joints': expected finite joint angles, got nan in row 1$"),
            ("residual", np.r_[residual[:-1], -1.0], r"^argument 'residual': expected non-negative, finite numbers"),
            ("theta", np.r_[np.inf, theta[1:]], r"^argument 'theta': expected finite angles, got inf$"),
        ):
            arguments = dict(joints=joints_, residual=residual, theta=theta, kind=kind, offsets=offsets)
            arguments[name] = value
            with pytest.raises(ValueError, match=message):
                ortholink.IkBatch._from_state(**arguments)

    def test_mesh_indices_are_whole_numbers(self):
        vertices = np.zeros((3, 3))
        make = ortholink.LinkMesh._from_state
        assert make(vertices, [[0, 1, 2]]).face_count == 1
        assert make(vertices, np.array([[0, 1, 2]], dtype=np.int64)).face_count == 1
        assert make(vertices, np.zeros((0, 3))).face_count == 0
        integers = r"^argument 'faces': expected a 2-dimensional array of integers, got "
        for faces, got in (
            ([[0, 1, 2.5]], "a 2-dimensional array of float64"),
            (np.array([[0.0, 1.0, 2.0]]), "a 2-dimensional array of float64"),
            ([[True, False, True]], "a 2-dimensional array of bool"),
            ([[0, 1, True]], "a bool among the items"),
            ([0, 1, 2], "a 1-dimensional array of int64"),
        ):
            with pytest.raises(TypeError, match=integers + got):
                make(vertices, faces)
        for faces in ([[0, 1, -1]], [[0, 1, 3]], [[0, 1, 2**32]], np.array([[0, 1, 2**63]], dtype=np.uint64)):
            with pytest.raises(ValueError, match="a face indexes a vertex that does not exist"):
                make(vertices, faces)


class TestPickle:
    def test_every_class(self, robot):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            again = pickle.loads(pickle.dumps(robot, protocol=protocol))
            assert (again.z1, again.x1, again.x2, again.y1) == (robot.z1, robot.x1, robot.x2, robot.y1)
            for member in (ortholink.CrxModel.Crx20iAL, ortholink.SolutionKind.AxisDegenerate):
                assert pickle.loads(pickle.dumps(member, protocol=protocol)) is member
        assert copy.copy(ortholink.CrxModel.Crx5iA) is ortholink.CrxModel.Crx5iA
        assert copy.deepcopy(robot).fk([1] * 6).tolist() == robot.fk([1] * 6).tolist()
        solution = robot.ik_detailed(robot.fk([10, 20, 30, 40, 50, 60]))[3]
        again = copy.deepcopy(solution)
        assert again is not solution and repr(again) == repr(solution)
        assert np.array_equal(again.joints, solution.joints) and again.kind is solution.kind

    def test_meshes(self):
        meshes = ortholink.LinkMeshes.load(ortholink.CrxModel.Crx5iA)
        again = pickle.loads(pickle.dumps(meshes))
        assert repr(again) == "LinkMeshes(links=7)"
        for a, b in zip(meshes, again):
            assert np.array_equal(a.vertices, b.vertices) and np.array_equal(a.faces, b.faces)
        link = copy.copy(meshes[6])
        assert np.array_equal(link.vertices, meshes[6].vertices)
        with pytest.raises(ValueError, match="does not exist"):
            ortholink.LinkMesh._from_state(np.zeros((2, 3)), [[0, 1, 2]])
        with pytest.raises(ValueError, match=r"^argument 'vertices': expected finite coordinates, got nan in vertex 1"):
            ortholink.LinkMesh._from_state([[0, 0, 0], [0, np.nan, 0], [1, 0, 0]], [[0, 1, 2]])
        with pytest.raises(ValueError, match="seven"):
            ortholink.LinkMeshes._from_state([link] * 6)


def test_kind_codes_are_documented():
    doc = ortholink.IkBatch.kind.__doc__
    for name in ("Regular", "AxisDegenerate", "SingularFamily"):
        assert f"{int(getattr(ortholink.SolutionKind, name))} {name}" in doc
