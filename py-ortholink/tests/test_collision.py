"""Collision geometry and checks: Scene, the tool, the envelopes, and the answers of the checks."""

import math
import pickle

import numpy as np
import pytest

from ortholink import Arm, Crx, CrxModel, Scene

LINKS = ("base_link", "link_1", "link_2", "link_3", "link_4", "link_5", "flange")


def translation(x, y, z):
    pose = np.eye(4)
    pose[:3, 3] = (x, y, z)
    return pose


@pytest.fixture(scope="module")
def arm():
    return Arm(CrxModel.Crx10iA)


def random_joints(arm, count, seed):
    """Uniform joint vectors within the arm's limits (the elbow limit included)."""
    rng = np.random.default_rng(seed)
    rows = np.empty((0, 6))
    while len(rows) < count:
        draws = rng.uniform(arm.lower, arm.upper, (count * 3, 6))
        rows = np.vstack([rows, draws[arm.within_limits(draws)]])
    return rows[:count]


class TestScene:
    def test_fields_round_trip(self):
        box_pose = translation(500, 0, 100)
        scene = Scene(
            spheres=[((1, 2, 3), 4)],
            capsules=[((0, 0, 0), (0, 0, 100), 10)],
            boxes=[(box_pose, (100, 200, 300))],
            cylinders=[(translation(0, 500, 0), 50, 400)],
            half_spaces=[((0, 0, 2), -400)],
            points=[(np.zeros((5, 3)), 2.5)],
        )
        (center, radius), = scene.spheres
        assert center.tolist() == [1, 2, 3] and radius == 4
        (pose, size), = scene.boxes
        np.testing.assert_array_equal(pose, box_pose)
        assert size.tolist() == [100, 200, 300]
        (points, point_radius), = scene.points
        assert points.shape == (5, 3) and point_radius == 2.5
        assert repr(scene) == "Scene(spheres=1, capsules=1, boxes=1, cylinders=1, half_spaces=1, points=[5])"
        assert Scene() == Scene() and scene != Scene()
        copy = pickle.loads(pickle.dumps(scene))
        assert copy == scene and repr(copy) == repr(scene)
        with pytest.raises(TypeError):
            hash(scene)
        with pytest.raises(AttributeError):
            scene.spheres = ()  # type: ignore[misc]

    @pytest.mark.parametrize(
        ("arguments", "message"),
        [
            ({"spheres": [((0, 0, 0), -1)]}, r"spheres\[0\]: radius must be finite, non-negative"),
            ({"spheres": [((0, math.nan, 0), 1)]}, r"spheres\[0\]: center must be finite"),
            ({"boxes": [(np.eye(4), (1, -2, 3))]}, r"boxes\[0\]: size must be finite, non-negative"),
            ({"capsules": [((0, 0, 0), (0, 0, 1e9), 1)]}, r"capsules\[0\]: ends must be finite and within 1e7"),
            ({"cylinders": [(np.eye(4), 1, math.inf)]}, r"cylinders\[0\]: length must be finite"),
            ({"half_spaces": [((0, 0, 0), 1)]}, r"half_spaces\[0\]: normal must be finite, within 1e7 and at least"),
            ({"half_spaces": [((0, 0, 1e8), 1)]}, r"half_spaces\[0\]: normal must be .* got \[0, 0, 1e\+08\]"),
            ({"half_spaces": [((0, 0, 1e-300), 1)]}, r"half_spaces\[0\]: normal must be .* 1e-150 long"),
            ({"points": [(np.array([[0, 0, math.nan]]), 1)]}, r"points\[0\]: point 0 must be finite"),
            ({"points": [(np.zeros((4, 2)), 1)]}, r"argument 'points\[0\].points': expected an \(n, 3\) array"),
            ({"boxes": [(np.diag([2.0, 1, 1, 1]), (1, 1, 1))]}, r"argument 'boxes\[0\].pose'"),
            ({"boxes": [(np.eye(4),)]}, r"argument 'boxes': item 0: expected \(pose, size\), got 1 values"),
        ],
    )
    def test_bad_geometry_names_the_solid(self, arguments, message):
        with pytest.raises(ValueError, match=message):
            Scene(**arguments)

    def test_wrong_types(self):
        with pytest.raises(TypeError, match="argument 'spheres': expected a sequence, got int"):
            Scene(spheres=3)
        with pytest.raises(TypeError, match="argument 'spheres': item 0: expected"):
            Scene(spheres=[5])
        with pytest.raises(TypeError, match="positional"):
            Scene([((0, 0, 0), 1)])  # type: ignore[misc]


