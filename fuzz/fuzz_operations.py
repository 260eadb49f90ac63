#!/usr/bin/env python3
"""Fuzz target: random operation sequences on one tree, checked against the
reference model in tests/_model.py after every step.

Each input is read as a key rule followed by a list of operations. Keys with
comparison methods count their calls, and an operation may be armed to fail
at its n-th comparison or key call; a failed operation must leave the tree
exactly as it was. The other rules store ints, floats, str and tuples of
numbers, which the tree compares natively. Any disagreement with the model,
any exception other than the injected fault and the documented refusals, and
any crash is a finding.

    python fuzz/fuzz_operations.py fuzz/corpus/operations -max_total_time=60
"""

import copy
import os
import pickle
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

with atheris.instrument_imports():
    from quorel import AVLTree
    from quorel.quorel import _check_invariants

# The reference model is left uninstrumented: the engine's own coverage
# guides the search, and instrumenting the model would cost three quarters
# of the executions.
from _model import Model, merged, sorted_first  # noqa: E402

WALKS = ["__iter__", "in_order", "descending", "pre_order", "post_order", "level_order"]
BULK = ["update", "union", "intersection", "difference", "symmetric_difference", "intersection_update",
        "difference_update", "symmetric_difference_update", "issubset", "issuperset", "isdisjoint"]
SET_OPERATIONS = {"update": "union", "issubset": "difference", "issuperset": "difference",
                  "isdisjoint": "intersection"}
MAX_OPS = 64


class Fault(Exception):
    """The failure injected into a comparison or a key call."""


class Fuse:
    """Counts comparisons and key calls; when armed, the n-th one fails."""

    left = None

    @classmethod
    def tick(cls):
        if cls.left is not None:
            cls.left -= 1
            if cls.left <= 0:
                cls.left = None
                raise Fault("injected")


class Key:
    """An orderable key that ticks the fuse on every comparison."""

    __slots__ = ("v",)

    def __init__(self, v):
        self.v = v

    def __eq__(self, other):
        Fuse.tick()
        return self.v == other.v

    def __lt__(self, other):
        Fuse.tick()
        return self.v < other.v

    def __gt__(self, other):
        Fuse.tick()
        return self.v > other.v

    __hash__ = None

    def __reduce__(self):
        return (Key, (self.v,))

    def __repr__(self):
        return f"Key({self.v!r})"


class Item:
    """A value with its key in attribute k and an identity of its own."""

    __slots__ = ("k", "tag")

    def __init__(self, k, tag):
        self.k, self.tag = k, tag

    def __reduce__(self):
        return (Item, (self.k, self.tag))


def negated(item):
    Fuse.tick()
    return Key(-item.k.v)


def number(fdp):
    """An int, a float or an int beyond 64 bits, all comparable with each other."""
    i = fdp.ConsumeIntInRange(-8, 8)
    return (i, i / 2, float(i), i * 2**64)[fdp.ConsumeIntInRange(0, 3)]


def composite(fdp):
    """Tuples of numbers, two long or three with a nested tuple last, so that two keys
    always compare, though their item types and lengths vary."""
    pair = (number(fdp), number(fdp))
    return pair + ((number(fdp),),) if fdp.ConsumeBool() else pair


# (key rule given to the tree, the same rule in Python, value maker). The last three store
# keys the tree compares without calling Python code.
RULES = [
    (None, lambda v: v, lambda fdp: Key(fdp.ConsumeIntInRange(-20, 20))),
    (None, lambda v: v, lambda fdp: Key(fdp.ConsumeUnicodeNoSurrogates(2))),
    (None, lambda v: v, lambda fdp: Key((fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, 3)))),
    ("k", lambda v: v.k, lambda fdp: Item(Key(fdp.ConsumeIntInRange(-20, 20)), fdp.ConsumeIntInRange(0, 3))),
    (negated, lambda v: Key(-v.k.v), lambda fdp: Item(Key(fdp.ConsumeIntInRange(-20, 20)), 0)),
    (None, lambda v: v, number),
    (None, lambda v: v, composite),
    (None, lambda v: v, lambda fdp: fdp.ConsumeUnicode(2)),
]


def same(actual, expected):
    actual = list(actual)
    if len(actual) != len(expected) or any(a is not e for a, e in zip(actual, expected)):
        raise AssertionError(f"tree gave {actual!r}, model {expected!r}")


def agree(tree, model):
    _check_invariants(tree)
    model.check()
    same(tree.in_order(), model.in_order())
    same(tree.pre_order(), model.pre_order())
    if len(tree) != model.count or tree.height != model.height:
        raise AssertionError(f"len/height {len(tree)}/{tree.height}, model {model.count}/{model.height}")


