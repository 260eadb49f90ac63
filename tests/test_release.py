"""Every reference a tree takes is given back exactly once, on every path."""

import gc
import sys
import weakref

import pytest

from _support import MEMBERS, OWNERS, AVLTree, Box, Key, Subject, member_ids, run_python


def fresh_int(i):
    """An int object of its own, never shared with the interpreter's caches."""
    return int(str(10**20 + i))


class Rule:
    """One key rule with the reference counts a stored entry should add."""

    def __init__(self, name):
        self.name = name
        self.keys = []

    def values(self, n):
        if self.name == "identity":
            return [fresh_int(i) for i in range(n)]
        return [Box(fresh_int(i), i) for i in range(n)]

    def make(self, values=()):
        if self.name == "identity":
            return AVLTree(values)
        if self.name == "attribute":
            return AVLTree(values, key="k")
        return AVLTree(values, key=self.extract)

    def extract(self, value):
        key = value.k if isinstance(value.k, Key) else Key(value.k)
        self.keys.append(weakref.ref(key))
        return key

    def key_of(self, value):
        """A key equal to the one stored for `value`."""
        if self.name == "identity":
            return value
        return value.k if self.name == "attribute" else Key(value.k)

    def live_keys(self):
        return sum(ref() is not None for ref in self.keys)


RULES = ["identity", "attribute", "callable"]


def counts(objects):
    return [sys.getrefcount(o) for o in objects]


def release_by(how, rule, tree, values):
    if how == "remove":
        for v in values:
            assert tree.remove(v) is True
    elif how == "remove_key":
        for v in values:
            assert tree.remove_key(rule.key_of(v)) is True
    elif how == "clear":
        tree.clear()
    return tree if how != "del" else None


@pytest.mark.parametrize("how", ["remove", "remove_key", "clear", "del"])
@pytest.mark.parametrize("rule_name", RULES)
def test_stored_references_are_released_once(rule_name, how):
    rule = Rule(rule_name)
    values = rule.values(9)
    attr_keys = [v.k for v in values] if rule_name == "attribute" else []
    base, key_base = counts(values), counts(attr_keys)

    tree = rule.make(values)
    assert counts(values) == [c + 1 for c in base]
    assert counts(attr_keys) == [c + 1 for c in key_base]
    assert rule.live_keys() == (9 if rule_name == "callable" else 0)

    # Lookups hand out new references and keep none.
    for v in values:
        found = tree.search(v)
        assert found is v
        assert tree.get(v) is v and tree.contains(v) and v in tree
    del found, v
    assert tree.first() is values[0] and tree.last() is values[-1]
    assert counts(values) == [c + 1 for c in base]

    tree = release_by(how, rule, tree, values)
    del tree
    gc.collect()
    assert counts(values) == base
    assert counts(attr_keys) == key_base
    assert rule.live_keys() == 0


class Counted(Subject):
    """Values, keys and operands of one key rule, every one kept in `made`, beside a value
    and a key that no member meets."""

    def __init__(self, rule_name, owner):
        self.keys_of = Rule(rule_name)
        self.rule = {"identity": None, "attribute": "k", "callable": self.keys_of.extract}[rule_name]
        self.made = []
        self.value(-1), self.key(-1)
        super().__init__(owner)

    def value(self, i):
        value = fresh_int(i) if self.rule is None else Box(fresh_int(i), i)
        self.made.append(value)
        return value

    def key(self, i):
        key = Key(fresh_int(i)) if callable(self.rule) else fresh_int(i)
        self.made.append(key)
        return key


@pytest.mark.parametrize(
    "member, rule_name",
    # A map has no key rule: its members run with the identity rule alone.
    [(m, rule) for m in MEMBERS for rule in RULES if rule == "identity" or not OWNERS[m.owner].maps],
    ids=member_ids,
)
def test_every_member_gives_back_what_it_takes(member, rule_name):
    subject = Counted(rule_name, member.owner)
    result = member.call(subject)
    del result
    made, keys_of = subject.made, subject.keys_of
    del subject
    gc.collect()
    # Every value, key and argument is left held by `made` alone, as the unused ones are.
    kinds = {kind: [o for o in made if type(o) is kind] for kind in {type(o) for o in made}}
    assert [len(set(counts(objects))) for objects in kinds.values()] == [1] * len(kinds), (
        {kind.__name__: counts(objects) for kind, objects in kinds.items()})
    assert len(set(counts([b.k for b in kinds.get(Box, [])]))) <= 1
    assert keys_of.live_keys() == 0