class TestArmGeometry:
    def test_defaults_keep_the_arm_as_it_was(self, arm):
        assert arm.tool_geometry == Scene()
        assert "tool_geometry" not in repr(arm) and "envelopes" not in repr(arm)
        assert arm == Arm(CrxModel.Crx10iA) and hash(arm) == hash(Arm(CrxModel.Crx10iA))
        assert len(arm.envelopes) == 7
        for envelope in arm.envelopes:
            assert envelope.ndim == 2 and envelope.shape[1] == 7
            assert np.all(envelope[:, 6] >= 0)

    def test_tool_geometry_and_envelopes(self, arm):
        tool = Scene(boxes=[(translation(0, 0, 60), (40, 40, 120))], spheres=[((0, 0, 130), 15)])
        custom = Arm(CrxModel.Crx10iA, tool_geometry=tool, envelopes={6: [((0, 0, 0), 80.0)]})
        assert custom.tool_geometry == tool
        assert custom.envelopes[6].tolist() == [[0, 0, 0, 0, 0, 0, 80]]
        for k in range(6):
            np.testing.assert_array_equal(custom.envelopes[k], arm.envelopes[k])
        assert custom != arm
        assert "tool_geometry=Scene(spheres=1, capsules=0, boxes=1" in repr(custom)
        assert "envelopes=custom" in repr(custom)
        copy = pickle.loads(pickle.dumps(custom))
        assert copy == custom
        # A state written before the collision geometry existed still loads.
        maker, state = arm.__reduce__()
        assert maker(*state[:8]) == arm

    @pytest.mark.parametrize(
        ("arguments", "error", "message"),
        [
            ({"tool_geometry": Scene(half_spaces=[((0, 0, 1), 0)])}, ValueError, "only spheres, capsules and boxes"),
            ({"tool_geometry": 5}, TypeError, "argument 'tool_geometry': expected ortholink.Scene, got int"),
            ({"envelopes": {7: []}}, ValueError, "expected link indices 0 .. 6"),
            ({"envelopes": {2: [((0, 0, 0), -5)]}}, ValueError, r"envelopes\[2\]: capsules\[0\]: radius"),
            ({"envelopes": [None] * 6}, ValueError, "or 7 entries, got 6"),
        ],
    )
    def test_bad_geometry(self, arguments, error, message):
        with pytest.raises(error, match=message):
            Arm(CrxModel.Crx10iA, **arguments)

    def test_every_model_and_robot_has_envelopes(self):
        for name in ("Crx3iA", "Crx5iA", "Crx10iA", "Crx10iAL", "Crx20iAL", "Crx30iA"):
            model = getattr(CrxModel, name)
            assert all(len(envelope) > 0 for envelope in Arm(model).envelopes)
        assert all(len(envelope) > 0 for envelope in Arm(Crx.from_params(400, 400, 100, 120)).envelopes)


