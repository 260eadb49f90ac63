"""Running out of memory anywhere in an operation: in the module's own allocations
(node slabs, snapshots, entry and staging lists, work stacks, text) and in those
the interpreter makes on its behalf. From the k-th allocation on, every one
fails, for k = 0, 1, 2, ... until the operation succeeds. Each failed attempt
must raise MemoryError and leave the tree exactly as it was (invariants, shape,
contents), and every object it touched must be left with the references it had."""

import pickle
import sys

import pytest

from quorel import AVLDict, AVLTree
from quorel.quorel import (_AVLTreeIterator, _avldict_from_sorted_items, _avltree_from_sorted_entries,
                           _check_avldict, _check_invariants)

from _support import MAP_VIEWS, MEMBERS, OWNERS, Subject, refcounts

# The interpreter's own allocation-failure hook; some interpreter builds (such as the
# Windows packages that wheel builders test with) ship without the test modules.
_testcapi = pytest.importorskip("_testcapi", reason="this interpreter has no _testcapi module")


class Box:
    def __init__(self, k):
        self.k = k

    def __repr__(self):
        return f"Box({self.k})"

    # Not copied through copyreg or a constructor call: the interpreter itself is not safe
    # to run out of memory in there (3.12 and 3.13 crash deep-copying a plain list of
    # such objects, debug builds fail assertions).
    def __deepcopy__(self, memo):
        return self


def fresh_int(i):
    return int(str(10**9 + i))  # an object of its own, with its own reference count


RULES = {
    "identity": (None, fresh_int, lambda v: v),
    "attribute": ("k", lambda i: Box(fresh_int(i)), lambda v: v.k),
}
ORDER = [(i * 7) % 16 for i in range(16)]  # insertion order: a shape with rotations


class Case(Subject):
    """A tree of 16 values made by `make`, a larger one, and the objects an operation is given."""

    def __init__(self, owner, spec, make, key_of):
        self.owner, self.rule, self.make_value, self.key_of = owner, spec, make, key_of
        self.contents = [2 * i for i in ORDER]
        self.values = [make(i) for i in self.contents]
        maps = OWNERS[owner].maps
        self.tree = OWNERS[owner].make(self.values, key=spec)
        self.twin = make(2 * ORDER[5])
        self.pairs = [(v, key_of(v)) for v in sorted(self.values, key=key_of)]
        # Enough values for the store to grow several times and for the layout pass after
        # construction.
        self.many = [make((i * 97) % 300) for i in range(300)]
        # Long enough to be sorted by the keys' digits, with keys repeated.
        self.long = [make((i * 7919) % 4500) for i in range(5000)]
        # Laid out in key order, then one node freed and reused out of order: the second
        # whole walk in a row lays the nodes out afresh in a block of their own.
        self.scattered = AVLTree(self.many, key=spec)
        self.scattered.remove(self.many[0])
        self.scattered.insert(self.many[0])
        self._iterator = iter(self.tree) if maps else self.tree.in_order()
        keys = [key_of(v) for v in self.values + self.many + self.long]
        # For a map: a batch of new items, larger than a few.
        self.new_items = {make(1000 + i): make(i) for i in range(30)}
        self.objects = [self.tree, self.scattered, self._iterator, *self.values, *self.many,
                        *self.long, *keys, self.twin, self.pairs,
                        *self.new_items, *self.new_items.values()]

    def value(self, i):
        return self.make_value(i)

    def key(self, i):
        return self.key_of(self.make_value(i))


def _updated(tree, values):
    tree.update(values)
    return tree


# What is not a member of a living tree: construction, a walk repeated, pickling and the
# rebuild. Loading is the builder's work ("rebuild"); the pickle module's own loader and
# copy.deepcopy's top level are left out, as they leak or trip assertions of debug
# interpreters when memory runs out, whatever they load or copy.
SCENARIOS = {
    "construct": lambda c: AVLTree(c.values, key=c.rule),
    "construct-large": lambda c: AVLTree(c.many, key=c.rule),
    "construct-long": lambda c: AVLTree(c.long, key=c.rule),
    "update-long": lambda c: _updated(AVLTree(c.values, key=c.rule), c.long),
    "insert-duplicate": lambda c: c.tree.insert(c.twin),
    "walk-twice": lambda c: (list(c.scattered), list(c.scattered.descending())),
    "pickle": lambda c: pickle.dumps(c.tree),
    "rebuild": lambda c: _avltree_from_sorted_entries(c.pairs, c.rule),
}
# The same for a map: construction from pairs, a dict and fromkeys, a batch of new items,
# pickling and the rebuild.
MAP_SCENARIOS = {
    "construct": lambda c: AVLDict(c.pairs),
    "construct-dict": lambda c: AVLDict(dict(c.pairs)),
    "fromkeys": lambda c: AVLDict.fromkeys(c.many),
    "update-batch": lambda c: c.tree.update(c.new_items),
    "pickle": lambda c: pickle.dumps(c.tree),
    "rebuild": lambda c: _avldict_from_sorted_items(c.pairs),
}
# Each operation with the class its case is made of.
OPERATIONS = {**{m.id: (m.owner, m.call) for m in MEMBERS},
              **{name: ("AVLTree", scenario) for name, scenario in SCENARIOS.items()},
              **{f"AVLDict.{name}": ("AVLDict", scenario) for name, scenario in MAP_SCENARIOS.items()}}
