#!/usr/bin/env python3
"""Benchmark quorel.AVLDict against sortedcontainers.SortedDict: same-run ratios
(AVLDict time / SortedDict time, below 1 is faster) per operation, kind of key and size.

    python benchmarks/dict_run.py [--sizes 1e3,1e4,1e5] [--kinds int,str,tuple]
                                  [--rows getitem,range_keys] [--json out.json]

Each row times one loop of operations on both maps built from the same keys, the two
maps taking turns, and keeps the best of several rounds for each; the Python loop around
each call is the same for both. Memory is what each map allocates for its entries
(tracemalloc), the keys and values not counted.
"""

from __future__ import annotations

import argparse
import gc
import json
import pickle
import random
import sys
import time
import tracemalloc
from itertools import islice

from sortedcontainers import SortedDict

from quorel import AVLDict

KINDS = {
    "int": lambda i: i * 7919 % 1_000_003 * 2,
    "str": lambda i: f"k{i * 7919 % 1_000_003 * 2:08d}",
    "tuple": lambda i: (i * 7919 % 1_000_003, i % 7),
}
MISS = {
    "int": lambda i: i * 7919 % 1_000_003 * 2 + 1,
    "str": lambda i: f"k{i * 7919 % 1_000_003 * 2:08d}x",
    "tuple": lambda i: (i * 7919 % 1_000_003, -1),
}
OPS = 20000  # operations per timed loop
ROUNDS = 7  # each row runs this often for each map, the two maps taking turns


def timed(run, setup):
    state = setup() if setup else None
    gc.disable()
    start = time.perf_counter()
    run(state)
    elapsed = time.perf_counter() - start
    gc.enable()
    return elapsed


def rows(kind, n, only=None):
    rng = random.Random(n)
    keys = [KINDS[kind](i) for i in range(n)]
    rng.shuffle(keys)
    source = {k: [i] for i, k in enumerate(keys)}
    ordered = sorted(keys)
    hits = [rng.choice(keys) for _ in range(OPS)]
    misses = [MISS[kind](rng.randrange(n)) for _ in range(OPS)]
    fresh = list(dict.fromkeys(MISS[kind](i) for i in range(max(1, n // 10))))
    positions = [rng.randrange(n) for _ in range(OPS)]
    starts = [ordered[rng.randrange(max(1, n - 100))] for _ in range(200)]
    batch = {MISS[kind](i): i for i in range(0, n, 10)}
    value = [0]
    wholes = max(1, 200_000 // n)  # whole-map rows repeat to run long enough

    def cases(d):
        copy_of = (lambda: d.copy())
        with_fresh = (lambda: _filled(d, fresh))
        if isinstance(d, AVLDict):
            range_keys = lambda _: [list(d.iter_from(s, 100)) for s in starts]  # noqa: E731
            range_items = lambda _: [list(d.items().iter_from(s, 100)) for s in starts]  # noqa: E731
        else:
            range_keys = lambda _: [list(islice(d.irange(s), 100)) for s in starts]  # noqa: E731
            range_items = lambda _: [[(k, d[k]) for k in islice(d.irange(s), 100)] for s in starts]  # noqa: E731
        return {
            "getitem": (lambda _: [d[k] for k in hits], None),
            "contains_hit": (lambda _: [k in d for k in hits], None),
            "contains_miss": (lambda _: [k in d for k in misses], None),
            "get": (lambda _: [d.get(k) for k in hits], None),
            "setitem_present": (lambda m: [m.__setitem__(k, value) for k in hits], copy_of),
            "setitem_new": (lambda m: [m.__setitem__(k, value) for k in fresh], copy_of),
            "delitem": (lambda m: [m.__delitem__(k) for k in fresh], with_fresh),
            "pop": (lambda m: [m.pop(k) for k in fresh], with_fresh),
            "peekitem_first": (lambda _: [d.peekitem(0) for _ in hits], None),
            "peekitem_last": (lambda _: [d.peekitem(-1) for _ in hits], None),
            "popitem": (lambda m: [m.popitem() for _ in range(min(n, OPS))], copy_of),
            "keys_at": (lambda _: [d.keys()[i] for i in positions], None),
            "index": (lambda _: [d.index(k) for k in hits], None),
            "bisect_left": (lambda _: [d.bisect_left(k) for k in misses], None),
            "range_keys": (range_keys, None),
            "range_items": (range_items, None),
            "list": (lambda _: [list(d) for _ in range(wholes)], None),
            "list_values": (lambda _: [list(d.values()) for _ in range(wholes)], None),
            "list_items": (lambda _: [list(d.items()) for _ in range(wholes)], None),
            "construct": (lambda _: [type(d)(source) for _ in range(wholes)], None),
            "update_tenth": (lambda m: m.update(batch), copy_of),
            "pickle": (lambda _: [pickle.loads(pickle.dumps(d, pickle.HIGHEST_PROTOCOL))
                                  for _ in range(wholes)], None),
        }

    ours, theirs = cases(AVLDict(source)), cases(SortedDict(source))
    ratios = {}
    for row in ours:
        if only and row not in only:
            continue
        best = [float("inf"), float("inf")]
        for _ in range(ROUNDS):
            for side, table in enumerate((ours, theirs)):
                best[side] = min(best[side], timed(*table[row]))
        ratios[row] = best[0] / best[1]
    if not only or "memory_per_entry" in only:
        ratios["memory_per_entry"] = structure_bytes(AVLDict, keys) / structure_bytes(SortedDict, keys)
    return ratios


def _filled(d, fresh):
    m = d.copy()
    for k in fresh:
        m[k] = 0
    return m


def structure_bytes(make, keys):
    """Bytes the map itself allocates for n entries whose keys and values exist already."""
    pairs = [(k, None) for k in keys]
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    m = make(pairs)
    used = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    del m
    return used


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", default="1e3,1e4,1e5",
                   type=lambda s: [int(float(x)) for x in s.split(",")])
    p.add_argument("--kinds", default=",".join(KINDS), type=lambda s: s.split(","))
    p.add_argument("--rows", type=lambda s: s.split(","),
                   help="only these rows (default: every row)")
    p.add_argument("--json", help="where to write the ratios")
    args = p.parse_args(argv)
    results = {}
    for kind in args.kinds:
        for n in args.sizes:
            results[f"{kind} {n}"] = rows(kind, n, args.rows)
            print(f"{kind} {n} done", file=sys.stderr)
    columns = list(results)
    names = list(next(iter(results.values())))
    print("| row | " + " | ".join(columns) + " |")
    print("|---|" + "---|" * len(columns))
    for row in names:
        print(f"| {row} | " + " | ".join(f"{results[c][row]:.2f}" for c in columns) + " |")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump(results, out, indent=1)


if __name__ == "__main__":
    main()
