"""Arguments written to break the binding: sequences that lie about their
length, callbacks that answer nonsense, damaged pickled state, files in the
way, values that only look like numbers."""

import errno
import os
import pickle

import numpy as np
import pytest

import ortholink
from ortholink import Arm, Crx, CrxModel

POSE = Crx.crx10ia().fk([10, 20, 30, 40, 50, 60])


class Growing:
    """Gains an item each time one is read: iterating it never ends."""

    def __init__(self, item, length=2):
        self.item = item
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i >= self.length:
            raise IndexError(i)
        self.length += 1
        return self.item


class Shrinking:
    """Claims more items than it has."""

    def __init__(self, item, length=3, real=1):
        self.item = item
        self.length = length
        self.real = real

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i >= self.real:
            raise IndexError(i)
        return self.item


class Claims:
    """Claims 2**62 items and hands out the same one forever."""

    def __init__(self, item):
        self.item = item

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return self.item


ROW = [10.0, 20.0, 30.0, 40.0, 50.0, 60.0]
ARM = Arm(CrxModel.Crx10iA)
ROBOT = Crx.crx10ia()

# (call, argument name, item of the sequence it is given)
READERS = [
    (lambda s: ARM.within_limits(s), "joints", ROW),
    (lambda s: Crx.joints_to_urdf(s), "joints", ROW),
    (lambda s: Crx.joints_from_urdf(s), "q", ROW),
    (lambda s: Crx.within_limits(s, [-180] * 6, [180] * 6), "joints", ROW),
    (lambda s: Crx.expand_turns(s, [-180] * 6, [180] * 6), "joints", ROW),
    (lambda s: Crx.pose_from_xyzwpr(s), "xyzwpr", ROW),
    (lambda s: ROBOT.fk_many(s), "joints", ROW),
    (lambda s: ARM.fk_many(s), "joints", ROW),
    (lambda s: ROBOT.ik_many(s), "targets", POSE),
    (lambda s: ARM.ik_many(s), "poses", POSE),
    (lambda s: ARM.plan_path(s), "targets", POSE),
    (lambda s: ROBOT.ik_path(s, ROW), "targets", POSE),
    (lambda s: Arm(CrxModel.Crx10iA, elbow=s), "elbow", 10.0),
]


@pytest.mark.parametrize("call, name, item", READERS)
@pytest.mark.parametrize("kind", [Growing, Shrinking])
def test_a_sequence_changing_while_read_is_refused(call, name, item, kind):
    with pytest.raises(ValueError, match=rf"^argument '{name}': expected "):
        call(kind(item))


@pytest.mark.parametrize("call, name, item", READERS)
def test_a_lying_length_is_refused_before_memory_is_reserved(call, name, item):
    with pytest.raises(ValueError, match=rf"^argument '{name}': expected a sequence whose length fits in memory"):
        call(Claims(item))


@pytest.mark.parametrize("kind", [Growing, Shrinking])
def test_nested_rows_and_matrices_are_read_once(kind):
    with pytest.raises(ValueError, match=r"^argument 'joints': expected "):
        ROBOT.fk_many([ROW, kind(1.0, 6)])
    with pytest.raises(ValueError, match=r"^argument 'target': expected "):
        ROBOT.ik([kind(1.0, 4)] * 4)
    with pytest.raises(ValueError, match=r"^argument 'joints': expected "):
        ROBOT.fk(kind(1.0, 6))


def test_honest_sequences_still_read():
    class Honest:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            return self.items[i]

    np.testing.assert_array_equal(ROBOT.fk_many(Honest([Honest(ROW)])), ROBOT.fk_many([ROW]))
    np.testing.assert_array_equal(ARM.within_limits(Honest([ROW, ROW])), [True, True])
    assert len(ARM.ik_many(Honest([POSE, POSE]))) == 2
    assert len(ROBOT.ik_many(Honest([Honest(list(map(list, POSE)))]))) == 1


