"""Where the entries live: positions given back and reused, key slots that start only
once a key differs from its value, and trees moved into key order after churn. Every
case is checked against a model, by the engine's own invariant check (which covers the
store's free list and slots) and by the reference counts of the stored objects."""

import pickle
import random

import pytest

from _support import AVLTree, check_avl, refcounts


def fresh_int(i):
    """An int object of its own, never shared with the interpreter's caches."""
    return int(str(10**20 + i))


class SwitchingKey:
    """A key rule that gives each value as its own key below `switch`, and an equal int
    of its own from there on."""

    def __init__(self, switch):
        self.switch = switch
        self.made = {}

    def __call__(self, value):
        if value - 10**20 < self.switch:
            return value
        return self.made.setdefault(value, int(str(value)))


# How the entries go in: one by one, all at once, or as a batch into a few stored ones.
FILLS = {
    "insert": lambda tree, values: [tree.insert(v) for v in values],
    "construct": None,
    "update": lambda tree, values: tree.update(values),
}


@pytest.mark.parametrize("fill", FILLS)
@pytest.mark.parametrize("switch", [0, 1, 150, 300])
def test_keys_apart_from_values_hold_one_reference_each(fill, switch):
    values = [fresh_int(i) for i in random.Random(switch).sample(range(300), 300)]
    key = SwitchingKey(switch)
    base = refcounts(values)
    if FILLS[fill] is None:
        tree = AVLTree(values, key=key)
    else:
        tree = AVLTree(values[:5], key=key)
        FILLS[fill](tree, values[5:])
    check_avl(tree)
    assert list(tree) == sorted(values)
    # A value that is its own key is held once while every key is its value; once keys
    # differ, twice (a value slot and a key slot); any other once by the tree and once by
    # the rule's cache, and its key once.
    keys = [key.made[v] for v in values if v in key.made]
    held = 2 if key.made else 1
    assert refcounts(values) == [b + held for b in base]
    held_keys = refcounts(keys)
    assert all(tree.remove_key(key(v)) is True for v in values[::3])
    check_avl(tree)
    tree.clear()
    assert refcounts(values) == [b + (v in key.made) for v, b in zip(values, base)]
    assert refcounts(keys) == [c - 1 for c in held_keys]


# Few moves leave most subtrees untouched since the build or the last lay-out, so walks
# copy them whole; many leave only the lowest ones so.
@pytest.mark.parametrize("moves", [600, 40])
@pytest.mark.parametrize("key", [None, "real", "imag"], ids=["identity", "attribute", "constant"])
def test_churn_reuses_positions_and_lays_out_again(key, moves):
    # "imag" gives every int the same key 0: a tree of one entry, refusing the rest.
    rng = random.Random(7)
    values = [fresh_int(i) for i in range(2000)]
    base = refcounts(values)
    tree = AVLTree(values[:1000], key=key)
    model = {}
    for v in values[:1000]:
        model.setdefault(getattr(v, key) if key else v, v)
    for _ in range(3):
        for v in rng.sample(values, moves):
            k = getattr(v, key) if key else v
            if k in model and model[k] is v:
                assert tree.remove(v) is True
                del model[k]
            elif k not in model:
                assert tree.insert(v) is True
                model[k] = v
        check_avl(tree)
        expected = [model[k] for k in sorted(model)]
        assert list(pickle.loads(pickle.dumps(tree))) == expected
        assert list(tree.descending()) == expected[::-1]
        # The second walk in a row moves the nodes into key order; both read the same.
        assert list(tree) == expected and list(tree) == expected
        assert [tree[i] for i in range(0, len(model), 97)] == expected[::97]
        check_avl(tree)
    del tree, model, expected, v, k
    assert refcounts(values) == base


@pytest.mark.parametrize("key", [None, "real"], ids=["identity", "attribute"])
def test_pop_gives_back_the_value_and_frees_its_position(key):
    values = [fresh_int(i) for i in range(40)]
    base = refcounts(values)
    tree = AVLTree(values, key=key)
    popped = [tree.pop(i % len(tree)) for i in range(0, 60, 3)]
    check_avl(tree)
    tree.update(popped)
    check_avl(tree)
    assert list(tree) == values
    del tree, popped
    assert refcounts(values) == base


# Histories that keep the nodes in key order (a build, new largest keys, a lay-out by a
# walk) and histories that break it (a smaller key, a removal, a reused position).
END_HISTORIES = {
    "built": lambda t: None,
    "largest_added": lambda t: [t.insert(v) for v in range(1000, 1010)],
    "smaller_added": lambda t: t.insert(-5),
    "largest_removed": lambda t: t.remove(999),
    "smallest_removed": lambda t: t.remove(0),
    "position_reused": lambda t: (t.remove(500), t.insert(2000), t.insert(-1)),
    "popped_then_walked": lambda t: (t.pop(), t.pop(0), list(t), list(t)),
    "emptied_then_refilled": lambda t: (t.clear(), [t.insert(v) for v in (5, 3, 9)]),
}


@pytest.mark.parametrize("key", [None, "real"], ids=["identity", "attribute"])
@pytest.mark.parametrize("history", END_HISTORIES)
def test_first_and_last_follow_the_keys_whatever_the_nodes_order(history, key):
    values = random.Random(7).sample(range(1000), 1000)
    tree = AVLTree(values, key=None if key is None else (lambda v: v.real))
    END_HISTORIES[history](tree)
    check_avl(tree)
    stored = list(tree)
    assert (tree.first(), tree.last()) == (min(stored), max(stored))
