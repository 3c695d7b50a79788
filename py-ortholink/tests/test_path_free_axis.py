"""Arm.plan_path with a free tool axis: the turn about each target's own z is the planner's to choose."""

import pickle

import numpy as np
import pytest

from ortholink import Arm, Crx, CrxModel, Scene

NOZZLE = Crx.pose_from_xyzwpr([0.0, 0.0, 150.0, 0.0, 0.0, 0.0])

# A circle 150 mm across, the nozzle tilted 10 degrees and turning about its own axis by 1.3 turns
# as it goes round (X Y Z W P R, mm and degrees). With the orientations as given J6 runs out of
# range and the plan breaks once; turning each target about its own z it goes through. Found by
# tools/search_free_axis_paths.py (seed 1) and kept as data.
WOUND_UP = np.array(
    [
        [777.384, 225.232, -49.544, 180.000, -24.831, 0.000],
        [776.704, 240.596, -49.544, 180.000, -24.831, 6.019],
        [774.669, 255.839, -49.544, 180.000, -24.831, 12.038],
        [771.294, 270.843, -49.544, 180.000, -24.831, 18.057],
        [766.606, 285.490, -49.544, 180.000, -24.831, 24.076],
        [760.643, 299.666, -49.544, 180.000, -24.831, 30.095],
        [753.449, 313.259, -49.544, 180.000, -24.831, 36.115],
        [745.083, 326.163, -49.544, 180.000, -24.831, 42.134],
        [735.609, 338.277, -49.544, 180.000, -24.831, 48.153],
        [725.101, 349.506, -49.544, 180.000, -24.831, 54.172],
        [713.642, 359.763, -49.544, 180.000, -24.831, 60.191],
        [701.322, 368.967, -49.544, 180.000, -24.831, 66.210],
        [688.236, 377.045, -49.544, 180.000, -24.831, 72.229],
        [674.487, 383.936, -49.544, 180.000, -24.831, 78.248],
        [660.183, 389.585, -49.544, 180.000, -24.831, 84.267],
        [645.436, 393.947, -49.544, 180.000, -24.831, 90.286],
        [630.361, 396.989, -49.544, 180.000, -24.831, 96.305],
        [615.076, 398.687, -49.544, 180.000, -24.831, 102.325],
        [599.701, 399.027, -49.544, 180.000, -24.831, 108.344],
        [584.356, 398.007, -49.544, 180.000, -24.831, 114.363],
        [569.161, 395.635, -49.544, 180.000, -24.831, 120.382],
        [554.235, 391.929, -49.544, 180.000, -24.831, 126.401],
        [539.696, 386.919, -49.544, 180.000, -24.831, 132.420],
        [525.655, 380.643, -49.544, 180.000, -24.831, 138.439],
        [512.225, 373.151, -49.544, 180.000, -24.831, 144.458],
        [499.509, 364.501, -49.544, 180.000, -24.831, 150.477],
        [487.608, 354.761, -49.544, 180.000, -24.831, 156.496],
        [476.614, 344.008, -49.544, 180.000, -24.831, 162.516],
        [466.613, 332.325, -49.544, 180.000, -24.831, 168.535],
        [457.684, 319.803, -49.544, 180.000, -24.831, 174.554],
        [449.897, 306.542, -49.544, 180.000, -24.831, 180.573],
        [443.312, 292.644, -49.544, 180.000, -24.831, 186.592],
        [437.981, 278.219, -49.544, 180.000, -24.831, 192.611],
        [433.946, 263.379, -49.544, 180.000, -24.831, 198.630],
        [431.238, 248.240, -49.544, 180.000, -24.831, 204.649],
        [429.879, 232.921, -49.544, 180.000, -24.831, 210.668],
        [429.879, 217.542, -49.544, 180.000, -24.831, 216.687],
        [431.238, 202.224, -49.544, 180.000, -24.831, 222.706],
        [433.946, 187.085, -49.544, 180.000, -24.831, 228.726],
        [437.981, 172.245, -49.544, 180.000, -24.831, 234.745],
        [443.312, 157.820, -49.544, 180.000, -24.831, 240.764],
        [449.897, 143.922, -49.544, 180.000, -24.831, 246.783],
        [457.684, 130.660, -49.544, 180.000, -24.831, 252.802],
        [466.613, 118.139, -49.544, 180.000, -24.831, 258.821],
        [476.614, 106.456, -49.544, 180.000, -24.831, 264.840],
        [487.608, 95.703, -49.544, 180.000, -24.831, 270.859],
        [499.509, 85.963, -49.544, 180.000, -24.831, 276.878],
        [512.225, 77.313, -49.544, 180.000, -24.831, 282.897],
        [525.655, 69.821, -49.544, 180.000, -24.831, 288.916],
        [539.696, 63.545, -49.544, 180.000, -24.831, 294.936],
        [554.235, 58.534, -49.544, 180.000, -24.831, 300.955],
        [569.161, 54.829, -49.544, 180.000, -24.831, 306.974],
        [584.356, 52.456, -49.544, 180.000, -24.831, 312.993],
        [599.701, 51.436, -49.544, 180.000, -24.831, 319.012],
        [615.076, 51.777, -49.544, 180.000, -24.831, 325.031],
        [630.361, 53.474, -49.544, 180.000, -24.831, 331.050],
        [645.436, 56.516, -49.544, 180.000, -24.831, 337.069],
        [660.183, 60.879, -49.544, 180.000, -24.831, 343.088],
        [674.487, 66.527, -49.544, 180.000, -24.831, 349.107],
        [688.236, 73.418, -49.544, 180.000, -24.831, 355.126],
        [701.322, 81.497, -49.544, 180.000, -24.831, 361.146],
        [713.642, 90.701, -49.544, 180.000, -24.831, 367.165],
        [725.101, 100.958, -49.544, 180.000, -24.831, 373.184],
        [735.609, 112.187, -49.544, 180.000, -24.831, 379.203],
        [745.083, 124.301, -49.544, 180.000, -24.831, 385.222],
        [753.449, 137.205, -49.544, 180.000, -24.831, 391.241],
        [760.643, 150.798, -49.544, 180.000, -24.831, 397.260],
        [766.606, 164.973, -49.544, 180.000, -24.831, 403.279],
        [771.294, 179.620, -49.544, 180.000, -24.831, 409.298],
        [774.669, 194.624, -49.544, 180.000, -24.831, 415.317],
        [776.704, 209.868, -49.544, 180.000, -24.831, 421.337],
        [777.384, 225.232, -49.544, 180.000, -24.831, 427.356],
    ]
)