class TestCheckResults:
    targets = ARM.fk_many(np.zeros((3, 6)))

    @pytest.mark.parametrize(
        "answer, got",
        [
            (lambda rows: Claims(True), "got Claims"),
            (lambda rows: Growing(True, len(rows)), "got Growing"),
            (lambda rows: np.ones((len(rows), 1), dtype=bool), "of 2 dimensions"),
            (lambda rows: np.ones(len(rows) + 1, dtype=bool), "and length"),
            (lambda rows: np.ones(len(rows), dtype=np.int8), "non-boolean"),
            (lambda rows: [1] * len(rows), "got list"),
            (lambda rows: None, "got NoneType"),
        ],
    )
    def test_a_wrong_answer_is_refused_before_use(self, answer, got):
        with pytest.raises(ValueError, match=r"^argument 'check': expected a boolean mask of length \d+, got") as e:
            ARM.plan_path(self.targets, check=answer)
        assert got in str(e.value)

    def test_lists_of_bools_are_masks(self):
        plan = ARM.plan_path(self.targets, check=lambda rows: [True] * len(rows))
        assert len(plan.unreachable) == 0


class TestWriteUrdf:
    def test_links_at_the_output_names_are_replaced_not_followed(self, tmp_path):
        arm = Arm(CrxModel.Crx10iA)
        first = tmp_path / "first"
        arm.write_urdf(first)
        names = [p.relative_to(first) for p in sorted(first.rglob("*")) if p.is_file()]
        assert len(names) == 8
        out = tmp_path / "out"
        (out / "meshes").mkdir(parents=True)
        victims = []
        for k, name in enumerate(names):
            victim = tmp_path / f"victim{k}"
            victim.write_text("precious")
            (out / name).symlink_to(victim)
            victims.append(victim)
        arm.write_urdf(out)
        assert all(v.read_text() == "precious" for v in victims)
        for name in names:
            assert not (out / name).is_symlink()
            assert (out / name).read_bytes() == (first / name).read_bytes()
        assert sorted(p.name for p in out.iterdir()) == ["crx10ia.urdf", "meshes"]

    def test_a_linked_meshes_folder_is_refused(self, tmp_path):
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        (tmp_path / "out").mkdir()
        (tmp_path / "out" / "meshes").symlink_to(elsewhere)
        with pytest.raises(OSError) as caught:
            Arm(CrxModel.Crx10iA).write_urdf(tmp_path / "out")
        assert caught.value.errno == errno.ELOOP
        assert caught.value.filename == str(tmp_path / "out" / "meshes")
        assert list(elsewhere.iterdir()) == []
        assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["meshes"]

    @pytest.mark.parametrize(
        "block, exception, code, failing",
        [
            (lambda out: (out / "meshes").write_text("a file"), NotADirectoryError, errno.ENOTDIR, "meshes"),
            (lambda out: (out / "meshes" / "crx10ia_link_3.stl").mkdir(parents=True), IsADirectoryError,
             errno.EISDIR, "meshes/crx10ia_link_3.stl"),
            (lambda out: (out / "crx10ia.urdf").mkdir(), IsADirectoryError, errno.EISDIR, "crx10ia.urdf"),
        ],
    )
    def test_a_failure_writes_nothing_and_raises_the_errno_class(self, tmp_path, block, exception, code, failing):
        out = tmp_path / "out"
        out.mkdir()
        block(out)
        before = sorted(str(p) for p in out.rglob("*"))
        with pytest.raises(exception) as caught:
            Arm(CrxModel.Crx10iA).write_urdf(out)
        assert caught.value.errno == code
        assert caught.value.filename == str(out / failing)
        assert str(caught.value) == f"could not write '{out / failing}': {os.strerror(code)}"
        assert sorted(str(p) for p in out.rglob("*")) == before

    def test_a_file_where_the_directory_belongs(self, tmp_path):
        (tmp_path / "file").write_text("")
        with pytest.raises(NotADirectoryError) as caught:
            Arm(CrxModel.Crx10iA).write_urdf(tmp_path / "file" / "inside")
        assert caught.value.filename is not None


