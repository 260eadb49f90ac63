"""One adapter per measured library, all with the same operation names.

Every operation runs its whole batch in one loop over a list, with the bound
method held in a local, so the per-call overhead of the benchmark loop is the
same for every library. An operation a library cannot do is ``None``.

The peers have no lookup that hands back the stored object the way
``AVLTree.search`` does; their membership test stands in for it, which only
flatters the peer.
"""

from __future__ import annotations

import bisect
import pickle
import sys
from itertools import islice

from .keys import WINDOW
from .timing import SET_OPERATIONS


def _roundtrip(s):
    return pickle.loads(pickle.dumps(s, pickle.HIGHEST_PROTOCOL))


def _update(self, s, values):
    s.update(values)


def _set_operation(self, a, b, name):
    return getattr(a, name)(b)


def _call(f, n):
    for _ in range(n):
        f()


class Library:
    """The operations a library can run; those that stay ``None`` it cannot.
    The defaults suit a set-like class with ``add``, ``discard`` and ``in``."""

    name = ""
    note = ""
    max_removals = None  # cap on values removed per timed run
    add_method, remove_method = "add", "discard"
    build = None
    contains_key = search_value = search_key = remove_key = None
    first = last = None
    range = iter_from = iter_to = None
    update = set_operation = None

    def insert_many(self, s, values):
        f = getattr(s, self.add_method)
        for v in values:
            f(v)
        return s

    def contains_value(self, s, probes):
        for x in probes:
            x in s

    def remove_value(self, s, values):
        f = getattr(s, self.remove_method)
        for v in values:
            f(v)

    def supports(self, kind) -> bool:
        return not kind.keyed

    def prepare(self, kind):
        """Called before the operations on a new kind of key run."""

    def skips(self, op, kind, size) -> bool:
        """Whether `op` is left out for this kind or size: it has no meaning
        there, or its cost grows too fast to finish in reasonable time."""
        return False

    def empty(self, kind):
        return self.build(kind, ())

    def iterate(self, s):
        for _ in s:
            pass

    pickle_roundtrip = staticmethod(_roundtrip)


class _Positional:
    """Positions, ranks and pops, spelled alike by quorel and sortedcontainers."""

    def at_index(self, s, positions):
        for i in positions:
            s[i]

    def index_of(self, s, values):
        f = s.index
        for v in values:
            f(v)

    def bisect_left(self, s, keys):
        f = s.bisect_left
        for k in keys:
            f(k)

    def pop_first(self, s, n):
        f = s.pop
        return [f(0) for _ in range(n)]

    def pop_last(self, s, n):
        f = s.pop
        return [f() for _ in range(n)]


class Quorel(_Positional, Library):
    name = "quorel"
    note = "quorel.AVLTree"
    add_method, remove_method = "insert", "remove"

    def __init__(self):
        from quorel import AVLTree

        self.cls = AVLTree

    def supports(self, kind):
        return True

    def build(self, kind, values):
        return self.cls(values, key=kind.key_rule)

    update, set_operation = _update, _set_operation

    def contains_key(self, s, keys):
        f = s.contains_key
        for k in keys:
            f(k)

    def search_value(self, s, probes):
        f = s.search
        for x in probes:
            f(x)

    def search_key(self, s, keys):
        f = s.search_key
        for k in keys:
            f(k)

    def remove_key(self, s, keys):
        f = s.remove_key
        for k in keys:
            f(k)

    def first(self, s, n):
        _call(s.first, n)

    def last(self, s, n):
        _call(s.last, n)

    def range(self, s, starts, ends):
        f = s.range
        for a, b in zip(starts, ends):
            list(f(a, b))

    def iter_from(self, s, starts):
        f = s.iter_from
        for a in starts:
            list(f(a, WINDOW))

    def iter_to(self, s, ends):
        f = s.iter_to
        for b in ends:
            list(f(b, WINDOW))


