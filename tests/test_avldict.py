"""AVLDict: construction, the mapping protocol, equality, iteration, text form, copies,
pickling and cyclic collection."""

import collections.abc
import copy
import gc
import pickle
import random
import weakref

import pytest

from quorel import AVLDict
from quorel.quorel import _avldict_from_sorted_items, _check_avldict

from _support import Item


class Record:
    """A weak-referenceable value that may point back at its map."""

    def __init__(self, owner=None):
        self.owner = owner


def check(d):
    _check_avldict(d)
    assert list(d) == sorted(d)
    return d


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, {}),
        ((None,), {}, {}),
        (({3: "c", 1: "a"},), {}, {1: "a", 3: "c"}),
        (([(2, "b"), (1, "a"), (2, "B")],), {}, {1: "a", 2: "B"}),
        ((iter([("y", 1)]),), {"x": 2, "y": 3}, {"x": 2, "y": 3}),
        ((collections.OrderedDict([(5, 5)]),), {}, {5: 5}),
        ((AVLDict({4: 4, 2: 2}),), {}, {2: 2, 4: 4}),
        (([[1, "a"], (0, "z")],), {}, {0: "z", 1: "a"}),
        ((["ab", "cd"],), {}, {"a": "b", "c": "d"}),
    ],
)
def test_construction_follows_dict(args, kwargs, expected):
    d = check(AVLDict(*args, **kwargs))
    assert d == expected and list(d) == sorted(expected)


class KeysOnly:
    """A mapping by duck typing only: keys() and __getitem__."""

    def keys(self):
        return [2, 1]

    def __getitem__(self, key):
        return key * 10


@pytest.mark.parametrize("source", [[(1, 2, 3)], [1], [([], 1)], 5, [(1, 2), "abc"]])
def test_bad_items_give_dicts_errors(source):
    with pytest.raises(Exception) as expected:
        dict(source)
    with pytest.raises(type(expected.value)) as info:
        AVLDict(source)
    assert str(info.value) == str(expected.value)
    d = AVLDict({0: 0})
    with pytest.raises(type(expected.value)) as info:
        d.update(source)
    assert str(info.value) == str(expected.value) and list(d.items()) == [(0, 0)]


def test_construction_edges():
    assert AVLDict(KeysOnly()) == {1: 10, 2: 20}
    with pytest.raises(TypeError, match="at most 1 argument, got 2"):
        AVLDict({}, {})
    with pytest.raises(TypeError, match="not supported between"):
        AVLDict({1: 1, "a": 2})
    # 1, 1.0 and True are one key, as in dict: the first object stays, the last value wins.
    d = AVLDict([(1, "int"), (1.0, "float"), (True, "bool")])
    assert list(d) == [1] and d[1] == "bool" and type(next(iter(d))) is int
    big = AVLDict({i: -i for i in range(999, -1, -1)})
    assert list(big) == list(range(1000)) and check(big)[500] == -500


def _shuffled(keys):
    keys = list(keys)
    random.Random(len(keys)).shuffle(keys)
    return keys


