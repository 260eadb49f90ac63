"""Timed operations: what each one runs, how many operations one timed run
counts, and the repeat loop that turns runs into a median."""

from __future__ import annotations

import math
import random
from dataclasses import dataclass
from typing import Optional
from time import perf_counter_ns, process_time_ns


@dataclass(frozen=True)
class Op:
    name: str
    label: str


OPS = [
    Op("insert_random", "insert one at a time, random order"),
    Op("insert_ascending", "insert one at a time, ascending order"),
    Op("build_random", "construct from a random-order iterable (per value)"),
    Op("build_sorted", "construct from a sorted iterable (per value)"),
    Op("in_hit", "`value in s`, present"),
    Op("in_miss", "`value in s`, absent"),
    Op("search_hit", "search by value, present"),
    Op("search_miss", "search by value, absent"),
    Op("search_key_hit", "search by key, present"),
    Op("search_key_miss", "search by key, absent"),
    Op("contains_key_hit", "contains by key, present"),
    Op("contains_key_miss", "contains by key, absent"),
    Op("remove", "remove by value"),
    Op("remove_key", "remove by key"),
    Op("first", "first / smallest value"),
    Op("last", "last / largest value"),
    Op("iterate", "full ascending iteration (per value)"),
    Op("range", "range(start, end) of 100 values (per query)"),
    Op("iter_from", "100 values upward from a key (per query)"),
    Op("iter_to", "100 values downward from a key (per query)"),
    Op("pickle", "pickle dumps + loads (per value)"),
    Op("at_index", "`s[i]`, random positions"),
    Op("index", "position of a stored value"),
    Op("bisect_left", "bisect_left of a stored key"),
    Op("pop_first", "pop(0), smallest value"),
    Op("pop_last", "pop(), largest value"),
    Op("update_small", "update a structure of n with n/100 new values (per new value)"),
    Op("update_large", "update a structure of n with n new values (per new value)"),
    Op("union", "union of two structures of n, half shared (per value of one)"),
    Op("intersection", "intersection of the same two (per value of one)"),
    Op("difference", "difference of the same two (per value of one)"),
    Op("symmetric_difference", "symmetric difference of the same two (per value of one)"),
]
OP_NAMES = [op.name for op in OPS]
SET_OPERATIONS = ("union", "intersection", "difference", "symmetric_difference")
# Rows answered by positions, compared with SortedList's indexing.
POSITION_OPS = ("at_index", "index", "bisect_left", "pop_first", "pop_last")

# Lookup rows: (operation, library method, data attribute with the probes).
LOOKUPS = [
    ("in_hit", "contains_value", "hit_values"),
    ("in_miss", "contains_value", "miss_values"),
    ("search_hit", "search_value", "hit_values"),
    ("search_miss", "search_value", "miss_values"),
    ("search_key_hit", "search_key", "hit_keys"),
    ("search_key_miss", "search_key", "miss_keys"),
    ("contains_key_hit", "contains_key", "hit_keys"),
    ("contains_key_miss", "contains_key", "miss_keys"),
]


@dataclass
class Settings:
    min_repeats: int = 3
    max_repeats: int = 100
    budget_s: float = 0.05   # keep repeating a measurement until this is spent
    min_ops: int = 20_000    # operations per timed run of the cheap operations
    probes: int = 20_000     # distinct lookup probes per (kind, size)
    windows: int = 2_000     # distinct window queries
    removals: int = 2_000    # values removed (and put back) per timed run
    ops: Optional[list] = None  # the operations to time; None for all


def timed(run, ops, after=None):
    """Run once; return (CPU ns, wall-clock ns) per operation. `after`
    receives the result of the run outside the timed section.

    The figure the tables use is the CPU time of this process. On an idle
    machine it equals the wall-clock time; on a busy one the wall clock also
    counts the time the process waited for a core, which comes in bursts
    and can triple a run's time, while the CPU time stays put.
    """
    c0, w0 = process_time_ns(), perf_counter_ns()
    result = run()
    w1, c1 = perf_counter_ns(), process_time_ns()
    if after is not None:
        after(result)
    return (c1 - c0) / ops, (w1 - w0) / ops


def _loops(batch, settings):
    return max(1, math.ceil(settings.min_ops / max(1, batch)))


