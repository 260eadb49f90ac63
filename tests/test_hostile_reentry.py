"""Python code called back by the tree -- comparison methods, key callables, __index__,
__repr__ and __deepcopy__ of what a member is given, and finalizers of released objects --
that uses the same tree. Reads are allowed inside the shared members; everything else is
refused with the borrow errors, and the tree stays consistent. Every member of the
registry is tried both as the member that calls back and as what the callback does."""

import contextlib
import gc
import sys

import pytest

from quorel import AVLTree
from quorel.quorel import _check_invariants

from _support import (EXCLUSIVE, MEMBERS, OWNERS, SHARED, Index, Key, Subject, check_note, member_ids,
                      members, plain)

SHARED_REFUSED = "Already mutably borrowed"  # a read while a writer runs
EXCLUSIVE_REFUSED = "Already borrowed"  # a write while anything runs

# What a callback may do to the tree: every member of a class of the tree's own family
# (a map's and its views').
ACTIONS = {m.id: m for m in MEMBERS}


def family(member):
    return OWNERS[member.owner].family


class Callback:
    """What the hostile objects run from inside a member: `action` once when armed,
    recording its outcome; `escape` lets a refusal out of the callback."""

    def __init__(self):
        self.action, self.outcome, self.escape, self._quiet = None, None, False, 0

    def arm(self, action, escape=False):
        self.action, self.outcome, self.escape = action, None, escape

    @contextlib.contextmanager
    def quiet(self):
        """Calls back nothing meanwhile: for building operands."""
        self._quiet += 1
        try:
            yield
        finally:
            self._quiet -= 1

    def fire(self):
        action, self.action = self.action, None
        if action is None or self._quiet:
            self.action = action
            return
        try:
            self.outcome = ("ok", action())
        except RuntimeError as e:
            assert type(e) is RuntimeError
            check_note(e)
            self.outcome = ("refused", str(e))
            if self.escape:
                raise


@pytest.fixture
def callback():
    # An outcome may be a new tree of values whose hooks lead back here: trees take no
    # part in cyclic collection, so the cycle is broken when the test ends.
    c = Callback()
    yield c
    c.action = c.outcome = None


class Hook(Key):
    """An int key whose comparisons, text form and deep copy run its hook."""

    __slots__ = ()

    def __repr__(self):
        self.hook()
        return f"Hook({self.v})"

    def __deepcopy__(self, memo):
        self.hook()
        return self


def hook_key(callback):
    """A key callable that runs the hook; it holds the callback alone, so that no cycle
    runs through the tree that keeps it."""

    def key(value):
        callback.fire()
        return value

    return key


class HashedHook(Hook):
    """A Hook that can be a key of a map; its hash does not call back."""

    __slots__ = ()

    def __hash__(self):
        return hash(self.v)


class Hostile(Subject):
    """A tree of Hooks, ordered by them or through a key callable that runs the hook, with
    arguments that run it too."""

    def __init__(self, callback, through="comparison", contents=(2, 4, 6), owner="AVLTree"):
        self.callback, self.contents = callback, contents
        self.rule = hook_key(callback) if through == "key callable" else None
        with callback.quiet():
            super().__init__(owner)

    def value(self, i):
        return (HashedHook if OWNERS[self.owner].maps else Hook)(i, hook=self.callback.fire)

    key = value

    def item_pairs(self, ints):
        with self.callback.quiet():
            return super().item_pairs(ints)

    def mapping(self, ints):
        with self.callback.quiet():
            return super().mapping(ints)

    def index(self, i):
        return Index(i, hook=self.callback.fire)

    def other(self, ints):
        with self.callback.quiet():
            return super().other(ints)


def _expected(host, action):
    if action.access == EXCLUSIVE:
        return ("refused", EXCLUSIVE_REFUSED)
    return ("ok",) if host.access == SHARED else ("refused", SHARED_REFUSED)


HOSTS = [(m, "comparison") for m in members(owner=None, calls_back=True)] + [
    (m, "key callable") for m in members(owner=None, calls_back=True, keyed=True)]
