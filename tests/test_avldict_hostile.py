"""AVLDict against hostile keys: hashes and comparisons that raise on their n-th call,
hashes that use the map from inside, and keys whose hashes and comparisons disagree. A
failure must reach the caller unchanged and leave the map exactly as it was, its index
included. Every member of the map and its views is tried, from the shared registry."""

import contextlib

import pytest

from quorel import AVLDict
from quorel.quorel import _check_avldict

from _support import EXCLUSIVE, OWNERS, Subject, dict_state, member_ids, members


class Boom(Exception):
    pass


class Trap:
    """Counts the hashes and comparisons of Keys; when armed, the n-th one of a kind
    raises Boom, or runs `action` instead."""

    left = {"hash": None, "cmp": None}
    action = None

    @classmethod
    def tick(cls, kind):
        left = cls.left[kind]
        if left is None:
            return
        if left == 0:
            cls.left[kind] = None
            if cls.action is not None:
                cls.action()
            else:
                raise Boom(kind)
        else:
            cls.left[kind] = left - 1

    @classmethod
    @contextlib.contextmanager
    def paused(cls):
        left, cls.left = cls.left, {"hash": None, "cmp": None}
        try:
            yield
        finally:
            cls.left = left

    @classmethod
    def disarm(cls):
        cls.left = {"hash": None, "cmp": None}
        cls.action = None


@pytest.fixture(autouse=True)
def disarmed():
    Trap.disarm()
    yield
    Trap.disarm()


class Key:
    __slots__ = ("v",)

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        Trap.tick("hash")
        return hash(self.v)

    def _other(self, other):
        Trap.tick("cmp")
        return other.v if isinstance(other, Key) else other

    def __eq__(self, other):
        return self.v == self._other(other)

    def __lt__(self, other):
        return self.v < self._other(other)

    def __gt__(self, other):
        return self.v > self._other(other)

    def __repr__(self):
        return f"Key({self.v})"


class Trapped(Subject):
    """A map of Keys 0, 2, ..., 30 for the registry's rows; the operands a row makes are
    made with the trap paused, so that it springs inside the member alone."""

    contents = range(0, 32, 2)

    def __init__(self, owner):
        with Trap.paused():
            super().__init__(owner)

    def value(self, i):
        return Key(i)

    key = value

    def item_pairs(self, ints):
        with Trap.paused():
            return super().item_pairs(ints)

    def mapping(self, ints):
        with Trap.paused():
            return super().mapping(ints)


def map_rows(**wanted):
    return [m for m in members(owner=None, **wanted) if OWNERS[m.owner].maps]


def attempt(member, subject, kind, n):
    """Runs the row with the n-th hash or comparison raising; returns whether it did."""
    Trap.left[kind] = n
    try:
        member.call(subject)
    except Boom:
        return True
    finally:
        Trap.disarm()
    return False


@pytest.mark.parametrize("kind", ["hash", "cmp"])
@pytest.mark.parametrize("member", map_rows(calls_back=True), ids=member_ids)
def test_a_raising_hash_or_comparison_changes_nothing(member, kind):
    for n in range(300):
        subject = Trapped(member.owner)
        before = dict_state(subject.tree)
        try:
            raised = attempt(member, subject, kind, n)
        except (KeyError, ValueError):
            raised = False  # an absent key's own answer: the member completed
        if raised:
            assert dict_state(subject.tree) == before, f"changed by a failure at call {n}"
        else:
            _check_avldict(subject.tree)
            return
    raise AssertionError("the operation never completed")


# Members whose first hash runs before the map is borrowed: the map's bulk members read
# their argument's items into a dict of their own first, so that a map never waits for
# another's borrow while holding its own; the views' == and isdisjoint make a set of it.
STAGING = {"AVLDict.update", "AVLDict.update mapping", "AVLDict.|=", "AVLDict.|",
           *(f"AVLDict{view}.{name}" for view in ("Keys", "Items") for name in ("==", "isdisjoint"))}