class TestChecks:
    def test_zero_pose_is_clear_and_a_folded_arm_is_not(self, arm):
        assert arm.collides(np.zeros(6)) is False
        assert arm.collides([0, 170, 0, 0, 0, 0]) is True  # the upper arm in the base
        distance, pair = arm.clearance([0, 170, 0, 0, 0, 0])
        assert distance < 0 and "base_link" in pair
        distance, pair = arm.clearance(np.zeros(6))
        assert distance > 0 and pair[0] in LINKS and pair[1] in LINKS

    @pytest.mark.parametrize("name", ["Crx3iA", "Crx5iA", "Crx10iA", "Crx10iAL", "Crx20iAL", "Crx30iA"])
    def test_every_model_plans_with_its_default_checks(self, name):
        # The estimated envelopes of the larger models once overlapped at every
        # pose: every plan came back unreachable and collision-free ik empty.
        arm = Arm(getattr(CrxModel, name))
        assert arm.collides(np.zeros(6)) is False
        rows = np.linspace([0, 10, 10, 0, -40, 0], [30, 20, 20, 10, -30, 10], 5)
        assert not arm.collides(rows).any()
        plan = arm.plan_path(arm.fk_many(rows))
        assert plan.unreachable.size == 0 and plan.breaks.size == 0
        assert len(arm.ik(arm.fk(rows[2]), collision_free=True)) > 0

    def test_rows_and_threads(self, arm):
        rows = random_joints(arm, 3000, 1)
        mask = arm.collides(rows)
        assert mask.dtype == np.bool_ and mask.shape == (len(rows),)
        assert mask.tolist() == [arm.collides(row) for row in rows[:50]] + mask[50:].tolist()
        np.testing.assert_array_equal(arm.collides(rows, threads=1), arm.collides(rows, threads=4))
        distances, pairs = arm.clearance(rows)
        assert distances.shape == (len(rows),) and len(pairs) == len(rows)
        # The clearance and the check agree, and padding only adds contacts.
        np.testing.assert_array_equal(mask, distances <= 0)
        padded = arm.collides(rows, padding=20.0)
        assert np.all(padded >= mask)
        np.testing.assert_array_equal(padded, distances <= 20.0)
        assert 0.1 < mask.mean() < 0.5

    def test_scene_solids(self, arm):
        q = np.zeros(6)
        flange = arm.fk(q)[:3, 3]
        touching = [
            Scene(spheres=[(flange, 30.0)]),
            Scene(boxes=[(translation(*flange), (50, 50, 50))]),
            Scene(capsules=[(flange - 100, flange + 100, 5)]),
            Scene(cylinders=[(translation(*flange), 20, 20)]),
            Scene(half_spaces=[((0, 0, -1), -flange[2] + 10)]),  # a ceiling just under the flange
            Scene(points=[(flange[None, :] + np.random.default_rng(2).normal(0, 5, (1000, 3)), 1.0)]),
        ]
        for scene in touching:
            assert arm.collides(q, scene), scene
            distance, (_, body) = arm.clearance(q, scene)
            assert distance < 0 and body.startswith("scene."), (scene, body)
        far = Scene(spheres=[((5000, 0, 0), 10)], half_spaces=[((0, 0, 1), -2000)], points=[(np.full((3, 3), 9e3), 1)])
        assert not arm.collides(q, far)

    def test_the_base_stands_on_its_floor(self):
        model = CrxModel.Crx10iA
        floor = Scene(half_spaces=[((0, 0, 1), -245.0 + 1.0)])  # 1 mm above the mounting face
        assert not Arm(model).collides(np.zeros(6), floor)

    def test_tool_against_the_arm_and_the_cell(self, arm):
        tool = Scene(capsules=[((0, 0, 20), (0, 0, 400), 30)])
        with_tool = Arm(CrxModel.Crx10iA, tool_geometry=tool)
        q = np.array([0, 0, 0, 0, -90, 0.0])
        assert not arm.collides(q)
        tcp = with_tool.fk(q)[:3, 3]
        end = with_tool.robot.fk(q) @ np.array([0, 0, 400, 1.0])
        scene = Scene(spheres=[(end[:3], 10)])
        assert not arm.collides(q, scene) and with_tool.collides(q, scene)
        assert with_tool.clearance(q, scene)[1][0] == "tool.capsules[0]"
        assert np.allclose(tcp, arm.fk(q)[:3, 3])

    def test_tool_box_against_round_and_square_solids(self):
        # A 100 mm cube 200 mm out on the flange: x 850 .. 950, y -200 .. -100 at the zero pose.
        tool = Scene(boxes=[(Crx.pose_from_xyzwpr([0, 0, 200, 0, 0, 0]), [100, 100, 100])])
        with_tool = Arm(CrxModel.Crx10iA, tool_geometry=tool)
        q = np.zeros(6)
        # The cylinder's side faces the cube's edge across the diagonal, not its bounding box's corner.
        post = Scene(cylinders=[(Crx.pose_from_xyzwpr([1040, -10, 540, 0, 0, 0]), 100, 200)])
        distance, pair = with_tool.clearance(q, post)
        assert pair == ("tool.boxes[0]", "scene.cylinders[0]")
        assert distance == pytest.approx(math.hypot(90, 90) - 100, abs=1e-9)
        assert not with_tool.collides(q, post, padding=27.0) and with_tool.collides(q, post, padding=27.5)
        # Overlapping solids are negative: minus the shortest move that clears them.
        block = Scene(boxes=[(Crx.pose_from_xyzwpr([900, -150, 580, 0, 0, 0]), [100, 100, 100])])
        assert with_tool.clearance(q, block) == (pytest.approx(-60.0, abs=1e-9), ("tool.boxes[0]", "scene.boxes[0]"))
        drum = Scene(cylinders=[(Crx.pose_from_xyzwpr([900, -150, 600, 0, 0, 0]), 30, 40)])
        assert with_tool.clearance(q, drum)[0] < 0

    def test_moves(self, arm):
        assert not arm.move_collides(np.zeros(6), [10, 10, 10, 10, 10, 10])
        # A move whose fine samples touch is always reported, wherever it touches.
        rng = np.random.default_rng(5)
        scene = Scene(half_spaces=[((0, 0, 1), -100.0)], spheres=[((600, 0, 600), 150.0)])
        reported = 0
        for start in random_joints(arm, 300, 6):
            end = start + rng.uniform(-15, 15, 6)
            samples = start + np.linspace(0, 1, 400)[:, None] * (end - start)
            if arm.collides(samples, scene).any():
                assert arm.move_collides(start, end, scene), (start, end)
                reported += 1
        assert reported > 30
        radii = arm.motion_radii()
        assert radii.shape == (6,) and np.all(radii > 0) and radii[0] > radii[5]
        with pytest.raises(ValueError, match="argument 'end': expected finite joint angles"):
            arm.move_collides(np.zeros(6), [math.nan] * 6)

    def test_arguments(self, arm):
        # Joints that fk refuses are refused here too, rather than measured at a wrong angle.
        for call in (arm.collides, arm.clearance):
            with pytest.raises(ValueError, match=r"^argument 'joints': J2 is 1e\+17, expected at most 268435456.0"):
                call([0, 1e17, 0, 0, 0, 0])
            with pytest.raises(ValueError, match=r"^argument 'joints': J2 of row 1 is 1e\+17, expected at most"):
                call([[0] * 6, [0, 1e17, 0, 0, 0, 0]])
        # NumPy's bools, as comparisons and reductions give them, are flags; other objects are not.
        assert arm.collides(np.zeros(6), exact=np.False_) is False
        target = arm.fk([0, 30, 10, 0, -40, 0])
        assert len(arm.ik(target, collision_free=np.True_)) == len(arm.ik(target, collision_free=True))
        with pytest.raises(TypeError, match=r"^argument 'exact': expected a bool, got int$"):
            arm.collides(np.zeros(6), exact=1)
        with pytest.raises(ValueError, match=r"^argument 'padding': expected a number of millimetres from 0 to 1e7"):
            arm.collides(np.zeros(6), padding=1e9)

    def test_nothing_to_check(self):
        bare = Arm(CrxModel.Crx10iA, envelopes={link: [] for link in range(7)})
        assert bare.clearance(np.zeros(6)) == (math.inf, ("", ""))
        assert bare.collides(np.zeros(6)) is False

    def test_joints_that_place_no_link(self, arm):
        # A NaN or infinite joint is never reported clear: it collides, and
        # its clearance is unknown.
        cell = Scene(boxes=[(translation(620, 0, -95), (300, 500, 300))])
        rows = np.array([[math.nan] * 6, [math.inf] * 6, [0, 0, 0, 0, 0, math.nan], [0, 0, 0, 0, -90, 0]])
        for scene in (None, cell):
            assert arm.collides(rows, scene).tolist() == [True, True, True, False]
            distances, pairs = arm.clearance(rows, scene)
            assert np.isnan(distances[:3]).all() and pairs[:3] == [("", "")] * 3
            assert distances[3] > 0 and "" not in pairs[3]
            assert arm.clearance(rows[2], scene)[1] == ("", "")


