#!/usr/bin/env python3
"""Fuzz target: the pickle reconstruction function fed arbitrary pairs and
`key_spec` arguments.

The pairs may be sorted or not, duplicated, badly shaped (short or long
tuples, lists, strings, tuple subclasses), come from a sequence that lies
about its length or fails midway. The function must either refuse with a
TypeError or ValueError (or pass the sequence's own failure through), or
build a tree with exactly the given entries, in the given order, in the
balanced shape, that then takes every operation without crashing.

    python fuzz/fuzz_rebuild.py fuzz/corpus/rebuild -max_total_time=60
"""

import os
import sys
from collections import namedtuple

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

with atheris.instrument_imports():
    from quorel import AVLTree
    from quorel.quorel import _avltree_from_sorted_entries as rebuild
    from quorel.quorel import _check_invariants

# The reference model is left uninstrumented: the engine's own coverage
# guides the search, and instrumenting the model would cost three quarters
# of the executions.
from _model import Model  # noqa: E402


class Midway(Exception):
    """The failure of a sequence's iteration."""


class Pair(tuple):
    pass


Entry = namedtuple("Entry", "value key")


class Lying:
    """A sequence whose length and iteration are chosen by the input."""

    def __init__(self, items, length, fail_at):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        return self.length

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                raise Midway("midway")
            yield item


def scalar(fdp):
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 0:
        return fdp.ConsumeIntInRange(-5, 5)
    if kind == 1:
        return fdp.ConsumeUnicode(2)
    if kind == 2:
        return (fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, 3))
    if kind == 3:
        return float("nan")
    return None


@atheris.instrument_func
def item(fdp):
    """Mostly a well-formed (value, key) pair, sometimes anything else."""
    shape = fdp.ConsumeIntInRange(0, 15)
    if shape <= 9:
        return (scalar(fdp), scalar(fdp))
    return [
        lambda: Pair((scalar(fdp), scalar(fdp))),
        lambda: Entry(scalar(fdp), scalar(fdp)),
        lambda: tuple(scalar(fdp) for _ in range(fdp.PickValueInList([0, 1, 3]))),
        lambda: [scalar(fdp), scalar(fdp)],
        lambda: fdp.ConsumeUnicode(2),
        lambda: scalar(fdp),
    ][shape - 10]()


KEY_SPECS = [None, "value", "key", "real", len, abs, 0, b"value", str, ("value",)]


def ascending(keys):
    try:
        return all(a < b and not a == b for a, b in zip(keys, keys[1:]))
    except Exception:
        return False


@atheris.instrument_func
def exercise(tree, fdp):
    """Operations on a rebuilt tree whose keys may be in any order: answers
    may be wrong for unsorted keys, but nothing may crash."""
    for _ in range(fdp.ConsumeIntInRange(0, 8)):
        probe = scalar(fdp)
        member = fdp.PickValueInList(["insert", "remove", "remove_key", "search", "search_key", "contains_key"])
        try:
            getattr(tree, member)(probe)
            list(tree.range(probe, None))
            list(tree.iter_from(probe, 3))
            list(tree.iter_to(probe, 3))
        except (TypeError, ValueError, AttributeError):
            pass
    repr(tree)
    tree.__reduce__()
    tree.clear()
    if len(tree) or tree.height:
        raise AssertionError("a cleared tree is not empty")


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    items = [item(fdp) for _ in range(fdp.ConsumeIntInRange(0, 40))]
    if fdp.ConsumeBool():
        items.sort(key=lambda p: repr(p[1]) if isinstance(p, tuple) and len(p) == 2 else "")
    spec = fdp.PickValueInList(KEY_SPECS)
    how = fdp.ConsumeIntInRange(0, 3)
    if how == 0:
        pairs = items
    elif how == 1:
        pairs = tuple(items)
    elif how == 2:
        pairs = Lying(items, fdp.ConsumeIntInRange(-3, 100), fdp.ConsumeIntInRange(0, 50))
    else:
        pairs = iter(items)
    try:
        tree = rebuild(pairs, spec)
    except (TypeError, ValueError, Midway):
        return
    if not all(type(p) in (tuple, Pair, Entry) and len(p) == 2 for p in items):
        raise AssertionError("a badly shaped pair was accepted")
    if type(tree) is not AVLTree or len(tree) != len(items):
        raise AssertionError("the rebuilt tree does not hold the given pairs")
    values = list(tree)
    if any(a is not b[0] for a, b in zip(values, items)):
        raise AssertionError("the rebuilt tree changed the order of the pairs")
    expected = Model.from_sorted((v, k) for v, k in items)
    if list(map(id, tree.pre_order())) != list(map(id, expected.pre_order())):
        raise AssertionError("the rebuilt tree is not in the balanced shape")
    if tree.height != expected.height:
        raise AssertionError("the rebuilt tree reports a wrong height")
    # Pairs out of order (or keys that cannot be ordered) break the order invariant, and
    # only that: the shape, heights and count are the builder's whatever the keys.
    try:
        _check_invariants(tree)
    except Exception as broken:
        if ascending([k for _, k in items]) or not (
            isinstance(broken, TypeError) or "predecessor" in str(broken)
        ):
            raise
    exercise(tree, fdp)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
