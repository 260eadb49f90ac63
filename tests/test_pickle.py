"""Pickling and copying trees, and rebuilding them from sorted pairs."""

import copy
import pickle
import sys
import types

import pytest
import quorel.quorel
from quorel import AVLTree

from _model import Model
from _support import (
    AttrName,
    Item,
    Uncomparable,
    check_note,
    item_key,
    raises_with_note,
    refcounts,
)

build = quorel.quorel._avltree_from_sorted_entries
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
SIZES = [0, 1, 2, 3, 4, 7, 8, 1000]

KEY_RULES = {
    "identity": None,
    "attribute": "k",
    "attribute-subclass": AttrName("k"),
    "callable": item_key,
}


BUILDER_SHAPES = {
    0: [],
    1: [0],
    2: [1, 0],
    3: [1, 0, 2],
    4: [2, 1, 0, 3],
    5: [2, 1, 0, 4, 3],
    6: [3, 1, 0, 2, 5, 4],
    7: [3, 1, 0, 2, 5, 4, 6],
    8: [4, 2, 1, 0, 3, 6, 5, 7],
}


def _snapshot(tree):
    """Everything observable about a tree's entries: values in order and stored keys."""
    pairs, spec = tree.__reduce__()[1]
    return [(v.k, v.tag, k.k if isinstance(k, Item) else k) for v, k in pairs], spec


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("rule", KEY_RULES)
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_round_trip(protocol, rule, size):
    key = KEY_RULES[rule]
    # Insert in a scrambled order so the pickled shape is not the rebuilt one.
    order = sorted(range(size), key=lambda i: (i * 7919) % (size or 1))
    tree = AVLTree([Item(i, f"t{i}") for i in order], key=key)
    copy_ = pickle.loads(pickle.dumps(tree, protocol))
    assert type(copy_) is AVLTree and copy_ is not tree
    assert len(copy_) == size
    assert _snapshot(copy_) == _snapshot(tree)
    assert copy_.height == size.bit_length()
    if size in BUILDER_SHAPES:
        assert [v.k for v in copy_.pre_order()] == BUILDER_SHAPES[size]
    # The key rule came along and works.
    if size:
        assert copy_.insert(Item(0, "dup")) is False
        assert copy_.search_key(size - 1).tag == f"t{size - 1}"
    assert copy_.insert(Item(size, "new")) is True


def test_reduce_value():
    a, b, c = Item(1, "a"), Item(2, "b"), Item(3, "c")
    for key, expect_spec in ((None, None), ("k", "k"), (AttrName("k"), "k"), (item_key, item_key)):
        tree = AVLTree([c, a, b], key=key)
        result = tree.__reduce__()
        assert type(result) is tuple and len(result) == 2
        func, args = result
        assert func is build
        assert type(args) is tuple and len(args) == 2
        pairs, spec = args
        assert type(pairs) is list and all(type(p) is tuple and len(p) == 2 for p in pairs)
        assert [p[0] for p in pairs] == [a, b, c] and all(p[0] is v for p, v in zip(pairs, (a, b, c)))
        if key is None:
            assert spec is None
            assert all(v is k for v, k in pairs)
        elif isinstance(key, str):
            assert type(spec) is str and spec == expect_spec
        else:
            assert spec is key
            assert [k for _, k in pairs] == [1, 2, 3]
    assert AVLTree().__reduce__() == (build, ([], None))


def test_stored_keys_travel_with_the_values():
    x = Item(5, "x")
    tree = AVLTree([x], key="k")
    x.k = 99
    back = pickle.loads(pickle.dumps(tree))
    assert back.search_key(5).k == 99
    assert back.search_key(99) is None


def test_unpicklable_key_callable_fails_in_the_pickler():
    func = lambda v: v.k  # noqa: E731
    tree = AVLTree([Item(1)], key=func)
    assert tree.__reduce__()[1][1] is func
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        pickle.dumps(tree)