class _Indexed(Library):
    """First and last by index, for the list-backed structures."""

    def first(self, s, n):
        for _ in range(n):
            s[0]

    def last(self, s, n):
        for _ in range(n):
            s[-1]


class _Sorted(_Positional, _Indexed):
    """Shared by the sortedcontainers classes: irange and, under a key
    rule, the *_key methods."""

    search_value = Library.contains_value
    update = _update

    def bisect_left(self, s, keys):
        f = s.bisect_left if s.key is None else s.bisect_key_left
        for k in keys:
            f(k)

    # With a key rule, membership by key and the windows go through the
    # *_key methods; without one, a key is the value itself.
    def contains_key(self, s, keys):
        if s.key is None:
            for k in keys:
                k in s
            return
        find, key, n = s.bisect_key_left, s.key, len(s)
        for k in keys:
            i = find(k)
            i < n and key(s[i]) == k

    search_key = contains_key

    def remove_key(self, s, keys):
        if s.key is None:
            return self.remove_value(s, keys)
        find = s.bisect_key_left
        for k in keys:
            del s[find(k)]

    def range(self, s, starts, ends):
        f = s.irange if s.key is None else s.irange_key
        for a, b in zip(starts, ends):
            list(f(a, b, (True, False)))

    def iter_from(self, s, starts):
        f = s.irange if s.key is None else s.irange_key
        for a in starts:
            list(islice(f(a), WINDOW))

    def iter_to(self, s, ends):
        f = s.irange if s.key is None else s.irange_key
        for b in ends:
            list(islice(f(None, b, reverse=True), WINDOW))


class SortedSetLib(_Sorted):
    name = "SortedSet"
    note = "sortedcontainers.SortedSet (membership is hash-based)"

    def __init__(self):
        from sortedcontainers import SortedSet

        self.cls = SortedSet

    def supports(self, kind):
        return True

    def build(self, kind, values):
        return self.cls(values, key=kind.key_func)

    set_operation = _set_operation


class SortedListLib(_Sorted):
    """SortedList for plain keys, SortedKeyList for kinds with a key rule."""

    def __init__(self, keyed):
        from sortedcontainers import SortedKeyList, SortedList

        self.keyed = keyed
        self.cls = SortedKeyList if keyed else SortedList
        self.name = self.cls.__name__
        self.note = "sortedcontainers." + self.name

    def supports(self, kind):
        return kind.keyed == self.keyed

    def build(self, kind, values):
        if self.keyed:
            return self.cls(values, key=kind.key_func)
        return self.cls(values)


class BTreeSetLib(Library):
    remove_method = "remove"

    def __init__(self, module, cls, int64=False):
        mod = __import__("BTrees." + module, fromlist=[cls])
        self.cls = getattr(mod, cls)
        self.int64 = int64
        self.name = cls
        self.note = f"BTrees.{module}.{cls}"

    # Outside a database, pickling a BTrees set recurses once per bucket
    # and runs past the interpreter's recursion limit at a few 10,000s.
    PICKLE_LIMIT = 10_000

    def supports(self, kind):
        return not kind.keyed and (kind.int64 or not self.int64)

    def skips(self, op, kind, size):
        return op == "pickle" and size > self.PICKLE_LIMIT

    def build(self, kind, values):
        return self.cls(values)

    contains_key = search_value = search_key = Library.contains_value
    remove_key = Library.remove_value
    update = _update

    def first(self, s, n):
        _call(s.minKey, n)

    def last(self, s, n):
        _call(s.maxKey, n)

    def range(self, s, starts, ends):
        f = s.keys
        for a, b in zip(starts, ends):
            list(f(a, b, excludemax=True))

    def iter_from(self, s, starts):
        f = s.keys
        for a in starts:
            list(islice(f(a), WINDOW))

    # No iter_to: a BTrees set has no reverse iteration, and indexing its
    # key view from the end walks the buckets from the start.


