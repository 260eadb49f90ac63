"""Python code called back by the tree -- comparison methods, key callables,
and finalizers of released objects -- that uses the same
tree. Reads are allowed inside the shared members; everything else is
refused with the borrow errors, and the tree stays consistent."""

import gc
import sys

import pytest

from quorel import AVLTree
from quorel.quorel import _check_invariants

from _support import Key, check_note, tree_state

SHARED_REFUSED = "Already mutably borrowed"  # a read while a writer runs
EXCLUSIVE_REFUSED = "Already borrowed"  # a write while anything runs

# What the callback does to the tree, and whether that is a read.
ACTIONS = {
    "len": (lambda t: len(t), True),
    "bool": (lambda t: bool(t), True),
    "is_empty": (lambda t: t.is_empty(), True),
    "height": (lambda t: t.height, True),
    "first": (lambda t: t.first(), True),
    "last": (lambda t: t.last(), True),
    "in": (lambda t: Hook(4) in t, True),
    "search": (lambda t: t.search(Hook(4)), True),
    "search_key": (lambda t: t.search_key(Hook(4)), True),
    "contains_key": (lambda t: t.contains_key(Hook(4)), True),
    "walk": (lambda t: list(t.pre_order()), True),
    "repr": (lambda t: repr(t), True),
    "pickle": (lambda t: t.__reduce__(), True),
    "insert": (lambda t: t.insert(Hook(100)), False),
    "remove": (lambda t: t.remove(Hook(2)), False),
    "remove_key": (lambda t: t.remove_key(Hook(2)), False),
    "clear": (lambda t: t.clear(), False),
    "position": (lambda t: t[0], True),
    "pop": (lambda t: t.pop(), False),
}


class Hook(Key):
    """An int key whose equality test runs `Hook.action` once per operation
    (when armed) and records the outcome; `escape` lets the refusal out."""

    action = None
    outcome = None
    escape = False

    @classmethod
    def fire(cls):
        action, cls.action = cls.action, None
        if action is None:
            return
        try:
            cls.outcome = ("ok", action())
        except RuntimeError as e:
            assert type(e) is RuntimeError
            check_note(e)
            cls.outcome = ("refused", str(e))
            if cls.escape:
                raise

    def __eq__(self, other):
        Hook.fire()
        return self.v == other.v


def hook_key(v):
    Hook.fire()
    return v


SHARED_MEMBERS = {
    "search": lambda t: t.search(Hook(3)),
    "get": lambda t: t.get(Hook(3)),
    "contains": lambda t: Hook(3) in t,
    "contains-method": lambda t: t.contains(Hook(3)),
    "has_node": lambda t: t.has_node(Hook(3)),
    "search_key": lambda t: t.search_key(Hook(3)),
    "contains_key": lambda t: t.contains_key(Hook(3)),
    "range": lambda t: list(t.range(Hook(1), Hook(5))),
    "iter_from": lambda t: list(t.iter_from(Hook(3), 2)),
    "iter_to": lambda t: list(t.iter_to(Hook(3), 2)),
    "index": lambda t: t.index(Hook(4)),
    "bisect_left": lambda t: t.bisect_left(Hook(3)),
    "floor": lambda t: t.floor(Hook(3)),
    "higher": lambda t: t.higher(Hook(3)),
}
EXCLUSIVE_MEMBERS = {
    "insert": lambda t: t.insert(Hook(3)),
    "remove": lambda t: t.remove(Hook(4)),
    "remove_key": lambda t: t.remove_key(Hook(4)),
}
# Members that apply the key rule, so a key callable can be the hook.
KEYED = {"search", "get", "contains", "contains-method", "has_node", "insert", "remove", "index"}


def _expected(member, read):
    if member in EXCLUSIVE_MEMBERS:
        return ("refused", SHARED_REFUSED if read else EXCLUSIVE_REFUSED)
    return ("ok",) if read else ("refused", EXCLUSIVE_REFUSED)


def _check_consistent(tree):
    _check_invariants(tree)


MEMBERS = {**SHARED_MEMBERS, **EXCLUSIVE_MEMBERS}


@pytest.mark.parametrize("action", sorted(ACTIONS))
@pytest.mark.parametrize(
    "member, through",
    [(m, "comparison") for m in sorted(MEMBERS)] + [(m, "key callable") for m in sorted(KEYED)],
)
def test_callback_uses_same_tree(member, action, through):
    run = MEMBERS[member]
    do, read = ACTIONS[action]
    tree = AVLTree([Hook(v) for v in (2, 4, 6)], key=hook_key if through == "key callable" else None)
    Hook.escape, Hook.outcome, Hook.action = False, None, (lambda: do(tree))
    run(tree)
    expected = _expected(member, read)
    assert Hook.outcome[: len(expected)] == expected
    _check_consistent(tree)
    # Every borrow was given back.
    assert tree.insert(Hook(100)) is True