def test_reconstruction_compares_nothing_and_extracts_nothing(comparisons, key_calls):
    items = [Item(k) for k in range(100)]
    tree = AVLTree(items, key=item_key)
    data = pickle.dumps(tree)
    comparisons.count = key_calls.count = 0
    back = pickle.loads(data)
    copy.copy(tree)
    copy.deepcopy(tree)
    assert len(back) == 100
    assert comparisons.count == 0 and key_calls.count == 0
    # Keys that cannot be compared at all are stored as given.
    keys = [Uncomparable() for _ in range(5)]
    built = build([(i, k) for i, k in enumerate(keys)], item_key)
    assert list(built) == [0, 1, 2, 3, 4]
    assert key_calls.count == 0




@pytest.mark.parametrize("n", BUILDER_SHAPES)
def test_builder_shapes(n):
    tree = build([(i, i) for i in range(n)], None)
    assert list(tree.pre_order()) == BUILDER_SHAPES[n]
    assert tree.height == n.bit_length()
    assert len(tree) == n
    model = Model.from_sorted((i, i) for i in range(n))
    assert (model.pre_order(), model.height) == (BUILDER_SHAPES[n], n.bit_length())


def test_builder_balance_and_order_for_many_sizes():
    for n in range(9, 300):
        tree = build([(i, i) for i in range(n)], None)
        assert tree.height == n.bit_length()
        assert list(tree) == list(range(n))


def test_built_tree_accepts_insertion_and_removal():
    tree = build([(0, 0), (1, 1)], None)
    assert list(tree.pre_order()) == [1, 0]
    assert tree.insert(2) and tree.insert(-1) and not tree.insert(1)
    assert tree.remove(1) and tree.remove_key(0)
    assert list(tree) == [-1, 2] and tree.height == 2


def test_shallow_copy_shares_entries_and_is_independent():
    items = [Item(k) for k in range(5)]
    tree = AVLTree(items, key="k")
    dup = copy.copy(tree)
    assert dup is not tree
    assert [p[0] for p in dup.__reduce__()[1][0]] == items
    assert all(a is b for a, b in zip(dup, items))
    assert all(a is b for (_, a), (_, b) in zip(dup.__reduce__()[1][0], tree.__reduce__()[1][0]))
    dup.insert(Item(10))
    tree.remove_key(0)
    assert len(dup) == 6 and len(tree) == 4


def test_deep_copy_copies_entries_and_keeps_identity_pairs_shared():
    items = [Item(k, [k]) for k in range(5)]
    tree = AVLTree(items)
    dup = copy.deepcopy(tree)
    pairs = dup.__reduce__()[1][0]
    assert all(v is k for v, k in pairs)
    assert all(v is not i and v.same(i) and v.tag is not i.tag for (v, _), i in zip(pairs, items))
    keyed = copy.deepcopy(AVLTree(items, key=item_key))
    assert keyed.__reduce__()[1][1] is item_key


@pytest.mark.parametrize(
    "pairs",
    [((1, 1), (2, 2)), [(1, 1), (2, 2)]],
    ids=["tuple-of-tuples", "list"],
)
def test_pair_containers_accepted(pairs):
    assert list(build(pairs, None)) == [1, 2]
    assert list(build(pairs=pairs, key_spec=None)) == [1, 2]


def gen_pairs():
    yield (1, 1)


class RaisingIter(list):
    def __iter__(self):
        yield (1, 1)
        raise KeyError("mid")


PAIRS_NOTE = "pairs"
KEY_NOTE = "key_spec"
KEY_MSG = "key must be an attribute name, a callable, or None"

