"""AVLDict's views, ordered queries, positions and the members that add or take out by key."""

import collections.abc

import pytest

from quorel import AVLDict
from quorel.quorel import _check_avldict

from _support import EVENS, Uncomparable


class Pairs:
    """An iterable of pairs that is neither a mapping nor a sequence, iterable again and
    again (tests may run repeatedly)."""

    def __init__(self, pairs):
        self.pairs = pairs

    def __iter__(self):
        return iter(self.pairs)


def evens():
    """Keys 0, 2, ..., 18, each mapped to its str."""
    return AVLDict({k: str(k) for k in reversed(EVENS)})


# What each view yields for a key, and the map itself yields keys.
YIELDS = {
    "map": (lambda d: d, lambda k: k),
    "keys": (lambda d: d.keys(), lambda k: k),
    "values": (lambda d: d.values(), str),
    "items": (lambda d: d.items(), lambda k: (k, str(k))),
}


@pytest.mark.parametrize("kind", YIELDS)
def test_ordered_queries_yield_what_each_holds(kind):
    view_of, out = YIELDS[kind]
    d = evens()
    v = view_of(d)
    yields = lambda keys: [out(k) for k in keys]  # noqa: E731
    assert list(v.range(4, 10)) == yields([4, 6, 8])
    assert list(v.range(4, 10, include_start=False, include_end=True)) == yields([6, 8, 10])
    assert list(v.range(None, 5)) == yields([0, 2, 4]) and list(v.range(15)) == yields([16, 18])
    assert list(v.range()) == yields(EVENS)
    assert list(v.iter_from(5, 3)) == yields([6, 8, 10]) and list(v.iter_to(5, 3)) == yields([4, 2, 0])
    assert list(v.iter_from(Uncomparable(), 0)) == []
    assert (v.floor(5), v.ceiling(5), v.lower(4), v.higher(4)) == tuple(yields([4, 6, 2, 6]))
    assert v.floor(-1) is None and v.higher(18) is None and v.floor(4) == out(4)
    with pytest.raises(ValueError, match="range start must not exceed end"):
        v.range(10, 4)
    with pytest.raises(TypeError):
        v.range(include_end=1)
    with pytest.raises(OverflowError):
        v.iter_from(0, -1)
    snapshot = v.range(0, 100)
    d.clear()
    assert list(snapshot) == yields(EVENS)


@pytest.mark.parametrize("kind", ["keys", "values", "items"])
def test_views_are_live_sequences_in_key_order(kind):
    view_of, out = YIELDS[kind]
    d = evens()
    v = view_of(d)
    assert len(v) == 10 and list(v) == [out(k) for k in EVENS]
    assert list(reversed(v)) == [out(k) for k in reversed(EVENS)]
    assert v[0] == out(0) and v[-1] == out(18) and v[2:7:2] == [out(4), out(8), out(12)]
    assert v[::-3] == [out(k) for k in EVENS[::-3]] and v[100:] == []
    for bad in (10, -11, 2**70):
        with pytest.raises(IndexError, match="list index out of range"):
            v[bad]
    with pytest.raises(TypeError):
        v["a"]
    assert out(4) in v and out(5) not in v
    iterator = iter(v)
    d[-2] = "-2"
    assert len(v) == 11 and v[0] == out(-2)  # live
    assert next(iterator) == out(0)  # an iterator is a snapshot
    with pytest.raises(TypeError):
        type(v)()


def test_items_and_values_membership():
    d = AVLDict({1: [1], 2: "b"})
    assert (1, [1]) in d.items() and (1, [2]) not in d.items() and (3, "b") not in d.items()
    assert [1, 2] not in d.items() and (1,) not in d.items()
    assert [1] in d.values() and "c" not in d.values()
    with pytest.raises(TypeError, match="unhashable"):
        ([], 1) in d.items()


def test_set_operations_of_keys_and_items():
    d = AVLDict({1: "a", 2: "b", 3: "c"})
    k, i = d.keys(), d.items()
    assert k == {1, 2, 3} and {1, 2, 3} == k and k == dict.fromkeys([3, 2, 1]).keys()
    assert k != {1, 2} and k != [1, 2, 3] and i == {(1, "a"), (2, "b"), (3, "c")}
    assert i != {(1, "a"), (2, "b"), (3, "x")} and k == AVLDict.fromkeys([1, 2, 3]).keys()
    assert (k & {2, 5}, k | {5}, k - {1}, k ^ {1, 5}) == ({2}, {1, 2, 3, 5}, {2, 3}, {2, 3, 5})
    assert ([2, 7] & k, [7] | k, [1, 7] - k, [1, 7] ^ k) == ({2}, {1, 2, 3, 7}, {7}, {2, 3, 7})
    assert i & {(1, "a"), (1, "b")} == {(1, "a")} and type(k & k) is set
    assert k.isdisjoint([4, 5]) and not k.isdisjoint(iter([5, 3]))
    assert i.isdisjoint([(1, "b")]) and not i.isdisjoint([(1, "a")])
    assert not hasattr(d.values(), "isdisjoint")
    with pytest.raises(TypeError):
        d.values() & {1}
    with pytest.raises(TypeError, match="unhashable"):
        hash(k)
    for view, abc in ((k, "KeysView"), (d.values(), "ValuesView"), (i, "ItemsView")):
        assert isinstance(view, getattr(collections.abc, abc))