def rz(degrees):
    return Crx.pose_from_xyzwpr(np.column_stack([np.zeros((len(degrees), 5)), degrees]))


def reached(arm, plan, targets):
    """Largest difference between each row's TCP and its target turned by the row's tool_rotation."""
    return np.abs(arm.fk_many(plan.joints) - targets @ rz(plan.tool_rotation)).max()


@pytest.fixture
def arm():
    return Arm(CrxModel.Crx10iA, tool=NOZZLE)


@pytest.fixture
def targets():
    return Crx.pose_from_xyzwpr(WOUND_UP)


class TestFreeAxis:
    def test_goes_through_where_fixed_orientations_break(self, arm, targets):
        fixed = arm.plan_path(targets)
        assert len(fixed.breaks) > 0 and len(fixed.unreachable) == 0
        np.testing.assert_array_equal(fixed.tool_rotation, np.zeros(len(targets)))
        plan = arm.plan_path(targets, free_axis=(-180, 180, 15))
        assert len(plan.breaks) == 0 and len(plan.unreachable) == 0 and np.isfinite(plan.duration)
        assert plan.tool_rotation.dtype == np.float64 and plan.tool_rotation.shape == (len(targets),)
        assert reached(arm, plan, targets) < 1e-6
        # Every turn is a sample: a multiple of 15 degrees in the range (-180 and 180 are one pose).
        assert np.all(np.mod(plan.tool_rotation, 15.0) == 0.0)
        assert plan.tool_rotation.min() >= -180 and plan.tool_rotation.max() < 180
        assert np.abs(np.diff(plan.joints, axis=0)).max() <= 10.0
        assert arm.within_limits(plan.joints).all()
        # The graph holds every sample's solutions.
        assert plan.nodes > 20 * fixed.nodes

    def test_a_tool_off_the_flange_axis_turns_about_the_tcp_z(self, targets):
        # Here every sample is solved on its own (the flange moves on a circle about the TCP's z).
        arm = Arm(CrxModel.Crx10iA, tool=Crx.pose_from_xyzwpr([30.0, -10.0, 150.0, 0.0, 15.0, 0.0]))
        plan = arm.plan_path(targets, free_axis=(-180, 180, 15), collision_free=False)
        assert len(plan.unreachable) == 0
        assert reached(arm, plan, targets) < 1e-6

    def test_ranges_steps_and_ties(self, arm, targets):
        one = targets[:1]
        # Of equal plans the smallest turn wins; both ends are samples.
        assert arm.plan_path(one, free_axis=(-30, 30, 10)).tool_rotation.tolist() == [0.0]
        assert arm.plan_path(one, free_axis=(5, 25, 10)).tool_rotation.tolist() == [5.0]
        assert arm.plan_path(one, free_axis=(37, 37, 1)).tool_rotation.tolist() == [37.0]
        # A step that does not divide the range: upper is still a sample.
        start = arm.plan_path(targets[:1] @ rz([25.0])).joints[0]
        plan = arm.plan_path(one, start, free_axis=(-20, 25, 10), max_step=1e-6)
        assert plan.tool_rotation.tolist() == [25.0] and len(plan.breaks) == 0
        # The samples of a whole turn are 360 / step: -180 and 180 are one.
        full = arm.plan_path(one, free_axis=(-180, 180, 10), collision_free=False)
        half = arm.plan_path(one, free_axis=(-180, 170, 10), collision_free=False)
        assert full.nodes == half.nodes

    def test_unreachable_rows_have_nan(self, arm, targets):
        far = targets.copy()
        far[3, 0, 3] = 1e5
        for free_axis in (None, (-90, 90, 30)):
            plan = arm.plan_path(far, free_axis=free_axis)
            assert plan.unreachable.tolist() == [3]
            assert np.isnan(plan.tool_rotation[3]) and np.isfinite(np.delete(plan.tool_rotation, 3)).all()

    def test_check_sees_every_sample(self, arm, targets):
        seen = []

        def check(rows):
            seen.append(len(rows))
            # Keep J6 on one side: the plan has to use the turns that allow it.
            return rows[:, 5] > 0

        plan = arm.plan_path(targets[:20], free_axis=(-180, 180, 30), check=check)
        assert sum(seen) == arm.plan_path(targets[:20], free_axis=(-180, 180, 30)).nodes
        assert plan.nodes < sum(seen)
        reached_rows = ~np.isnan(plan.joints[:, 0])
        assert (plan.joints[reached_rows, 5] > 0).all()
        turned = targets[:20][reached_rows] @ rz(plan.tool_rotation[reached_rows])
        assert np.abs(arm.fk_many(plan.joints[reached_rows]) - turned).max() < 1e-6

    def test_scene_and_collision_free_still_hold(self, arm, targets):
        clear = arm.plan_path(targets, free_axis=(-180, 180, 15))
        # A ball where the clear plan's forearm passes halfway round.
        elbow = arm.robot.fk_all(clear.joints[36])[3][:3, 3]
        scene = Scene(spheres=[(elbow, 60.0)])
        assert arm.collides(clear.joints, scene).any()
        plan = arm.plan_path(targets, free_axis=(-180, 180, 15), scene=scene)
        rows = ~np.isnan(plan.joints[:, 0])
        assert not arm.collides(plan.joints[rows], scene).any()
        breaks = set(plan.breaks.tolist())
        for i in range(1, len(targets)):
            if rows[i] and rows[i - 1] and i not in breaks:
                assert not arm.move_collides(plan.joints[i - 1], plan.joints[i], scene)
        turned = targets[rows] @ rz(plan.tool_rotation[rows])
        assert np.abs(arm.fk_many(plan.joints[rows]) - turned).max() < 1e-6
        unchecked = arm.plan_path(targets, free_axis=(-180, 180, 15), scene=scene, collision_free=False)
        np.testing.assert_array_equal(
            unchecked.joints, arm.plan_path(targets, free_axis=(-180, 180, 15), collision_free=False).joints
        )