def plan(lib, kind, data, settings):
    """Yield (operation, run, ops per run, after) for each operation that
    `lib` supports on this data, in the order of OPS."""
    size = data.size
    lib.prepare(kind)

    def wanted(op, method):
        return getattr(lib, method, None) is not None and not lib.skips(op, kind, size)

    for op, values in (("insert_random", data.values), ("insert_ascending", data.ascending)):
        if wanted(op, "insert_many"):
            yield op, lambda v=values: lib.insert_many(lib.empty(kind), v), size, None
    for op, values in (("build_random", data.values), ("build_sorted", data.ascending)):
        if wanted(op, "build"):
            yield op, lambda v=values: lib.build(kind, v), size, None

    s = lib.build(kind, data.values)
    for op, method, attr in LOOKUPS:
        if wanted(op, method):
            fn, batch = getattr(lib, method), getattr(data, attr)
            loops = _loops(len(batch), settings)

            def run(fn=fn, batch=batch, loops=loops):
                for _ in range(loops):
                    fn(s, batch)

            yield op, run, loops * len(batch), None

    count = min(settings.removals, lib.max_removals or size, max(1, size // 10))
    gone = data.hit_values[:count]

    def put_back(_):
        # A removal that missed, or a put-back that failed, would time the
        # wrong thing: removing absent values.
        left = len(s)
        lib.insert_many(s, gone)
        if (left, len(s)) != (size - len(gone), size):
            raise AssertionError(f"{lib.name}: {left} values after removing {len(gone)} "
                                 f"of {size}, {len(s)} after putting them back")

    for op, method, batch in (("remove", "remove_value", gone),
                              ("remove_key", "remove_key", data.hit_keys[:count])):
        if wanted(op, method):
            fn = getattr(lib, method)
            yield op, (lambda fn=fn, batch=batch: fn(s, batch)), len(batch), put_back

    for op in ("first", "last"):
        if wanted(op, op):
            fn = getattr(lib, op)
            yield op, (lambda fn=fn: fn(s, settings.min_ops)), settings.min_ops, None

    loops = _loops(size, settings)

    def iterate():
        for _ in range(loops):
            lib.iterate(s)

    if wanted("iterate", "iterate"):
        yield "iterate", iterate, loops * size, None

    windows = len(data.starts)
    for op, args in (("range", (data.starts, data.ends)), ("iter_from", (data.starts,)),
                     ("iter_to", (data.ends,))):
        if wanted(op, op):
            fn = getattr(lib, op)
            yield op, (lambda fn=fn, args=args: fn(s, *args)), windows, None

    if wanted("pickle", "pickle_roundtrip"):
        yield "pickle", (lambda: lib.pickle_roundtrip(s)), size, None

    yield from _positional(lib, s, data, settings, count, wanted)
    yield from _bulk(lib, kind, data, wanted)


def _positional(lib, s, data, settings, count, wanted):
    size = data.size
    positions = random.Random(size).choices(range(size), k=len(data.hit_values))
    loops = _loops(len(positions), settings)
    for op, method, batch in (("at_index", "at_index", positions),
                              ("index", "index_of", data.hit_values),
                              ("bisect_left", "bisect_left", data.hit_keys)):
        if wanted(op, method):
            def run(fn=getattr(lib, method), batch=batch):
                for _ in range(loops):
                    fn(s, batch)

            yield op, run, loops * len(batch), None

    def put_back(popped):
        lib.insert_many(s, popped)
        if len(s) != size:
            raise AssertionError(f"{lib.name}: {len(s)} values after putting back {len(popped)}")

    for op in ("pop_first", "pop_last"):
        if wanted(op, op):
            yield op, (lambda fn=getattr(lib, op): fn(s, count)), count, put_back


def fresh_values(kind, data, count):
    """`count` values whose keys no stored value has, drawn from a seed of their own."""
    rng = random.Random(f"fresh/{kind.name}/{data.size}")
    taken = {data.key_of(v) for v in data.values}
    out = []
    while len(out) < count:
        v = kind.make(rng.random() if kind.name == "float" else rng.randrange(1 << kind.bits))
        k = data.key_of(v)
        if k not in taken:
            taken.add(k)
            out.append(v)
    return out


def _bulk(lib, kind, data, wanted):
    """Updates of a structure of n values, rebuilt outside the timed section after
    each run, and set operations between two structures of n values, half shared."""
    size = data.size
    rows = [op for op in ("update_small", "update_large") if wanted(op, "update")]
    rows += [op for op in SET_OPERATIONS if wanted(op, "set_operation")]
    if not rows:
        return
    fresh = fresh_values(kind, data, size)
    for op, count in (("update_small", max(1, size // 100)), ("update_large", size)):
        if op in rows:
            state = [lib.build(kind, data.values)]

            def rebuild(_, state=state):
                state[0] = None
                state[0] = lib.build(kind, data.values)

            batch = fresh[:count]
            yield op, (lambda state=state, batch=batch: lib.update(state[0], batch)), count, rebuild
    if any(op in rows for op in SET_OPERATIONS):
        a = lib.build(kind, data.values)
        b = lib.build(kind, data.values[:size // 2] + fresh[:size - size // 2])
        for op in SET_OPERATIONS:
            if op in rows:
                yield op, (lambda op=op: lib.set_operation(a, b, op)), size, None


def measure(libs, kind, data, settings):
    """Measure every library that supports `kind` on one data set; return
    {library: {operation: (CPU samples, wall-clock samples)}}, each sample
    in ns per operation.

    The libraries take turns: each round runs every library once, and rounds
    go on until the minimum count is reached and the time budget (per
    library) is spent. A change in machine load therefore hits all libraries
    of a row alike, which keeps their ratios honest on a busy machine.
    """
    plans = {lib.name: {op: rest for op, *rest in plan(lib, kind, data, settings)}
             for lib in libs if lib.supports(kind)}
    out = {name: {} for name in plans}
    for op in (op for op in OP_NAMES if settings.ops is None or op in settings.ops):
        runs = [(name, ops[op]) for name, ops in plans.items() if op in ops]
        samples = {name: ([], []) for name, _ in runs}
        began = perf_counter_ns()
        budget = settings.budget_s * 1e9 * len(runs)
        for rounds in range(1, settings.max_repeats + 1):
            for name, (run, ops, after) in runs:
                cpu, wall = timed(run, ops, after)
                samples[name][0].append(cpu)
                samples[name][1].append(wall)
            if rounds >= settings.min_repeats and perf_counter_ns() - began >= budget:
                break
        for name, got in samples.items():
            out[name][op] = got
    return out
