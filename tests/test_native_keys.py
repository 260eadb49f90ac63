"""Keys of exactly int, float and str are ordered without calling their
comparison methods. These tests pin that shortcut to the answers the rich
comparisons give, at the edges where a native comparison could go wrong:
64-bit limits, signed zeros and infinities, str prefixes, mixed types and
subclasses (which must still be asked)."""

import copy
import itertools
import math
import pickle
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorel import AVLTree
from quorel.quorel import _check_invariants

from _model import ALL_FALSE, Model
from _support import logging_subclass

EDGE_INTS = [0, 1, -1, 2**62, 2**63 - 1, 2**63, 2**64, -(2**63), -(2**63) - 1, -(2**64)]
EDGE_FLOATS = [0.0, -0.0, 1.0, -1.5, 2.0**63, -(2.0**63), math.inf, -math.inf, 5e-324]
EDGE_STRS = ["", "a", "a\0", "a\0\0", "ab", "abcdefgh", "abcdefgh\0", "abcdefghi", "abcdefgi",
             "\xff", "\xff\xff", "\u0100", "a\u0100", "abcdefgh\u0100", "\U0001f600", "b"]

numbers = st.one_of(st.sampled_from(EDGE_INTS), st.integers(), st.sampled_from(EDGE_FLOATS),
                    st.floats(allow_nan=False), st.booleans())
texts = st.one_of(st.sampled_from(EDGE_STRS),
                  st.text(alphabet=st.sampled_from("ab\0\xff\u0100"), max_size=11))


def check_against_model(keys, probes):
    tree, model = AVLTree(), Model()
    for k in keys:
        assert tree.insert(k) is model.insert(k, k)
    assert [id(v) for v in tree.pre_order()] == [id(v) for v in model.pre_order()]
    for p in probes:
        assert tree.search_key(p) is model.search(p)
        assert list(tree.iter_from(p, 3)) == model.iter_from(p, 3)
        assert list(tree.iter_to(p, 3)) == model.iter_to(p, 3)
    for p in probes:
        assert tree.remove_key(p) is model.remove(p)
        assert [id(v) for v in tree.pre_order()] == [id(v) for v in model.pre_order()]


@settings(max_examples=150, deadline=None)
@given(st.lists(numbers, max_size=40), st.lists(numbers, max_size=10))
def test_numbers_order_as_rich_comparison_does(keys, probes):
    check_against_model(keys, probes)


@settings(max_examples=150, deadline=None)
@given(st.lists(texts, max_size=40), st.lists(texts, max_size=10))
def test_strings_order_by_code_point(keys, probes):
    check_against_model(keys, probes)


@pytest.mark.parametrize(
    "stored, key",
    [
        ([1.0, 2.0], math.nan),       # NaN sought among floats
        ([math.nan], 1.0),            # NaN stored, float sought
        ([math.nan, 3], math.nan),    # NaN against NaN: not even equal to itself
    ],
)
def test_nan_fails_like_the_rich_comparisons(stored, key):
    tree = AVLTree()
    for k in stored:
        try:
            tree.insert(k)
        except TypeError:
            pass
    before = [id(v) for v in tree.pre_order()]
    for operation in (tree.insert, tree.search_key, tree.remove_key):
        with pytest.raises(TypeError, match=ALL_FALSE.replace("(", r"\(").replace(")", r"\)")):
            operation(key)
    assert [id(v) for v in tree.pre_order()] == before


def test_equal_keys_across_types_are_one_key():
    tree = AVLTree([1, 2**63, 0.0])
    assert [tree.insert(k) for k in (1.0, True, float(2**63), -0.0, 0, False)] == [False] * 6
    # The first value of the key stays.
    assert [type(tree.search(k)) for k in (1.0, True, 2**63, -0.0)] == [int, int, int, float]
    assert math.copysign(1, tree.search_key(-0.0)) == 1 and len(tree) == 3


