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
            "($self, targets, start=None, *, max_step=10.0, check=None, scene=None, collision_free=True,"
            " free_axis=None, max_step_per_mm=5.0)"
        )
        with pytest.raises(TypeError, match=r"takes from 1 to 2 positional arguments but 3 were given"):
            arm.plan_path(targets, None, 5.0)
        with pytest.raises(ValueError, match=r"argument 'max_step': expected a positive number of degrees, got 0"):
            arm.plan_path(targets, max_step=0)
        for bad in (0.0, -1.0, float("nan")):
            with pytest.raises(ValueError, match=r"^argument 'max_step_per_mm': expected a positive number of degrees"):
                arm.plan_path(targets, max_step_per_mm=bad)
        with pytest.raises(TypeError, match=r"^argument 'max_step_per_mm': "):
            arm.plan_path(targets, max_step_per_mm="5")
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
        plan = arm.plan_path(targets, generator[0] + 40, max_step=3.0)
        assert len(plan.breaks) > 0 and plan.approach is not None
        copy = pickle.loads(pickle.dumps(plan))
        np.testing.assert_array_equal(copy.joints, plan.joints)
        np.testing.assert_array_equal(copy.breaks, plan.breaks)
        np.testing.assert_array_equal(copy.unreachable, [7])
        assert (copy.duration, copy.travel, copy.nodes, copy.edges) == (plan.duration, plan.travel, plan.nodes,
                                                                        plan.edges)
        assert (copy.segments, copy.approach) == (plan.segments, plan.approach)
        # A break no longer makes the duration infinite (this test pinned inf before).
        assert repr(plan).startswith(f"PathPlan(waypoints=300, breaks={len(plan.breaks)}, unreachable=1, duration=")
        assert repr(copy) == repr(plan) and "inf" not in repr(plan)
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


# The README's 400 mm line, 2 mm apart, and the joints the arm of examples/plan_path.py stands at.
README_LINE = np.linspace([48.1, -407.7, 905.1, -16.3, -24.9, 109.1], [-330.7, -527.7, 950.7, -16.3, -24.9, 109.1], 201)
CURRENT_JOINTS = np.array([-104.4, -18.6, 27.7, 178.7, -32.8, 151.0])


def reached_duration(plan, speed):
    rows = plan.joints[~np.isnan(plan.joints[:, 0])]
    return path_duration(rows, speed)


def first_row_plans(arm, targets, start=None, **options):
    """The best plan from each solution of the first pose, forced by `check`."""
    first = arm.ik(targets[0])
    plans = []
    for row in first:
        def only(rows, row=row):
            at_first = np.abs(arm.fk_many(rows) - targets[0]).max(axis=(1, 2)) < 1e-9
            return ~at_first | (np.abs(rows - row).max(axis=1) < 1e-9)

        plans.append(arm.plan_path(targets, start, check=only, collision_free=False, **options))
    return first, plans


