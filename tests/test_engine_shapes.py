"""Exact tree shapes and heights after insertions and removals, the order of
comparisons, and comparison failures."""

import math

import pytest

from _model import Model
from _support import KEY_LOOKUPS, VALUE_LOOKUPS, AVLTree, Key, check_avl, logged_tree, shape


INSERTIONS = [
    ([], [], 0),
    ([5], [5], 1),
    ([1, 2, 3, 4, 5, 6, 7], [4, 2, 1, 3, 6, 5, 7], 3),
    (list(range(1, 11)), [4, 2, 1, 3, 8, 6, 5, 7, 9, 10], 4),
    ([7, 6, 5, 4, 3, 2, 1], [4, 2, 1, 3, 6, 5, 7], 3),
    ([1, 2, 3], [2, 1, 3], 2),
    ([3, 2, 1], [2, 1, 3], 2),
    ([3, 1, 2], [2, 1, 3], 2),
    ([1, 3, 2], [2, 1, 3], 2),
    ([2, 1, 3, 2, 1, 3], [2, 1, 3], 2),
]


def model_of(keys):
    model = Model()
    for k in keys:
        model.insert(k, k)
    return model


# The reference model must give the same shapes, so that a disagreement in the
# model-based tests points at the extension, not the model.
@pytest.mark.parametrize("keys, preorder, height", INSERTIONS, ids=[str(k) for k, _, _ in INSERTIONS])
def test_insertion_shapes(keys, preorder, height):
    one_by_one = AVLTree()
    for k in keys:
        one_by_one.insert(k)
    for tree in (one_by_one, AVLTree(keys)):
        assert shape(tree) == preorder
        assert tree.height == height
        assert len(tree) == len(preorder)
    model = model_of(keys)
    assert (model.pre_order(), model.height) == (preorder, height)
    model.check()


# (inserted, removed, pre-order afterwards, height afterwards)
REMOVALS = [
    ([2, 1, 3], 2, [3, 1], 2),
    ([1, 2, 3, 4, 5, 6, 7], 4, [5, 2, 1, 3, 6, 7], 3),
    # Left child with balance 0: a single right rotation.
    ([5, 3, 8, 2, 4], 8, [3, 2, 5, 4], 3),
    # Left child leaning right: a double rotation.
    ([5, 3, 8, 4], 8, [4, 3, 5], 2),
    # The mirror images.
    ([5, 3, 8, 7, 9], 3, [8, 5, 7, 9], 3),
    ([5, 3, 8, 7], 3, [7, 5, 8], 2),
    # A node with only a left child is replaced by it.
    ([5, 3, 8, 7], 8, [5, 3, 7], 2),
    ([5, 3], 5, [3], 1),
    ([5, 8], 5, [8], 1),
    ([5], 5, [], 0),
    # The successor is the leftmost node of the right subtree; the nodes on
    # its way and every ancestor are rebalanced.
    (list(range(1, 11)), 4, [5, 2, 1, 3, 8, 6, 7, 9, 10], 4),
    (list(range(1, 11)), 8, [4, 2, 1, 3, 9, 6, 5, 7, 10], 4),
    (list(range(1, 11)), 1, [4, 2, 3, 8, 6, 5, 7, 9, 10], 4),
    # Rotations at two levels: at 3, then at the root.
    ([7, 3, 18, 6, 19, 16, 12, 1, 4, 9, 15, 8], 1, [12, 7, 4, 3, 6, 9, 8, 16, 15, 18, 19], 4),
]


@pytest.mark.parametrize("keys, removed, preorder, height", REMOVALS, ids=[f"{k}-{r}" for k, r, _, _ in REMOVALS])
@pytest.mark.parametrize("how", ["remove", "remove_key"])
def test_removal_shapes(keys, removed, preorder, height, how):
    tree = AVLTree(keys)
    assert getattr(tree, how)(removed) is True
    assert shape(tree) == preorder
    assert tree.height == height
    assert len(tree) == len(keys) - 1
    model = model_of(keys)
    assert model.remove(removed)
    assert (model.pre_order(), model.height) == (preorder, height)
    model.check()


