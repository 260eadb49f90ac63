"""Helpers shared by the walking, iterator, query, text-form and pickling tests."""

import operator
import sys

import pytest

HAS_NOTES = sys.version_info >= (3, 11)

# Keys 0, 2, ..., 18 inserted in ascending order give this tree:
#
#              6
#         2          14
#       0   4     10     16
#                8  12      18
EVENS = list(range(0, 20, 2))

# Keys 1..7 inserted in ascending order give the perfect tree rooted at 4.
ONE_TO_SEVEN = list(range(1, 8))


def assert_notes(exc, *notes):
    """Exception notes exist only from 3.11 on; before that none may appear."""
    if HAS_NOTES:
        assert getattr(exc, "__notes__", []) == list(notes)
    else:
        assert not hasattr(exc, "__notes__")


def raises_with_note(exc_type, message, note, func, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert_notes(info.value, *([note] if note else []))
    return info.value


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


class ThreeWay:
    """Routes ==, < and > through `self._cmp(other, op)`; unhashable."""

    __slots__ = ()

    def __eq__(self, other):
        return self._cmp(other, operator.eq)

    def __lt__(self, other):
        return self._cmp(other, operator.lt)

    def __gt__(self, other):
        return self._cmp(other, operator.gt)

    __hash__ = None


class Item(ThreeWay):
    """A picklable, weak-referenceable value ordered by its attribute `k`.

    Every rich comparison is counted in COMPARISONS so tests can prove that a
    code path compares nothing.
    """

    __slots__ = ("k", "tag", "__weakref__")
    COMPARISONS = [0]

    def __init__(self, k, tag=None):
        self.k = k
        self.tag = tag

    def __reduce__(self):
        return (Item, (self.k, self.tag))

    def _cmp(self, other, op):
        Item.COMPARISONS[0] += 1
        return op(self.k, other.k if isinstance(other, Item) else other)

    def __repr__(self):
        return f"Item({self.k!r}, {self.tag!r})"

    def same(self, other):
        return type(other) is Item and (self.k, self.tag) == (other.k, other.tag)


KEY_CALLS = [0]


def item_key(item):
    """Module-level key callable, so trees using it can be pickled."""
    KEY_CALLS[0] += 1
    return item.k


class AttrName(str):
    """A str subclass used as an attribute-name key rule."""


class LoggedKey(ThreeWay):
    """A key that logs every comparison as (operator, self.v, other.v).

    `hook` runs inside every comparison, which lets a test act on the tree
    while one of its members is comparing keys.
    """

    def __init__(self, v, log, hook=None):
        self.v = v
        self.log = log
        self.hook = hook

    def _cmp(self, other, op):
        self.log.append((op.__name__, self.v, other.v))
        if self.hook is not None:
            self.hook()
        return op(self.v, other.v)

    def __repr__(self):
        return f"LoggedKey({self.v!r})"


def logged_tree(keys, log):
    """Build a tree of LoggedKeys in the given insertion order, then forget
    the comparisons made while building it."""
    from quorel import AVLTree

    tree = AVLTree([LoggedKey(k, log) for k in keys])
    log.clear()
    return tree


def values(it):
    """The plain values of an iterator of ints, LoggedKeys or Items."""
    out = []
    for v in it:
        out.append(v.v if isinstance(v, LoggedKey) else v.k if isinstance(v, Item) else v)
    return out


class Uncomparable:
    """Raises on every comparison; proves that no comparison was made."""

    def __init__(self, exc=None):
        self.exc = exc or TypeError("compared")

    def _boom(self, other):
        raise self.exc

    __eq__ = __lt__ = __gt__ = __le__ = __ge__ = __ne__ = _boom
    __hash__ = None


def fake_numpy_bool(name, result):
    """A stand-in for numpy's bool scalar type, whose __bool__ returns `result`."""
    return type(name, (), {"__module__": "numpy", "__bool__": lambda self: result})()
