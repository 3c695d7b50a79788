import csv
import pickle

import numpy as np
import pytest

import ortholink
from ortholink import Arm, Crx, CrxModel, Scene

# Samples are within the limits to this relative tolerance.
TOLERANCE = 1e-6
LINE = np.linspace([48.1, -407.7, 905.1, -16.3, -24.9, 109.1], [-330.7, -527.7, 950.7, -16.3, -24.9, 109.1], 201)


@pytest.fixture(scope="module")
def arm():
    return Arm(CrxModel.Crx10iA)


@pytest.fixture(scope="module")
def line_plan(arm):
    return arm.plan_path(Crx.pose_from_xyzwpr(LINE), max_step=10.0)


def plan_of(rows, breaks=()):
    """A plan holding given rows, as a stored plan would be rebuilt."""
    rows = np.asarray(rows, float)
    unreachable = np.flatnonzero(np.isnan(rows[:, 0])).tolist()
    duration = np.inf if len(breaks) else 0.0
    return ortholink.PathPlan._from_state(rows, list(breaks), unreachable, duration, 0.0, 0, 0)


def smooth_rows(arm, rng, samples=300):
    """A smooth joint path within the limits: a random cubic through four joint vectors."""
    while True:
        keys = rng.uniform(arm.lower * 0.6, arm.upper * 0.6, size=(4, 6))
        t = np.linspace(0.0, 1.0, samples)[:, None]
        path = np.hstack([(1 - t) ** 3, 3 * t * (1 - t) ** 2, 3 * t**2 * (1 - t), t**3]) @ keys
        if arm.within_limits(path).all():
            return path


def tcp_speeds(arm, trajectory):
    return np.array(
        [np.linalg.norm(arm.jacobian(q)[:3] @ np.radians(v)) for q, v in zip(trajectory.joints, trajectory.velocity)]
    )


def toppra_duration(rows, max_speed, max_acceleration, intervals=4000):
    """toppra's duration on the same path (the natural spline over joint-space arc length), on a fine grid."""
    pytest.importorskip("toppra")
    import toppra.algorithm
    import toppra.constraint

    s = np.concatenate([[0.0], np.cumsum(np.linalg.norm(np.diff(rows, axis=0), axis=1))])
    path = toppra.SplineInterpolator(s, rows, bc_type="natural")
    constraints = [
        toppra.constraint.JointVelocityConstraint(np.stack([-max_speed, max_speed], axis=1)),
        toppra.constraint.JointAccelerationConstraint(np.stack([-max_acceleration, max_acceleration], axis=1)),
    ]
    grid = np.union1d(s, np.linspace(0.0, s[-1], intervals + 1))
    instance = toppra.algorithm.TOPPRA(constraints, path, gridpoints=grid, parametrizer="ParametrizeConstAccel")
    result = instance.compute_trajectory(0.0, 0.0)
    assert result is not None, "toppra found no parameterisation"
    return float(result.duration)


def check_within_limits(trajectory, arm, tcp_speed=None):
    assert np.all(np.abs(trajectory.velocity) <= trajectory.max_speed * (1 + TOLERANCE))
    assert np.all(np.abs(trajectory.acceleration) <= trajectory.max_acceleration * (1 + TOLERANCE))
    if tcp_speed is not None:
        assert tcp_speeds(arm, trajectory).max() <= tcp_speed * (1 + TOLERANCE)


class TestAgainstToppra:
    @pytest.mark.parametrize("case", ["line", "smooth", "fast-accelerating"])
    def test_durations_agree_within_one_percent(self, arm, line_plan, case):
        if case == "line":
            rows = line_plan.joints
            max_acceleration = arm.max_acceleration
        else:
            rows = smooth_rows(arm, np.random.default_rng(5 if case == "smooth" else 8))
            max_acceleration = arm.max_acceleration * (1.0 if case == "smooth" else 10.0)
        ours = plan_of(rows).trajectory(arm, max_acceleration=max_acceleration)
        theirs = toppra_duration(rows, arm.max_speed, max_acceleration)
        assert ours.duration == pytest.approx(theirs, rel=0.01)
        check_within_limits(ours, arm)