class TestCollisionFreeSolutions:
    def test_ik_keeps_exactly_the_clear_solutions(self, arm):
        rng = np.random.default_rng(3)
        targets = arm.fk_many(random_joints(arm, 200, 4))
        scene = Scene(half_spaces=[((0, 0, 1), -240.0)], boxes=[(translation(700, 0, 0), (300, 300, 300))])
        for pose in targets[:100]:
            every = arm.ik(pose)
            free = arm.ik(pose, scene, collision_free=True)
            assert len(free) <= len(every)
            expected = every[~arm.collides(every, scene)] if len(every) else every
            np.testing.assert_array_equal(free, expected)
            np.testing.assert_array_equal(arm.ik(pose, scene=scene), every)  # checks only on request
        batch = arm.ik_many(targets, scene=scene, collision_free=True)
        for i in rng.choice(len(targets), 20, replace=False):
            np.testing.assert_array_equal(batch[i], arm.ik(targets[i], scene, collision_free=True))

    def test_plans_keep_clear(self, arm):
        start = np.array([0, 10, -10, 0, -80, 0.0])
        a = arm.fk(start)
        line = np.repeat(a[None], 200, axis=0)
        line[:, 1, 3] += np.linspace(0, 600, 200)
        scene = Scene(boxes=[(translation(a[0, 3], a[1, 3] + 300, a[2, 3] + 250), (150, 150, 150))])
        plan = arm.plan_path(line, start, scene=scene)
        reached = np.flatnonzero(~np.isnan(plan.joints[:, 0]))
        assert len(reached) > 100 and not arm.collides(plan.joints[reached], scene).any()
        # This start is inside the box: every approach from it collides, so the approach
        # (not a break, and not a reason for one) cannot be checked here; the moves after it are.
        assert arm.collides(start, scene) and plan.approach is not None
        previous = plan.joints[reached[0]]
        for i in reached[1:]:
            if i not in plan.breaks:
                assert not arm.move_collides(previous, plan.joints[i], scene), i
            previous = plan.joints[i]
        unchecked = arm.plan_path(line, start, collision_free=False)
        assert unchecked.joints.shape == plan.joints.shape
        with pytest.raises(TypeError, match="argument 'collision_free': expected a bool"):
            arm.plan_path(line, start, collision_free=1)