BAD_INPUTS = [
    ("abc", None, TypeError, "Can't extract `str` to `Vec`", PAIRS_NOTE),
    (AttrName("abc"), None, TypeError, "Can't extract `str` to `Vec`", PAIRS_NOTE),
    (5, None, TypeError, "'int' object is not an instance of 'Sequence'", PAIRS_NOTE),
    (None, None, TypeError, "'None' is not an instance of 'Sequence'", PAIRS_NOTE),
    ({(1, 1): 1}, None, TypeError, "'dict' object is not an instance of 'Sequence'", PAIRS_NOTE),
    (gen_pairs(), None, TypeError, "'generator' object is not an instance of 'Sequence'", PAIRS_NOTE),
    ([[1, 2]], None, TypeError, "'list' object is not an instance of 'tuple'", PAIRS_NOTE),
    (b"ab", None, TypeError, "'int' object is not an instance of 'tuple'", PAIRS_NOTE),
    ([(1, 1), None], None, TypeError, "'None' is not an instance of 'tuple'", PAIRS_NOTE),
    ([(1, 2, 3)], None, ValueError, "expected tuple of length 2, but got tuple of length 3", PAIRS_NOTE),
    ([(1, 1), (1,)], None, ValueError, "expected tuple of length 2, but got tuple of length 1", PAIRS_NOTE),
    ([()], None, ValueError, "expected tuple of length 2, but got tuple of length 0", PAIRS_NOTE),
    (RaisingIter(), None, KeyError, "'mid'", PAIRS_NOTE),
    ([], 5, TypeError, KEY_MSG, KEY_NOTE),
    ([(1, 1)], b"k", TypeError, KEY_MSG, KEY_NOTE),
    ([(1, 1)], ["k"], TypeError, KEY_MSG, KEY_NOTE),
    ("abc", 5, TypeError, "Can't extract `str` to `Vec`", PAIRS_NOTE),
    ([[1, 2]], 5, TypeError, "'list' object is not an instance of 'tuple'", PAIRS_NOTE),
]


@pytest.mark.parametrize("pairs, spec, exc_type, message, note", BAD_INPUTS)
def test_bad_reconstruction_input(pairs, spec, exc_type, message, note):
    raises_with_note(exc_type, message, note, build, pairs, spec)


def test_failed_reconstruction_releases_everything():
    a, b, key = Item(1), Item(2), Item(3)
    spec = lambda v: v  # noqa: E731
    cases = [
        lambda: ([(a, key), (b, b), [a, a]], None),
        lambda: ([(a, key), (b, b), (a,)], spec),
        lambda: ([(a, key), (b, b)], 5),
        lambda: (RaisingIter([(a, a)]), spec),
    ]
    watched = [a, b, key, spec]
    before = refcounts(watched)
    for make in cases:
        pairs, spec_arg = make()
        with pytest.raises((TypeError, ValueError, KeyError)):
            build(pairs, spec_arg)
        del pairs, spec_arg
        assert refcounts(watched) == before


def test_reference_counts_after_round_trips():
    items = [Item(k) for k in range(6)]
    watched = items + [item_key]
    before = refcounts(watched)
    tree = AVLTree(items, key=item_key)
    held = refcounts(watched)
    reduced = tree.__reduce__()
    del reduced
    for protocol in PROTOCOLS:
        pickle.loads(pickle.dumps(tree, protocol))
    copy.deepcopy(tree)
    shallow = copy.copy(tree)
    del shallow
    assert refcounts(watched) == held
    rebuilt = build([(i, i) for i in items], None)
    # A value that is its own key is stored once.
    assert refcounts(items) == [n + 1 for n in held[:-1]]
    del rebuilt, tree
    assert refcounts(watched) == before


@pytest.mark.parametrize(
    "replacement, exc_type",
    [(None, ImportError), (types.ModuleType("quorel.quorel"), AttributeError)],
    ids=["import-fails", "attribute-missing"],
)
def test_reduce_reports_import_failures(monkeypatch, replacement, exc_type):
    items = [Item(k) for k in range(3)]
    tree = AVLTree(items, key=item_key)
    watched = items + [item_key]
    before = refcounts(watched)
    monkeypatch.setitem(sys.modules, "quorel.quorel", replacement)
    with pytest.raises(exc_type) as info:
        tree.__reduce__()
    check_note(info.value)
    monkeypatch.undo()
    assert refcounts(watched) == before
    assert tree.__reduce__()[0] is build


@pytest.mark.parametrize("values, key, tracked", [
    ([1, 2.5, 3], None, False),
    (["a", "b"], None, False),
    ([[1], [2, 2]], len, True),
    (["ab", "c"], list, True),
    ([(1, []), (2, [])], None, True),
])
def test_pairs_the_collector_need_not_see_are_untracked(values, key, tracked):
    import gc

    pairs = AVLTree(values, key=key).__reduce__()[1][0]
    assert [gc.is_tracked(p) for p in pairs] == [tracked] * len(values)