class TestLimitsAndPath:
    @pytest.mark.parametrize("seed", [1, 2, 3])
    def test_every_sample_within_its_limits_at_rest_on_the_end_rows(self, arm, seed):
        rng = np.random.default_rng(seed)
        rows = smooth_rows(arm, rng, samples=int(rng.integers(50, 400)))
        tcp = float(rng.uniform(200, 800)) if seed != 1 else None
        period = [0.008, 0.004, 0.002][seed - 1]
        t = plan_of(rows).trajectory(arm, tcp_speed=tcp, period=period)
        check_within_limits(t, arm, tcp)
        np.testing.assert_array_equal(t.max_speed, arm.max_speed)
        np.testing.assert_array_equal(t.max_acceleration, arm.max_acceleration)
        assert t.tcp_speed == tcp and t.period == period
        assert t.time[0] == 0.0 and t.time[-1] == t.duration
        np.testing.assert_allclose(np.diff(t.time[:-1]), period, rtol=1e-9)
        assert 0 < t.duration - t.time[-2] <= period * (1 + 1e-9)
        np.testing.assert_array_equal(t.joints[[0, -1]], rows[[0, -1]])
        np.testing.assert_array_equal(t.velocity[[0, -1]], 0.0)
        assert np.all(np.diff(t.waypoint_times) >= 0)
        assert t.waypoint_times[-1] == pytest.approx(t.duration)

    def test_follows_the_plan_within_the_stated_deviation(self, arm, line_plan):
        t = line_plan.trajectory(arm, tcp_speed=100.0)
        rows = line_plan.joints
        # Each sample near the straight joint move between the rows it lies between.
        segment = np.clip(np.searchsorted(t.waypoint_times, t.time, side="right") - 1, 0, len(rows) - 2)
        fractions = np.linspace(0.0, 1.0, 2001)[:, None]
        for q, i in zip(t.joints, segment):
            chord = rows[i] + fractions * (rows[i + 1] - rows[i])
            distance = np.abs(chord - q).max(axis=1).min()
            assert distance <= t.deviation + np.abs(rows[i + 1] - rows[i]).max() / 4000 + 1e-9
        # Through fk: the TCP stays on the line the plan follows, at most 100 mm/s.
        positions = arm.fk_many(t.joints)[:, :3, 3]
        start, end = arm.fk(rows[0])[:3, 3], arm.fk(rows[-1])[:3, 3]
        direction = (end - start) / np.linalg.norm(end - start)
        offsets = positions - start
        off_line = np.linalg.norm(offsets - np.outer(offsets @ direction, direction), axis=1)
        assert off_line.max() < 0.05
        check_within_limits(t, arm, 100.0)
        # Mostly at the TCP limit: the 400 mm take a little over 4 s.
        assert 400.0 / 100.0 < t.duration < 400.0 / 100.0 * 1.1

    def test_unreachable_rows_are_skipped_and_breaks_refused(self, arm, line_plan):
        rows = line_plan.joints.copy()
        rows[[0, 50]] = np.nan
        t = plan_of(rows, breaks=[1]).trajectory(arm)  # a break at the first row is the move from start
        assert np.isnan(t.waypoint_times[[0, 50]]).all() and t.waypoint_times[1] == 0.0
        np.testing.assert_array_equal(t.joints[0], rows[1])
        with pytest.raises(ValueError, match=r"^the plan breaks at waypoints 60, 120: "):
            plan_of(line_plan.joints, breaks=[60, 120]).trajectory(arm)
        jumped = LINE.copy()
        jumped[100:, 2] -= 400.0  # the line goes on 400 mm lower: the arm must stop there
        blocked = arm.plan_path(Crx.pose_from_xyzwpr(jumped))
        assert len(blocked.breaks) > 0
        with pytest.raises(ValueError, match=f"waypoints? {blocked.breaks[-1]}"):
            blocked.trajectory(arm)

    def test_arguments(self, arm, line_plan):
        fast = line_plan.trajectory(arm, max_acceleration=arm.max_acceleration * 4)
        assert fast.duration < line_plan.trajectory(arm).duration
        np.testing.assert_array_equal(fast.max_acceleration, arm.max_acceleration * 4)
        with pytest.raises(TypeError, match="argument 'arm': expected ortholink.Arm"):
            line_plan.trajectory(Crx.crx10ia())
        for keyword, value in [("tcp_speed", 0.0), ("period", -1.0), ("period", float("nan"))]:
            with pytest.raises(ValueError, match=f"argument '{keyword}'"):
                line_plan.trajectory(arm, **{keyword: value})
        with pytest.raises(ValueError, match="argument 'max_acceleration'"):
            line_plan.trajectory(arm, max_acceleration=[1, 1, 1, 1, 1, -1])
        with pytest.raises(ValueError, match=r"argument 'period': more than 10000000 samples"):
            line_plan.trajectory(arm, period=1e-9)
        with pytest.raises(TypeError):
            line_plan.trajectory(arm, None)  # the limits are keyword-only


