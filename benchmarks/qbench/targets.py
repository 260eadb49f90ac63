"""The performance targets quorel is held to, checked against a run's ratios.

A target holds when quorel's figure divided by the peer's, both from the same
run, is at most the limit.
"""

from __future__ import annotations

from dataclasses import dataclass

from .timing import SET_OPERATIONS

M, TEN_K = 10**6, 10**4
SIZES = (10**3, 10**4, 10**5, M)
BY_KEY = ("search_key_hit", "search_key_miss", "contains_key_hit", "contains_key_miss")
TUPLES = ("tuple", "int_str", "float_int", "str_str", "nested")
ALL_KINDS = ("int", "small", "float", "str", *TUPLES, "object", "attr", "callable")
LOOKUP = ("in_hit", "in_miss", "search_hit", "search_miss", "search_key_hit", "search_key_miss")
WINDOWS = ("range", "iter_from", "iter_to")
KEYED = ("attr", "callable")
BULK_KINDS = ("int", "str", "tuple")


def ordered_list(kind):
    return "SortedKeyList" if kind in KEYED else "SortedList"


@dataclass(frozen=True)
class Target:
    kind: str
    size: int
    op: str
    peer: str
    limit: float


TARGETS = [
    Target("int", M, "insert_random", "SortedSet", 0.5),
    *(Target("int", M, op, "SortedList", 0.7) for op in BY_KEY),
    *(Target("int", M, op, "LLTreeSet", 2.0) for op in BY_KEY),
    Target("int", M, "insert_random", "std::set", 1.6),
    Target("int", M, "search_key_hit", "std::set", 1.6),
    Target("int", M, "search_key_miss", "std::set", 1.6),
    Target("int", M, "iterate", "SortedSet", 1.1),
    Target("int", M, "range", "SortedSet", 0.3),
    Target("int", M, "iter_from", "SortedSet", 0.3),
    Target("int", M, "pickle", "SortedSet", 0.4),
    Target("int", M, "build_sorted", "SortedSet", 0.5),
    Target("int", M, "memory", "SortedSet", 1.25),
    Target("int", TEN_K, "insert_random", "SortedSet", 0.3),
    Target("int", TEN_K, "search_key_hit", "SortedList", 0.5),
    Target("int", TEN_K, "contains_key_hit", "SortedList", 0.5),
    Target("str", M, "insert_random", "SortedSet", 0.6),
    Target("str", M, "remove", "SortedSet", 0.6),
    # Composite keys.
    *(Target(k, n, op, "SortedList", 0.7)
      for k in TUPLES for n in SIZES for op in ("insert_random", "remove", *LOOKUP)),
    *(Target(k, n, op, "SortedSet", 0.6)
      for k in TUPLES for n in SIZES for op in ("insert_random", "remove")),
    *(Target(k, n, op, "SortedSet", 0.5) for k in TUPLES for n in SIZES for op in WINDOWS),
    # Whole-tree work, for every kind of key.
    *(Target(k, n, "iterate", ordered_list(k), 1.0 if n == M else 1.3)
      for k in ALL_KINDS for n in SIZES),
    *(Target(k, n, "build_random", "SortedSet", 1.0) for k in ALL_KINDS for n in SIZES),
    *(Target(k, n, "pickle", "SortedSet", 1.0) for k in ALL_KINDS for n in SIZES),
    # Updates and set operations between two trees of n values, half shared; the
    # limits against set are a stretch.
    *(Target(k, n, op, "SortedList", 1.0)
      for k in BULK_KINDS for n in (10**5, M) for op in ("update_small", "update_large")),
    *(Target(k, n, op, "SortedSet", 0.3) for k in BULK_KINDS for n in (10**5, M) for op in SET_OPERATIONS),
    *(Target(k, n, op, "set", 1.0) for k in BULK_KINDS for n in (10**5, M) for op in SET_OPERATIONS),
    # Positions, ranks and pops.
    *(Target("int", n, op, "SortedList", 1.0)
      for n in SIZES[1:] for op in ("at_index", "index", "bisect_left", "pop_first", "pop_last")),
]


def check(ratio):
    """Evaluate every target; `ratio(kind, size, op, peer)` gives the
    measured ratio or None. Returns one dict per target."""
    rows = []
    for t in TARGETS:
        r = ratio(t.kind, t.size, t.op, t.peer)
        status = "not measured" if r is None else ("met" if r <= t.limit else "missed")
        rows.append({"kind": t.kind, "size": t.size, "op": t.op, "peer": t.peer,
                     "limit": t.limit, "ratio": r, "status": status})
    return rows