@pytest.mark.parametrize("member", [m for m in map_rows(calls_back=True) if m.id not in STAGING],
                         ids=member_ids)
def test_hashes_may_read_during_reads_and_nothing_else(member):
    # Comparisons that use the map are tried by the shared re-entry tests; a hash may
    # run where no comparison does (a point lookup whose hash matches no stored one).
    subject = Trapped(member.owner)
    d = subject.tree
    before = dict_state(d)
    seen = []

    def read():
        seen.append(len(d))

    def write():
        d[Key(1000)] = None

    for action, refused_with in ((read, "Already mutably borrowed" if member.access == EXCLUSIVE else None),
                                 (write, "Already borrowed")):
        Trap.left["hash"] = 0
        Trap.action = action
        try:
            member.call(subject)
        except RuntimeError as error:
            assert str(error) == refused_with
        else:
            # The hash ran (or the member hashes nothing) and was not refused.
            assert refused_with is None or Trap.left["hash"] is not None
        finally:
            Trap.disarm()
        if refused_with is not None:
            assert dict_state(d) == before or member.access == EXCLUSIVE
        _check_avldict(d)


class SameByValueOtherHash:
    """Equal (and ordered) by value, hashed by identity: the index tells apart keys
    that the comparisons call equal."""

    def __init__(self, v):
        self.v = v

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self.v == other.v

    def __lt__(self, other):
        return self.v < other.v

    def __gt__(self, other):
        return self.v > other.v


@pytest.mark.parametrize(
    "build",
    [
        lambda a, b: AVLDict({a: 1, b: 2}),
        lambda a, b: AVLDict.fromkeys([a, b]),
        lambda a, b: AVLDict({a: 1}) | {b: 2},
        lambda a, b: AVLDict({a: 1}).update({b: 2}),
    ],
)
def test_keys_equal_by_comparison_with_other_hashes_are_refused(build):
    a, b = SameByValueOtherHash(1), SameByValueOtherHash(1)
    with pytest.raises(ValueError, match="keys that compare equal must have equal hashes"):
        build(a, b)


def test_inconsistent_keys_leave_the_map_whole():
    a, b = SameByValueOtherHash(1), SameByValueOtherHash(1)
    d = AVLDict({a: "a"})
    before = dict_state(d)
    for change in (lambda: d.__setitem__(b, "b"), lambda: d.setdefault(b), lambda: d.update({b: 1, a: 2}),
                   lambda: d.__ior__({b: 1})):
        with pytest.raises(ValueError):
            change()
        assert dict_state(d) == before
    assert d[a] == "a" and b not in d
    # The tree finds b, the index does not: it is missing, as the index says.
    with pytest.raises(KeyError):
        del d[b]
    nan = float("nan")
    numbers = AVLDict({1: 1})
    with pytest.raises(TypeError, match="All comparisons returned false"):
        numbers[nan] = 2
    assert list(numbers.items()) == [(1, 1)] and AVLDict({nan: 1})[nan] == 1


def test_comparisons_that_disagree_with_the_hash_keep_the_index_whole():
    class Liar(int):
        """Ordered at random, hashed and equal as the int."""

        flips = 0

        def __lt__(self, other):
            Liar.flips += 1
            return Liar.flips % 3 == 0

        def __gt__(self, other):
            return not self.__lt__(other)

    d = AVLDict()
    for i in range(200):
        d[Liar(i % 50)] = i
    assert len(d) == 50 and len(list(d)) == 50 and sorted(map(int, d.keys())) == list(range(50))
    assert all(d[Liar(i)] == 150 + i for i in range(50))
    # The tree may fail to find a key the index holds: that is a KeyError, and the map
    # stays whole.
    for i in range(0, 50, 3):
        try:
            del d[Liar(i)]
        except KeyError:
            assert Liar(i) in d
    assert len(d) == len(list(d.values())) == len(d.keys()[:]) >= 33