class TestJointLimits:
    # J1 onto its upper limit, then J2 moving: the spline through these rows alone takes J1 to 190.4°.
    CORNER = [[j1, 20, 30, 40, 50, 60] for j1 in np.linspace(170, 190, 5)] + [
        [190, j2, 30, 40, 50, 60] for j2 in np.linspace(25, 60, 8)
    ]

    def test_a_planned_corner_stays_within_the_limits_through_every_row(self, arm):
        rows = np.array(self.CORNER, float)
        near = lambda c: np.abs(c[:, None, :] - rows[None]).max(axis=2).min(axis=1) < 1e-6  # noqa: E731
        plan = arm.plan_path(arm.fk_many(rows), check=near, collision_free=False, max_step=30)
        assert arm.within_limits(plan.joints).all() and len(plan.breaks) == 0
        t = plan.trajectory(arm, period=0.001)
        assert arm.within_limits(t.joints).all()
        assert t.joints[:, 0].max() == 190.0
        check_within_limits(t, arm)
        # The rows' times, one per row, in order; the samples follow the straight moves within the deviation.
        assert len(t.waypoint_times) == len(rows) and np.all(np.diff(t.waypoint_times) > 0)
        assert t.waypoint_times[-1] == t.duration
        segment = np.clip(np.searchsorted(t.waypoint_times, t.time, side="right") - 1, 0, len(rows) - 2)
        fractions = np.linspace(0.0, 1.0, 2001)[:, None]
        for q, i in zip(t.joints, segment):
            chord = plan.joints[i] + fractions * (plan.joints[i + 1] - plan.joints[i])
            assert np.abs(chord - q).max(axis=1).min() <= t.deviation + 5.0 / 4000

    def test_the_elbow_limit_too_and_rows_outside_are_refused(self, arm):
        rows = [[0, 0, -30 - 10.25 * i, 0, 0, 0] for i in range(5)] + [[0, 8 * i, -71 - 8 * i, 0, 0, 0] for i in (1, 2)]
        t = plan_of(rows).trajectory(arm, period=0.001)
        assert arm.within_limits(t.joints).all() and (t.joints[:, 1] + t.joints[:, 2]).min() == -71.0
        # Planned for one arm, timed on a narrower one.
        narrow = Arm(CrxModel.Crx10iA, upper=[185, 179.9, 430.9, 190, 179.9, 225])
        with pytest.raises(ValueError, match=r"^row 4 is outside the arm's joint limits: J1 is 190\.0000, its limits "):
            plan_of(self.CORNER).trajectory(narrow)