@pytest.mark.parametrize("rule_name", RULES)
def test_duplicates_and_failed_insertions_keep_nothing(rule_name):
    rule = Rule(rule_name)
    values = rule.values(5)
    tree = rule.make(values)
    stored = counts(values)

    duplicates = rule.values(5)
    dup_base = counts(duplicates)
    for d in duplicates:
        assert tree.insert(d) is False
    del d
    assert counts(duplicates) == dup_base
    assert counts(values) == stored
    assert rule.live_keys() == (5 if rule_name == "callable" else 0)

    # A value whose key cannot be compared with the stored ones (its truth
    # test fails, so no traceback frame refers to the keys).
    odd_key = Key(0, fail={"eq": "bool"})
    odd = odd_key if rule_name == "identity" else Box(odd_key)
    odd_base = counts([odd, odd_key])
    with pytest.raises(ZeroDivisionError):
        tree.insert(odd)
    assert counts([odd, odd_key]) == odd_base
    assert len(tree) == 5 and counts(values) == stored


def test_removal_moves_the_successor_without_touching_its_references():
    values = [Box(fresh_int(i)) for i in range(1, 8)]
    keys = [v.k for v in values]
    tree = AVLTree(values, key="k")
    before_values, before_keys = counts(values), counts(keys)
    # The root (the fourth value) has two children; its successor is the fifth.
    assert tree.remove(values[3]) is True
    after_values, after_keys = counts(values), counts(keys)
    assert after_values[3] == before_values[3] - 1 and after_keys[3] == before_keys[3] - 1
    del after_values[3], before_values[3], after_keys[3], before_keys[3]
    assert (after_values, after_keys) == (before_values, before_keys)


def failing_key(values, at):
    def key(v):
        if v is values[at]:
            raise RuntimeError("key rule")
        return v.k

    return key