class TestCollisionFreeApproach:
    def test_an_approach_that_collides_loses_to_a_clear_one(self, arm):
        # Two first rows lead to equally fast plans; the approach to the one the
        # search prefers without the box runs through it.
        a = arm.fk([0, 10, -10, 0, -80, 0])
        line = np.repeat(a[None], 200, axis=0)
        line[:, 1, 3] += np.linspace(0, 600, 200)
        scene = Scene(boxes=[(translation(510, -8, 957), (250, 250, 250))])
        start = np.array([89.0, -55.6, 99.6, 96.1, -86.0, 95.6])
        assert not arm.collides(start, scene)
        unchecked = arm.plan_path(line, start, collision_free=False)
        assert arm.move_collides(start, unchecked.joints[0], scene)
        plan = arm.plan_path(line, start, scene=scene)
        assert not arm.move_collides(start, plan.joints[0], scene)
        assert len(plan.breaks) == 0 and plan.duration == pytest.approx(unchecked.duration, rel=1e-9)
        assert plan.approach[0] > unchecked.approach[0]  # the longer approach, as the clear one


def coal_or_skip():
    return pytest.importorskip("coal")


@pytest.fixture(scope="module", params=[CrxModel.Crx5iA, CrxModel.Crx10iA], ids=["5iA", "10iA"])
def meshed(request):
    coal_or_skip()
    import ortholink_exact

    return Arm(request.param), ortholink_exact


def count(default):
    import os

    return int(os.environ.get("ORTHOLINK_COAL_COUNT", default))


