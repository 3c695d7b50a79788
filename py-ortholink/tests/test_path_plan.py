import pickle

import numpy as np
import pytest

import ortholink
from ortholink import Arm, Crx, CrxModel

BASE = Crx.pose_from_xyzwpr([300.0, -200.0, 150.0, 0.0, 0.0, 30.0])
TOOL = Crx.pose_from_xyzwpr([0.0, 25.0, 160.0, 10.0, 0.0, 0.0])


def smooth_generator(arm, rng, samples=300):
    """A smooth joint path within the arm's limits: a random cubic through four joint vectors."""
    while True:
        keys = rng.uniform(arm.lower * 0.85, arm.upper * 0.85, size=(4, 6))
        t = np.linspace(0.0, 1.0, samples)[:, None]
        basis = np.hstack([(1 - t) ** 3, 3 * t * (1 - t) ** 2, 3 * t**2 * (1 - t), t**3])
        path = basis @ keys
        if arm.within_limits(path).all():
            return path


def path_duration(rows, speed):
    return float(np.sum(np.max(np.abs(np.diff(rows, axis=0)) / speed, axis=1)))


@pytest.fixture
def arm():
    return Arm(CrxModel.Crx10iA, base=BASE, tool=TOOL)


class TestGeneratorPaths:
    # Random joint paths pass through the arm's own body now and then; these tests are
    # about the search, so they plan without the collision checks.

    def test_follows_smooth_paths_without_breaks(self, arm):
        rng = np.random.default_rng(21)
        for _ in range(8):
            generator = smooth_generator(arm, rng)
            assert np.abs(np.diff(generator, axis=0)).max() < 10.0
            targets = arm.fk_many(generator)
            plan = arm.plan_path(targets, collision_free=False)
            assert plan.breaks.dtype == np.int64 and len(plan.breaks) == 0
            assert len(plan.unreachable) == 0
            assert plan.joints.shape == generator.shape
            reached = arm.fk_many(plan.joints)
            assert np.abs(reached[:, :3, 3] - targets[:, :3, 3]).max() < 1e-6
            assert np.abs(reached[:, :3, :3] - targets[:, :3, :3]).max() < 1e-9
            assert np.abs(np.diff(plan.joints, axis=0)).max() <= 10.0
            assert arm.within_limits(plan.joints).all()
            generator_time = path_duration(generator, arm.max_speed)
            assert plan.duration <= generator_time * (1 + 1e-9)
            assert plan.duration == pytest.approx(path_duration(plan.joints, arm.max_speed), rel=1e-12)
            assert plan.travel == pytest.approx(np.abs(np.diff(plan.joints, axis=0)).sum(), rel=1e-12)

    def test_start_is_an_approach_apart(self, arm):
        # The move from start is reported apart and never breaks; duration and travel
        # are the rows' own (this test pinned them with the start move before).
        generator = smooth_generator(arm, np.random.default_rng(22))
        targets = arm.fk_many(generator)
        start = generator[0] + 1.0
        near = arm.plan_path(targets, start, collision_free=False)
        assert len(near.breaks) == 0
        assert near.duration == pytest.approx(path_duration(near.joints, arm.max_speed), rel=1e-12)
        assert near.travel == pytest.approx(np.abs(np.diff(near.joints, axis=0)).sum(), rel=1e-12)
        travel, seconds = near.approach
        assert travel == pytest.approx(np.abs(near.joints[0] - start).sum(), rel=1e-12)
        assert seconds == pytest.approx(np.max(np.abs(near.joints[0] - start) / arm.max_speed), rel=1e-12)
        assert near.segments == [(0, len(targets) - 1, pytest.approx(near.duration, rel=1e-12))]
        far = arm.plan_path(targets, start=generator[0] + [30, 0, 0, 0, 0, 0], collision_free=False)
        assert len(far.breaks) == 0 and np.isfinite(far.duration)
        np.testing.assert_array_equal(far.joints, near.joints)
        assert far.approach[0] == pytest.approx(np.abs(far.joints[0] - generator[0] - [30, 0, 0, 0, 0, 0]).sum())
        unstarted = arm.plan_path(targets, collision_free=False)
        assert unstarted.approach is None and unstarted.duration == pytest.approx(near.duration, rel=1e-9)

    def test_smaller_steps_than_the_path_needs_break(self, arm):
        generator = smooth_generator(arm, np.random.default_rng(23), samples=40)
        largest = np.abs(np.diff(generator, axis=0)).max()
        plan = arm.plan_path(arm.fk_many(generator), max_step=largest / 4)
        # Each break is a timed point-to-point move: the duration is every move's time.
        assert len(plan.breaks) > 0 and plan.duration == pytest.approx(path_duration(plan.joints, arm.max_speed))
        assert len(plan.segments) == len(plan.breaks) + 1