class TestState:
    def test_an_arm_model_must_be_its_robots(self):
        make, state = ARM.__reduce__()
        assert make(*state) == ARM
        for robot, model in ((Crx.crx5ia(), CrxModel.Crx10iA), (Crx.crx10ia(), CrxModel.Crx30iA)):
            with pytest.raises(ValueError, match=r"^argument 'model': expected the model of 'robot' or None, got "):
                make(robot, model, *state[2:])
        # Two models share the 10iA/L's dimensions, and a Crx has none.
        assert make(Crx.crx10ial(), CrxModel.Crx20iAL, *state[2:]).model == CrxModel.Crx20iAL
        assert make(Crx.crx10ia(), None, *state[2:]).model is None

    @pytest.mark.parametrize(
        "field, value, error, message",
        [
            (1, [3, 1], ValueError, r"^argument 'breaks': expected ascending indices, each once, got 1 after 3$"),
            (1, [2, 2], ValueError, r"^argument 'breaks': expected ascending indices"),
            (1, [2.0], TypeError, r"^argument 'breaks': expected a 1-dimensional array of integers"),
            (1, [True], TypeError, r"^argument 'breaks': "),
            (2, [1], ValueError, r"^argument 'joints': expected NaN in row 1, as 'unreachable' says, got "),
            (3, float("nan"), ValueError, r"^argument 'duration': expected a non-negative, finite number"),
            (3, -1.0, ValueError, r"^argument 'duration': "),
            (3, float("inf"), ValueError, r"^argument 'duration': "),
            (3, True, TypeError, r"^argument 'duration': expected real numbers, got bool$"),
            (4, -0.5, ValueError, r"^argument 'travel': expected a non-negative, finite number, got -0.5$"),
            (4, float("inf"), ValueError, r"^argument 'travel': "),
            (5, True, TypeError, r"^argument 'nodes': expected an int, got bool$"),
            (5, 3.0, TypeError, r"^argument 'nodes': expected an int, got float$"),
            (5, -1, ValueError, r"^argument 'nodes': expected a count from 0 to \d+, got -1$"),
            (6, 2**70, ValueError, r"^argument 'edges': expected a count from 0 to \d+, got 1180591620717411303424$"),
        ],
    )
    def test_a_damaged_plan_is_refused(self, field, value, error, message):
        plan = ARM.plan_path(ARM.fk_many(np.linspace(np.zeros(6), [10, 10, 10, 10, 10, 10], 4)))
        make, state = plan.__reduce__()
        assert repr(make(*state)) == repr(plan)
        damaged = list(state)
        damaged[field] = value
        with pytest.raises(error, match=message):
            make(*damaged)

    def test_a_plan_with_a_break_may_last_forever_only_when_stored_before_break_moves_were_timed(self):
        plan = ARM.plan_path(ARM.fk_many([[0] * 6, [0, 0, 0, 0, 0, 90]]), max_step=1.0)
        make, state = plan.__reduce__()
        # The break move, 90 degrees at 180 per second.
        assert len(plan.breaks) == 1 and plan.duration == pytest.approx(0.5, rel=1e-6)
        assert make(*state).duration == plan.duration
        old = make(*state[:3], float("inf"), *state[4:7])
        assert old.duration == float("inf") and old.approach is None
        assert [s[:2] for s in old.segments] == [(0, 0), (1, 1)] and np.isnan([s[2] for s in old.segments]).all()
        assert repr(pickle.loads(pickle.dumps(old))) == repr(old)
        with pytest.raises(ValueError, match=r"^argument 'duration': expected a non-negative, finite number, got inf"):
            make(*state[:3], float("inf"), *state[4:])

    @pytest.mark.parametrize(
        "field, value, message",
        [
            (0, [np.nan] + ROW[1:], r"^argument 'joints': expected finite joint angles, got nan$"),
            (1, -1e-9, r"^argument 'residual': expected a non-negative, finite number, got -1e-09$"),
            (1, np.nan, r"^argument 'residual': "),
            (2, np.inf, r"^argument 'theta': expected a finite angle, got inf$"),
        ],
    )
    def test_a_damaged_solution_is_refused(self, field, value, message):
        make, state = ROBOT.ik_detailed(POSE)[0].__reduce__()
        damaged = list(state)
        damaged[field] = value
        with pytest.raises(ValueError, match=message):
            make(*damaged)


