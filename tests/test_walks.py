"""Whole-tree walks: the five orders, their shapes, and snapshot independence."""

import pickle

import pytest
from quorel import AVLTree

from _model import Model
from _support import EVENS, ONE_TO_SEVEN, Item, refcounts

WALKS = ["in_order", "descending", "pre_order", "post_order", "level_order"]

SHAPES = {
    "1..7": (
        ONE_TO_SEVEN,
        {
            "in_order": [1, 2, 3, 4, 5, 6, 7],
            "descending": [7, 6, 5, 4, 3, 2, 1],
            "pre_order": [4, 2, 1, 3, 6, 5, 7],
            "post_order": [1, 3, 2, 5, 7, 6, 4],
            "level_order": [4, 2, 6, 1, 3, 5, 7],
        },
    ),
    "evens": (
        EVENS,
        {
            "in_order": EVENS,
            "descending": EVENS[::-1],
            "pre_order": [6, 2, 0, 4, 14, 10, 8, 12, 16, 18],
            "post_order": [0, 4, 2, 8, 12, 10, 18, 16, 14, 6],
            "level_order": [6, 2, 14, 0, 4, 10, 16, 8, 12, 18],
        },
    ),
}


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("walk", WALKS)
def test_orders_of_known_shapes(shape, walk):
    keys, expected = SHAPES[shape]
    tree = AVLTree(keys)
    assert list(getattr(tree, walk)()) == expected[walk]
    model = Model()
    for k in keys:
        model.insert(k, k)
    assert model.walk(walk) == expected[walk]


def test_iter_is_in_order_and_every_walk_returns_the_iterator_type():
    tree = AVLTree([5, 3, 9, 1])
    it_type = type(iter(tree))
    assert it_type.__name__ == "_AVLTreeIterator"
    assert list(tree) == list(tree.in_order()) == [1, 3, 5, 9]
    for walk in WALKS:
        assert type(getattr(tree, walk)()) is it_type


@pytest.mark.parametrize("contents", [[], [42]], ids=["empty", "single"])
def test_empty_and_single_entry_trees(contents):
    tree = AVLTree(contents)
    for walk in WALKS:
        assert list(getattr(tree, walk)()) == contents
    assert list(tree) == contents
    for query in (tree.range(), tree.iter_from(0, 5), tree.iter_to(100, 5)):
        assert list(query) == contents


def test_whole_tree_walks_compare_nothing(comparisons):
    items = [Item(k) for k in range(50)]
    tree = AVLTree(items)
    comparisons.count = 0
    for walk in WALKS:
        assert len(list(getattr(tree, walk)())) == 50
    list(tree)
    assert comparisons.count == 0


@pytest.mark.parametrize("walk", WALKS)
@pytest.mark.parametrize(
    "change",
    [
        lambda t: t.insert(Item(100)),
        lambda t: t.insert(Item(-1)),
        lambda t: t.remove_key(3),
        lambda t: t.clear(),
    ],
    ids=["insert-high", "insert-low", "remove", "clear"],
)
def test_snapshot_ignores_later_changes(walk, change):
    tree = AVLTree([Item(k) for k in range(8)], key="k")
    expected = [v.k for v in getattr(tree, walk)()]
    it = getattr(tree, walk)()
    first = next(it)
    change(tree)
    assert [first.k] + [v.k for v in it] == expected


def test_snapshot_survives_the_tree():
    items = [Item(k) for k in range(20)]
    before = refcounts(items)
    tree = AVLTree(items, key="k")
    its = [getattr(tree, walk)() for walk in WALKS]
    del tree
    assert [v.k for v in its[0]] == list(range(20))
    assert [v.k for v in its[1]] == list(range(19, -1, -1))
    assert sorted(v.k for it in its[2:] for v in it) == sorted(list(range(20)) * 3)
    del its
    assert refcounts(items) == before


def test_walks_do_not_apply_the_key_rule():
    calls = []
    tree = AVLTree([3, 1, 2], key=lambda v: calls.append(v) or v)
    calls.clear()
    for walk in WALKS:
        list(getattr(tree, walk)())
    list(tree.range(1, 3))
    list(tree.iter_from(1, 2))
    list(tree.iter_to(3, 2))
    assert calls == []


def _grown_at_the_top(history):
    """A tree whose nodes were made in key order across several blocks of memory, and
    the keys it holds in order."""
    keys = list(range(0, 60000, 3))  # large enough for int lookups to search the runs
    if history == "ints and floats":  # floats stop the int search on the way
        keys = [k + 0.5 if k % 7 == 0 else k for k in keys]
    tree = AVLTree()
    if history == "built with repeats":  # the build leaves room that insertions fill
        tree = AVLTree(keys[:500][::-1] + keys[:500:2])
        grown = keys[500:]
    else:
        grown = keys
    for k in grown:
        tree.insert(k)
    return tree, keys


@pytest.mark.parametrize("history", ["ascending inserts", "built with repeats", "ints and floats"])
def test_trees_grown_at_the_top_read_like_any_other(history):
    tree, keys = _grown_at_the_top(history)
    assert list(tree) == keys and list(tree.descending()) == keys[::-1]
    assert [tree[i] for i in range(len(keys))] == keys
    assert all(k in tree for k in keys)
    assert not any(k in tree for k in (-1, 1, 3001, 2999, 10**18, -10**18))
    assert list(pickle.loads(pickle.dumps(tree))) == keys
