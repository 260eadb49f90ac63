"""Which failures carry a note, and the per-tree borrow rule that refuses
re-entrant use from Python code the tree calls back."""

import pytest

from _support import AVLTree, Index, Key, check_note


def test_index_failure_is_the_same_object_with_a_note():
    error = LookupError("from __index__")
    with pytest.raises(LookupError) as info:
        AVLTree([1]).iter_from(1, Index(error))
    assert info.value is error
    check_note(error, "count")


def test_only_conversions_add_notes():
    t = AVLTree([1, 2])
    with pytest.raises(TypeError) as binding:
        t.insert()
    check_note(binding.value)

    error = KeyError("x")

    def key(value):
        raise error

    with pytest.raises(KeyError) as body:
        AVLTree(key=key).insert(1)
    assert body.value is error
    check_note(error)


# ---------------------------------------------------------------------------
# Borrows

# Which member refuses which use from a callback is tested in test_hostile_reentry.


def test_nested_reads_see_the_tree():
    t = AVLTree([Key(1), Key(2), Key(3)])
    seen = []
    sought = Key(3, hook=lambda: seen.append((len(t), t.search_key(1).v, t.contains(Key(2)))))
    assert t.search(sought).v == 3
    assert seen and set(seen) == {(3, 1, True)}