class Run:
    def __init__(self, fdp):
        self.fdp = fdp
        self.spec, self.key_of, self.make = RULES[fdp.ConsumeIntInRange(0, len(RULES) - 1)]
        self.tree = AVLTree(key=self.spec)
        self.model = Model()
        self.iterators = []

    def value(self):
        return self.make(self.fdp)

    def key(self):
        return self.key_of(self.value())

    def bound(self):
        return self.key() if self.fdp.ConsumeBool() else None

    @atheris.instrument_func
    def step(self, op):
        tree, model = self.tree, self.model
        if op == 0:
            v = self.value()
            return lambda: tree.insert(v), lambda: model.insert(v, self.key_of(v))
        if op == 1:
            v = self.value()
            return lambda: tree.remove(v), lambda: model.remove(self.key_of(v))
        if op == 2:
            k = self.key()
            return lambda: tree.remove_key(k), lambda: model.remove(k)
        if op == 3:
            v = self.value()
            k = self.key_of(v)
            member = self.fdp.PickValueInList(["search", "get", "contains", "has_node", "__contains__"])
            answer = model.search if member in ("search", "get") else model.contains
            return lambda: getattr(tree, member)(v), lambda: answer(k)
        if op == 4:
            k = self.key()
            member = self.fdp.PickValueInList(["search_key", "contains_key"])
            return lambda: getattr(tree, member)(k), lambda: getattr(model, member[:-4])(k)
        if op == 5:
            start, end = self.bound(), self.bound()
            flags = (self.fdp.ConsumeBool(), self.fdp.ConsumeBool())
            return (lambda: list(tree.range(start, end, include_start=flags[0], include_end=flags[1])),
                    lambda: model.range(start, end, *flags))
        if op == 6:
            k = self.key()
            n = self.fdp.PickValueInList([0, 1, 2, 5, 2**64 - 1])
            name = self.fdp.PickValueInList(["iter_from", "iter_to"])
            return lambda: list(getattr(tree, name)(k, n)), lambda: getattr(model, name)(k, n)
        if op == 7:
            name = self.fdp.PickValueInList(WALKS)
            return lambda: list(getattr(tree, name)()), lambda: model.walk(name)
        if op == 8:
            return tree.clear, model.clear
        if op == 9:
            name = self.fdp.PickValueInList(WALKS)
            self.iterators.append((getattr(tree, name)(), list(model.walk(name))))
            return None
        if op == 10 and self.iterators:
            it, remaining = self.iterators[self.fdp.ConsumeIntInRange(0, len(self.iterators) - 1)]
            got = next(it, None)
            expected = remaining.pop(0) if remaining else None
            if got is not expected:
                raise AssertionError("a snapshot iterator changed")
            return None
        if op == 11:
            how = self.fdp.ConsumeIntInRange(0, 3)
            if how == 0:  # rebuilt in the builder's shape
                new = pickle.loads(pickle.dumps(tree, self.fdp.ConsumeIntInRange(0, pickle.HIGHEST_PROTOCOL)))
                values = list(new)
                self.model = Model.from_sorted(zip(values, (self.key_of(v) for v in values)))
                self.tree = new
            elif how == 3:  # the same shape, the copies mapped alike in both
                self.tree, self.model = copy.deepcopy((tree, model))
            else:  # the same shape and objects
                self.tree = copy.copy(tree) if how == 1 else tree.copy()
            return None
        if op == 12:
            if tree.first() is not model.first() or tree.last() is not model.last():
                raise AssertionError("first/last disagree")
            return None
        if op == 14:
            return self.bulk(self.fdp.PickValueInList(BULK))
        return None

    def bulk(self, member):
        """A bulk member with a batch of values, a tree of the same key rule or the tree
        itself; the model combines sorted entries, and results are built balanced."""
        tree, model = self.tree, self.model
        form = self.fdp.ConsumeIntInRange(0, 2)
        if form == 2:
            other, batch = tree, list(tree)
        else:
            batch = [self.value() for _ in range(self.fdp.ConsumeIntInRange(0, 6))]
            other = AVLTree(batch, key=self.spec) if form == 1 else batch

        def expected():
            name = SET_OPERATIONS.get(member, member.replace("_update", ""))
            right = sorted_first((v, self.key_of(v)) for v in batch)
            if member == "issuperset":
                return not merged(name, right, model.entries())
            result = merged(name, model.entries(), right)
            if member in ("issubset", "isdisjoint"):
                return not result
            balanced = Model.from_sorted(result)
            if member.endswith("update"):
                if member == "update" and [id(v) for v in self.tree.pre_order()] != [
                        id(v) for v in balanced.pre_order()]:
                    for v in batch:  # a small batch goes in one value at a time
                        model.insert(v, self.key_of(v))
                else:
                    self.model = balanced
                return None
            return balanced.pre_order()

        def on_tree():
            got = getattr(tree, member)(other)
            return list(got.pre_order()) if isinstance(got, AVLTree) else got

        return on_tree, expected

    def run(self):
        for _ in range(self.fdp.ConsumeIntInRange(0, MAX_OPS)):
            op = self.fdp.ConsumeIntInRange(0, 14)
            fuse = self.fdp.ConsumeIntInRange(1, 12) if op == 13 else None
            if fuse is not None:
                op = self.fdp.PickValueInList([0, 1, 2, 3, 4, 5, 6, 7, 8, 14])
            pair = self.step(op)
            if pair is not None:
                self.apply(*pair, fuse)
            agree(self.tree, self.model)

    @atheris.instrument_func
    def apply(self, on_tree, on_model, fuse):
        Fuse.left = fuse
        try:
            got = on_tree()
        except Fault:
            return  # the tree must be unchanged, which agree() checks
        except ValueError as e:
            Fuse.left = None
            if str(e) != "range start must not exceed end":
                raise
            try:
                on_model()
            except ValueError:
                return
            raise AssertionError("the tree refused a range the model accepts")
        finally:
            Fuse.left = None
        expected = on_model()
        if isinstance(got, list):
            same(got, expected)
        elif got is not expected and not (isinstance(got, bool) and got == expected):
            raise AssertionError(f"tree answered {got!r}, model {expected!r}")


def test_one_input(data):
    Run(atheris.FuzzedDataProvider(data)).run()


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