class TestLimitsAndFamilies:
    def test_sweep_onto_a_limit_ends_on_it(self, arm):
        # J1 from 170 to exactly its 190 limit: the last poses come back from
        # the solver a rounding beyond the limit and must stay reachable.
        rows = np.zeros((21, 6))
        rows[:, 0] = np.linspace(170, 190, 21)
        rows[:, 4] = 45
        plan = arm.plan_path(arm.fk_many(rows), rows[0])
        assert len(plan.breaks) == 0 and len(plan.unreachable) == 0
        assert plan.joints[-1, 0] == 190.0
        np.testing.assert_allclose(plan.joints, rows, atol=1e-6)

    def test_plan_follows_a_family_from_the_start(self, arm):
        # J1 and J4 coaxial all along; the solver's member of each pose has
        # J1 = 0, 20 degrees from the start: the plan takes the members that
        # move 1 degree at a time instead.
        rows = np.tile([20.0, 0, 90, 10, 1, 30], (21, 1))
        rows[:, 3] += np.arange(21)
        plan = arm.plan_path(arm.fk_many(rows), rows[0])
        assert len(plan.breaks) == 0
        assert np.abs(np.diff(plan.joints, axis=0)).max() < 1.0 + 1e-6
        assert np.abs(plan.joints[0] - rows[0]).max() < 1e-6
        for row, pose in zip(plan.joints, arm.fk_many(rows)):
            assert np.abs(arm.fk(row) - pose).max() < 1e-8


class TestUnreachableAndCheck:
    def test_unreachable_waypoints_are_skipped(self, arm):
        generator = smooth_generator(arm, np.random.default_rng(24))
        targets = arm.fk_many(generator)
        targets[[0, 100, 101, 299], 0, 3] += 1e5
        plan = arm.plan_path(targets)
        np.testing.assert_array_equal(plan.unreachable, [0, 100, 101, 299])
        assert np.isnan(plan.joints[[0, 100, 101, 299]]).all()
        # The gap of two waypoints is crossed as one move: still within max_step here.
        assert len(plan.breaks) == 0
        kept = np.delete(plan.joints, [0, 100, 101, 299], axis=0)
        assert np.abs(np.diff(kept, axis=0)).max() <= 10.0

        nothing = arm.plan_path(targets[:1])
        np.testing.assert_array_equal(nothing.unreachable, [0])
        assert nothing.duration == 0.0 and nothing.travel == 0.0
        empty = arm.plan_path(targets[:0])
        assert empty.joints.shape == (0, 6)

    def test_check_forbidding_the_generator_branch(self, arm):
        generator = smooth_generator(arm, np.random.default_rng(25))
        targets = arm.fk_many(generator)
        calls = []

        def forbid_generator(rows):
            calls.append(len(rows))
            # Solutions closer than 1e-3 degrees to a generator row are forbidden.
            distance = np.abs(rows[:, None, :] - generator[None, :, :]).max(axis=2).min(axis=1)
            return distance > 1e-3

        plan = arm.plan_path(targets, check=forbid_generator)
        assert len(calls) == 1 and calls[0] == arm.plan_path(targets).nodes
        assert len(plan.unreachable) == 0
        assert np.abs(plan.joints - generator).max(axis=1).min() > 1e-3
        reached = arm.fk_many(plan.joints)
        assert np.abs(reached - targets).max() < 1e-6
        # Forbidding everything at some waypoints makes them unreachable.
        blocked = arm.plan_path(targets, check=lambda rows: np.zeros(len(rows), dtype=bool))
        assert len(blocked.unreachable) == len(targets) and np.isnan(blocked.joints).all()

    def test_check_errors(self, arm):
        targets = arm.fk_many(np.zeros((3, 6)))
        with pytest.raises(TypeError, match=r"argument 'check': expected a callable, got int"):
            arm.plan_path(targets, check=3)
        with pytest.raises(ValueError, match=r"argument 'check': expected a boolean mask of length \d+, got"):
            arm.plan_path(targets, check=lambda rows: np.ones(len(rows)))
        with pytest.raises(ValueError, match=r"argument 'check': expected a boolean mask"):
            arm.plan_path(targets, check=lambda rows: [True])

        def failing(rows):
            raise RuntimeError("collision checker offline")

        with pytest.raises(RuntimeError, match="collision checker offline"):
            arm.plan_path(targets, check=failing)