# Every member that calls back is tried with actions of each kind of member, and every
# member as the action of a shared and an exclusive one, single and bulk.
SAMPLE_ACTIONS = ["len", "bool", "is_empty", "height", "first", "last", "in", "search", "search_key",
                  "contains_key", "pre_order", "repr", "__reduce__", "subscript", "insert", "remove",
                  "remove_key", "clear", "pop", "union", "|=", "issubset",
                  *(f"AVLDict.{name}" for name in ("len", "getitem", "in", "keys", "repr", "peekitem", "setitem",
                                                    "setitem new", "delitem", "popitem", "clear", "update", "|=",
                                                    "|", "==")),
                  "AVLDictKeys.subscript", "AVLDictItems.floor", "AVLDictValues.iter"]
SAMPLE_HOSTS = ["search", "insert", "union", "update", "AVLDict.getitem", "AVLDict.setitem new",
                "AVLDict.update", "AVLDictItems.&"]
CASES = [(host, through, action) for host, through in HOSTS for action in sorted(ACTIONS)
         if family(ACTIONS[action]) == family(host)
         and (action in SAMPLE_ACTIONS or (host.id in SAMPLE_HOSTS and through == "comparison"))]

# The callbacks' own use of the tree in the refusal tests: a read, a write, and clearing it.
ESCAPES = {"AVLTree": ("len", "insert", "clear"),
           "AVLDict": ("AVLDict.len", "AVLDict.setitem new", "AVLDict.clear")}


@pytest.mark.parametrize("host, through, action", CASES, ids=member_ids)
def test_callback_uses_same_tree(host, through, action, callback):
    subject = Hostile(callback, through, owner=host.owner)
    callback.arm(lambda: ACTIONS[action].call(subject))
    host.call(subject)
    assert callback.outcome is not None, "nothing was called back"
    expected = _expected(host, ACTIONS[action])
    assert callback.outcome[: len(expected)] == expected
    owner = OWNERS[host.owner]
    owner.check(subject.tree)
    # Every borrow was given back.
    assert owner.add(subject.tree, subject.value(100)) is True


@pytest.mark.parametrize(
    "host, action",
    [(m, a) for m in members(owner=None, calls_back=True) for i, a in enumerate(ESCAPES[family(m)])
     if m.access == EXCLUSIVE or i != 0],
    ids=member_ids,
)
def test_escaping_refusal_fails_outer_call(host, action, callback):
    subject = Hostile(callback, owner=host.owner)
    owner = OWNERS[host.owner]
    before = owner.state(subject.tree)
    callback.arm(lambda: ACTIONS[action].call(subject), escape=True)
    with pytest.raises(RuntimeError) as info:
        host.call(subject)
    assert str(info.value) == _expected(host, ACTIONS[action])[1]
    assert owner.state(subject.tree) == before
    # Every borrow was given back: the tree is usable again.
    assert owner.add(subject.tree, subject.value(5)) and owner.discard(subject.tree, subject.key(5))


@pytest.mark.parametrize("host", members(owner=None, calls_back=True, access=SHARED), ids=member_ids)
def test_repeated_walks_inside_a_member_leave_the_nodes_where_they_are(host, callback):
    # Walking a tree whole twice without a change lays its nodes out afresh; a member
    # part-way through the tree keeps pointing at them, so that must wait until it ends.
    subject = Hostile(callback, contents=(), owner=host.owner)
    owner = OWNERS[host.owner]
    values = [subject.value(v) for v in range(600)]
    with callback.quiet():
        for i in range(600):
            owner.add(subject.tree, values[(i * 337) % 600])
    subject.contents = range(600)
    callback.arm(lambda: [list(subject.tree) == values for _ in range(3)])
    result = plain(host.call(subject))
    assert callback.outcome == ("ok", [True] * 3)
    owner.check(subject.tree)
    assert [list(subject.tree) == values for _ in range(3)] == [True] * 3
    assert plain(host.call(subject)) == result
    owner.check(subject.tree)


class Operands(Hostile):
    """A tree whose tree operand is a given one."""

    def __init__(self, callback, operand):
        super().__init__(callback)
        self.operand = operand

    def other(self, ints):
        return self.operand


@pytest.mark.parametrize("member", members(trees=True), ids=member_ids)
def test_refused_operand_gives_back_the_borrows_taken(member, callback):
    # `a.union(b)` from inside `b.insert`: b's borrow is refused, and the borrows taken
    # before it (those of trees at lower addresses) are given back. Both ways round, so
    # that the left tree comes first once.
    x, y = Hostile(callback).tree, Hostile(callback).tree
    for left, operand in ((x, y), (y, x)):
        subject = Operands(callback, operand)
        subject.tree = left
        before = OWNERS["AVLTree"].state(left), OWNERS["AVLTree"].state(operand)
        callback.arm(lambda: member.call(subject))
        assert operand.insert(subject.value(3)) is True
        assert callback.outcome == ("refused", SHARED_REFUSED)
        assert operand.remove_key(subject.key(3)) is True
        assert (OWNERS["AVLTree"].state(left), OWNERS["AVLTree"].state(operand)) == before
        # Nothing is still held.
        for tree in (left, operand):
            assert tree.insert(subject.value(5)) and tree.remove_key(subject.key(5))