@pytest.mark.parametrize(
    "member, action",
    [(m, a) for m in sorted(MEMBERS) for a in ("len", "insert", "clear") if m in EXCLUSIVE_MEMBERS or a != "len"],
)
def test_escaping_refusal_fails_outer_call(member, action):
    run = MEMBERS[member]
    do, read = ACTIONS[action]
    tree = AVLTree([Hook(v) for v in (2, 4, 6)])
    before = tree_state(tree)
    Hook.escape, Hook.action = True, (lambda: do(tree))
    with pytest.raises(RuntimeError) as info:
        run(tree)
    assert str(info.value) == _expected(member, read)[1]
    Hook.escape = False
    assert tree_state(tree) == before
    # Every borrow was given back: the tree is usable again.
    assert tree.insert(Hook(5)) and tree.remove_key(Hook(5))


@pytest.mark.parametrize("member", sorted(SHARED_MEMBERS))
def test_repeated_walks_inside_a_member_leave_the_nodes_where_they_are(member):
    # Walking a tree whole twice without a change lays its nodes out afresh; a member
    # part-way through the tree keeps pointing at them, so that must wait until it ends.
    values = [Hook(v) for v in range(600)]
    tree = AVLTree()
    for i in range(600):
        tree.insert(values[(i * 337) % 600])
    Hook.escape, Hook.outcome = False, None
    Hook.action = lambda: [list(tree) == values for _ in range(3)]
    result = SHARED_MEMBERS[member](tree)
    assert Hook.outcome == ("ok", [True] * 3)
    _check_invariants(tree)
    Hook.action = None
    assert [list(tree) == values for _ in range(3)] == [True] * 3
    assert SHARED_MEMBERS[member](tree) == result
    _check_invariants(tree)


class Finalized(Key):
    """A value whose finalizer runs `Finalized.action` on release."""

    action = None
    outcomes = []
    raise_after = False
    busy = False  # objects released by the action itself do not act again

    def __del__(self):
        if Finalized.action is None or Finalized.busy:
            return
        Finalized.busy = True
        try:
            Finalized.outcomes.append(("ok", Finalized.action()))
        except RuntimeError as e:
            Finalized.outcomes.append(("refused", str(e)))
        finally:
            Finalized.busy = False
        if Finalized.raise_after:
            raise ValueError("from a finalizer")


def _insert_failing(t):
    with pytest.raises(ZeroDivisionError):
        t.insert(5)


# How a stored or passed object comes to be released inside an exclusive member while
# the tree is still borrowed: (whether the keys come from a key callable, the release,
# how many objects it releases, the length afterwards).
RELEASES = {
    "removed": (False, lambda t: t.remove_key(Hook(4)), 1, 2),
    "removed by value": (False, lambda t: t.remove(4), 1, 2),
    "cleared": (False, lambda t: t.clear(), 3, 0),
    # The new key made by the key callable is a duplicate and is dropped.
    "duplicate key": (True, lambda t: t.insert(4), 1, 3),
    # The new key fails in a truth test, whose traceback holds no key, and is dropped.
    "failed key": (True, _insert_failing, 1, 3),
}
FINALIZER_ACTIONS = {**ACTIONS, "gc.collect": (lambda t: gc.collect(), None)}


@pytest.mark.parametrize("raise_after", [False, True])
@pytest.mark.parametrize("action", sorted(FINALIZER_ACTIONS))
@pytest.mark.parametrize("release", sorted(RELEASES))
def test_finalizer_touches_tree(release, action, raise_after, monkeypatch):
    unraisable = []
    # Only the type is kept: the hook's arguments would hold the traceback,
    # whose frames hold this test's locals.
    monkeypatch.setattr(sys, "unraisablehook", lambda args: unraisable.append(args.exc_type))
    keyed, run, released, length = RELEASES[release]
    if keyed:
        tree = AVLTree([2, 4, 6], key=lambda v: Finalized(v, fail={"eq": "bool"} if v == 5 else None))
    else:
        tree = AVLTree(Finalized(v) for v in (2, 4, 6))
    do, read = FINALIZER_ACTIONS[action]
    Finalized.outcomes, Finalized.raise_after = [], raise_after
    Finalized.action = lambda: do(tree)
    try:
        run(tree)
    finally:
        Finalized.action = None
    inside = Finalized.outcomes
    assert len(inside) == released
    if read is None:
        assert all(o[0] == "ok" for o in inside)
    else:
        refusal = SHARED_REFUSED if read else EXCLUSIVE_REFUSED
        assert inside == [("refused", refusal)] * released
    assert len(unraisable) == (len(Finalized.outcomes) if raise_after else 0)
    _check_invariants(tree)
    assert len(tree) == length
