"""Lookup and mutation members of a living tree, with their aliases."""

import pytest

from _support import AVLTree, Box


def test_insert_reports_whether_the_key_was_new():
    tree = AVLTree()
    assert tree.insert(5) is True and len(tree) == 1
    assert tree.insert(5) is False and len(tree) == 1
    assert tree.insert(value=3) is True and len(tree) == 2
    assert tree.height == 2


def test_lookups_by_value_and_by_key_find_the_first_value():
    a, b = Box(1, "a"), Box(1, "b")
    tree = AVLTree([Box(0), Box(2)], key="k")
    assert tree.insert(a) is True
    assert tree.insert(b) is False
    for found in (tree.search(b), tree.get(b), tree.search_key(1), tree.search(value=b), tree.search_key(key=1)):
        assert found is a
    assert tree.contains(b) is tree.has_node(b) is tree.contains_key(1) is True
    assert (b in tree) is True
    assert tree.remove(b) is True
    assert len(tree) == 2
    assert tree.search(a) is None and tree.contains(a) is False and (a in tree) is False


@pytest.mark.parametrize("name", ["search", "get", "search_key"])
def test_search_misses_give_none(name):
    tree = AVLTree([1, 3])
    assert getattr(tree, name)(2) is None
    assert getattr(tree, name)(0) is None and getattr(tree, name)(4) is None


@pytest.mark.parametrize("name", ["contains", "has_node", "contains_key", "__contains__"])
def test_membership_answers_exact_booleans(name):
    tree = AVLTree([1, 3])
    assert getattr(tree, name)(3) is True
    assert getattr(tree, name)(2) is False


@pytest.mark.parametrize("name", ["remove", "remove_key"])
def test_remove_reports_whether_an_entry_went(name):
    tree = AVLTree([1, 2, 3])
    assert getattr(tree, name)(2) is True
    assert getattr(tree, name)(2) is False
    assert len(tree) == 2
    assert tree.contains_key(1) and tree.contains_key(3)


def test_remove_key_uses_the_key_as_given():
    tree = AVLTree([Box(1), Box(2)], key="k")
    # The key rule is not applied: a Box is compared with the stored ints.
    with pytest.raises(TypeError):
        tree.remove_key(Box(1))
    assert len(tree) == 2
    assert tree.remove_key(1) is True and len(tree) == 1


def test_first_last_and_their_aliases():
    low, high = Box(-3), Box(9)
    tree = AVLTree([Box(4), high, low, Box(0)], key="k")
    assert tree.first() is tree.min() is low
    assert tree.last() is tree.max() is high
    one = AVLTree(["only"])
    assert one.first() is one.last() is one.min() is one.max() == "only"


def test_none_is_an_ordinary_value_and_key():
    tree = AVLTree([None])
    assert len(tree) == 1 and tree.contains(None) and tree.contains_key(None)
    assert tree.insert(None) is False
    assert tree.remove_key(None) is True and len(tree) == 0


def test_length_truth_and_height_follow_changes():
    tree = AVLTree()
    for i in range(1, 16):
        tree.insert(i)
    assert (len(tree), bool(tree), tree.is_empty(), tree.height) == (15, True, False, 4)
    for i in range(1, 15):
        tree.remove_key(i)
    assert (len(tree), bool(tree), tree.is_empty(), tree.height) == (1, True, False, 1)
    tree.clear()
    assert (len(tree), bool(tree), tree.is_empty(), tree.height) == (0, False, True, 0)