class TestArguments:
    def test_signature_and_errors(self, arm):
        targets = arm.fk_many(np.zeros((3, 6)))
        assert Arm.plan_path.__text_signature__ == (
            "($self, targets, start=None, *, max_step=10.0, check=None, scene=None, collision_free=True)"
        )
        with pytest.raises(TypeError, match=r"takes from 1 to 2 positional arguments but 3 were given"):
            arm.plan_path(targets, None, 5.0)
        with pytest.raises(ValueError, match=r"argument 'max_step': expected a positive number of degrees, got 0"):
            arm.plan_path(targets, max_step=0)
        with pytest.raises(ValueError, match=r"argument 'start': expected finite joint angles"):
            arm.plan_path(targets, [0, 0, 0, 0, 0, np.nan])
        with pytest.raises(ValueError, match="Expected 6 joint angles, got 2"):
            arm.plan_path(targets, [0, 0])
        assert len(arm.plan_path(list(targets), max_step=5.0).joints) == 3


class TestPlanValue:
    def test_pickle_and_repr(self, arm):
        generator = smooth_generator(arm, np.random.default_rng(26))
        targets = arm.fk_many(generator)
        targets[7, 0, 3] = 1e5
        plan = arm.plan_path(targets, generator[0] + 40)
        copy = pickle.loads(pickle.dumps(plan))
        np.testing.assert_array_equal(copy.joints, plan.joints)
        np.testing.assert_array_equal(copy.breaks, plan.breaks)
        np.testing.assert_array_equal(copy.unreachable, [7])
        assert (copy.duration, copy.travel, copy.nodes, copy.edges) == (plan.duration, plan.travel, plan.nodes,
                                                                        plan.edges)
        assert repr(plan).startswith("PathPlan(waypoints=300, breaks=1, unreachable=1, duration=inf, travel=")
        assert isinstance(plan, ortholink.PathPlan) and "PathPlan" not in ortholink.__all__
        with pytest.raises(TypeError):
            ortholink.PathPlan()
        plan.joints[0, 0] = 1e9
        assert plan.joints[0, 0] != 1e9

    def test_damaged_state_is_refused(self, arm):
        plan = arm.plan_path(arm.fk_many(smooth_generator(arm, np.random.default_rng(27))[:5]))
        make, state = plan.__reduce__()
        assert repr(make(*state)) == repr(plan)
        for index in (1, 2):
            for indices in ([5], [-1], [1.5], [float("nan")]):
                damaged = list(state)
                damaged[index] = indices
                with pytest.raises(ValueError, match=r"^inconsistent PathPlan state$"):
                    make(*damaged)
            # A plan stores its indices as integers, ascending, each once.
            for indices, error in (([4.0], TypeError), ([4, 0], ValueError), ([2, 2], ValueError)):
                damaged = list(state)
                damaged[index] = indices
                with pytest.raises(error, match=rf"^argument '{['breaks', 'unreachable'][index - 1]}': expected "):
                    make(*damaged)