def test_positions():
    d = evens()
    assert [d.index(k) for k in EVENS] == list(range(10))
    assert (d.bisect_left(4), d.bisect_right(4), d.bisect_left(5), d.bisect_right(100)) == (2, 3, 3, 10)
    assert d.peekitem() == (18, "18") and d.peekitem(0) == (0, "0") and d.peekitem(-2) == (16, "16")
    with pytest.raises(ValueError, match="5 is not in AVLDict"):
        d.index(5)
    with pytest.raises(IndexError, match="list index out of range"):
        d.peekitem(10)
    with pytest.raises(IndexError, match="list index out of range"):
        AVLDict().peekitem()
    assert d.popitem() == (18, "18") and d.popitem(0) == (0, "0") and d.popitem(-3) == (12, "12")
    assert list(d) == [2, 4, 6, 8, 10, 14, 16] and _check_avldict(d) is None
    with pytest.raises(IndexError, match="list index out of range"):
        d.popitem(7)
    with pytest.raises(KeyError, match="popitem\\(\\): dictionary is empty"):
        AVLDict().popitem()
    with pytest.raises(TypeError):
        d.popitem("0")
    assert len(d) == 7


def test_setdefault_and_pop():
    d = AVLDict({2: "b"})
    assert d.setdefault(2, "x") == "b" and d.setdefault(1) is None and d.setdefault(3, "c") == "c"
    assert list(d.items()) == [(1, None), (2, "b"), (3, "c")]
    assert d.pop(2) == "b" and d.pop(2, "gone") == "gone" and d.pop("str", 0) == 0
    with pytest.raises(KeyError) as info:
        d.pop((5, 5))
    assert info.value.args == ((5, 5),)
    _check_avldict(d)


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (({3: "C", 4: "D"},), {}, {1: "a", 3: "C", 4: "D"}),
        (([(0, "z"), (0, "y")],), {}, {0: "y", 1: "a", 3: "c"}),
        ((), {}, {1: "a", 3: "c"}),
        ((AVLDict({5: 5}),), {}, {1: "a", 3: "c", 5: 5}),
        ((Pairs([(2, 2)]),), {}, {1: "a", 2: 2, 3: "c"}),
    ],
)
def test_update(args, kwargs, expected):
    d = AVLDict({1: "a", 3: "c"})
    assert d.update(*args, **kwargs) is None
    assert _check_avldict(d) is None and d == expected and list(d) == sorted(expected)


def test_update_edges():
    d = AVLDict(a=1)
    d.update({"b": 2}, c=3, a=0)
    assert list(d.items()) == [("a", 0), ("b", 2), ("c", 3)]
    d.update(d)
    assert d == {"a": 0, "b": 2, "c": 3}
    with pytest.raises(TypeError, match="at most 1 argument"):
        d.update({}, {})
    with pytest.raises(ValueError, match="has length 1"):
        d.update([("x", 1), ("y",)])
    with pytest.raises(TypeError, match="not supported"):
        d.update({"z": 1, 5: 2})
    assert d == {"a": 0, "b": 2, "c": 3}
    _check_avldict(d)


def test_union_operators():
    d = AVLDict({1: "a", 2: "b"})
    both = d | {2: "B", 0: "z"}
    assert type(both) is AVLDict and list(both.items()) == [(0, "z"), (1, "a"), (2, "B")]
    assert d == {1: "a", 2: "b"}
    reflected = {2: "B", 5: "e"} | d
    assert type(reflected) is AVLDict and list(reflected.items()) == [(1, "a"), (2, "b"), (5, "e")]
    assert d | d == d and (d | AVLDict({3: 3}))[3] == 3
    with pytest.raises(TypeError):
        d | [(3, 3)]
    with pytest.raises(TypeError):
        [(3, 3)] | d
    same = d
    d |= [(3, "c")]
    d |= {0: "z"}
    assert d is same and list(d) == [0, 1, 2, 3]
    for m in (both, reflected, d):
        _check_avldict(m)