class TestClassesAreFixed:
    @pytest.mark.parametrize(
        "change",
        [
            lambda: setattr(CrxModel, "Crx10iA", CrxModel.Crx5iA),
            lambda: delattr(CrxModel, "Crx10iA"),
            lambda: setattr(CrxModel, "Crx99iA", CrxModel.Crx5iA),
            lambda: setattr(ortholink.SolutionKind, "Regular", ortholink.SolutionKind.SingularFamily),
            lambda: setattr(Crx, "fk", None),
            lambda: delattr(Arm, "ik"),
            lambda: setattr(ortholink.PathPlan, "_from_state", None),
        ],
    )
    def test_attributes_cannot_be_rebound_or_deleted(self, change):
        with pytest.raises(TypeError, match=r"immutable type"):
            change()
        assert pickle.loads(pickle.dumps(Arm(CrxModel.Crx10iA))).model is CrxModel.Crx10iA
        assert CrxModel.Crx10iA is not CrxModel.Crx5iA

    @pytest.mark.parametrize("make", [lambda: Arm(CrxModel.Crx10iA), lambda: ortholink.Scene()])
    def test_classes_compared_for_equality_have_no_ordering_methods(self, make):
        a, b = make(), make()
        cls = type(a)
        assert {"__eq__", "__ne__"} <= set(vars(cls)) and not {"__lt__", "__le__", "__gt__", "__ge__"} & set(vars(cls))
        assert a == b and not a != b
        for order in (lambda: a < b, lambda: a <= b, lambda: a > b, lambda: a >= b):
            with pytest.raises(TypeError, match=r"not supported between instances"):
                order()


def test_a_viewer_ignores_what_no_slider_or_gizmo_can_hold():
    pytest.importorskip("viser")
    import ortholink_view

    arm = Arm(CrxModel.Crx10iA)
    start = [10.0, 20.0, 30.0, 40.0, 50.0, 60.0]
    with ortholink_view.show(arm, start, port=0, block=False) as view:
        for bad in (np.nan, np.inf, -np.inf):
            view._sliders[0].value = bad
            view._slider_moved()
            np.testing.assert_array_equal(view.joints, start)
        view._sliders[1].value = -1e6
        view._slider_moved()
        assert view.joints[1] == arm.lower[1]
        assert np.isfinite(view.target).all()
        before = view.target.copy()
        view._target.position = (np.nan, 0.0, 0.0)
        view._target_moved()
        np.testing.assert_array_equal(view.target, before)
        view._target.wxyz = (0.0, 0.0, 0.0, 0.0)
        view._target_moved()
        np.testing.assert_array_equal(view.target, before)


def _refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: ROBOT.fk(b"abcdef"), TypeError, r"^argument 'joints': expected real numbers, got bytes$"),
        (lambda: ROBOT.fk(bytearray(6)), TypeError, r"^argument 'joints': expected real numbers, got bytearray$"),
        (lambda: ROBOT.fk([None] * 6), TypeError, r"^argument 'joints': expected real numbers, got NoneType$"),
        (lambda: ROBOT.fk([True] * 6), TypeError, r"^argument 'joints': expected real numbers, got bool$"),
        (lambda: ROBOT.fk(np.ones(6, dtype=bool)), TypeError, r"^argument 'joints': expected real numbers, got an "),
        (lambda: ROBOT.fk([1j] * 6), TypeError, r"^argument 'joints': expected real numbers, got complex$"),
        (lambda: ROBOT.fk(np.ones(6, dtype=complex)), TypeError, r"an array of complex128$"),
        (lambda: ROBOT.fk([np.complex64(1)] * 6), TypeError, r"^argument 'joints': expected real numbers, got "),
        (lambda: ROBOT.fk(np.arange(6).astype("datetime64[s]")), TypeError, r"an array of datetime64\[s\]$"),
        (lambda: ROBOT.fk(np.arange(6).astype("timedelta64[s]")), TypeError, r"an array of timedelta64\[s\]$"),
        (lambda: ROBOT.fk([np.datetime64("2024-01-01")] * 6), TypeError, r"^argument 'joints': expected real "),
        (lambda: ROBOT.fk_many([ROW, [True] * 6]), TypeError, r"^argument 'joints': expected real numbers, got bool"),
        (lambda: ROBOT.fk_all(memoryview(np.zeros((2, 3)))), TypeError, r"^argument 'joints': "),
        (lambda: ROBOT.fk([1e157, 0, 0, 0, 0, 0]), ValueError, r"^argument 'joints': J1 is 1e\+157, expected at most "),
        (lambda: ROBOT.fk(["a"] * 6), ValueError, r"^argument 'joints': could not convert string to float"),
        (lambda: ROBOT.ik(np.eye(4, dtype=complex)), TypeError, r"^argument 'target': expected real numbers"),
        (lambda: ARM.plan_path([POSE], max_step=True), TypeError, r"^argument 'max_step': expected real numbers, "),
        (lambda: Crx.expand_turns(ROW, [np.nan] * 6, [180] * 6), ValueError,
         r"^argument 'lower': J1 limit is nan, expected a finite limit$"),
        (lambda: Crx.expand_turns(ROW, [-180] * 6, [180] * 5 + [np.nan]), ValueError,
         r"^argument 'upper': J6 limit is nan"),
        (lambda: Crx.from_params(1e308, 540, 160, 150), ValueError,
         r"^argument 'z1': expected a length of at most 10000000.0 millimeters, got 1e\+308$"),
        (lambda: Arm(CrxModel.Crx10iA, base=Crx.pose_from_xyzwpr([1e300, 0, 0, 0, 0, 0])), ValueError,
         r"^argument 'base': expected a translation within 10000000.0 mm, got 1e\+300 mm$"),
        (lambda: Arm(CrxModel.Crx10iA, tool=Crx.pose_from_xyzwpr([0, 0, -2e7, 0, 0, 0])), ValueError,
         r"^argument 'tool': expected a translation within "),
        (lambda: Arm.on_mounting_face(CrxModel.Crx10iA, mount=Crx.pose_from_xyzwpr([0, 3e7, 0, 0, 0, 0])),
         ValueError, r"^argument 'base': expected a translation within "),
    ],
)
def test_no_silent_coercion(call, error, message):
    _refused(call, error, message)