@pytest.fixture(scope="module")
def square(arm):
    """A 200 mm square of 13 poses: at its corners the spline through the rows bulges past the
    straight moves, 3 mm into this sphere, which no row and no straight move of the plan meets."""
    c = Crx.xyzwpr(arm.fk([0, 10, -20, 0, -70, 0]))
    corners = np.array([[0, 0], [200, 0], [200, 200], [0, 200], [0, 0]], float)
    xy = [corners[0]] + [a + t * (b - a) for a, b in zip(corners[:-1], corners[1:]) for t in (1 / 3, 2 / 3, 1)]
    targets = np.repeat(c[None], len(xy), 0)
    targets[:, :2] += np.array(xy) - 100
    cell = Scene(spheres=[([422.187, -67.544, 227.110], 23.86)])
    plan = arm.plan_path(Crx.pose_from_xyzwpr(targets), scene=cell)
    assert len(plan.breaks) == 0 and len(plan.unreachable) == 0
    assert not any(arm.move_collides(a, b, cell) for a, b in zip(plan.joints[:-1], plan.joints[1:]))
    return plan, cell


class TestCollisions:
    def test_the_motion_keeps_the_plans_moves_clear(self, arm, square):
        plan, cell = square
        unchecked = plan.trajectory(arm, scene=cell, collision_free=False)
        assert arm.collides(unchecked.joints, cell).any()
        t = plan.trajectory(arm, scene=cell, period=0.002)
        assert not arm.collides(t.joints, cell).any()
        check_within_limits(t, arm)
        # Still through every row, in order, a little slower for the knots added at the corners.
        times = np.interp(t.waypoint_times, t.time, np.arange(len(t.time)))
        assert np.all(np.diff(t.waypoint_times) > 0)
        np.testing.assert_allclose(t.joints[np.round(times).astype(int)], plan.joints, atol=2.0)
        assert unchecked.duration <= t.duration < unchecked.duration * 1.1
        # Only what is passed is checked: without the scene, the arm alone.
        assert arm.collides(plan.trajectory(arm).joints, cell).any()

    def test_moves_that_collide_themselves_are_timed_as_they_are(self, arm, line_plan):
        # The README line planned without checks, through a ball on its straight moves.
        middle = arm.fk(line_plan.joints[100])[:3, 3]
        ball = Scene(spheres=[(middle, 30.0)])
        assert arm.collides(line_plan.joints, ball).any()
        checked = line_plan.trajectory(arm, scene=ball)
        np.testing.assert_array_equal(checked.joints, line_plan.trajectory(arm, collision_free=False).joints)
        with pytest.raises(TypeError, match="argument 'scene'"):
            line_plan.trajectory(arm, scene=[1, 2, 3])


class TestWhatCannotBeTimed:
    def test_a_plan_without_reachable_rows_is_refused(self, arm):
        with pytest.raises(ValueError, match=r"^there is no row to time: every row is unreachable$"):
            plan_of(np.full((3, 6), np.nan)).trajectory(arm)

    def test_limits_too_low_for_a_representable_speed_are_refused(self, arm, line_plan):
        with pytest.raises(ValueError, match=r"^the limits are too low to time this path: "):
            line_plan.trajectory(arm, tcp_speed=1e-200)
        slow = Arm(CrxModel.Crx10iA, max_speed=[1e-200] * 6)
        with pytest.raises(ValueError, match=r"^the limits are too low to time this path: "):
            slow.plan_path(Crx.pose_from_xyzwpr(LINE)).trajectory(slow)
        # Slow but representable: the samples are what is too many; the period is named only when given.
        with pytest.raises(ValueError, match=r"^more than 10000000 samples"):
            line_plan.trajectory(arm, tcp_speed=1e-100)

    @pytest.mark.parametrize("period", [0.5, 10.0, 1e9])
    def test_a_long_period_keeps_the_first_and_last_rows(self, arm, line_plan, period):
        t = line_plan.trajectory(arm, period=period)
        assert t.time[0] == 0.0 and t.time[-1] == t.duration and np.all(np.diff(t.time) > 0)
        np.testing.assert_array_equal(t.joints[[0, -1]], line_plan.joints[[0, -1]])
        assert len(t.time) == (2 if period > t.duration else int(np.ceil(t.duration / period)) + 1)


@pytest.fixture(scope="module")
def trajectory(arm, line_plan):
    return line_plan.trajectory(arm, tcp_speed=100.0)