class Finalizers:
    """What the finalizers of Finalized values run: `action` on release, recording each
    outcome; objects released by the action itself do not act again."""

    def __init__(self):
        self.action, self.outcomes, self.raise_after, self.busy = None, [], False, False


@pytest.fixture
def finalizers():
    return Finalizers()


class Finalized(Key):
    """A value whose finalizer runs its Finalizers' action on release."""

    __slots__ = ("finalizers",)

    def __init__(self, v, finalizers, fail=None):
        super().__init__(v, fail=fail)
        self.finalizers = finalizers

    def __del__(self):
        f = self.finalizers
        if f.action is None or f.busy:
            return
        f.busy = True
        try:
            f.outcomes.append(("ok", f.action()))
        except RuntimeError as e:
            f.outcomes.append(("refused", str(e)))
        finally:
            f.busy = False
        if f.raise_after:
            raise ValueError("from a finalizer")


def _insert_failing(t):
    with pytest.raises(ZeroDivisionError):
        t.insert(5)


# How a stored or passed object comes to be released inside an exclusive member while
# the tree is still borrowed: (whether the keys come from a key callable, the release,
# how many objects it releases, the length afterwards).
RELEASES = {
    "removed": (False, lambda t: t.remove_key(Key(4)), 1, 2),
    "removed by value": (False, lambda t: t.remove(4), 1, 2),
    "cleared": (False, lambda t: t.clear(), 3, 0),
    # The new key made by the key callable is a duplicate and is dropped.
    "duplicate key": (True, lambda t: t.insert(4), 1, 3),
    # The new key fails in a truth test, whose traceback holds no key, and is dropped.
    "failed key": (True, _insert_failing, 1, 3),
}
FINALIZER_ACTIONS = [m.id for m in MEMBERS if m.owner == "AVLTree"] + ["gc.collect"]


class Plain(Subject):
    """Arguments for an action taken from a finalizer: Keys, of the tree's rule."""

    def __init__(self, tree, rule):
        self.tree, self.rule, self.owner, self._iterator = tree, rule, "AVLTree", None

    def value(self, i):
        return i if self.rule is not None else Key(i)

    def key(self, i):
        return Key(i)


@pytest.mark.parametrize(
    "release, action, raise_after",
    [(release, action, raise_after) for release in sorted(RELEASES) for action in FINALIZER_ACTIONS
     for raise_after in (False, True) if not raise_after or action in SAMPLE_ACTIONS + ["gc.collect"]],
)
def test_finalizer_touches_tree(release, action, raise_after, finalizers, monkeypatch):
    unraisable = []
    # Only the type is kept: the hook's arguments would hold the traceback,
    # whose frames hold this test's locals.
    monkeypatch.setattr(sys, "unraisablehook", lambda args: unraisable.append(args.exc_type))
    keyed, run, released, length = RELEASES[release]
    if keyed:
        rule = lambda v: Finalized(v, finalizers, fail={"eq": "bool"} if v == 5 else None)  # noqa: E731
        tree = AVLTree([2, 4, 6], key=rule)
    else:
        rule = None
        tree = AVLTree(Finalized(v, finalizers) for v in (2, 4, 6))
    if action == "gc.collect":
        read, do = None, gc.collect
    else:
        subject = Plain(tree, rule)
        read, do = ACTIONS[action].access == SHARED, (lambda: ACTIONS[action].call(subject))
    finalizers.raise_after = raise_after
    finalizers.action = do
    try:
        run(tree)
    finally:
        finalizers.action = None
    inside = finalizers.outcomes
    assert len(inside) == released
    if read is None:
        assert all(o[0] == "ok" for o in inside)
    else:
        refusal = SHARED_REFUSED if read else EXCLUSIVE_REFUSED
        assert inside == [("refused", refusal)] * released
    assert len(unraisable) == (len(inside) if raise_after else 0)
    _check_invariants(tree)
    assert len(tree) == length
