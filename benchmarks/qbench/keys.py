"""The data every library is measured on: stored values, probes that hit and
miss, and window endpoints, for each kind of key.

All data of one (kind, size) pair comes from one seeded generator, so every
library, every run and the memory subprocess see exactly the same values.
"""

from __future__ import annotations

import operator
import random
from dataclasses import dataclass
from typing import Any, Callable, Optional

WINDOW = 100  # values per range / iter_from / iter_to query


class Ordered:
    """A value ordered only by Python-level comparison methods."""

    __slots__ = ("v",)

    def __init__(self, v):
        self.v = v

    def __eq__(self, other):
        return self.v == other.v

    def __lt__(self, other):
        return self.v < other.v

    def __hash__(self):
        return hash(self.v)


class Record:
    """A value that carries its key in the attribute ``k`` and has no order of
    its own; hashing and equality are by identity."""

    __slots__ = ("k",)

    def __init__(self, k):
        self.k = k


def record_key(record):
    """The callable key rule (a module-level function, so trees pickle)."""
    return record.k


@dataclass(frozen=True)
class Kind:
    name: str
    description: str
    make: Callable[[int], Any]
    # How a tree orders the values: None (the value itself), an attribute
    # name, or a callable; `key_func` is the same rule as a callable, for the
    # peers that only take callables.
    key_rule: Any = None
    key_func: Optional[Callable[[Any], Any]] = None
    int64: bool = False  # keys fit a signed 64-bit integer
    bits: int = 62  # the raw draws `make` maps (injectively) to values lie below 2**bits

    @property
    def keyed(self):
        return self.key_rule is not None


_LOW52 = (1 << 52) - 1
_LOW26 = (1 << 26) - 1

KINDS = {
    k.name: k
    for k in (
        Kind("int", "random ints below 2**62", lambda x: x, int64=True),
        Kind("float", "random floats in [0, 1)", float),
        Kind("str", "random 16-character hex strings", lambda x: f"{x:016x}"),
        Kind("small", "random ints below 2**30 (ids)", lambda x: x, int64=True, bits=30),
        Kind("tuple", "(int, int) pairs, first item shared by ~1/1024 of keys",
             lambda x: (x >> 52, x & _LOW52)),
        Kind("int_str", "(int, str) pairs, first item shared by ~1/1024 of keys",
             lambda x: (x >> 52, f"{x & _LOW52:013x}")),
        Kind("float_int", "(float, int) pairs, first item shared by ~1/1024 of keys",
             lambda x: ((x >> 52) / 8, x & _LOW52)),
        Kind("str_str", "(str, str) pairs, first item shared by ~1/1024 of keys",
             lambda x: (f"user{x >> 52:04d}", f"{x & _LOW52:013x}")),
        Kind("nested", "(int, (int, int)), first item shared by ~1/1024 of keys",
             lambda x: (x >> 52, ((x >> 26) & _LOW26, x & _LOW26))),
        Kind("object", "objects ordered by a Python __lt__", Ordered),
        Kind("attr", "records keyed by attribute name 'k' (int keys)", Record,
             key_rule="k", key_func=operator.attrgetter("k")),
        Kind("callable", "records keyed by a Python function (int keys)", Record,
             key_rule=record_key, key_func=record_key),
    )
}


@dataclass
class Data:
    kind: Kind
    size: int
    values: list      # stored values, random order
    ascending: list   # stored values in ascending key order
    hit_values: list  # stored values, shuffled: lookups that succeed
    hit_keys: list    # their keys
    miss_values: list  # values whose keys are not stored
    miss_keys: list
    starts: list      # key of a stored value; WINDOW stored keys follow it
    ends: list        # key WINDOW places above the matching start

    def key_of(self, value):
        return value if self.kind.key_func is None else self.kind.key_func(value)


def make_data(kind: Kind, size: int, probes: int, windows: int, seed: int = 2024) -> Data:
    """Draw `size` stored and `probes` absent keys, all distinct."""
    rng = random.Random(f"{seed}/{kind.name}/{size}")
    if kind.name == "float":
        seen = set()
        while len(seen) < size + probes:
            seen.add(rng.random())
        raw = list(seen)
        rng.shuffle(raw)
    else:
        raw = rng.sample(range(1 << kind.bits), size + probes)
    values = [kind.make(x) for x in raw[:size]]
    misses = [kind.make(x) for x in raw[size:]]
    key = (lambda v: v) if kind.key_func is None else kind.key_func
    ascending = sorted(values, key=key)
    hits = rng.sample(values, min(probes, size))
    first = [rng.randrange(max(1, size - WINDOW)) for _ in range(windows)]
    return Data(
        kind=kind,
        size=size,
        values=values,
        ascending=ascending,
        hit_values=hits,
        hit_keys=[key(v) for v in hits],
        miss_values=misses,
        miss_keys=[key(v) for v in misses],
        starts=[key(ascending[i]) for i in first],
        ends=[key(ascending[min(i + WINDOW, size - 1)]) for i in first],
    )