class SetLib(Library):
    name = "set"
    note = "built-in set (hash table, unordered)"

    def supports(self, kind):
        return True

    def build(self, kind, values):
        return set(values)

    search_value = contains_key = search_key = Library.contains_value
    remove_key = Library.remove_value
    update, set_operation = _update, _set_operation

    def skips(self, op, kind, size):
        # A hash set finds values, not keys extracted from them, and tells
        # keyed records apart by identity.
        return kind.keyed and ("_key" in op or op.startswith("update") or op in SET_OPERATIONS)


class ListLib(_Indexed):
    """A sorted list kept with the bisect module (its key= argument needs
    Python 3.10 for the kinds with a key rule)."""

    name = "list+bisect"
    note = "sorted built-in list with bisect/insort"
    INSORT_LIMIT = 100_000  # insertion at random positions is quadratic
    max_removals = 200  # each removal moves half the list

    def supports(self, kind):
        return not kind.keyed or sys.version_info >= (3, 10)

    def skips(self, op, kind, size):
        return op == "insert_random" and size > self.INSORT_LIMIT

    def prepare(self, kind):
        self.key = kind.key_func

    def build(self, kind, values):
        return sorted(values, key=kind.key_func)

    def empty(self, kind):
        return []

    def _kw(self):
        return {} if self.key is None else {"key": self.key}

    def insert_many(self, s, values):
        f, kw = bisect.insort, self._kw()
        for v in values:
            f(s, v, **kw)
        return s

    def contains_key(self, s, keys):
        f, key, n, kw = bisect.bisect_left, self.key or (lambda v: v), len(s), self._kw()
        for k in keys:
            i = f(s, k, **kw)
            i < n and key(s[i]) == k

    search_key = contains_key

    def contains_value(self, s, probes):
        if self.key is None:
            return self.contains_key(s, probes)
        f, key, n = bisect.bisect_left, self.key, len(s)
        for x in probes:
            i = f(s, key(x), key=key)
            i < n and s[i] is x

    search_value = contains_value

    def remove_key(self, s, keys):
        f, kw = bisect.bisect_left, self._kw()
        for k in keys:
            del s[f(s, k, **kw)]

    def remove_value(self, s, values):
        if self.key is None:
            return self.remove_key(s, values)
        f, key = bisect.bisect_left, self.key
        for v in values:
            del s[f(s, key(v), key=key)]

    def range(self, s, starts, ends):
        f, kw = bisect.bisect_left, self._kw()
        for a, b in zip(starts, ends):
            s[f(s, a, **kw):f(s, b, **kw)]

    def iter_from(self, s, starts):
        f, kw = bisect.bisect_left, self._kw()
        for a in starts:
            i = f(s, a, **kw)
            s[i:i + WINDOW]

    def iter_to(self, s, ends):
        f, kw = bisect.bisect_right, self._kw()
        for b in ends:
            j = f(s, b, **kw)
            s[max(0, j - WINDOW):j][::-1]


MAKERS = [
    ("quorel", Quorel),
    ("SortedSet", SortedSetLib),
    ("SortedList", lambda: SortedListLib(keyed=False)),
    ("SortedKeyList", lambda: SortedListLib(keyed=True)),
    ("OOTreeSet", lambda: BTreeSetLib("OOBTree", "OOTreeSet")),
    ("LLTreeSet", lambda: BTreeSetLib("LLBTree", "LLTreeSet", int64=True)),
    ("set", SetLib),
    ("list+bisect", ListLib),
]
# Column order of the tables: the ordered structures, then the compiled
# reference, then the unordered and flat reference points.
COLUMNS = [name for name, _ in MAKERS[:6]] + ["std::set"] + [name for name, _ in MAKERS[6:]]


def available():
    """The libraries that import here, quorel first, and the names of those
    that do not."""
    libs, missing = [], []
    for name, make in MAKERS:
        try:
            libs.append(make())
        except ImportError:
            missing.append(name)
    return libs, missing
