"""The snapshot iterator type and the references it owns."""

import copy
import operator
import pickle
import weakref

import pytest
import quorel.quorel
from quorel import AVLTree

from _support import Item, refcounts

Iterator = quorel.quorel._AVLTreeIterator

def test_members_and_construction():
    # What it shares with the tree type is checked in test_module.
    own = set(vars(Iterator))
    assert {"__iter__", "__next__", "__reduce__"} <= own
    assert not own & {"__len__", "__length_hint__", "__getstate__", "__dict__", "__weakref__"}
    assert not [name for name in own if not name.startswith("_")]
    # The same refusal on every interpreter, 3.9 included.
    with pytest.raises(TypeError, match=r"^cannot create 'quorel\._AVLTreeIterator' instances$"):
        Iterator()


def test_iter_returns_the_same_object():
    it = AVLTree([1, 2]).in_order()
    assert iter(it) is it
    assert next(iter(it)) == 1


@pytest.mark.parametrize("contents", [[], [1, 2, 3]])
def test_exhaustion_is_final(contents):
    it = AVLTree(contents).descending()
    assert list(it) == contents[::-1]
    for _ in range(3):
        with pytest.raises(StopIteration) as info:
            next(it)
        assert info.value.value is None
        assert info.value.args == ()


@pytest.mark.parametrize(
    "attempt",
    [*(lambda it, p=p: pickle.dumps(it, p) for p in range(pickle.HIGHEST_PROTOCOL + 1)), copy.copy, copy.deepcopy],
    ids=[*(f"protocol-{p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)), "copy", "deepcopy"],
)
def test_pickling_and_copying_are_refused_at_once(attempt):
    # Refused when dumping, on every protocol: nothing is written that could not be loaded.
    it = AVLTree([1, 2]).in_order()
    with pytest.raises(TypeError, match=r"^cannot pickle '_AVLTreeIterator' object$"):
        attempt(it)
    assert list(it) == [1, 2]


def test_no_length():
    it = AVLTree([1, 2, 3]).in_order()
    with pytest.raises(TypeError):
        len(it)
    assert operator.length_hint(it, 42) == 42


def _tree_of(items):
    return AVLTree(items, key="k")


@pytest.mark.parametrize("walk", ["in_order", "level_order", "post_order"])
def test_yielded_values_are_handed_over_not_copied(walk):
    items = [Item(k) for k in range(6)]
    tree = _tree_of(items)
    base = refcounts(items)
    it = getattr(tree, walk)()
    assert refcounts(items) == [n + 1 for n in base]
    got = [next(it), next(it)]
    # Each yielded value carries exactly the snapshot's reference, now the caller's.
    assert refcounts(items) == [n + 1 for n in base]
    yielded = {id(v) for v in got}
    del got
    assert refcounts(items) == [n if id(i) in yielded else n + 1 for i, n in zip(items, base)]
    # Releasing a half-consumed iterator releases exactly the values not yet yielded.
    del it
    assert refcounts(items) == base


def test_exhausted_iterator_owns_nothing():
    items = [Item(k) for k in range(4)]
    tree = _tree_of(items)
    base = refcounts(items)
    it = tree.pre_order()
    assert len(list(it)) == 4
    assert refcounts(items) == base
    with pytest.raises(StopIteration):
        next(it)
    del it
    assert refcounts(items) == base


def test_yielded_value_is_released_once_caller_and_tree_drop_it():
    # The iterator holds the very values the cleared tree held.
    items = [Item(k) for k in range(3)]
    refs = [weakref.ref(i) for i in items]
    tree = _tree_of(items)
    del items
    it = tree.in_order()
    tree.clear()
    first = next(it)
    assert first is refs[0]()
    del first
    assert refs[0]() is None
    assert refs[1]() is not None and refs[2]() is not None
    assert next(it) is refs[1]()
    del it
    assert all(r() is None for r in refs)