class TestAgainstCoal:
    """The envelopes never call free what coal's mesh check calls colliding."""

    def test_random_configurations(self, meshed, record_property):
        arm, exact = meshed
        rows = random_joints(arm, count(100_000), 11)
        flagged = arm.collides(rows)
        truth = np.array([exact.collides(arm, row) for row in rows])
        missed = truth & ~flagged
        assert not missed.any(), rows[missed][:5]
        false_alarms = (flagged & ~truth).sum() / len(rows)
        record_property("false_alarm_rate", float(false_alarms))
        print(f"{arm.model}: {len(rows)} configurations, {truth.mean():.2%} colliding, false alarms {false_alarms:.2%}")
        # Both models' envelopes keep false alarms at padding 0 under 3% of the configurations;
        # a quick run on fewer (ORTHOLINK_COAL_COUNT) allows for its sampling error (three sigma).
        slack = 0.0 if len(rows) >= 100_000 else 3.0 * np.sqrt(0.03 * 0.97 / len(rows))
        assert false_alarms <= 0.03 + slack

    def test_every_ik_solution(self, meshed):
        arm, exact = meshed
        targets = arm.fk_many(random_joints(arm, count(5000), 12))
        solutions = arm.ik_many(targets).joints
        flagged = arm.collides(solutions)
        truth = np.array([exact.collides(arm, row) for row in solutions])
        assert not (truth & ~flagged).any()

    def test_solids_inside_a_link(self, meshed):
        # Wholly inside a link's closed mesh a solid meets none of its triangles: still a contact.
        arm, exact = meshed
        q = np.zeros(6)
        frames = arm.robot.fk_all(q)
        centre = frames[2][:3, 3] + [0.68 * arm.robot.x1, 0, 0]  # on the forearm's axis, within it
        at = translation(*centre)
        inside = [
            Scene(spheres=[(centre, 5)]),
            Scene(points=[(centre[None, :], 5)]),
            Scene(capsules=[(centre - [10, 0, 0], centre + [10, 0, 0], 5)]),
            Scene(boxes=[(at, (10, 10, 10))]),
            Scene(cylinders=[(at, 5, 10)]),
        ]
        for scene in inside:
            assert arm.collides(q, scene) and arm.collides(q, scene, exact=True), scene
            assert exact.collides(arm, q, scene), scene
        on_flange = (np.linalg.inv(arm.robot.fk(q)) @ np.append(centre, 1.0))[:3]
        tool = Scene(spheres=[(on_flange, 5)])
        assert Arm(arm.model, tool_geometry=tool).collides(q, exact=True)
        # Off the mesh the same solids stay clear.
        assert not exact.collides(arm, q, Scene(spheres=[(centre + [0, 0, 400], 5)]))

    def test_points_far_from_the_tool_are_not_checked_one_by_one(self, meshed):
        arm, exact = meshed
        with_tool = Arm(arm.model, tool_geometry=Scene(spheres=[((0, 0, 100), 20)]))
        far = np.random.default_rng(8).uniform(-2000, 2000, (200_000, 3))
        far[:, 2] = np.abs(far[:, 2]) + 3000
        calls = []
        original = exact._hit

        def counted(*arguments):
            calls.append(1)
            return original(*arguments)

        exact._hit = counted
        try:
            assert not exact.collides(with_tool, np.zeros(6), Scene(points=[(far, 5)]))
        finally:
            exact._hit = original
        assert len(calls) < 100

    def test_exact_mode_is_coal(self, meshed):
        arm, exact = meshed
        rows = random_joints(arm, 2000, 13)
        np.testing.assert_array_equal(
            arm.collides(rows, exact=True), np.array([exact.collides(arm, row) for row in rows])
        )

    def test_scene_solids(self, meshed):
        arm, exact = meshed
        rng = np.random.default_rng(14)
        rows = random_joints(arm, count(400) // 100 + 300, 15)
        for trial in range(30):
            pose = np.eye(4)
            pose[:3, :3] = np.linalg.qr(rng.normal(size=(3, 3)))[0] * np.array([1, 1, 1])
            if np.linalg.det(pose[:3, :3]) < 0:
                pose[:3, 0] *= -1
            pose[:3, 3] = rng.uniform(-900, 900, 3)
            scene = Scene(
                boxes=[(pose, rng.uniform(20, 400, 3))],
                cylinders=[(pose @ translation(0, 300, 0), float(rng.uniform(10, 150)), float(rng.uniform(10, 500)))],
                spheres=[(rng.uniform(-900, 900, 3), float(rng.uniform(10, 200)))],
                capsules=[(rng.uniform(-900, 900, 3), rng.uniform(-900, 900, 3), float(rng.uniform(5, 80)))],
                half_spaces=[((0, 0, 1), float(rng.uniform(-900, -300)))],
            )
            flagged = arm.collides(rows, scene)
            for row in rows[~flagged][:40]:
                assert not exact.collides(arm, row, scene), (trial, row)

    def test_moves(self, meshed):
        arm, exact = meshed
        rng = np.random.default_rng(16)
        starts = random_joints(arm, 400, 17)
        checked = 0
        for start in starts:
            end = start + rng.uniform(-3, 3, 6)
            if arm.move_collides(start, end):
                continue
            steps = int(np.ceil(np.abs(end - start).max() / 0.05)) + 1
            for t in np.linspace(0, 1, steps):
                assert not exact.collides(arm, start + t * (end - start)), (start, end, t)
            checked += 1
        assert checked > 100

    def test_without_coal_exact_mode_names_the_extra(self, monkeypatch):
        import sys

        monkeypatch.setitem(sys.modules, "coal", None)
        monkeypatch.delitem(sys.modules, "ortholink_exact", raising=False)
        with pytest.raises(ModuleNotFoundError, match=r"pip install 'ortholink\[collision\]'"):
            Arm(CrxModel.Crx10iA).collides([0, 170, 0, 0, 0, 0], exact=True)
        # Nothing flagged: nothing to confirm, no import needed.
        assert Arm(CrxModel.Crx10iA).collides(np.zeros(6), exact=True) is False

    def test_without_meshes_exact_mode_refuses(self):
        coal_or_skip()
        with pytest.raises(ValueError, match="needs the embedded meshes"):
            Arm(CrxModel.Crx30iA).collides([0, 170, 0, 0, 0, 0], exact=True)
