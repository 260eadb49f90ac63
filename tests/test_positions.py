"""Positions, slices, ranks, neighbours and pops, checked against the sorted
list of values; the subtree sizes behind them stay exact through every kind
of change (the invariant check covers them)."""

import ctypes
import random
import types
import typing

import pytest

from _support import EVENS, AVLTree, Box, Index, Key, _check_invariants, check_note
from _model import Model


def _grown(how, keys):
    """A tree of `keys` made by each road that sets subtree sizes."""
    if how == "constructor":  # large enough to be compacted
        return AVLTree(keys)
    if how == "builder":
        rebuild, args = AVLTree(keys).__reduce__()
        return rebuild(*args)
    tree = AVLTree()
    extra = [k + 0.5 for k in keys]
    for k in keys + extra:
        tree.insert(k)
    for k in extra:
        tree.remove_key(k)
    return tree


@pytest.mark.parametrize("how", ["constructor", "builder", "inserts and removals"])
def test_positions_and_slices_follow_the_sorted_list(how):
    r = random.Random(how)
    keys = r.sample(range(10**6), 600)
    tree, expected = _grown(how, keys), sorted(keys)
    _check_invariants(tree)
    n = len(expected)
    assert [tree[i] for i in range(-n, n)] == expected + expected
    bounds = [None, 0, 1, 250, n - 1, n, n + 5, -1, -250, -n - 5]
    for start in bounds:
        for stop in bounds:
            for step in (None, 1, -1, 2, -3, 1000, -1000):
                assert tree[start:stop:step] == expected[start:stop:step], (start, stop, step)
    # Pops at every kind of position keep the sizes exact.
    while expected:
        i = r.choice([0, -1, r.randrange(len(expected))])
        assert tree.pop(i) == expected.pop(i)
        _check_invariants(tree)
    assert tree[:] == [] and len(tree) == 0


def test_positions_convert_through_the_index_protocol():
    tree = AVLTree("abcde")
    assert tree[Index(1)] == tree[True] == "b" and tree[Index(-1)] == "e"
    assert tree[Index(1):Index(4):Index(2)] == ["b", "d"]
    assert tree.pop(Index(-2)) == "d" and tree.pop(index=False) == "a"
    # Far outside, whatever the machine word: no wrap-around to a valid position.
    for far in (4, -5, 2**31, 2**32, 2**32 + 1, 2**63, 2**64 + 1, -(2**32) - 1, -(2**64)):
        with pytest.raises(IndexError) as info:
            tree[far]
        assert str(info.value) == "AVLTree index out of range"
        with pytest.raises(IndexError) as info:
            tree.pop(far)
        assert str(info.value) == "pop index out of range"
    assert list(tree) == ["b", "c", "e"]


@pytest.mark.parametrize("bad", [1.0, "1", None, (1,), [1]])
def test_non_integer_positions_are_refused(bad):
    tree = AVLTree([1, 2])
    with pytest.raises(TypeError) as info:
        tree[bad]
    assert str(info.value) == "AVLTree indices must be integers or slices, not %s" % type(bad).__name__
    with pytest.raises(TypeError) as info:
        tree.pop(bad)
    check_note(info.value, "index")
    assert len(tree) == 2


def test_index_conversion_failures_pass_through():
    tree = AVLTree([1, 2])
    error = LookupError("from __index__")
    with pytest.raises(LookupError) as info:
        tree[Index(error)]
    assert info.value is error
    check_note(info.value)
    with pytest.raises(LookupError) as info:
        tree[Index(error):]
    assert info.value is error
    with pytest.raises(LookupError) as info:
        tree.pop(Index(error))
    assert info.value is error
    assert list(tree) == [1, 2]


def test_empty_tree():
    tree = AVLTree()
    with pytest.raises(IndexError, match="^AVLTree index out of range$"):
        tree[0]
    for call in (tree.pop, lambda: tree.pop(0), lambda: tree.pop(5)):
        with pytest.raises(IndexError, match="^pop from empty AVLTree$"):
            call()
    log = []
    probe = Key(1, log)
    assert tree[:] == [] and tree[::-1] == []
    assert (tree.bisect_left(probe), tree.bisect_right(probe)) == (0, 0)
    assert [tree.floor(probe), tree.ceiling(probe), tree.lower(probe), tree.higher(probe)] == [None] * 4
    with pytest.raises(ValueError, match=r"^Key\(1\) is not in AVLTree$"):
        tree.index(probe)
    assert log == []