class TestBreakMovesAndApproach:
    def test_from_the_current_joints_no_break_mid_process(self):
        # examples/plan_path.py: the J4 turn the path needs is the approach, not a break at row 1.
        arm = Arm(CrxModel.Crx10iA)
        targets = Crx.pose_from_xyzwpr(README_LINE)
        plan = arm.plan_path(targets, CURRENT_JOINTS)
        unstarted = arm.plan_path(targets)
        assert len(plan.breaks) == 0 and len(unstarted.breaks) == 0
        np.testing.assert_array_equal(plan.joints, unstarted.joints)
        travel, seconds = plan.approach
        assert abs(plan.joints[0, 3] - CURRENT_JOINTS[3]) == pytest.approx(359.8, abs=0.05)
        assert travel == pytest.approx(np.abs(plan.joints[0] - CURRENT_JOINTS).sum(), rel=1e-12)
        assert seconds == pytest.approx(359.8 / 180.0, abs=1e-3)
        assert plan.segments == [(0, 200, pytest.approx(plan.duration, rel=1e-12))]

    def test_base_and_tool_start_takes_the_nearer_first_row(self, arm):
        start = np.array([0, 0, 0, 0, -90, 0.0])
        targets = Crx.pose_from_xyzwpr(README_LINE)
        plan = arm.plan_path(targets, start, collision_free=False)
        assert len(plan.breaks) == 0
        assert np.abs(plan.joints[0] - start).max() < 142.0
        # Against every first row: fewest breaks, then duration; ties to the shortest approach.
        first, plans = first_row_plans(arm, targets, start)
        best = min((len(p.breaks), p.duration) for p in plans)
        tied = [p for p in plans if len(p.breaks) == best[0] and p.duration <= best[1] * (1 + 1e-9)]
        assert len(tied) >= 2  # the mirrored postures take the same time
        assert plan.approach[0] == pytest.approx(min(p.approach[0] for p in tied), rel=1e-12)
        assert plan.duration == pytest.approx(best[1], rel=1e-9)

    def test_ties_without_start_go_nearest_home(self):
        # A line on a riser: the two mirrored postures take the same time; the one
        # with its arm joints nearest zero starts, not the one over the back.
        riser = Arm(CrxModel.Crx10iA, base=Crx.pose_from_xyzwpr([0, 0, 200, 0, 0, 90]),
                    tool=Crx.pose_from_xyzwpr([0, 40, 145, -15, 0, 0]))
        line = np.linspace([600.23, -237.33, 415.56, 150.01, 0.01, 0.02], [315.3, -331.1, 418.5, 150.0, 0.0, 0.0], 101)
        targets = Crx.pose_from_xyzwpr(line)
        plan = riser.plan_path(targets, collision_free=False)
        assert plan.approach is None and len(plan.breaks) == 0
        np.testing.assert_allclose(plan.joints[0], [-87.6, 5.8, -8.1, 15.1, -82.8, -4.4], atol=0.05)
        first, plans = first_row_plans(riser, targets)
        back = int(np.argmin(np.abs(first - [92.4, -5.8, 188.1, -164.9, -82.8, -4.4]).max(axis=1)))
        assert plans[back].duration == pytest.approx(plan.duration, rel=1e-9) and len(plans[back].breaks) == 0
        assert min(p.duration for p in plans) >= plan.duration * (1 - 1e-9)

    def test_a_gap_is_crossed_by_the_short_break_move(self):
        arm = Arm(CrxModel.Crx10iA)
        targets = Crx.pose_from_xyzwpr(README_LINE)
        targets[50:150, 0, 3] += 1e5
        plan = arm.plan_path(targets)
        np.testing.assert_array_equal(plan.unreachable, np.arange(50, 150))
        np.testing.assert_array_equal(plan.breaks, [150])
        jump = np.abs(plan.joints[150] - plan.joints[49])
        assert jump.max() == pytest.approx(27.5, abs=0.1)  # not a 316 degree J6 swing
        assert np.isfinite(plan.duration)
        assert plan.duration == pytest.approx(reached_duration(plan, arm.max_speed), rel=1e-12)
        (a, b, ta), (c, d, tb) = plan.segments
        assert (a, b, c, d) == (0, 49, 150, 200)
        break_move = np.max(jump / arm.max_speed)
        assert ta + tb + break_move == pytest.approx(plan.duration, rel=1e-12)

    def test_every_move_a_break_travels_as_the_direct_plan(self):
        arm = Arm(CrxModel.Crx10iA)
        targets = Crx.pose_from_xyzwpr(README_LINE)
        direct = arm.plan_path(targets)
        tiny = arm.plan_path(targets, max_step=1e-9)
        assert len(tiny.breaks) == 200 and len(tiny.segments) == 201
        assert all(first == last and time == 0.0 for first, last, time in tiny.segments)
        assert tiny.travel == pytest.approx(direct.travel, rel=1e-6)  # 166 degrees, not 4,285
        assert tiny.duration == pytest.approx(direct.duration, rel=1e-6)


class TestTcpStepRule:
    # A line that leaves the wrist singularity (J5 = 1.1 degrees) in 0.6 mm steps:
    # J4 and J6 turn 7.6 degrees in the first step.
    Q = [-8.38, -20.65, 107.56, 124.57, 1.1, -15.7]
    DIRECTION = [0.271, 0.255, -0.928]

    def line(self, arm):
        start = Crx.xyzwpr(arm.fk(self.Q))
        line = np.repeat(start[None], 300, axis=0)
        line[:, :3] += np.outer(np.linspace(0, 179.4, 300), np.array(self.DIRECTION) / np.linalg.norm(self.DIRECTION))
        return Crx.pose_from_xyzwpr(line)

    def test_a_large_step_for_a_small_tcp_motion_is_a_break(self):
        arm = Arm(CrxModel.Crx10iA)
        targets = self.line(arm)
        plan = arm.plan_path(targets, collision_free=False)
        loose = arm.plan_path(targets, collision_free=False, max_step_per_mm=np.inf)
        assert len(loose.breaks) == 0 and len(plan.breaks) > 0
        steps = np.abs(np.diff(loose.joints, axis=0)).max(axis=1)
        tcp = np.linalg.norm(np.diff(targets[:, :3, 3], axis=0), axis=1)
        assert steps[0] > 7.0 and tcp[0] == pytest.approx(0.6, abs=1e-6)
        assert 0 < plan.breaks[0] and steps[plan.breaks[0] - 1] > 1.0 + 5.0 * 0.6
        # Every continuous move of the plan keeps the rule: 1 degree + 5 per mm (rotation: none here).
        plan_steps = np.abs(np.diff(plan.joints, axis=0)).max(axis=1)
        continuous = np.setdiff1d(np.arange(1, 300), plan.breaks) - 1
        assert (plan_steps[continuous] <= 1.0 + 5.0 * tcp[continuous] + 1e-9).all()
        # A looser ratio lets the step through again.
        assert len(arm.plan_path(targets, collision_free=False, max_step_per_mm=20.0).breaks) == 0

    def test_no_branch_switch_near_a_singularity(self):
        # A line passing close to a singular configuration in 0.6 mm steps: without the
        # rule the plan switches branches there, 7.4 degrees in one step where the
        # others take 0.09; with it, the plan follows one branch through, no break.
        arm = Arm(CrxModel.Crx10iA)
        direction = np.array([-0.7189, -0.6466, -0.2551])
        middle = Crx.xyzwpr(arm.fk([35.042, 108.812, -160.264, 16.508, 57.341, -151.086]))
        line = np.repeat(middle[None], 301, axis=0)
        line[:, :3] += np.outer(np.linspace(-90, 90, 301), direction / np.linalg.norm(direction))
        targets = Crx.pose_from_xyzwpr(line)
        loose = arm.plan_path(targets, collision_free=False, max_step_per_mm=np.inf)
        loose_steps = np.abs(np.diff(loose.joints, axis=0)).max(axis=1)
        assert len(loose.breaks) == 0 and loose_steps.max() > 7.0 and np.median(loose_steps) < 0.1
        plan = arm.plan_path(targets, collision_free=False)
        assert len(plan.breaks) == 0 and np.abs(np.diff(plan.joints, axis=0)).max() < 1.0
        assert plan.duration > loose.duration  # the switch was faster, and is no longer allowed

    def test_rotation_counts_as_travel(self):
        # The tool turning in place about its own axis by 2 degrees a waypoint: J6 steps
        # 2 degrees for no translation, and stays continuous.
        arm = Arm(CrxModel.Crx10iA)
        rows = np.tile([10.0, 20.0, -10.0, 30.0, -60.0, 0.0], (40, 1))
        rows[:, 5] = np.arange(40) * 2.0
        plan = arm.plan_path(arm.fk_many(rows), collision_free=False)
        assert len(plan.breaks) == 0
        assert np.abs(np.diff(plan.joints, axis=0)).max() <= 2.0 + 1e-6