class TestToolRotationValue:
    def test_pickle_round_trip_and_older_states(self, arm, targets):
        far = targets.copy()
        far[5, 0, 3] = 1e5
        plan = arm.plan_path(far, free_axis=(-180, 180, 15))
        copy = pickle.loads(pickle.dumps(plan))
        np.testing.assert_array_equal(copy.tool_rotation, plan.tool_rotation)
        np.testing.assert_array_equal(copy.joints, plan.joints)
        assert repr(copy) == repr(plan)
        assert repr(plan).startswith("PathPlan(waypoints=72, breaks=")
        make, state = plan.__reduce__()
        assert len(state) == 10 and state[7] is not None
        # A state from before the free axis (seven fields) loads as a plan without turns.
        old = make(*state[:7])
        expected = np.zeros(len(far))
        expected[5] = np.nan
        np.testing.assert_array_equal(old.tool_rotation, expected)
        np.testing.assert_array_equal(old.joints, plan.joints)
        plan.tool_rotation[0] = 1e9
        assert plan.tool_rotation[0] != 1e9

    def test_damaged_tool_rotation_is_refused(self, arm, targets):
        far = targets[:6].copy()
        far[2, 0, 3] = 1e5
        make, state = arm.plan_path(far, free_axis=(-90, 90, 30)).__reduce__()
        turns = np.asarray(state[7])
        for damaged, message in (
            (turns[:5], r"expected 6 values, one per row, got 5"),
            (np.append(turns, 0.0), r"expected 6 values, one per row, got 7"),
            (np.where(np.arange(6) == 2, 0.0, turns), r"expected NaN in row 2, as 'unreachable' says, got 0.0"),
            (np.where(np.arange(6) == 1, np.nan, turns), r"expected a finite turn in row 1, as 'unreachable' says"),
            (np.where(np.arange(6) == 0, np.inf, turns), r"expected a finite turn in row 0"),
        ):
            with pytest.raises(ValueError, match=rf"^argument 'tool_rotation': {message}"):
                make(*state[:7], damaged)
        with pytest.raises((TypeError, ValueError), match=r"^argument 'tool_rotation': "):
            make(*state[:7], "turns")


