"""Making a tree from an iterable, and the failures of construction."""

import sys

import pytest

from _support import AVLTree, Box, ascending, check_avl, check_note, shape


@pytest.mark.parametrize(
    "make",
    [lambda: AVLTree(), lambda: AVLTree(None), lambda: AVLTree([]), lambda: AVLTree(values=None), lambda: AVLTree(iter(()))],
    ids=["no-argument", "None", "empty-list", "keyword-None", "empty-iterator"],
)
def test_empty_trees(make):
    tree = make()
    assert (len(tree), tree.height, bool(tree), tree.is_empty()) == (0, 0, False, True)
    assert [tree.first(), tree.min(), tree.last(), tree.max(), tree.search(1), tree.search_key(1), tree.get(1)] == [None] * 7
    assert tree.remove(1) is False and tree.remove_key(1) is False and (1 in tree) is False


@pytest.mark.parametrize(
    "values, expected",
    [
        ([3, 1, 2], [1, 2, 3]),
        ("cab", ["a", "b", "c"]),
        ((x for x in (5, 4, 5, 6)), [4, 5, 6]),
        ({2: "x", 1: "y"}, [1, 2]),
        (range(9, -1, -3), [0, 3, 6, 9]),
        (frozenset({7, 8}), [7, 8]),
        (map(abs, [-2, 1, -1]), [1, 2]),
    ],
    ids=["list", "str", "generator", "dict", "range", "frozenset", "map"],
)
def test_any_iterable_is_accepted(values, expected):
    tree = AVLTree(values)
    assert ascending(tree) == expected
    assert len(tree) == len(expected)


def test_first_value_of_each_key_is_kept():
    first, second = Box(1, "first"), Box(1, "second")
    before = sys.getrefcount(second)
    tree = AVLTree([first, Box(2), second], key="k")
    assert len(tree) == 2
    assert tree.search(second) is first and tree.search_key(1) is first
    assert sys.getrefcount(second) == before


def test_tree_is_usable_after_clear():
    tree = AVLTree([Box(2, "b"), Box(1, "a")], key="k")
    assert tree.clear() is None
    assert (len(tree), tree.height, tree.first()) == (0, 0, None)
    # The key rule survives.
    assert tree.insert(Box(5, "x")) and tree.insert(Box(3, "y"))
    assert tree.insert(Box(5, "z")) is False
    assert [b.tag for b in (tree.first(), tree.last())] == ["y", "x"]


def test_values_that_are_not_iterable():
    with pytest.raises(TypeError) as info:
        AVLTree(5)
    assert str(info.value) == "'int' object is not iterable"
    check_note(info.value, "values")


def test_iteration_failure_releases_what_was_gathered():
    staged = [Box(1), Box(2)]
    before = [sys.getrefcount(b) for b in staged]
    error = OSError("disk on fire")

    def gen():
        yield from staged
        raise error

    with pytest.raises(OSError) as info:
        AVLTree(gen())
    assert info.value is error
    check_note(error, "values")
    del info, error
    assert [sys.getrefcount(b) for b in staged] == before


def test_values_are_consumed_before_the_key_is_checked():
    consumed = []

    def gen():
        for i in range(3):
            consumed.append(i)
            yield i

    it = gen()
    with pytest.raises(TypeError) as info:
        AVLTree(it, key=5)
    assert str(info.value) == "key must be an attribute name, a callable, or None"
    check_note(info.value, "key")
    assert consumed == [0, 1, 2]
    with pytest.raises(StopIteration):
        next(it)


def test_key_callable_failure_stops_construction():
    calls = []
    error = ValueError("third")

    def key(v):
        calls.append(v)
        if len(calls) == 3:
            raise error
        return v

    with pytest.raises(ValueError) as info:
        AVLTree([5, 4, 3, 2, 1], key=key)
    assert info.value is error
    check_note(error)
    assert calls == [5, 4, 3]


def test_incomparable_values_fail_construction():
    with pytest.raises(TypeError) as info:
        AVLTree([1, "a"])
    assert str(info.value) == "'<' not supported between instances of 'str' and 'int'"
    check_note(info.value)
    with pytest.raises(TypeError) as info:
        AVLTree([1.0, float("nan")])
    assert str(info.value) == "PyAny::compare(): All comparisons returned false"


@pytest.mark.parametrize("n", [300, 4000])
@pytest.mark.parametrize("make", ["built", "unpickled", "keyed"])
def test_walks_agree_however_the_nodes_were_laid_out(n, make):
    # Built and unpickled trees keep their nodes in key order in one block; later changes
    # end that, and every walk must give the same answers either way.
    import pickle

    values = [(i * 7919) % (2 * n) for i in range(n)]
    tree = AVLTree(values, key=None if make != "keyed" else "real")
    if make == "unpickled":
        tree = pickle.loads(pickle.dumps(tree))
    expected = sorted(set(values))
    # A removal frees a node that the next insertion may reuse out of key order; a new
    # largest key leaves the layout as it was.
    for change in [None, expected[3], 2 * n, -1, 2 * n + 1]:
        if change in expected:
            assert tree.remove(change)
            expected.remove(change)
        elif change is not None:
            assert tree.insert(change)
            expected = sorted(expected + [change])
        before = shape(tree)
        for _ in range(2):  # a second walk in a row may lay the nodes out afresh
            assert list(tree) == expected and list(tree.descending()) == expected[::-1]
        assert shape(tree) == before
        check_avl(tree)
        assert list(pickle.loads(pickle.dumps(tree))) == expected
        assert [v for v, _ in tree.__reduce__()[1][0]] == expected