@pytest.mark.parametrize("base, stored, probe", [
    (int, [10, 20, 30], 25),
    (float, [1.0, 2.0, 3.0], 2.5),
    (str, ["b", "d", "f"], "e"),
])
def test_subclass_keys_are_asked_in_the_fixed_order(base, stored, probe):
    calls = []
    Loud = logging_subclass(base, calls)
    tree, model = AVLTree(stored), Model()
    for k in stored:
        model.insert(k, k)
    expected = []
    node = model.root
    while node is not None:  # the comparisons due: ==, then <, then >
        for op, result in (("__eq__", probe == node.key), ("__lt__", probe < node.key),
                           ("__gt__", probe > node.key)):
            expected.append(op)
            if result:
                break
        node = node.right if expected[-1] == "__gt__" else node.left
    assert tree.search_key(Loud(probe)) is None
    assert [op for op, _, _ in calls] == expected
    calls.clear()
    assert tree.insert(Loud(probe)) and [op for op, _, _ in calls] == expected


def test_node_memory_is_reused_and_grows_large():
    # Enough nodes for the store to grow into huge pages, with removal feeding the free list.
    n = 200_000
    keys = [(i * 7919) % n for i in range(n)]
    tree = AVLTree(keys)
    assert all(tree.remove_key(k) for k in range(0, n, 2))
    assert all(tree.insert(k) for k in range(0, n, 4))
    expected = sorted(set(range(1, n, 2)) | set(range(0, n, 4)))
    assert len(tree) == len(expected) and list(tree) == expected
    tree.clear()
    assert tree.insert(5) and list(tree) == [5] and tree.height == 1