class TestFreeAxisArgument:
    def test_bad_values_are_refused(self, arm, targets):
        for free_axis, message in (
            ((0, 10), r"expected \(lower, upper, step\) in degrees, got 2 values"),
            ((0, 10, 1, 2), r"expected \(lower, upper, step\) in degrees, got 4 values"),
            ((0, np.inf, 1), r"expected finite degrees, got \(0.0, inf, 1.0\)"),
            ((np.nan, 10, 1), r"expected finite degrees"),
            ((10, -10, 1), r"expected lower <= upper, got lower 10.0 and upper -10.0"),
            ((-10, 10, 0), r"expected a positive step, got 0.0"),
            ((-10, 10, -5), r"expected a positive step, got -5.0"),
            ((0, 360, 0.05), r"expected at most 3600 samples, got 7200 \(take a larger step\)"),
            ((-1e300, 1e300, 1e-300), r"expected lower and upper at most 268435456.0 in magnitude"),
            # Beyond 2**28 degrees the samples would not be the turns they name.
            ((1e15, 1e15 + 720, 15), r"expected lower and upper at most 268435456.0 .*, got \(1000000000000000.0, "),
        ):
            with pytest.raises(ValueError, match=rf"^argument 'free_axis': {message}"):
                arm.plan_path(targets, free_axis=free_axis)
        for free_axis in (10.0, "0 10 1", (0, "ten", 1), {"lower": 0}):
            with pytest.raises((TypeError, ValueError), match=r"^argument 'free_axis': "):
                arm.plan_path(targets, free_axis=free_axis)
        # A sample per tenth of a degree around a whole turn is the most allowed.
        assert len(arm.plan_path(targets[:1], free_axis=(-180, 180, 0.1), collision_free=False).joints) == 1
        # None is no free axis; a NumPy array is fine.
        np.testing.assert_array_equal(arm.plan_path(targets, free_axis=None).joints, arm.plan_path(targets).joints)
        assert len(arm.plan_path(targets[:3], free_axis=np.array([-10.0, 10.0, 5.0])).joints) == 3


class TestCloseToAPart:
    """A nozzle a few millimetres over a part, with a free axis: every row and every move is clear
    by less than the move check's 4 mm sampling. The pieces of a move whose padding meets the part
    are halved until it does not, so the moves are found clear (they were all taken for contacts:
    a break at every row, and tens of seconds of searching again)."""

    def test_a_bead_a_few_millimetres_over_a_part_plans_without_breaks(self):
        nozzle = Crx.pose_from_xyzwpr([0.0, 0.0, 150.0, 0.0, 0.0, 0.0])
        arm = Arm(CrxModel.Crx10iA, tool=nozzle, tool_geometry=Scene(capsules=[([0, 0, 0], [0, 0, 140], 12)]))
        angles = np.linspace(0.0, 2.0 * np.pi, 20, endpoint=False)
        bead = np.zeros((20, 6))
        bead[:, 0] = 600.0 + 120.0 * np.cos(angles)
        bead[:, 1] = 100.0 * np.sin(angles)
        bead[:, 2] = -20.0
        bead[:, 3:5] = [180.0, -20.0]
        bead[:, 5] = np.degrees(np.unwrap(angles)) + 90.0
        part = np.eye(4)
        part[:3, 3] = [600.0, 0.0, -20.0 - 6.0 - 50.0]  # its top face 6 mm under the nozzle's tip
        cell = Scene(boxes=[(part, [340.0, 240.0, 100.0])])
        plan = arm.plan_path(Crx.pose_from_xyzwpr(bead), free_axis=(-180, 180, 10), scene=cell, max_step=30)
        assert len(plan.breaks) == 0 and len(plan.unreachable) == 0
        clearance = arm.clearance(plan.joints, cell)[0]
        assert 0.0 < clearance.min() < 4.0
        for a, b in zip(plan.joints[:-1], plan.joints[1:]):
            assert not arm.move_collides(a, b, cell)
        plan.trajectory(arm, scene=cell)  # one continuous motion, clear as its moves are