class TestOutput:
    def test_ros_joint_trajectory_round_trips(self, trajectory):
        message = trajectory.to_joint_trajectory()
        assert message["joint_names"] == [f"joint_{i}" for i in range(1, 7)]
        assert message["header"] == {"stamp": {"sec": 0, "nanosec": 0}, "frame_id": ""}
        points = message["points"]
        assert len(points) == len(trajectory.time)
        positions = np.array([p["positions"] for p in points])
        np.testing.assert_allclose(Crx.joints_from_urdf(positions), trajectory.joints, atol=1e-12)
        np.testing.assert_array_equal(positions, Crx.joints_to_urdf(trajectory.joints))
        for key, values in [("velocities", trajectory.velocity), ("accelerations", trajectory.acceleration)]:
            np.testing.assert_allclose(Crx.joints_from_urdf(np.array([p[key] for p in points])), values, atol=1e-9)
        times = [p["time_from_start"] for p in points]
        assert all(type(d["sec"]) is int and 0 <= d["nanosec"] < 10**9 for d in times)
        np.testing.assert_allclose([d["sec"] + d["nanosec"] * 1e-9 for d in times], trajectory.time, atol=1e-9)
        assert all(type(v) is float for v in points[1]["positions"])

    def test_csv_holds_every_sample_exactly(self, trajectory, tmp_path):
        path = tmp_path / "bead.csv"
        assert trajectory.to_csv(path) is None
        with open(path, newline="") as f:
            header, *lines = list(csv.reader(f))
        assert header == ["time"] + [f"{p}{j}" for p in "jva" for j in range(1, 7)]
        values = np.array(lines, dtype=float)
        np.testing.assert_array_equal(values[:, 0], trajectory.time)
        np.testing.assert_array_equal(values[:, 1:7], trajectory.joints)
        np.testing.assert_array_equal(values[:, 7:13], trajectory.velocity)
        np.testing.assert_array_equal(values[:, 13:], trajectory.acceleration)
        with pytest.raises(OSError):
            trajectory.to_csv(tmp_path / "missing" / "bead.csv")

    def test_pickle_and_repr(self, trajectory):
        copy = pickle.loads(pickle.dumps(trajectory))
        for name in ["time", "joints", "velocity", "acceleration", "waypoint_times", "max_speed", "max_acceleration"]:
            np.testing.assert_array_equal(getattr(copy, name), getattr(trajectory, name))
        for name in ["duration", "period", "deviation", "tcp_speed"]:
            assert getattr(copy, name) == getattr(trajectory, name)
        assert repr(copy) == repr(trajectory)
        assert repr(trajectory) == (
            f"Trajectory(samples={len(trajectory.time)}, duration={trajectory.duration:.4f}, period=0.0080)"
        )
        with pytest.raises(ValueError, match="inconsistent Trajectory state"):
            ortholink.Trajectory._from_state(
                trajectory.time[:-1], trajectory.joints, trajectory.velocity, trajectory.acceleration,
                trajectory.waypoint_times, 1.0, 0.008, 0.0, trajectory.max_speed, trajectory.max_acceleration, None,
            )  # fmt: skip
        assert "Trajectory" not in ortholink.__all__
        with pytest.raises(TypeError):
            ortholink.Trajectory()

    @pytest.mark.parametrize(
        "field, damage, message",
        [
            (0, lambda t: np.where(np.arange(len(t)) == 1, np.nan, t), r"^argument 'time': expected increasing times "),
            (0, lambda t: t[[0, 2, 1, *range(3, len(t))]], r"^argument 'time': .* got 0\.008 at sample 2$"),
            (0, lambda t: t + 1e-3, r"^argument 'time': expected increasing times from 0 "),
            (1, lambda q: np.where(q == q[5, 2], np.inf, q), r"^argument 'joints': expected finite values, got inf$"),
            (4, lambda w: w[::-1], r"^argument 'waypoint_times': expected times within the motion"),
            (4, lambda w: w * 2.0, r"^argument 'waypoint_times': "),
            (5, lambda d: -1.0, r"^argument 'duration': expected a non-negative, finite number, got -1\.0$"),
            (5, lambda d: d * 2.0, r"^argument 'duration': expected the time of the last sample"),
            (6, lambda p: np.nan, r"^argument 'period': expected a positive, finite number, got nan$"),
            (6, lambda p: 0.0, r"^argument 'period': "),
            (7, lambda d: np.inf, r"^argument 'deviation': "),
            (8, lambda v: -v, r"^argument 'max_speed': expected positive, finite limits, got -"),
            (9, lambda a: a * np.inf, r"^argument 'max_acceleration': "),
            (10, lambda v: -5.0, r"^argument 'tcp_speed': expected a positive, finite number, got -5\.0$"),
        ],
    )
    def test_a_damaged_state_is_refused(self, trajectory, field, damage, message):
        make, state = trajectory.__reduce__()
        damaged = list(state)
        damaged[field] = damage(np.asarray(state[field]) if field in (0, 1, 4, 8, 9) else state[field])
        with pytest.raises(ValueError, match=message):
            make(*damaged)

    def test_times_beyond_a_ros_duration_are_refused(self, arm, line_plan):
        # 400 mm at a picometre per second: 4e11 s, beyond the int32 seconds of a Duration.
        crawl = line_plan.trajectory(arm, tcp_speed=1e-9, period=1e11)
        assert crawl.duration > 2**31
        with pytest.raises(ValueError, match=r"^a sample at .* s is beyond what a ROS 2 Duration holds"):
            crawl.to_joint_trajectory()

    def test_plot_draws_the_limits(self, trajectory, tmp_path):
        pytest.importorskip("matplotlib")
        path = tmp_path / "bead.png"
        figure = trajectory.plot(path)
        assert path.stat().st_size > 0
        velocity_axis = figure.axes[1]
        levels = {round(line.get_ydata()[0], 9) for line in velocity_axis.get_lines() if line.get_linestyle() == "--"}
        assert levels == {round(s * v, 9) for v in trajectory.max_speed for s in (1, -1)}
        # Saved figures are not pyplot's to keep open; a directory is no file name.
        import matplotlib.pyplot as plt

        before = len(plt.get_fignums())
        for k in range(25):
            trajectory.plot(tmp_path / f"{k}.png")
        assert len(plt.get_fignums()) == before
        with pytest.raises(IsADirectoryError, match="argument 'path'"):
            trajectory.plot(tmp_path)
        assert not (tmp_path.parent / (tmp_path.name + ".png")).exists()


