"""The engine's invariant check: it accepts every tree the engine builds, for
every native key form, and reports a key order that a mutated key broke,
while passing comparison failures through and keeping the tree read-only."""

import random

import pytest

from _support import AVLTree, Box, Key, check_note
from quorel import quorel as compiled
from quorel.quorel import _check_invariants

KEY_KINDS = {
    "int": lambda r: r.randrange(-2**70, 2**70) if r.random() < 0.1 else r.randrange(-500, 500),
    "float": lambda r: r.uniform(-1e3, 1e3),
    "latin text": lambda r: "".join(r.choice("ab\xe9") for _ in range(r.randrange(12))),
    "wide text": lambda r: "".join(r.choice("a\u0101\U0001f600") for _ in range(r.randrange(10))),
    "tuple": lambda r: (r.randrange(20), r.randrange(20)),
    "tuples of two shapes": lambda r: (r.randrange(20), r.randrange(20)) if r.random() < 0.98
    else (r.randrange(20, 25), "s"),
}


@pytest.mark.parametrize("kind", sorted(KEY_KINDS))
def test_holds_after_every_change(kind):
    r = random.Random(kind)
    make = KEY_KINDS[kind]
    tree = AVLTree(make(r) for _ in range(300))
    _check_invariants(tree)
    for _ in range(400):
        k = make(r)
        (tree.remove_key if r.random() < 0.4 else tree.insert)(k)
        _check_invariants(tree)
    rebuilt = type(tree).__reduce__(tree)
    _check_invariants(rebuilt[0](*rebuilt[1]))
    tree.clear()
    _check_invariants(tree)


def test_holds_for_an_attribute_key_rule():
    tree = AVLTree((Box(k) for k in [5, 1, 9, 3]), key="k")
    tree.remove(Box(1))
    assert _check_invariants(tree) is None


@pytest.mark.parametrize(
    "change, message",
    [(lambda keys: setattr(keys[2], "v", 1), "key Equal to its predecessor"),
     (lambda keys: setattr(keys[2], "v", -1), "key Less than its predecessor")],
)
def test_reports_order_broken_by_a_mutated_key(change, message):
    keys = [Key(v) for v in range(5)]
    tree = AVLTree(keys)
    change(keys)
    with pytest.raises(AssertionError) as info:
        _check_invariants(tree)
    assert str(info.value) == f"tree invariant broken at in-order position 2: {message}"


class Hostile(Key):
    tree = None

    def __eq__(self, other):
        if "raise" in (self.v, other.v):
            raise LookupError("from eq")
        if "mutate" in (self.v, other.v):
            self.tree.insert(Hostile(99))
        return super().__eq__(other)


@pytest.mark.parametrize("how, error", [("raise", LookupError), ("mutate", RuntimeError)])
def test_comparison_failures_pass_through_and_tree_stays_read_only(how, error):
    keys = [Hostile(v) for v in range(4)]
    tree = AVLTree(keys)
    Hostile.tree = tree
    keys[1].v = how
    with pytest.raises(error) as info:
        _check_invariants(tree)
    check_note(info.value)
    if how == "mutate":
        assert str(info.value) == "Already borrowed"
    assert len(tree) == 4


def test_is_private_and_checks_its_argument():
    assert "_check_invariants" not in compiled.__all__
    with pytest.raises(TypeError) as info:
        _check_invariants([1, 2])
    assert str(info.value) == "'list' object is not an instance of 'AVLTree'"
    check_note(info.value, "tree")
    with pytest.raises(TypeError):
        _check_invariants()
