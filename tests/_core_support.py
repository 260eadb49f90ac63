"""Helpers shared by the tests of construction, key rules, lookups, mutation,
the call boundary, module facts and tree shapes."""

import os
import subprocess
import sys
import tempfile
import textwrap

import pytest

import quorel
from quorel import AVLTree
from quorel.quorel import _check_invariants

HAS_NOTES = sys.version_info >= (3, 11)


def check_note(exc, parameter):
    """A failed argument conversion carries exactly one note naming the
    parameter; interpreters without exception notes show none."""
    if HAS_NOTES:
        assert exc.__notes__ == [f"while processing '{parameter}'"]
    else:
        assert not hasattr(exc, "__notes__")


def check_untouched(exc):
    """An exception raised by Python code the tree called passes through
    without notes."""
    assert not hasattr(exc, "__notes__")


def shape(tree):
    return list(tree.pre_order())


def ascending(tree):
    return list(tree.in_order())


def check_avl(tree):
    """Run the engine's own invariant check and return the pre-order."""
    _check_invariants(tree)
    order = shape(tree)
    assert len(tree) == len(order)
    return order


class Key:
    """A key that logs each comparison it makes as (op, self.v, other.v).

    `fail` maps an operator name ("eq", "lt", "gt") to an exception object
    raised by that operator, or to "bool" to return an object whose truth
    test raises. `hook` runs inside every comparison.
    """

    __slots__ = ("v", "log", "fail", "hook", "__weakref__")

    def __init__(self, v, log=None, fail=None, hook=None):
        self.v = v
        self.log = log if log is not None else []
        self.fail = fail or {}
        self.hook = hook

    def _cmp(self, op, other, result):
        self.log.append((op, self.v, getattr(other, "v", other)))
        if self.hook is not None:
            self.hook()
        failure = self.fail.get(op)
        if failure == "bool":
            return TruthBomb()
        if failure is not None:
            raise failure
        return result

    def __eq__(self, other):
        return self._cmp("eq", other, self.v == getattr(other, "v", other))

    def __lt__(self, other):
        return self._cmp("lt", other, self.v < getattr(other, "v", other))

    def __gt__(self, other):
        return self._cmp("gt", other, self.v > getattr(other, "v", other))

    __hash__ = None

    def __repr__(self):
        return f"Key({self.v!r})"


# The members that look up one value (applying the key rule) or one key,
# called the way Python code calls them.
VALUE_LOOKUPS = {
    "insert": lambda t, v: t.insert(v),
    "remove": lambda t, v: t.remove(v),
    "search": lambda t, v: t.search(v),
    "get": lambda t, v: t.get(v),
    "contains": lambda t, v: t.contains(v),
    "has_node": lambda t, v: t.has_node(v),
    "in": lambda t, v: v in t,
}
KEY_LOOKUPS = {
    "remove_key": lambda t, k: t.remove_key(k),
    "search_key": lambda t, k: t.search_key(k),
    "contains_key": lambda t, k: t.contains_key(k),
}


class TruthBomb:
    def __bool__(self):
        raise ZeroDivisionError("truth test")


class Box:
    """A weak-referenceable value whose attribute `k` serves as its key."""

    def __init__(self, k, tag=None):
        self.k = k
        self.tag = tag

    def __repr__(self):
        return f"Box({self.k!r}, {self.tag!r})"


# Where the quorel under test lives: child interpreters import it from there
# and run outside the repository, whose source folder would shadow it.
QUOREL_HOME = os.path.dirname(os.path.dirname(os.path.abspath(quorel.__file__)))


def run_python(code, *args, timeout=120):
    """Run code in a fresh interpreter, so a crash fails the test instead of
    ending the test run."""
    prelude = f"import sys; sys.path.insert(0, {QUOREL_HOME!r})\n"
    with tempfile.TemporaryDirectory() as scratch:
        return subprocess.run(
            [sys.executable, "-c", prelude + textwrap.dedent(code), *map(str, args)],
            capture_output=True,
            text=True,
            timeout=timeout,
            cwd=scratch,
        )


__all__ = [
    "AVLTree",
    "Box",
    "HAS_NOTES",
    "QUOREL_HOME",
    "KEY_LOOKUPS",
    "Key",
    "TruthBomb",
    "VALUE_LOOKUPS",
    "ascending",
    "_check_invariants",
    "check_avl",
    "check_note",
    "check_untouched",
    "quorel",
    "run_python",
    "shape",
]
