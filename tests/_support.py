"""What the tests share: keys and values that log, count or fail their comparisons,
checks of exception notes, views of a tree, and a fresh interpreter to run code in."""

import collections.abc
import copy
import operator
import os
import subprocess
import sys
import tempfile
import textwrap

import pytest

import quorel
from quorel import AVLDict, AVLTree
from quorel.quorel import _check_avldict, _check_invariants

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


# -- exception notes ---------------------------------------------------------------


def check_note(exc, parameter=None):
    """A failed argument conversion carries exactly one note naming its parameter, on
    interpreters with exception notes; every other failure passes through without notes."""
    if parameter is not None and HAS_NOTES:
        assert exc.__notes__ == [f"while processing '{parameter}'"]
    else:
        assert not hasattr(exc, "__notes__")


def raises_with_note(exc_type, message, parameter, func, *args, **kwargs):
    """Calls func, which must raise exc_type with `message` (None: any) and the note of
    `parameter` (None: no note)."""
    with pytest.raises(exc_type) as info:
        func(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    check_note(info.value, parameter)
    return info.value


# -- views of a tree -----------------------------------------------------------------


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


def tree_state(tree):
    """What a failed operation must leave untouched: the exact objects in pre-order
    (which with the length and height pins down the shape), the length and the height.
    Objects are compared by identity, so hostile comparison methods are never called."""
    return [id(v) for v in tree.pre_order()], len(tree), tree.height


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


# -- keys and values -------------------------------------------------------------------


class Key:
    """A key ordered by its attribute `v` through Python-level ==, < and >, against
    another Key's `v` or a plain value.

    With a `log`, each comparison is appended to it as (op, self.v, other.v). `hook`
    runs inside every comparison. `fail` maps an operator name ("eq", "lt", "gt") to an
    exception object that operator raises, or to "bool" to answer with an object whose
    truth test raises.
    """

    __slots__ = ("v", "log", "fail", "hook", "__weakref__")
    __hash__ = None

    def __init__(self, v, log=None, fail=None, hook=None):
        self.v = v
        self.log = log
        self.fail = fail or {}
        self.hook = hook

    def _cmp(self, op, other, result):
        if self.log is not None:
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

    def __repr__(self):
        return f"{type(self).__name__}({self.v!r})"


class HashedKey(Key):
    """A Key that can be a key of a map: hashed as its attribute `v`, so that it hashes
    as the plain value it equals."""

    __slots__ = ()

    def __hash__(self):
        return hash(self.v)


def logged_tree(keys, log):
    """A tree of Keys logging to `log`, inserted in the given order; the comparisons made
    while building it are forgotten."""
    tree = AVLTree([Key(k, log) for k in keys])
    log.clear()
    return tree


def logging_subclass(base, log=None):
    """A subclass of int, float, str or tuple whose ==, < and > append (name, the plain
    value, other) to its class attribute `log` (given here, or set by a fixture), then
    answer as `base` does. An instance made with raising=True raises LookupError from ==."""

    def logged(name):
        method = getattr(base, name)

        def compare(self, other):
            self.log.append((name, base(self), other))
            if name == "__eq__" and self.raising:
                raise LookupError("refused")
            return method(self, other)

        return compare

    def new(cls, value, raising=False):
        self = base.__new__(cls, value)
        self.raising = raising
        return self

    methods = {name: logged(name) for name in ("__eq__", "__lt__", "__gt__")}
    return type("Logged" + base.__name__.capitalize(), (base,),
                {"__new__": new, "__hash__": base.__hash__, "log": log, **methods})


class TruthBomb:
    def __bool__(self):
        raise ZeroDivisionError("truth test")


class Uncomparable:
    """Raises on every comparison; proves that no comparison was made."""

    def __init__(self, exc=None):
        self.exc = exc or TypeError("compared")

    def _boom(self, other):
        raise self.exc

    __eq__ = __lt__ = __gt__ = __le__ = __ge__ = __ne__ = _boom
    __hash__ = None


class Box:
    """A weak-referenceable value whose attribute `k` serves as its key."""

    def __init__(self, k, tag=None):
        self.k = k
        self.tag = tag

    def __repr__(self):
        return f"Box({self.k!r}, {self.tag!r})"


class Tally:
    """Counts calls; the fixtures `comparisons` and `key_calls` give each test a fresh one."""

    def __init__(self):
        self.count = 0


# What Item's comparisons and item_key count into, while a test's fixture has set them.
TALLIES = {"comparisons": Tally(), "key calls": Tally()}


class Item:
    """A picklable, weak-referenceable value ordered by its attribute `k`; `tag` tells
    apart values that share a key. Every comparison is counted in the tally of the
    `comparisons` fixture, so tests can prove that a code path compares nothing."""

    __slots__ = ("k", "tag", "__weakref__")
    __hash__ = None

    def __init__(self, k, tag=None):
        self.k = k
        self.tag = tag

    def __reduce__(self):
        return (Item, (self.k, self.tag))

    def _cmp(self, other, op):
        TALLIES["comparisons"].count += 1
        return op(self.k, other.k if isinstance(other, Item) else other)

    def __eq__(self, other):
        return self._cmp(other, operator.eq)

    def __lt__(self, other):
        return self._cmp(other, operator.lt)

    def __gt__(self, other):
        return self._cmp(other, operator.gt)

    def __repr__(self):
        return f"Item({self.k!r}, {self.tag!r})"

    def same(self, other):
        return type(other) is Item and (self.k, self.tag) == (other.k, other.tag)


def values(it):
    """The plain values of an iterator of ints, Keys or Items."""
    return [v.v if isinstance(v, Key) else v.k if isinstance(v, Item) else v for v in it]


def item_key(item):
    """Module-level key callable, so trees using it can be pickled; counted in the tally
    of the `key_calls` fixture."""
    TALLIES["key calls"].count += 1
    return item.k


class AttrName(str):
    """A callable str subclass: still an attribute name, never called."""

    def __call__(self, value):
        raise AssertionError("a str key is never called")


class Index:
    """Converts to `result` through __index__, after running `hook`; raises `result`
    when it is an exception."""

    def __init__(self, result, hook=None):
        self.result = result
        self.hook = hook

    def __index__(self):
        if self.hook is not None:
            self.hook()
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def fake_numpy_bool(name, result=None):
    """A stand-in for numpy's bool scalar type, whose __bool__ returns `result`; without
    one it has no __bool__."""
    methods = {} if result is None else {"__bool__": lambda self: result}
    return type(name, (), {"__module__": "numpy", **methods})()


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


# -- the member registry -----------------------------------------------------------
#
# One row per member of each class, for the tests that must reach every member: hostile
# re-entry, running out of memory, reference release and threads. A member added later is
# covered by adding its row; test_registry.py fails while a public member has none.


class Subject:
    """What the rows of one class (`owner`, a key of OWNERS) are called on: `tree`, an
    instance made by the class's factory, and the arguments made for it. Tests subclass
    it to give values, keys and indices of their own kind.

    The rows ask for keys by small ints and assume only that key 4 is stored, key 3 is
    not, and the tree holds at least two values.
    """

    rule = None  # the key argument of the trees made here
    contents = (0, 2, 4, 6, 8)

    def __init__(self, owner="AVLTree"):
        self.owner = owner
        self.tree = self.make(self.contents)
        self._iterator = None

    def make(self, ints):
        return OWNERS[self.owner].make([self.value(i) for i in ints], key=self.rule)

    def value(self, i):
        """A new value whose key under the tree's rule is i."""
        return i

    def key(self, i):
        """A new key equal to that of value(i)."""
        return i

    def index(self, i):
        """A position argument: an int, or an object that converts to one."""
        return i

    def batch(self, ints):
        """An iterable operand: a list of values."""
        return [self.value(i) for i in ints]

    def other(self, ints):
        """A tree operand with the same key rule."""
        return self.make(ints)

    def item_pairs(self, ints):
        """An iterable of (key, value) pairs, as a map takes them."""
        return [(self.key(i), self.value(i)) for i in ints]

    def mapping(self, ints):
        """A dict operand, made of item_pairs(ints)."""
        return dict(self.item_pairs(ints))

    @property
    def iterator(self):
        """An iterator over the tree, made once."""
        if self._iterator is None:
            self._iterator = iter(self.tree) if OWNERS[self.owner].maps else self.tree.in_order()
        return self._iterator


SHARED, EXCLUSIVE = "shared", "exclusive"


class Member:
    """One member of one class.

    `owner` names the class (a key of OWNERS); `access` the borrow it takes; `call` runs
    it on a Subject, making its arguments there; `attributes` the Python attributes it
    stands for; `kind` is "single", "operator" (a slot of the number protocol) or "bulk"
    (takes whole iterables, mappings or trees); `keyed` whether it applies the key rule to
    a value argument; `calls_back` whether it runs Python code of the keys, values or
    arguments it meets (comparisons, hashes, the key rule, __index__, __repr__,
    __deepcopy__) while borrowed;
    `trees` whether it is given a tree operand, Subject.other().
    """

    def __init__(self, name, access, call, *, owner="AVLTree", attributes=None, kind="single",
                 keyed=False, calls_back=True, trees=False):
        self.name, self.access, self.call, self.owner = name, access, call, owner
        self.attributes = (name,) if attributes is None else attributes
        self.kind, self.keyed, self.calls_back, self.trees = kind, keyed, calls_back, trees

    @property
    def id(self):
        return self.name if self.owner == "AVLTree" else f"{self.owner.lstrip('_')}.{self.name}"

    def __repr__(self):
        return f"<member {self.id}>"


def _walk(name):
    return lambda s: list(getattr(s.tree, name)())


def _operand_rows(symbol, method, binary, access):
    """A bulk member with a tree and an iterable operand where it takes several, and its
    operator (in place for an exclusive one), which takes trees only."""
    variadic = method not in ("symmetric_difference", "symmetric_difference_update")
    if variadic:
        call = lambda s: getattr(s.tree, method)(s.other([1, 4, 7]), s.batch([3, 4, 8]))  # noqa: E731
    else:
        call = lambda s: getattr(s.tree, method)(s.other([1, 4, 7]))  # noqa: E731
    name = {"|": "or", "&": "and", "-": "sub", "^": "xor"}[symbol.rstrip("=")]
    dunders = (f"__i{name}__",) if symbol.endswith("=") else (f"__{name}__", f"__r{name}__")
    return [
        Member(method, access, call, kind="bulk", keyed=variadic, trees=True),
        Member(symbol, access, lambda s: binary(s.tree, s.other([1, 4, 7])), attributes=dunders,
               kind="operator", trees=True),
    ]


MEMBERS = [
    # Lookups that apply the key rule to a value.
    Member("search", SHARED, lambda s: s.tree.search(s.value(3)), keyed=True),
    Member("get", SHARED, lambda s: s.tree.get(s.value(3)), keyed=True),
    Member("contains", SHARED, lambda s: s.tree.contains(s.value(3)), keyed=True),
    Member("has_node", SHARED, lambda s: s.tree.has_node(s.value(3)), keyed=True),
    Member("in", SHARED, lambda s: s.value(3) in s.tree, attributes=("__contains__",), keyed=True),
    Member("index", SHARED, lambda s: s.tree.index(s.value(4)), keyed=True),
    # Lookups by key.
    Member("search_key", SHARED, lambda s: s.tree.search_key(s.key(3))),
    Member("contains_key", SHARED, lambda s: s.tree.contains_key(s.key(3))),
    Member("range", SHARED, lambda s: list(s.tree.range(s.key(1), s.key(5)))),
    Member("iter_from", SHARED, lambda s: list(s.tree.iter_from(s.key(3), s.index(2)))),
    Member("iter_to", SHARED, lambda s: list(s.tree.iter_to(s.key(3), s.index(2)))),
    Member("bisect_left", SHARED, lambda s: s.tree.bisect_left(s.key(3))),
    Member("bisect_right", SHARED, lambda s: s.tree.bisect_right(s.key(4))),
    *(Member(name, SHARED, lambda s, name=name: getattr(s.tree, name)(s.key(3)))
      for name in ("floor", "ceiling", "lower", "higher")),
    # Positions.
    Member("subscript", SHARED, lambda s: s.tree[s.index(1)], attributes=("__getitem__",)),
    Member("slice", SHARED, lambda s: s.tree[s.index(0):s.index(4):s.index(2)], attributes=("__getitem__",)),
    # The whole tree; the text form and the deep copy call the values' own methods.
    Member("len", SHARED, lambda s: len(s.tree), attributes=("__len__",), calls_back=False),
    Member("bool", SHARED, lambda s: bool(s.tree), attributes=("__bool__",), calls_back=False),
    Member("is_empty", SHARED, lambda s: s.tree.is_empty(), calls_back=False),
    Member("height", SHARED, lambda s: s.tree.height, calls_back=False),
    *(Member(name, SHARED, lambda s, name=name: getattr(s.tree, name)(), calls_back=False)
      for name in ("first", "min", "last", "max")),
    *(Member(name, SHARED, _walk(name), calls_back=False)
      for name in ("in_order", "descending", "pre_order", "post_order", "level_order")),
    Member("iter", SHARED, lambda s: list(iter(s.tree)), attributes=("__iter__",), calls_back=False),
    Member("reversed", SHARED, lambda s: list(reversed(s.tree)), attributes=("__reversed__",),
           calls_back=False),
    Member("repr", SHARED, lambda s: repr(s.tree), attributes=("__repr__",)),
    Member("__reduce__", SHARED, lambda s: s.tree.__reduce__(), calls_back=False),
    Member("copy", SHARED, lambda s: s.tree.copy(), calls_back=False),
    Member("__copy__", SHARED, lambda s: copy.copy(s.tree), calls_back=False),
    Member("__deepcopy__", SHARED, lambda s: s.tree.__deepcopy__({})),
    # Mutation of one entry, or all.
    Member("insert", EXCLUSIVE, lambda s: s.tree.insert(s.value(3)), keyed=True),
    Member("remove", EXCLUSIVE, lambda s: s.tree.remove(s.value(4)), keyed=True),
    Member("remove_key", EXCLUSIVE, lambda s: s.tree.remove_key(s.key(4))),
    Member("pop", EXCLUSIVE, lambda s: s.tree.pop(s.index(1))),
    Member("clear", EXCLUSIVE, lambda s: s.tree.clear(), calls_back=False),
    # Bulk members and their operators.
    *_operand_rows("|", "union", operator.or_, SHARED),
    *_operand_rows("&", "intersection", operator.and_, SHARED),
    *_operand_rows("-", "difference", operator.sub, SHARED),
    *_operand_rows("^", "symmetric_difference", operator.xor, SHARED),
    *_operand_rows("|=", "update", operator.ior, EXCLUSIVE),
    *_operand_rows("&=", "intersection_update", operator.iand, EXCLUSIVE),
    *_operand_rows("-=", "difference_update", operator.isub, EXCLUSIVE),
    *_operand_rows("^=", "symmetric_difference_update", operator.ixor, EXCLUSIVE),
    Member("issubset", SHARED, lambda s: s.tree.issubset(s.batch([0, 2, 3, 4, 6, 8])), kind="bulk",
           keyed=True),
    Member("issuperset", SHARED, lambda s: s.tree.issuperset(s.other([2, 4])), kind="bulk", trees=True),
    Member("isdisjoint", SHARED, lambda s: s.tree.isdisjoint(s.batch([1, 3, 5])), kind="bulk", keyed=True),
    # The snapshot iterator, which holds its own borrow and runs no Python code.
    Member("__next__", EXCLUSIVE, lambda s: next(s.iterator), owner="_AVLTreeIterator", calls_back=False),
    Member("__iter__", SHARED, lambda s: iter(s.iterator), owner="_AVLTreeIterator", calls_back=False),
]


# -- AVLDict and its views -------------------------------------------------------------
#
# A map's Subject maps each of its keys to itself; a view's rows run on a view of such a map.
# Point lookups ask for the stored key 4 through an equal object of their own: the hash
# index then compares it with the stored one, so a member that looks a key up always calls
# back. A row may call several members when they stand or fall together (== and !=, an
# operator and its reflection).


def _map_rows():
    d = "AVLDict"

    def store(s, i):
        s.tree[s.key(i)] = s.value(i)

    def delete(s):
        # A second call (from another thread, or a repeated one) finds nothing to delete.
        try:
            del s.tree[s.key(4)]
        except KeyError:
            pass

    return [
        Member("getitem", SHARED, lambda s: s.tree[s.key(4)], owner=d, attributes=("__getitem__",)),
        Member("in", SHARED, lambda s: s.key(4) in s.tree, owner=d, attributes=("__contains__",)),
        Member("get", SHARED, lambda s: s.tree.get(s.key(4)), owner=d),
        Member("setitem", EXCLUSIVE, lambda s: store(s, 4), owner=d, attributes=("__setitem__",)),
        Member("setitem new", EXCLUSIVE, lambda s: store(s, 3), owner=d, attributes=("__setitem__",)),
        Member("delitem", EXCLUSIVE, delete, owner=d, attributes=("__delitem__",)),
        Member("setdefault", EXCLUSIVE, lambda s: s.tree.setdefault(s.key(4), s.value(4)), owner=d),
        Member("setdefault new", EXCLUSIVE, lambda s: s.tree.setdefault(s.key(3), s.value(3)), owner=d,
               attributes=("setdefault",)),
        Member("pop", EXCLUSIVE, lambda s: s.tree.pop(s.key(4), None), owner=d),
        Member("popitem", EXCLUSIVE, lambda s: s.tree.popitem(s.index(1)), owner=d),
        Member("peekitem", SHARED, lambda s: s.tree.peekitem(s.index(0)), owner=d),
        Member("clear", EXCLUSIVE, lambda s: s.tree.clear(), owner=d, calls_back=False),
        Member("update", EXCLUSIVE, lambda s: s.tree.update(s.item_pairs([3, 4, 8])), owner=d,
               kind="bulk"),
        Member("update mapping", EXCLUSIVE, lambda s: s.tree.update(PairMapping(s.item_pairs([1, 4, 7]))),
               owner=d, attributes=("update",), kind="bulk"),
        Member("|=", EXCLUSIVE, lambda s: operator.ior(s.tree, s.mapping([1, 4, 7])), owner=d,
               attributes=("__ior__",), kind="operator"),
        Member("|", SHARED, lambda s: (s.tree | s.mapping([1, 4]), s.mapping([4, 7]) | s.tree), owner=d,
               attributes=("__or__", "__ror__"), kind="operator"),
        Member("==", SHARED, lambda s: (s.tree == s.mapping(s.contents), s.tree != s.mapping([4])),
               owner=d, attributes=("__eq__", "__ne__"), kind="bulk"),
        Member("len", SHARED, lambda s: len(s.tree), owner=d, attributes=("__len__",), calls_back=False),
        Member("bool", SHARED, lambda s: bool(s.tree), owner=d, attributes=("__bool__",), calls_back=False),
        Member("iter", SHARED, lambda s: list(iter(s.tree)), owner=d, attributes=("__iter__",),
               calls_back=False),
        Member("reversed", SHARED, lambda s: list(reversed(s.tree)), owner=d, attributes=("__reversed__",),
               calls_back=False),
        *(Member(name, SHARED, lambda s, name=name: getattr(s.tree, name)(), owner=d, calls_back=False)
          for name in ("keys", "values", "items")),
        Member("index", SHARED, lambda s: s.tree.index(s.key(4)), owner=d),
        Member("bisect_left", SHARED, lambda s: s.tree.bisect_left(s.key(3)), owner=d),
        Member("bisect_right", SHARED, lambda s: s.tree.bisect_right(s.key(4)), owner=d),
        *_ordered_rows(d, lambda s: s.tree),
        Member("repr", SHARED, lambda s: repr(s.tree), owner=d, attributes=("__repr__",)),
        Member("__reduce__", SHARED, lambda s: s.tree.__reduce__(), owner=d, calls_back=False),
        Member("copy", SHARED, lambda s: s.tree.copy(), owner=d, calls_back=False),
        Member("__copy__", SHARED, lambda s: copy.copy(s.tree), owner=d, calls_back=False),
        Member("__deepcopy__", SHARED, lambda s: s.tree.__deepcopy__({}), owner=d),
    ]


def _ordered_rows(owner, of):
    """The ordered queries, which the map and each view take, on what `of` gives."""
    return [
        Member("range", SHARED, lambda s: list(of(s).range(s.key(1), s.key(5))), owner=owner),
        Member("iter_from", SHARED, lambda s: list(of(s).iter_from(s.key(3), s.index(2))), owner=owner),
        Member("iter_to", SHARED, lambda s: list(of(s).iter_to(s.key(3), s.index(2))), owner=owner),
        *(Member(name, SHARED, lambda s, name=name: getattr(of(s), name)(s.key(3)), owner=owner)
          for name in ("floor", "ceiling", "lower", "higher")),
    ]


def _view_rows(view):
    """The rows of one view of the map: keys(), values() or items()."""
    owner = {"keys": "_AVLDictKeys", "values": "_AVLDictValues", "items": "_AVLDictItems"}[view]
    of = lambda s: getattr(s.tree, view)()  # noqa: E731
    # What the view holds for stored key i, and a set of those for i in ints.
    held = {"keys": lambda s, i: s.key(i), "values": lambda s, i: s.value(i),
            "items": lambda s, i: (s.key(i), s.value(i))}[view]
    some = lambda s, ints: {held(s, i) for i in ints}  # noqa: E731
    rows = [
        Member("len", SHARED, lambda s: len(of(s)), owner=owner, attributes=("__len__",), calls_back=False),
        Member("in", SHARED, lambda s: held(s, 4) in of(s), owner=owner, attributes=("__contains__",)),
        Member("iter", SHARED, lambda s: list(iter(of(s))), owner=owner, attributes=("__iter__",),
               calls_back=False),
        Member("reversed", SHARED, lambda s: list(reversed(of(s))), owner=owner,
               attributes=("__reversed__",), calls_back=False),
        Member("subscript", SHARED, lambda s: of(s)[s.index(1)], owner=owner, attributes=("__getitem__",)),
        Member("slice", SHARED, lambda s: of(s)[s.index(0):s.index(4):s.index(2)], owner=owner,
               attributes=("__getitem__",)),
        *_ordered_rows(owner, of),
    ]
    if view == "values":
        return rows
    binary = {"&": ("and", operator.and_), "|": ("or", operator.or_), "-": ("sub", operator.sub),
              "^": ("xor", operator.xor)}
    # The set operators run on sets made of the view's snapshot, after its borrow is given back.
    return rows + [
        Member("==", SHARED, lambda s: (of(s) == some(s, s.contents), of(s) != some(s, [4])),
               owner=owner, attributes=("__eq__", "__ne__"), kind="bulk"),
        Member("isdisjoint", SHARED, lambda s: of(s).isdisjoint(some(s, [1, 4])), owner=owner, kind="bulk"),
        *(Member(symbol, SHARED,
                 lambda s, op=op: (op(of(s), some(s, [1, 4, 7])), op(some(s, [3, 4]), of(s))),
                 owner=owner, attributes=(f"__{name}__", f"__r{name}__"), kind="operator", calls_back=False)
          for symbol, (name, op) in binary.items()),
    ]


MEMBERS += _map_rows() + _view_rows("keys") + _view_rows("values") + _view_rows("items")


class Owner:
    """A class the rows belong to: the type, the factory that makes the Subject's `tree`
    from values and a key rule (an iterator's rows run on an iterator of a tree, a view's
    on a view of a map), and the type's attributes that are not members of its instances:
    class-level protocol and constants, and members that refuse at once without a borrow.

    `family` names the class the Subject's `tree` is of. A map's family has no key rule,
    and its keys must hash."""

    def __init__(self, cls, make, not_members, family="AVLTree"):
        self.cls, self.make, self.not_members, self.family = cls, make, set(not_members), family

    @property
    def maps(self):
        return self.family == "AVLDict"

    def add(self, tree, value):
        """Stores `value` (as its own value in a map); whether it was new."""
        if not self.maps:
            return tree.insert(value)
        new = value not in tree
        tree[value] = value
        return new

    def discard(self, tree, key):
        """Takes out the entry of `key`; whether there was one."""
        if not self.maps:
            return tree.remove_key(key)
        return tree.pop(key, _ABSENT) is not _ABSENT

    def state(self, tree):
        """What a failed operation must leave untouched, read without calling back."""
        return dict_state(tree) if self.maps else tree_state(tree)

    def check(self, tree):
        """The engine's own invariant check."""
        (_check_avldict if self.maps else _check_invariants)(tree)


_ABSENT = object()


def _map(values, key=None):
    assert key is None, "a map has no key rule"
    return AVLDict((v, v) for v in values)


_MAP_PROTOCOL = {"__doc__", "__module__", "__new__", "__hash__"}
# The orderings of a map or a view answer NotImplemented at once, as dict's do.
_ORDERINGS = {"__lt__", "__le__", "__gt__", "__ge__"}

OWNERS = {
    "AVLTree": Owner(AVLTree, AVLTree, {"__doc__", "__module__", "__new__", "__class_getitem__"}),
    # An iterator cannot be pickled, nor made from Python (before 3.10 a __new__ refuses).
    "_AVLTreeIterator": Owner(quorel.quorel._AVLTreeIterator, AVLTree,
                              {"__doc__", "__module__", "__new__", "__reduce__"}, family="_AVLTreeIterator"),
    # fromkeys makes a new map: no instance is borrowed.
    "AVLDict": Owner(AVLDict, _map, _MAP_PROTOCOL | _ORDERINGS | {"__class_getitem__", "fromkeys"},
                     family="AVLDict"),
    **{name: Owner(type(getattr(AVLDict(), view)()), _map, _MAP_PROTOCOL | _ORDERINGS, family="AVLDict")
       for name, view in (("_AVLDictKeys", "keys"), ("_AVLDictValues", "values"), ("_AVLDictItems", "items"))},
}


def members(*, owner="AVLTree", **wanted):
    """The rows of one class (None: of every class) whose fields have the given values."""
    return [m for m in MEMBERS if owner in (None, m.owner) and all(getattr(m, f) == v for f, v in wanted.items())]


def member_ids(value):
    """Test ids for parameters that are rows: the member's name."""
    return value.id if isinstance(value, Member) else None


MAP_VIEWS = {OWNERS[name].cls for name in ("_AVLDictKeys", "_AVLDictValues", "_AVLDictItems")}


def plain(result):
    """A member's answer in a form that compares by contents: trees and iterators as lists."""
    if isinstance(result, (AVLTree, quorel.quorel._AVLTreeIterator)):
        return (type(result).__name__, list(result))
    if isinstance(result, AVLDict):
        return ("AVLDict", list(result.items()))
    if type(result) in MAP_VIEWS:
        return (type(result).__name__, list(result))
    if isinstance(result, (list, tuple)):
        return type(result)(plain(r) for r in result)
    return result


# -- a fresh interpreter -------------------------------------------------------------

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


# -- AVLDict members ---------------------------------------------------------------

class PairMapping(collections.abc.Mapping):
    """A mapping over a list of pairs that hashes and compares nothing itself, so that
    every hash and comparison of its keys happens inside the member it is given to."""

    def __init__(self, pairs):
        self.pairs = pairs

    def __getitem__(self, key):
        for k, v in self.pairs:
            if k is key:
                return v
        raise KeyError(key)

    def __iter__(self):
        return iter(self.keys())

    def __len__(self):
        return len(self.pairs)

    def keys(self):
        return [k for k, _ in self.pairs]


def dict_state(d):
    """What a failed operation must leave untouched: the key and value objects in key
    order, by identity (walking the items hashes each key once, and compares none)."""
    _check_avldict(d)
    return [(id(k), id(v)) for k, v in d.items()]