@pytest.mark.parametrize("how", ["remove", "remove_key"])
def test_removing_an_absent_key_changes_nothing(how):
    tree = AVLTree(range(1, 11))
    before = shape(tree)
    for absent in (0, 4.5, 11, -1):
        assert getattr(tree, how)(absent) is False
    assert shape(tree) == before
    assert len(tree) == 10 and tree.height == 4


def lcg_order(n, seed):
    order, x = list(range(n)), seed
    for i in range(n - 1, 0, -1):
        x = (x * 1103515245 + 12345) % 2**31
        j = x % (i + 1)
        order[i], order[j] = order[j], order[i]
    return order


@pytest.mark.parametrize("seed", [None, -1, 1, 2, 3])
def test_every_intermediate_tree_is_balanced(seed):
    n = 64
    order = {None: list(range(n)), -1: list(range(n - 1, -1, -1))}.get(seed) or lcg_order(n, seed)
    tree = AVLTree()
    for i, k in enumerate(order):
        assert tree.insert(k) is True
        check_avl(tree)
        assert tree.height <= 1.45 * math.log2(i + 3)
    remaining = set(order)
    for k in lcg_order(n, (seed or 0) + 7):
        assert tree.remove_key(k) is True
        remaining.discard(k)
        assert sorted(check_avl(tree)) == sorted(remaining)
    assert len(tree) == 0 and tree.height == 0 and shape(tree) == []


# ---------------------------------------------------------------------------
# Comparisons


# Members that compare the sought key, each given a Key.  `t` holds 2, 4, 6
# (root 4); the sought key 5 compares with 4, then with 6.
SEEKERS = {**VALUE_LOOKUPS, **KEY_LOOKUPS}


@pytest.mark.parametrize("member", SEEKERS)
def test_sought_key_is_the_left_operand(member):
    log = []
    tree = logged_tree([2, 4, 6], log)
    SEEKERS[member](tree, Key(5, log))
    # Equality first, then less-than, then greater-than, each only when the
    # one before was false.
    assert log == [("eq", 5, 4), ("lt", 5, 4), ("gt", 5, 4), ("eq", 5, 6), ("lt", 5, 6)]
    log.clear()
    SEEKERS[member](tree, Key(4, log))
    assert log == [("eq", 4, 4)]


def test_construction_interleaves_key_calls_and_comparisons():
    log = []

    def key(v):
        log.append(("key", v))
        return Key(v, log)

    AVLTree([2, 1, 3, 1], key=key)
    assert log == [
        ("key", 2),
        ("key", 1), ("eq", 1, 2), ("lt", 1, 2),
        ("key", 3), ("eq", 3, 2), ("lt", 3, 2), ("gt", 3, 2),
        ("key", 1), ("eq", 1, 2), ("lt", 1, 2), ("eq", 1, 1),
    ]


def test_members_that_make_no_comparison():
    log = []
    tree = logged_tree([1, 2, 3, 4], log)
    assert (tree.first().v, tree.min().v, tree.last().v, tree.max().v) == (1, 1, 4, 4)
    assert (len(tree), bool(tree), tree.is_empty(), tree.height) == (4, True, False, 3)
    shape(tree)
    # Nothing to compare against in an empty tree.
    for member in SEEKERS.values():
        tree.clear()
        member(tree, Key(9, log))
    assert log == []


def test_uncomparable_keys_in_an_empty_tree():
    nan = float("nan")
    tree = AVLTree([nan])
    assert len(tree) == 1 and tree.height == 1 and tree.first() is nan
    with pytest.raises(TypeError) as info:
        tree.insert(1)
    assert str(info.value) == "PyAny::compare(): All comparisons returned false"
    # A key whose every comparison raises is stored when nothing else is.
    error = ArithmeticError()
    boom = Key(1, fail={"eq": error, "lt": error, "gt": error})
    tree = AVLTree([boom])
    assert len(tree) == 1 and tree.last() is boom