@pytest.mark.parametrize(
    "probe, bisect_left, bisect_right, floor, ceiling, lower, higher",
    [
        (-1, 0, 0, None, 0, None, 0),
        (0, 0, 1, 0, 0, None, 2),
        (7, 4, 4, 6, 8, 6, 8),
        (8, 4, 5, 8, 8, 6, 10),
        (18, 9, 10, 18, 18, 16, None),
        (19, 10, 10, 18, None, 18, None),
    ],
)
def test_ranks_and_neighbours(probe, bisect_left, bisect_right, floor, ceiling, lower, higher):
    tree = AVLTree(EVENS)
    assert (tree.bisect_left(probe), tree.bisect_right(probe)) == (bisect_left, bisect_right)
    assert [tree.floor(probe), tree.ceiling(probe), tree.lower(probe), tree.higher(probe)] == [
        floor, ceiling, lower, higher]


def test_index_applies_the_key_rule_and_the_others_take_keys():
    boxes = [Box(k, tag) for k, tag in [(3, "c"), (1, "a"), (2, "b")]]
    tree = AVLTree(boxes, key="k")
    assert tree.index(Box(2)) == 1
    assert tree.floor(2) is boxes[2] and tree.higher(2) is boxes[0]
    assert tree.bisect_right(2) == 2
    with pytest.raises(ValueError) as info:
        tree.index(Box(5, "z"))
    assert str(info.value) == "Box(5, 'z') is not in AVLTree"


QUERIES = {
    "index": (lambda t, k: t.index(k), lambda m, k: m.index(k)),
    "bisect_left": (lambda t, k: t.bisect_left(k), lambda m, k: m.bisect(k, False)),
    "bisect_right": (lambda t, k: t.bisect_right(k), lambda m, k: m.bisect(k, True)),
    "floor": (lambda t, k: t.floor(k), lambda m, k: m.floor(k)),
    "ceiling": (lambda t, k: t.ceiling(k), lambda m, k: m.ceiling(k)),
    "lower": (lambda t, k: t.lower(k), lambda m, k: m.lower(k)),
    "higher": (lambda t, k: t.higher(k), lambda m, k: m.higher(k)),
}


@pytest.mark.parametrize("name", sorted(QUERIES))
def test_comparison_logs_match_the_model(name):
    # One comparison per level of one path; the sought key first only in index.
    on_tree, on_model = QUERIES[name]
    order = random.Random(3).sample(range(0, 62, 2), 31)
    for probe in (-1, 0, 13, 30, 60, 61):
        tree_log, model_log = [], []
        tree = AVLTree(Key(v, tree_log) for v in order)
        model = Model()
        for v in order:
            model.insert(Key(v, model_log), Key(v, model_log))
        del tree_log[:], model_log[:]
        try:
            expected = on_model(model, Key(probe, model_log))
        except ValueError:
            with pytest.raises(ValueError):
                on_tree(tree, Key(probe, tree_log))
        else:
            got = on_tree(tree, Key(probe, tree_log))
            assert getattr(got, "v", got) == getattr(expected, "v", expected)
        assert tree_log == model_log
        sought_first = {entry[1] == probe for entry in tree_log if entry[2] != entry[1]}
        assert sought_first <= {name == "index"}


def test_positions_and_pop_compare_nothing():
    log = []
    tree = AVLTree(Key(v, log) for v in range(20))
    log.clear()
    assert [k.v for k in tree[3:9:2]] + [tree[-1].v, tree.pop(4).v, tree.pop().v] == [3, 5, 7, 19, 4, 19]
    assert log == []


def test_reversed_is_a_descending_snapshot():
    tree = AVLTree([3, 1, 2])
    backwards = reversed(tree)
    assert type(backwards) is type(iter(tree))
    tree.insert(0)
    assert list(backwards) == [3, 2, 1]


def test_runtime_generic_alias():
    alias = AVLTree[int]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is AVLTree and alias.__args__ == (int,)

    def ranked(tree: AVLTree[str]) -> AVLTree[int]:
        return tree

    assert typing.get_type_hints(ranked) == {"tree": AVLTree[str], "return": AVLTree[int]}
    assert list(AVLTree[int]([2, 1])) == [1, 2]


def test_tree_is_not_a_sequence_to_c_code():
    check = ctypes.pythonapi.PySequence_Check
    check.argtypes, check.restype = [ctypes.py_object], ctypes.c_int
    assert check(AVLTree([1])) == 0 and check([1]) == 1
    assert AVLTree([1])[0] == 1