# How construction fails: (values argument maker, key) for a list of Boxes.
CONSTRUCTION_FAILURES = {
    "key-callable": lambda vs: (vs, failing_key(vs, 3)),
    "comparison": lambda vs: (vs + [Box("x")], "k"),
    "invalid-key": lambda vs: (vs, 5),
    "iteration": lambda vs: ((v if i < 4 else 1 // 0 for i, v in enumerate(vs)), "k"),
    "not-iterable": lambda vs: (5, "k"),
}


@pytest.mark.parametrize("failure", CONSTRUCTION_FAILURES)
def test_failed_construction_keeps_nothing(failure):
    values = [Box(fresh_int(i)) for i in range(6)]
    keys = [v.k for v in values]
    base, key_base = counts(values), counts(keys)
    arg, key = CONSTRUCTION_FAILURES[failure](values)
    # Attribute names and small ints are immortal from 3.12 on: their counts drift when
    # code built for older interpreters adds and drops references, and tell nothing.
    held = [key] if callable(key) else []
    held_base = counts(held)
    with pytest.raises(Exception):
        AVLTree(arg, key=key)
    del arg
    gc.collect()
    assert counts(values) == base
    assert counts(keys) == key_base
    assert counts(held) == held_base


def test_tree_holds_one_reference_to_its_key_callable():
    def key(v):
        return v

    base = sys.getrefcount(key)
    tree = AVLTree([1, 2], key=key)
    assert sys.getrefcount(key) == base + 1
    tree.clear()
    assert sys.getrefcount(key) == base + 1
    del tree
    assert sys.getrefcount(key) == base


def test_attribute_name_is_not_kept():
    name = "".join(["k", "e", "y"])
    base = sys.getrefcount(name)
    tree = AVLTree(key=name)
    assert sys.getrefcount(name) == base
    del tree


class Logged:
    """A value that logs its own release."""

    def __init__(self, v, log):
        self.v, self.log = v, log

    def __del__(self):
        self.log.append(("value", self.v))


class LoggedKey(Key):
    """A key that logs its own release."""

    def __init__(self, v, released, fail=None):
        super().__init__(v, fail=fail)
        self.released = released

    def __del__(self):
        self.released.append(("key", self.v))


class LoggedInt(int):
    """An int that logs its own release: a subclass, whose release runs Python code."""

    def __del__(self):
        self.log.append(("value", int(self)))


def logged_int(v, log):
    i = LoggedInt(v)
    i.log = log
    return i


# Trees of keys 1, 2, 3 (root 2 with children 1 and 3), made in key order, whose values (and
# the keys a rule makes) log their release; the values of the identity trees are not of
# exact built-in types.
LOGGED_TREES = {
    "key rule": lambda log: AVLTree((Logged(i, log) for i in (1, 2, 3)),
                                    key=lambda v: LoggedKey(v.v, log)),
    "int subclass": lambda log: AVLTree(logged_int(i, log) for i in (1, 2, 3)),
    "tuples": lambda log: AVLTree((i, Logged(i, log)) for i in (1, 2, 3)),
}


@pytest.mark.parametrize(
    "how, values",
    [("remove_key", "key rule")] + [(how, v) for how in ("clear", "del") for v in LOGGED_TREES],
)
def test_release_order(how, values):
    log = []
    tree = LOGGED_TREES[values](log)
    del log[:]
    if how == "remove_key":
        assert tree.remove_key(2) is True
        assert log == [("value", 2), ("key", 2)]
        return
    if how == "clear":
        tree.clear()
    else:
        del tree
    # Each node gives back its value, then its key, then its left and right
    # subtrees.
    expected = [("value", 2), ("key", 2), ("value", 1), ("key", 1), ("value", 3), ("key", 3)]
    assert log == [e for e in expected if values == "key rule" or e[0] == "value"]


@pytest.mark.parametrize("refusal", ["duplicate", "failed comparison"])
def test_refused_entry_releases_value_then_key(refusal):
    # Values 10 and 11 share key 1; the second is refused, and only the entry holds it.
    # The comparison fails in a truth test, whose traceback does not hold the key.
    log = []
    fail = {"eq": "bool"} if refusal == "failed comparison" else None

    def key(v):
        return LoggedKey(v.v // 10, log, fail if v.v == 11 else None)

    try:
        tree = AVLTree((Logged(v, log) for v in (10, 11)), key=key)
    except ZeroDivisionError:
        assert refusal == "failed comparison"
    assert log[:2] == [("value", 11), ("key", 1)]
    # insert() borrows its value from the caller: only the refused key goes.
    tree, value = AVLTree([Logged(10, log)], key=key), Logged(11, log)
    del log[:]
    try:
        assert tree.insert(value) is False
    except ZeroDivisionError:
        assert refusal == "failed comparison"
    assert log == [("key", 1)] and len(tree) == 1


def test_nested_tree_is_released_in_place():
    # The inner tree is the outer one's root, released before the outer's other value;
    # within the depth bound its contents go with it, not after everything else.
    log = []
    inner = AVLTree([Logged("inner", log)])
    outer = AVLTree([inner, Logged("outer", log)], key=lambda v: isinstance(v, Logged))
    del inner, outer
    assert log == [("value", "inner"), ("value", "outer")]


def test_cycle_through_a_tree_is_never_collected():
    sentinel, holder = Box(0), Box(1)
    alive, holder_ref = weakref.ref(sentinel), weakref.ref(holder)
    tree = AVLTree([sentinel, holder], key="k")
    holder.tree = tree
    del sentinel, holder, tree
    gc.collect()
    assert alive() is not None and holder_ref() is not None
    # Breaking the cycle by hand releases everything.
    holder_ref().tree.clear()
    gc.collect()
    assert alive() is None and holder_ref() is None


# Builds a chain of trees nested `depth` deep, each holding the next, and
# releases it from the top.  With `marker`, every level also holds one
# reference to the same marker object, and the bottom holds a sentinel.
NESTED_CHAIN = """
    import sys, weakref
    from quorel import AVLTree

    depth, how, marked = int(sys.argv[1]), sys.argv[2], sys.argv[3] == "marked"

    class Sentinel:
        pass

    sentinel = Sentinel()
    alive = weakref.ref(sentinel)
    marker = object()
    base = sys.getrefcount(marker)
    t = AVLTree([sentinel], key=id)
    del sentinel
    for _ in range(depth):
        t = AVLTree([t, marker], key=id) if marked else AVLTree([t])
    if marked:
        assert sys.getrefcount(marker) == base + depth
    if how == "clear":
        t.clear()
        assert len(t) == 0
    del t
    assert alive() is None, "the bottom of the chain is still alive"
    assert sys.getrefcount(marker) == base, (sys.getrefcount(marker), base)
    print("released")
"""


@pytest.mark.parametrize(
    "depth, how, marked",
    [(10**6, "del", "plain"), (10**6, "clear", "plain"), (10**5, "del", "marked"), (10**5, "clear", "marked")],
)
def test_deeply_nested_trees_are_released(depth, how, marked):
    result = run_python(NESTED_CHAIN, depth, how, marked, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() == "released"
