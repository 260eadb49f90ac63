"""Comparisons and key callables that fail, at every point where the tree
calls them. Each failure must reach the caller as the very exception that was
raised, leave the tree and its length exactly as they were, and release every
reference the operation took."""

import gc
import math
import random
import weakref

import pytest

from quorel import AVLTree

from _model import Model, compare
from _support import KEY_LOOKUPS, VALUE_LOOKUPS, Box, Key, check_note, tree_state


class Fuse:
    """Counts the comparisons of armed keys; raises `error` on call `at`."""

    calls = 0
    at = None
    error = None

    @staticmethod
    def tick():
        Fuse.calls += 1
        if Fuse.calls == Fuse.at:
            raise Fuse.error


def armed(v):
    return Key(v, hook=Fuse.tick)


def _orders():
    shuffled = list(range(12))
    random.Random(7).shuffle(shuffled)
    return {
        "one": [0],
        "two": [0, 1],
        "ascending-7": list(range(7)),
        "descending-10": list(range(9, -1, -1)),
        "shuffled-12": shuffled,
        "ascending-31": list(range(31)),
    }


SHAPES = _orders()

# Keys are stored as 2*i, so odd probes fall between stored keys and -1 and
# 2*n fall outside them. Each operation is (name, function of tree or model
# and a key factory); `mutates` marks those that must also leave the tree
# unchanged on failure rather than merely not corrupt it.
OPERATIONS = {
    "insert-between": lambda t, K, n: t.insert(K(n | 1)),
    "insert-below": lambda t, K, n: t.insert(K(-1)),
    "insert-above": lambda t, K, n: t.insert(K(2 * n)),
    "insert-duplicate": lambda t, K, n: t.insert(K(2 * (n // 2))),
    "remove-root-side": lambda t, K, n: t.remove(K(2 * (n // 2))),
    "remove-deepest": lambda t, K, n: t.remove(K(2 * (n - 1))),
    "remove-absent": lambda t, K, n: t.remove_key(K(n | 1)),
    "search-present": lambda t, K, n: t.search(K(2 * (n - 1))),
    "search-absent": lambda t, K, n: t.search_key(K(2 * n + 1)),
    "get": lambda t, K, n: t.get(K(n | 1)),
    "contains": lambda t, K, n: K(0) in t,
    "contains-method": lambda t, K, n: t.contains(K(2 * (n - 1))),
    "has_node": lambda t, K, n: t.has_node(K(n | 1)),
    "contains_key": lambda t, K, n: t.contains_key(K(-1)),
    "range": lambda t, K, n: list(t.range(K(1), K(2 * n - 1), include_end=True)),
    "range-open-end": lambda t, K, n: list(t.range(K(n))),
    "iter_from": lambda t, K, n: list(t.iter_from(K(n - 1), 3)),
    "iter_to": lambda t, K, n: list(t.iter_to(K(n + 1), 3)),
    "index": lambda t, K, n: t.index(K(2 * (n - 1))),
    "index-absent": lambda t, K, n: _absent_index(t, K(n | 1)),
    "bisect_left": lambda t, K, n: t.bisect_left(K(n | 1)),
    "bisect_right": lambda t, K, n: t.bisect_right(K(2 * (n // 2))),
    "floor": lambda t, K, n: t.floor(K(n | 1)),
    "ceiling": lambda t, K, n: t.ceiling(K(2 * (n - 1))),
    "lower": lambda t, K, n: t.lower(K(2 * (n // 2))),
    "higher": lambda t, K, n: t.higher(K(2 * n)),
}


def _absent_index(t, k):
    try:
        return t.index(k)
    except ValueError:
        return None


class ModelAdapter:
    """Gives the model the tree's method names, with the identity key rule."""

    def __init__(self, keys):
        self.m = Model()
        for k in keys:
            self.m.insert(k, k)

    def insert(self, k):
        return self.m.insert(k, k)

    def remove(self, k):
        return self.m.remove(k)

    remove_key = remove

    def search(self, k):
        return self.m.search(k)

    search_key = get = search

    def __contains__(self, k):
        return self.m.contains(k)

    contains = has_node = contains_key = __contains__

    def range(self, start=None, end=None, include_start=True, include_end=False):
        return self.m.range(start, end, include_start, include_end)

    def iter_from(self, k, n):
        return self.m.iter_from(k, n)

    def iter_to(self, k, n):
        return self.m.iter_to(k, n)

    def index(self, k):
        return self.m.index(k)

    def bisect_left(self, k):
        return self.m.bisect(k, False)

    def bisect_right(self, k):
        return self.m.bisect(k, True)

    def floor(self, k):
        return self.m.floor(k)

    def ceiling(self, k):
        return self.m.ceiling(k)

    def lower(self, k):
        return self.m.lower(k)

    def higher(self, k):
        return self.m.higher(k)


def _count_calls(op, target, n):
    Fuse.calls, Fuse.at = 0, None
    op(target, armed, n)
    return Fuse.calls


# Exceptions outside the Exception hierarchy travel the same road; one shape
# is enough to show it.
FAILURES = [(shape, LookupError) for shape in sorted(SHAPES)] + [
    ("shuffled-12", KeyboardInterrupt),
    ("shuffled-12", SystemExit),
]


@pytest.mark.parametrize("op_name", sorted(OPERATIONS))
@pytest.mark.parametrize("shape, error_type", FAILURES)
def test_comparison_failing_on_each_call(shape, op_name, error_type):
    order = SHAPES[shape]
    n = len(order)
    op = OPERATIONS[op_name]
    tree = AVLTree(armed(2 * i) for i in order)
    expected_calls = _count_calls(op, ModelAdapter([armed(2 * i) for i in order]), n)
    # The same comparisons in the same order as the model makes them.
    assert _count_calls(op, AVLTree(armed(2 * i) for i in order), n) == expected_calls
    before = tree_state(tree)
    stored = [weakref.ref(v) for v in tree]
    for k in range(1, expected_calls + 1):
        Fuse.calls, Fuse.at, Fuse.error = 0, k, error_type("call %d" % k)
        probes = []

        def key(v):
            probes.append(armed(v))
            return probes[-1]

        with pytest.raises(error_type) as info:
            op(tree, key, n)
        assert info.value is Fuse.error and Fuse.calls == k
        check_note(info.value)
        Fuse.at = None
        assert tree_state(tree) == before, "call %d changed the tree" % k
        # Nothing the failed call was given is still held by the tree.
        gone = [weakref.ref(p) for p in probes]
        del probes, info
        Fuse.error = None
        assert all(r() is None for r in gone)
    assert [r() for r in stored] == list(tree)
    # Every borrow was given back.
    assert tree.insert(armed(2 * n + 1)) and tree.remove_key(armed(2 * n + 1))


class Bad:
    """Truth value of a comparison result that cannot be decided."""

    def __init__(self, how):
        self.how = how

    def __bool__(self):
        if self.how == "raises":
            raise Bad.error
        return 1  # not a bool: the interpreter refuses it


# Lookups compare the sought key first, the ordered queries the stored key.
SEEKERS = {**VALUE_LOOKUPS, **KEY_LOOKUPS}
TRUTH_TESTED = {
    **SEEKERS,
    "range": lambda t, k: list(t.range(k, k)),
    "iter_from": lambda t, k: list(t.iter_from(k, 5)),
    "iter_to": lambda t, k: list(t.iter_to(k, 5)),
}


class Truth:
    """Comparison chain where `step` answers with a Bad object and the steps
    before it answer False, so every position in eq, lt, gt is exercised."""

    __hash__ = None

    def __init__(self, v, step=None, how=None):
        self.v, self.step, self.how = v, step, how

    def _answer(self, name, result):
        return Bad(self.how) if self.step == name else result

    def __eq__(self, other):
        return self._answer("eq", False if self.step else self.v == other.v)

    def __lt__(self, other):
        return self._answer("lt", False if self.step else self.v < other.v)

    def __gt__(self, other):
        return self._answer("gt", self.v > other.v)


@pytest.mark.parametrize("how", ["raises", "not-bool"])
@pytest.mark.parametrize("step", ["eq", "lt", "gt"])
@pytest.mark.parametrize("op", TRUTH_TESTED)
def test_truth_test_failures_pass_through(op, step, how):
    # The sought key comes first in lookups and the stored key first in the
    # ordered queries, so both the probe and the stored keys misbehave.
    stored = [Truth(v) for v in (1, 5, 9)]
    tree = AVLTree(stored)
    before = tree_state(tree)
    for k in stored:
        k.step, k.how = step, how
    Bad.error = ZeroDivisionError("truth")
    probe = Truth(7, step, how)
    with pytest.raises((ZeroDivisionError, TypeError)) as info:
        TRUTH_TESTED[op](tree, probe)
    if how == "raises":
        assert info.value is Bad.error
    else:
        # The interpreter's own refusal, whose wording changes between versions.
        with pytest.raises(TypeError) as refusal:
            bool(Bad(how))
        assert info.type is TypeError and str(info.value) == str(refusal.value)
    check_note(info.value)
    for k in stored:
        k.step = None
    assert tree_state(tree) == before
    probe_ref = weakref.ref(probe)
    del probe, info
    Bad.error = None  # its traceback holds the frames that saw the probe
    assert probe_ref() is None


class NotComparable:
    """Every rich comparison declines, so only identity makes keys equal."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return NotImplemented

    __lt__ = __gt__ = __le__ = __ge__ = __ne__ = __eq__


def test_not_implemented_everywhere():
    a, b = NotComparable(), NotComparable()
    tree = AVLTree([a])
    assert tree.insert(a) is False and tree.search(a) is a and a in tree
    before = tree_state(tree)
    for op in (tree.insert, tree.search, tree.remove, tree.contains):
        with pytest.raises(TypeError, match="'<' not supported"):
            op(b)
    assert tree_state(tree) == before
    with pytest.raises(TypeError, match="'<' not supported"):
        list(tree.iter_to(b, 1))
    assert tree.remove(a) and len(tree) == 0


def _type_error(a, b):
    with pytest.raises(TypeError) as info:
        compare(a, b)
    return str(info.value)


@pytest.mark.parametrize(
    "stored, probe",
    [([1.0, 2.0], math.nan), ([math.nan], 1.0), ([1, 2, 3], "a"), (["a"], 1), ([(1, "a")], (1, 2))],
)
def test_unorderable_keys(stored, probe):
    # The message the rich comparisons give for the first pair compared: the sought key
    # with the root, or the root with the endpoint.
    tree = AVLTree(stored)
    root = next(tree.pre_order())
    before = tree_state(tree)
    for name, op in {**SEEKERS, "iter_from": lambda t, k: list(t.iter_from(k, 2))}.items():
        with pytest.raises(TypeError) as info:
            op(tree, probe)
        assert str(info.value) == (_type_error(root, probe) if name == "iter_from" else _type_error(probe, root))
        check_note(info.value)
    assert tree_state(tree) == before


class KeyFuse:
    """A key callable that raises on its k-th call and records what it saw."""

    def __init__(self, at, error):
        self.at, self.error, self.seen = at, error, []

    def __call__(self, v):
        self.seen.append(v)
        if len(self.seen) == self.at:
            raise self.error
        return v.v


@pytest.mark.parametrize("error_type", [ValueError, KeyboardInterrupt, SystemExit])
def test_key_callable_failing_during_construction(error_type):
    values = [armed(i) for i in (5, 3, 8, 1, 4, 7, 9)]
    refs = [weakref.ref(v) for v in values]
    for k in range(1, len(values) + 1):
        key = KeyFuse(k, error_type(k))
        with pytest.raises(error_type) as info:
            AVLTree(values, key=key)
        assert info.value is key.error and len(key.seen) == k
        check_note(info.value)
        del info
    del values, key
    gc.collect()
    assert all(r() is None for r in refs)


class SwitchKey:
    """A key callable that extracts `v` until it is told to raise."""

    error = None

    def __call__(self, v):
        if self.error is not None:
            raise self.error
        return v.v


class SwitchValue(Key):
    """A value whose attribute lookups raise once it is told to."""

    error = None

    def __getattr__(self, name):
        raise SwitchValue.error


@pytest.mark.parametrize("error_type", [ValueError, KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("rule", ["callable", "attribute"])
@pytest.mark.parametrize("member", VALUE_LOOKUPS)
def test_key_rule_failing_in_members(member, rule, error_type):
    key = SwitchKey() if rule == "callable" else "k"
    tree = AVLTree([Key(i) if rule == "callable" else Box(i) for i in (2, 4, 6)], key=key)
    before = tree_state(tree)
    key_error = error_type("key")
    probe = armed(3) if rule == "callable" else SwitchValue(3)
    SwitchKey.error = SwitchValue.error = key_error
    try:
        with pytest.raises(error_type) as info:
            VALUE_LOOKUPS[member](tree, probe)
    finally:
        SwitchKey.error = SwitchValue.error = None
    assert info.value is key_error
    check_note(info.value)
    assert tree_state(tree) == before
    probe_ref = weakref.ref(probe)
    del probe, info, key_error
    assert probe_ref() is None