@pytest.mark.parametrize(
    "keys",
    [
        _shuffled(range(-300, 300)),
        _shuffled([2**62 - i for i in range(200)] + [-(2**62) + i for i in range(200)]),
        _shuffled(f"k{i:05d}" for i in range(500)),
        _shuffled(["\u20ac" * (i % 9) + chr(200 + i % 50) + str(i) for i in range(400)]),
        _shuffled((i // 10, i % 10) for i in range(300)),
        _shuffled((i % 7, f"s{i}", (i, 0.5)) for i in range(300)),
        _shuffled([i / 4 for i in range(-200, 200)]),
        # Mixed forms and ints beyond 64 bits take the general road.
        _shuffled(list(range(100)) + [i + 0.5 for i in range(100)] + [2**80 + i for i in range(100)]),
    ],
    ids=["int", "int64-edges", "str", "wide-str", "pair", "nested-tuple", "float", "mixed"],
)
def test_construction_orders_every_kind_of_key(keys):
    d = check(AVLDict({k: [k] for k in keys}))
    assert list(d) == sorted(keys)
    assert list(d.items()) == [(k, [k]) for k in sorted(keys)]
    assert list(reversed(d.values())) == [[k] for k in sorted(keys, reverse=True)]
    assert [d.index(k) for k in d] == list(range(len(keys)))


def test_construction_refuses_a_float_nan_among_many_keys():
    with pytest.raises(TypeError, match="All comparisons returned false"):
        AVLDict.fromkeys([float(i) for i in range(100)] + [float("nan")])


def test_fromkeys():
    d = check(AVLDict.fromkeys([3, 1, 2, 1]))
    assert d == {1: None, 2: None, 3: None} and type(d) is AVLDict
    assert AVLDict.fromkeys("ba", 0) == {"a": 0, "b": 0}
    assert list(AVLDict.fromkeys(range(100, 0, -1), 1)) == list(range(1, 101))
    with pytest.raises(TypeError):
        AVLDict.fromkeys(1)


def test_mapping_protocol():
    d = AVLDict()
    for k in [5, 3, 8, 1, 4]:
        d[k] = str(k)
    assert check(d) == {k: str(k) for k in [1, 3, 4, 5, 8]}
    stored = 10**20 + 1
    d[stored] = "big"
    d[int(str(10**20 + 1))] = "again"  # an equal key keeps its object, takes the value
    assert d[stored] == "again" and [k for k in d if k == stored][0] is stored
    assert len(d) == 6 and bool(d) and not AVLDict()
    assert 3 in d and 7 not in d and d.get(3) == "3" and d.get(7) is None and d.get(7, 0) == 0
    del d[3]
    assert 3 not in d and list(d) == [1, 4, 5, 8, stored]
    for missing in (3, (1, 2)):
        with pytest.raises(KeyError) as info:
            d[missing]
        assert info.value.args == (missing,)
        with pytest.raises(KeyError):
            del d[missing]
    d.clear()
    assert check(d) == {} and len(d) == 0
    with pytest.raises(TypeError, match="unhashable"):
        d[[1]] = 1
    with pytest.raises(TypeError, match="unhashable"):
        [1] in d


def test_equality_and_hash():
    d = AVLDict({1: "a", 2: "b"})
    assert d == {2: "b", 1: "a"} and {1: "a", 2: "b"} == d
    assert d == AVLDict({1: "a", 2: "b"}) and d != AVLDict({1: "a"})
    assert d == collections.OrderedDict([(2, "b"), (1, "a")])
    assert d == __import__("types").MappingProxyType({1: "a", 2: "b"})
    assert d != {1: "a", 2: "c"} and d != [1, 2] and not (d == [1, 2])
    assert isinstance(d, collections.abc.MutableMapping)
    with pytest.raises(TypeError, match="unhashable"):
        hash(d)
    with pytest.raises(TypeError):
        d < d


def test_iteration_is_a_snapshot():
    d = AVLDict.fromkeys([3, 1, 2])
    forward, backward = iter(d), reversed(d)
    d[0] = None
    del d[3]
    assert list(forward) == [1, 2, 3] and list(backward) == [3, 2, 1]
    assert list(d) == [0, 1, 2]


def test_text_form():
    assert repr(AVLDict()) == "AVLDict({})"
    assert repr(AVLDict({2: "b", 1: "a"})) == "AVLDict({1: 'a', 2: 'b'})"
    d = AVLDict()
    d[1] = d
    d[2] = AVLDict({3: d})
    assert repr(d) == str(d) == "AVLDict({1: AVLDict({...}), 2: AVLDict({3: AVLDict({...})})})"

    class Loud:
        def __repr__(self):
            raise LookupError("no text")

    d[3] = Loud()
    with pytest.raises(LookupError):
        repr(d)
    d.clear()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(protocol):
    d = AVLDict({(i, -i): Item(i) for i in range(50, 0, -1)})
    back = check(pickle.loads(pickle.dumps(d, protocol)))
    assert list(back) == list(d) and [back[k].k for k in back] == list(range(1, 51))


def test_reduce_and_rebuild():
    d = AVLDict({2: "b", 1: "a"})
    function, arguments = d.__reduce__()
    assert function is _avldict_from_sorted_items and len(arguments) == 1
    (ordered,) = arguments
    assert type(ordered) is dict and list(ordered.items()) == [(1, "a"), (2, "b")]
    # The rebuilt map copies the dict it is given: changing that dict later changes nothing.
    back = check(function(*arguments))
    ordered[0] = "z"
    del ordered[2]
    assert list(back.items()) == [(1, "a"), (2, "b")] and check(back)
    # Keys out of order are taken as they come, in both formats: rebuilding compares nothing.
    assert list(_avldict_from_sorted_items({2: "b", 1: "a"})) == [2, 1]
    back = _avldict_from_sorted_items([(2, "b"), (1, "a")])
    assert list(back) == [2, 1]
    assert check(_avldict_from_sorted_items({})) == {} == check(_avldict_from_sorted_items([]))
    assert check(_avldict_from_sorted_items(((1, 2),))) == {1: 2}
    with pytest.raises(ValueError, match="repeat a key"):
        _avldict_from_sorted_items([(1, "a"), (1, "b")])
    with pytest.raises(ValueError, match="expected tuple of length 2"):
        _avldict_from_sorted_items([(1, 2, 3)])
    with pytest.raises(TypeError):
        _avldict_from_sorted_items(iter([(1, 2)]))
    with pytest.raises(TypeError, match="unhashable"):
        _avldict_from_sorted_items([([], 1)])


def test_copies():
    inner = [1]
    d = AVLDict({2: inner, 1: "a"})
    for shallow in (d.copy(), copy.copy(d)):
        assert check(shallow) == d and shallow is not d and shallow[2] is inner
        shallow[3] = 3
        assert 3 not in d
    deep = copy.deepcopy(d)
    assert check(deep) == d and deep[2] is not inner
    d[0] = d
    deep = copy.deepcopy(d)
    assert deep[0] is deep and check(deep)
    d.clear()


def test_cycles_are_collected():
    d = AVLDict()
    record = Record(d)
    d[1] = d
    d[2] = record
    probe = weakref.ref(record)
    assert gc.is_tracked(d)
    del d, record
    gc.collect()
    assert probe() is None


def test_cycle_through_a_key_is_collected():
    class Key:
        def __init__(self):
            self.map = None

        def __hash__(self):
            return 1

        def __eq__(self, other):
            return self is other

        def __lt__(self, other):
            return False

        def __gt__(self, other):
            return False

    key = Key()
    d = AVLDict({key: None})
    key.map = d
    probe = weakref.ref(key)
    del d, key
    gc.collect()
    assert probe() is None


def test_class_is_final_and_generic():
    with pytest.raises(TypeError):
        type("Sub", (AVLDict,), {})
    assert AVLDict[str, int].__origin__ is AVLDict


def test_members_keep_reference_counts():
    import sys

    keys = [int(str(10**9 + i)) for i in range(50)]
    values = [object() for _ in keys]
    before = [sys.getrefcount(x) for x in keys + values]
    d = AVLDict(zip(keys, values))
    d2 = d.copy() | {keys[0]: values[1]}
    pickle.loads(pickle.dumps(d))
    list(d.items().range(keys[3], keys[40]))
    assert [d.pop(k) for k in keys[::3]] == values[::3]
    d.popitem(0)
    d.update({k: values[0] for k in keys[::2]})
    repr(d)
    del d, d2
    gc.collect()
    assert [sys.getrefcount(x) for x in keys + values] == before


def test_views_in_cycles_are_collected_and_deep_nesting_is_released():
    d = AVLDict()
    record = Record()
    d[1], d[2], d[3] = d.keys(), record, d.items()
    probe = weakref.ref(record)
    assert gc.is_tracked(d.values())
    del d, record
    gc.collect()
    assert probe() is None
    nested = AVLDict()
    for _ in range(200_000):
        nested = AVLDict({0: nested.values()})
    del nested  # released without exhausting the C stack
