"""Arguments written to break the binding: sequences that lie about their
length, callbacks that answer nonsense, damaged pickled state, files in the
way, values that only look like numbers."""

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