# A map has no key rule: its operations run with the identity rule alone.
CASES = [(name, rule) for name, (owner, _) in OPERATIONS.items() for rule in RULES
         if rule == "identity" or not OWNERS[owner].maps]


def describe(x):
    """What an answer says, comparable across two sets of equal values."""
    if isinstance(x, AVLTree):
        _check_invariants(x)
        return ("tree", [describe(v) for v in x.pre_order()], len(x), x.height)
    if isinstance(x, AVLDict):
        _check_avldict(x)
        return ("map", [describe(item) for item in x.items()])
    if type(x) in MAP_VIEWS:
        return ("view", [describe(v) for v in x])
    if isinstance(x, Box):
        return ("box", x.k)
    if isinstance(x, _AVLTreeIterator):
        return "iterator"
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, [describe(v) for v in x])
    if callable(x):
        return x.__name__
    return x


def run_until_success(operation, case):
    """The attempts from k = 0 on; returns the answer of the first that succeeds."""
    shape = describe((case.tree, case.scattered)), OWNERS[case.owner].state(case.tree)
    # Counted by one function each time: from 3.14 on, whether the interpreter's own stack
    # holds a counted reference to `o` depends on the code around the count.
    counts = refcounts(case.objects)
    for k in range(1000):
        _testcapi.set_nomemory(k, 0)
        try:
            return operation(case)
        except MemoryError:
            pass
        finally:
            _testcapi.remove_mem_hooks()
        assert (describe((case.tree, case.scattered)), OWNERS[case.owner].state(case.tree)) == shape, f"changed by the failure at allocation {k}"
        assert refcounts(case.objects) == counts, f"references moved at {k}"
    raise AssertionError("never succeeded")


# Members whose arguments (tree operands, batches) the test makes in its own frames while
# allocations fail: there a debug interpreter trips its own assertions (ceval's stack
# check) before the member runs, so those run on release interpreters only.
MADE_UNDER_FAILURE = {m.id for m in MEMBERS if m.trees or m.kind != "single"}


@pytest.mark.parametrize("name, rule", CASES)
def test_every_allocation_failure_is_a_clean_memory_error(name, rule):
    if name in MADE_UNDER_FAILURE and hasattr(sys, "gettotalrefcount"):
        pytest.skip("a debug interpreter asserts when the test's own frames run out of memory")
    owner, operation = OPERATIONS[name]
    reference = Case(owner, *RULES[rule])
    expected = describe(operation(reference))
    case = Case(owner, *RULES[rule])
    assert describe(run_until_success(operation, case)) == expected
    assert describe(case.tree) == describe(reference.tree)
    if hasattr(sys, "gettotalrefcount"):  # debug builds count every reference
        assert growth(lambda: run_until_success(operation, Case(owner, *RULES[rule]))) == growth(lambda: None)


def growth(run):
    before = sys.gettotalrefcount()
    run()
    return sys.gettotalrefcount() - before


# A tree grown by insertion has room for 4, 6, 9, 13, 19, 28, 42, then 63 entries.
GROWN_PLACES = 63


@pytest.mark.parametrize("room", [1, 2, 3])
def test_small_update_running_out_of_memory_keeps_the_stored_values(room):
    # A batch small against the tree goes in one value at a time, until the node store
    # needs room it cannot get: the values inserted by then come out again, and the
    # stored values whose keys the batch repeats stay. The shape may change.
    tree = AVLTree()
    stored = [fresh_int(2 * i) for i in range(GROWN_PLACES - room)]
    for v in stored:
        tree.insert(v)
    batch = [fresh_int(2 * 5), fresh_int(1), fresh_int(2 * 7), fresh_int(3), fresh_int(5), fresh_int(7)]
    assert len(batch) * 8 < len(tree)
    before, counts = [id(v) for v in tree], refcounts([tree, *stored, *batch])
    for k in range(1000):
        _testcapi.set_nomemory(k, 0)
        try:
            tree.update(batch)
            break
        except MemoryError:
            pass
        finally:
            _testcapi.remove_mem_hooks()
        _check_invariants(tree)
        assert [id(v) for v in tree] == before, f"changed by the failure at allocation {k}"
        assert refcounts([tree, *stored, *batch]) == counts, f"references moved at {k}"
    assert list(tree) == sorted(set(stored) | set(batch))
    assert tree.search(batch[0]) is stored[5] and tree.search(batch[2]) is stored[7]