@pytest.mark.parametrize("n", [255, 256, 3000])
@pytest.mark.parametrize("order", [None, sorted, lambda keys: sorted(keys, reverse=True)])
def test_construction_keeps_the_shape_of_one_by_one_insertion(n, order):
    # Larger trees are laid out anew after construction; nothing observable may change.
    keys = [(i * 7919 + 13) % 10007 for i in range(n)]
    keys = order(keys) if order else keys
    built, inserted = AVLTree(keys), AVLTree()
    for k in keys:
        inserted.insert(k)
    assert list(built.pre_order()) == list(inserted.pre_order())
    assert built.height == inserted.height and len(built) == len(inserted) == len(set(keys))
    assert all(built.remove_key(k) for k in keys[: n // 2]) and list(built) == sorted(keys[n // 2:])


# Subclasses of int and tuple that log their comparisons to the list of the fixture
# `log`; a Logged(n, True) raises from ==.
Logged = logging_subclass(int)
LoggedPair = logging_subclass(tuple)


@pytest.fixture
def log(monkeypatch):
    entries = []
    monkeypatch.setattr(Logged, "log", entries)
    monkeypatch.setattr(LoggedPair, "log", entries)
    return entries


NAN = math.nan
# Natively comparable tuples around keys that are not: a NaN, a huge int, a subclass
# item, an item whose == raises, each at the top or nested, where the items before
# them are equal (so the odd item is reached) or differ (so it is not).
STORED = [(1, 2), (1, 5), (1, 2, 3), (2, (0, 1)), (2, (0, 4)), (0, "a"), (3, NAN), (1, 2**70),
          (2, (0, Logged(2))), (2, LoggedPair((0, 3))), (1.5, -1), (-0.0, 7), (1, -(2**63)), (1, 2**63 - 1)]
PROBES = [(1, 3), (1, Logged(3)), (Logged(1), 5), (1, 2**70), (1, 2**80), (3, NAN),
          (3, float("nan")), (2, (0, Logged(3))), (2, (0, 3)), (2, (0, 2)), (2, LoggedPair((0, 4))), (1, Logged(4, True)),
          (9, Logged(0, True)), (2, (0, Logged(1, True))), (0.0, 7), (1, True), (1, 2.0),
          (0, "a", Logged(1)), (1, 2**63), (1, -(2**63) - 1), ((1,), 2), (1,), ()]


def _outcome(call, log):
    log.clear()
    try:
        result = call()
    except (TypeError, LookupError) as e:
        result = (type(e), str(e))
    return result, list(log)


@pytest.mark.parametrize("probe", PROBES, ids=repr)
@pytest.mark.parametrize("numeric_only", [False, True])
def test_tuple_keys_fall_back_exactly_where_an_item_needs_it(probe, numeric_only, log):
    # Same answers, same exceptions and the same calls on the items, in the same order, as
    # the rich comparisons of the whole tuples give.
    stored = [k for k in STORED if not numeric_only or not any(isinstance(i, str) for i in k)]
    tree, model = AVLTree(), Model()
    for k in stored:
        assert _outcome(lambda: tree.insert(k), log) == _outcome(lambda: model.insert(k, k), log)
    for tree_call, model_call in [
        (lambda: tree.search_key(probe), lambda: model.search(probe)),
        (lambda: list(tree.iter_from(probe, 2)), lambda: model.iter_from(probe, 2)),
        (lambda: list(tree.range(None, probe)), lambda: model.range(None, probe)),
        (lambda: tree.insert(probe), lambda: model.insert(probe, probe)),
        (lambda: tree.remove_key(probe), lambda: model.remove(probe)),
    ]:
        got, expected = _outcome(tree_call, log), _outcome(model_call, log)
        assert got == expected
        assert [id(v) for v in tree.pre_order()] == [id(v) for v in model.pre_order()]


def _key_lists():
    import random

    rng = random.Random(11)
    ints = [rng.choice([rng.randrange(-40, 40), rng.randrange(-(2**63), 2**63)]) for _ in range(300)]
    return {
        "ints": ints,
        "floats": [rng.choice([0.0, -0.0, 1.5, -1.5, math.inf, -math.inf, rng.random()])
                   for _ in range(300)],
        "strs": [rng.choice(["", "a", "ab", "abcdefgh", "abcdefghi", "\u0100", "b"]) + str(i % 7)
                 for i in range(300)],
        "pairs": [(rng.randrange(4), rng.choice([rng.randrange(9), rng.randrange(2**63)]))
                  for _ in range(300)],
        "tuples": [(rng.choice([0.5, -0.0, 0.0]), rng.choice(["x", "y"]), (rng.randrange(3),))
                   for _ in range(300)],
        "ints-and-floats": [rng.choice([rng.randrange(9), rng.randrange(9) / 2]) for _ in range(300)],
        "nan-late": [float(i % 50) for i in range(200)] + [math.nan] + [0.5] * 10,
        "item-types-clash": [(i % 5, i) for i in range(200)] + [(3, "x")] + [(1, 1)] * 10,
        "huge-ints": [(i * 7919) % 1009 * 2**64 for i in range(300)],
        # Large enough for the builds that sort numbers by their digits and fetch ahead.
        "many-ints": [rng.randrange(-(2**40), 2**40) if rng.random() < 0.9
                      else rng.randrange(-9, 9) * 1000 for _ in range(80000)],
        "many-close-ints": [rng.randrange(10**6, 10**6 + 9000) for _ in range(20000)],
        "many-ascending-ints": sorted(rng.randrange(10**6, 10**6 + 400000) for _ in range(80000)),
        "many-descending-floats": sorted((rng.randrange(400000) / 2 for _ in range(80000)),
                                         reverse=True),
        "many-floats": [rng.choice([rng.random(), -rng.random(), 0.0, -0.0, math.inf])
                        for _ in range(80000)],
        # Latin-1 strs, alone and leading pairs, that agree in their first 8 code points.
        "shared-prefix-strs": rng.sample([f"item-{i:05d}" for i in range(100)], 100),
        "shared-prefix-str-pairs": [("abcdefgh%d" % (i % 4), i % 3) for i in range(40)],
        # Pairs whose two ints take 64 or 65 bits together, around the packed pair form.
        "pairs-at-packing-limits": rng.sample(
            [(x, y) for x in (0, 1, -1, 3, 2**61, -(2**61), 2**62) for y in (0, 1, -2, 2**60, 2**61, -(2**61))], 42),
        # Batches long enough to be sorted by their digits: strs with code points above 255
        # among Latin-1 ones that share their first code points, pairs that fit one word
        # together with pairs that do not, and tuples led by such strs. Equal keys repeat
        # as distinct objects, so which one is stored shows.
        "many-strs": [rng.choice(["ab", "ab\xff", "ab\xff" * 3, "ab\u0100", "ab\u0100\u0101",
                                  "\u0100", "abcdefgh", "\xff" * 8]) + str(rng.randrange(60))
                      for _ in range(6000)],
        "many-pairs": [(rng.randrange(-3, 3), rng.choice([rng.randrange(-50, 50), rng.randrange(-(2**62), 2**62)]))
                       for _ in range(6000)],
        # Each of these pairs fits one word, but not in fields of one width for all.
        "many-wide-pairs": [(b, rng.randrange(-4, 4)) if rng.random() < 0.5 else (rng.randrange(-4, 4), b)
                            for b in (rng.randrange(-(2**40), 2**40) for _ in range(6000))],
        "many-narrow-pairs": [(rng.randrange(-(2**20), 2**20), rng.randrange(-(2**30), 2**30) // 1000 * 1000)
                              for _ in range(6000)],
        "many-str-tuples": [(rng.choice(["\u0100x", "\u0100", "a"]) + str(rng.randrange(9)), rng.randrange(9))
                            for _ in range(6000)],
        "many-ints-and-a-huge-one": [rng.randrange(-(2**62), 2**62) for _ in range(5000)] + [2**64],
    }


@pytest.mark.parametrize("name", sorted(_key_lists()))
def test_construction_equals_insertion_one_by_one(name):
    # The same stored objects in the same shape, or the same failure, as inserting in order,
    # and the values in Python's own order.
    keys = _key_lists()[name]
    inserted = AVLTree()
    try:
        for k in keys:
            inserted.insert(k)
    except TypeError as e:
        with pytest.raises(TypeError, match=re.escape(str(e))):
            AVLTree(keys)
        return
    built = AVLTree(keys)
    assert [id(v) for v in built.pre_order()] == [id(v) for v in inserted.pre_order()]
    assert built.height == inserted.height and len(built) == len(inserted)
    assert list(built) == sorted(set(keys))


@pytest.mark.parametrize("stored", [0, 3], ids=["into an empty tree", "into a small tree"])
@pytest.mark.parametrize("name", sorted(_key_lists()))
def test_update_stores_what_insertion_one_by_one_does(name, stored):
    # The batch is sorted and merged: the same stored objects in the same order, or a
    # TypeError with the tree unchanged, as inserting the keys one at a time.
    keys = _key_lists()[name]
    inserted, updated = AVLTree(), AVLTree(keys[:stored])
    before = [id(v) for v in updated]
    try:
        for k in keys:
            inserted.insert(k)
    except TypeError:
        with pytest.raises(TypeError):  # the operands may meet in the other order
            updated.update(keys)
        assert [id(v) for v in updated] == before
        return
    updated.update(keys)
    _check_invariants(updated)
    assert [id(v) for v in updated] == [id(v) for v in inserted]


@pytest.mark.parametrize("odd", [None, 7, 21, 35, 41])
@pytest.mark.parametrize("bounds", [(5, 30), (0, 40), (21, 21), (-3, 3), (30, 90), (6, 6)])
@pytest.mark.parametrize("make", [int, float, lambda i: (i // 8, i), lambda i: "k%03d" % i])
def test_ranges_ask_every_key_the_pruned_walk_meets(odd, bounds, make, log):
    # Natively compared keys around one key with Python-level methods: the answer, and the
    # calls that key sees, match the model's pruned walk whichever the endpoints are.
    stored = [make(i) for i in range(0, 41, 2)]
    if odd is not None:
        stored.insert(len(stored) // 2, Logged(odd) if make in (int, float) else
                      (odd // 8, Logged(odd)) if make(0) == (0, 0) else make(odd))
    tree, model = AVLTree(), Model()
    for k in stored:
        assert _outcome(lambda: tree.insert(k), log) == _outcome(lambda: model.insert(k, k), log)
    for flags in [(True, False), (False, True)]:
        start, end = make(bounds[0]), make(bounds[1])
        got = _outcome(lambda: list(tree.range(start, end, include_start=flags[0],
                                               include_end=flags[1])), log)
        assert got == _outcome(lambda: model.range(start, end, *flags), log)


def _result(call):
    try:
        return call()
    except (TypeError, ValueError) as e:
        return type(e), str(e)


# Keys that all share one structure of item types; the second int of the pairs sometimes
# needs more than the packed pair form holds.
ONE_SHAPE = {
    "int pairs": lambda i: (i // 4, i * 2**50 if i % 3 == 0 else i),
    "int str": lambda i: (i // 3, "s%03d" % i),
    "float int": lambda i: (i / 4, -i),
    "str str": lambda i: ("k%d" % (i // 5), "v%03d" % i),
    "nested": lambda i: (i // 6, (i % 3, float(i))),
    "int": lambda i: i,
}
BUILDS = {
    "inserted": lambda keys: _inserted(keys),
    "constructed": lambda keys: AVLTree(keys[::-1]),
    "copied": lambda keys: AVLTree(keys).copy(),
    "pickled": lambda keys: pickle.loads(pickle.dumps(AVLTree(keys))),
}


def _inserted(keys):
    # Emptied from two shapes, then filled, with removals and insertions in between.
    tree = AVLTree([("a", 1), ("b", "c")])
    tree.remove_key(("a", 1))
    tree.remove_key(("b", "c"))
    for k in keys:
        tree.insert(k)
    for k in keys[::7]:
        tree.remove_key(k)
        tree.insert(k)
    return tree


@pytest.mark.parametrize("build", sorted(BUILDS))
@pytest.mark.parametrize("make", sorted(ONE_SHAPE))
def test_ranges_of_one_key_shape_agree_with_the_model(make, build):
    # Endpoints of the keys' shape, stored (even) or not (odd), with every flag combination;
    # the runs from and to them too.
    make = ONE_SHAPE[make]
    keys = [make(i) for i in range(0, 160, 2)]
    tree, model = BUILDS[build](keys), Model()
    for k in keys:
        model.insert(k, k)
    _check_invariants(tree)
    for low, high in [(0, 158), (20, 20), (21, 21), (7, 60), (60, 61), (-5, 3), (150, 200), (40, 13)]:
        assert list(tree.iter_from(make(low), 9)) == model.iter_from(make(low), 9)
        assert list(tree.iter_to(make(high), 9)) == model.iter_to(make(high), 9)
        for flags in itertools.product([False, True], repeat=2):
            start, end = make(low), make(high)
            assert _result(lambda: list(tree.range(start, end, include_start=flags[0], include_end=flags[1]))) == \
                _result(lambda: model.range(start, end, *flags))


MIXED_BOUNDS = [((0, 0), (4, 9)), ((5, 0), (9, 9)), ((4, "x"), (8, 8)), ((1, 0), (30, 0)),
                ((5, "a"), (5, "a")), ((2, 2), (2.0, 2))]


@pytest.mark.parametrize("state", ["odd key in", "odd key removed", "emptied by removal",
                                   "emptied by pop", "cleared"])
def test_a_key_of_another_shape_keeps_every_window_comparison(state):
    # (5, "a") among int pairs: a window holding it compares it with both endpoints, and
    # against (5, 0) that raises. Refilled trees order pairs again; all agree with the model.
    pairs = [(i, i) for i in range(0, 40, 2)]
    tree, model = AVLTree(pairs), Model()
    for k in pairs + [(5, "a")]:
        tree.insert(k)
        model.insert(k, k)
    if state == "odd key removed":
        tree.remove_key((5, "a"))
        model.remove((5, "a"))
    elif state != "odd key in":
        {"emptied by removal": lambda: [tree.remove_key(k) for k in list(tree)],
         "emptied by pop": lambda: [tree.pop() for _ in range(len(tree))],
         "cleared": tree.clear}[state]()
        model = Model()
        for k in pairs:
            tree.insert(k)
            model.insert(k, k)
    _check_invariants(tree)
    for start, end in MIXED_BOUNDS:
        for flags in [(True, False), (False, True)]:
            assert _result(lambda: list(tree.range(start, end, include_start=flags[0], include_end=flags[1]))) == \
                _result(lambda: model.range(start, end, *flags))


class Six(int):
    """An int that copy.deepcopy looks up in its memo (exact ints are copied as themselves)."""


def test_a_deep_copy_orders_the_keys_its_memo_gives():
    # The memo turns the copy's item 6 into a str: the copy's window holding (5, "six")
    # must still compare it with the endpoints, which raises against (5, 0).
    six = Six(6)
    tree = AVLTree([(1, 2), (5, six), (7, 8)])
    duplicate = copy.deepcopy(tree, {id(six): "six"})
    _check_invariants(duplicate)
    model = Model()
    for k in [(1, 2), (5, "six"), (7, 8)]:
        model.insert(k, k)
    for start, end in [((5, 0), (9, 0)), ((0, 0), (4, 0)), ((1, 2), (7, 8))]:
        assert _result(lambda: list(duplicate.range(start, end))) == _result(lambda: model.range(start, end))