class TestArmAcceleration:
    def test_default_is_twice_the_speed_and_keeps_the_repr(self):
        arm = Arm(CrxModel.Crx10iA)
        np.testing.assert_array_equal(arm.max_acceleration, 2.0 * arm.max_speed)
        slow = Arm(CrxModel.Crx10iA, max_speed=[10] * 6)
        np.testing.assert_array_equal(slow.max_acceleration, [20] * 6)
        assert "max_acceleration" not in repr(arm)
        # Given as the default, it is the default.
        assert Arm(CrxModel.Crx10iA, max_acceleration=2.0 * arm.max_speed) == arm

    def test_given_accelerations_compare_hash_print_and_pickle(self):
        arm = Arm(CrxModel.Crx10iA, max_acceleration=[100, 100, 150, 200, 200, 300])
        np.testing.assert_array_equal(arm.max_acceleration, [100, 100, 150, 200, 200, 300])
        assert arm != Arm(CrxModel.Crx10iA)
        assert repr(arm).endswith("max_acceleration=[100, 100, 150, 200, 200, 300])")
        copy = pickle.loads(pickle.dumps(arm))
        assert copy == arm and hash(copy) == hash(arm)
        # States written before the accelerations (ten fields) still load, with the default.
        maker, state = Arm(CrxModel.Crx10iA).__reduce__()
        assert state[-1] is None
        assert maker(*state[:10]) == Arm(CrxModel.Crx10iA)
        with pytest.raises(ValueError, match="the acceleration of J6 must be positive and finite"):
            Arm(CrxModel.Crx10iA, max_acceleration=[1, 1, 1, 1, 1, 0])