def test_real_numbers_of_every_kind_are_still_numbers():
    expected = ROBOT.fk(ROW)
    for joints in (np.array(ROW, dtype=np.float32), np.array(ROW, dtype=np.int64).astype(np.float64),
                   [np.float32(v) for v in ROW], tuple(ROW), memoryview(np.array(ROW))):
        np.testing.assert_allclose(ROBOT.fk(joints), expected, rtol=0, atol=1e-4)
    np.testing.assert_array_equal(ROBOT.fk([10, 20, 30, 40, 50, 60]), expected)
    assert ARM.plan_path([POSE], max_step=np.float32(5)).joints.shape == (1, 6)
    assert Crx.from_params(1e7, 540, 160, 150).z1 == 1e7
    assert np.isnan(ROBOT.fk([np.nan] * 6)[:3]).all()


class TestMessages:
    @pytest.mark.parametrize("call", [ROBOT.ik_many, ARM.ik_many])
    def test_one_pose_where_many_belong_is_the_same_mistake_for_crx_and_arm(self, call):
        with pytest.raises(ValueError, match=r"^argument '(targets|poses)': expected an \(n, 4, 4\) array, got shape "
                                             r"\[4, 4\]$"):
            call(np.eye(4))

    @pytest.mark.parametrize(
        "call",
        [ROBOT.ik, ROBOT.ik_detailed, ARM.ik, lambda p: ARM.ik_closest(p, ROW), Crx.xyzwpr,
         lambda p: Arm(CrxModel.Crx10iA, base=p), lambda p: ROBOT.ik_many(np.array([p])),
         lambda p: ARM.ik_many(np.array([p])), lambda p: ARM.plan_path(np.array([p]))],
    )
    def test_six_values_for_a_pose_point_to_pose_from_xyzwpr(self, call):
        with pytest.raises(ValueError, match=r"^argument '\w+': .*\(for X, Y, Z, W, P, R use Crx\.pose_from_xyzwpr\)$"):
            call([600.0, -150.0, 700.0, 180.0, 0.0, 90.0])

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: ARM.within_limits(np.zeros((3, 3))), r"^argument 'joints': Expected an \(n, 6\) array, got shape "
                                                         r"\[3, 3\]$"),
            (lambda: Crx.joints_from_urdf(np.zeros(5)), r"^argument 'q': Expected 6 values, got shape \[5\]$"),
            (lambda: ROBOT.fk(["x"] * 6), r"^argument 'joints': could not convert string to float: 'x'$"),
            (lambda: Arm(CrxModel.Crx10iA, elbow=["a", "b"]), r"^argument 'elbow': could not convert string"),
        ],
    )
    def test_our_messages_name_the_argument(self, call, message):
        with pytest.raises(ValueError, match=message):
            call()


def test_the_urdf_has_colours(tmp_path):
    text = open(Arm(CrxModel.Crx10iA).write_urdf(tmp_path)).read()
    assert text.count("<material name=") == 7
    assert text.count("<visual>") == 7