class TestPlanState:
    def test_new_fields_are_appended_and_checked(self, arm):
        targets = Crx.pose_from_xyzwpr(README_LINE)
        targets[50:150, 0, 3] += 1e5
        plan = Arm(CrxModel.Crx10iA).plan_path(targets, CURRENT_JOINTS)
        make, state = plan.__reduce__()
        assert len(state) == 10
        np.testing.assert_array_equal(state[8], [s[2] for s in plan.segments])
        assert state[9] == plan.approach
        again = make(*state)
        assert (again.segments, again.approach, again.duration) == (plan.segments, plan.approach, plan.duration)
        bad = [
            (8, [0.1], r"^argument 'segment_times': expected 2 times, one per continuous stretch, got 1$"),
            (8, [0.1, -0.1], r"^argument 'segment_times': expected non-negative, finite seconds"),
            (8, [0.1, np.inf], r"^argument 'segment_times': expected non-negative, finite seconds"),
            (8, [np.nan, 0.1], r"^argument 'segment_times': expected non-negative, finite seconds"),
            (8, [0.1, 1e3], r"^argument 'segment_times': the stretches take "),
            (9, (1.0, -1.0), r"^argument 'approach': expected None or \(travel, time\)"),
            (9, (np.nan, 1.0), r"^argument 'approach': expected None or \(travel, time\)"),
            (9, (1.0, 2.0, 3.0), r"^argument 'approach': expected None or \(travel, time\)"),
        ]
        for field, value, message in bad:
            damaged = list(state)
            damaged[field] = value
            with pytest.raises(ValueError, match=message):
                make(*damaged)
        with pytest.raises(ValueError, match=r"^argument 'approach': "):
            make(*state[:9], "far")
        far = targets[:1].copy()
        far[:, 0, 3] += 1e6
        nothing = arm.plan_path(far, CURRENT_JOINTS)
        make, empty = nothing.__reduce__()
        assert nothing.segments == [] and nothing.approach is None and empty[8].shape == (0,)
        with pytest.raises(ValueError, match=r"^argument 'approach': expected None for a plan that reaches no"):
            make(*empty[:9], (1.0, 1.0))

    def test_old_states_load(self, arm):
        # A state of seven fields, as plans were stored before the segments and the
        # approach: segments from the rows with NaN times, no approach.
        targets = arm.fk_many(smooth_generator(arm, np.random.default_rng(28))[:20])
        targets[[0, 7], 0, 3] += 1e5
        plan = arm.plan_path(targets, max_step=0.5, collision_free=False)
        assert len(plan.breaks) > 0
        make, state = plan.__reduce__()
        old = make(*state[:7])
        assert old.approach is None and len(old.segments) == len(plan.segments)
        assert [s[:2] for s in old.segments] == [s[:2] for s in plan.segments]
        assert np.isnan([s[2] for s in old.segments]).all()
        np.testing.assert_array_equal(old.joints, plan.joints)
        # An old plan from `start` whose first move was a break: that break cuts nothing.
        first_break = make(state[0], np.concatenate([[1], plan.breaks]), *state[2:7])
        assert [s[:2] for s in first_break.segments] == [s[:2] for s in plan.segments]
        # And the loaded plan pickles again as it is.
        copy = pickle.loads(pickle.dumps(old))
        assert copy.approach is None and np.isnan([s[2] for s in copy.segments]).all()
        assert repr(copy) == repr(old)
