#!/usr/bin/env python3
"""Benchmark quorel.AVLDict against sortedcontainers.SortedDict: same-run ratios
(AVLDict time / SortedDict time, below 1 is faster) per operation, kind of key and size.

    python benchmarks/dict_run.py [--sizes 1e3,1e4,1e5] [--kinds int,str,tuple]
                                  [--rows getitem,range_keys] [--json out.json]

Each row times one loop of `ops` operations on both maps built from the same keys, the
best of several repeats; the Python loop around each call is the same for both.
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
OPS = 2000  # operations per timed loop
REPEATS = 5


def best(run, setup=None):
    """The fastest of REPEATS runs of run(state), each after an untimed setup()."""
    times = []
    for _ in range(REPEATS):
        state = setup() if setup else None
        gc.disable()
        start = time.perf_counter()
        run(state)
        times.append(time.perf_counter() - start)
        gc.enable()
    return min(times)


def rows(kind, n):
    rng = random.Random(n)
    keys = [KINDS[kind](i) for i in range(n)]
    rng.shuffle(keys)
    source = {k: [i] for i, k in enumerate(keys)}
    ordered = sorted(keys)
    hits = [rng.choice(keys) for _ in range(OPS)]
    misses = [MISS[kind](rng.randrange(n)) for _ in range(OPS)]
    fresh = list(dict.fromkeys(MISS[kind](i) for i in range(n // 10 or 1)))[:OPS]
    positions = [rng.randrange(n) for _ in range(OPS)]
    starts = [ordered[rng.randrange(max(1, n - 100))] for _ in range(OPS // 20)]
    batch = {MISS[kind](i): i for i in range(0, n, 10)}
    value = [0]

    def maps():
        yield "AVLDict", AVLDict(source)
        yield "SortedDict", SortedDict(source)

    table = {}
    for name, d in maps():
        copy_of = (lambda d=d: d.copy())
        with_fresh = (lambda d=d: _filled(d, fresh))
        irange = getattr(d, "irange", None)
        r = {
            "getitem": best(lambda _: [d[k] for k in hits]),
            "contains_hit": best(lambda _: [k in d for k in hits]),
            "contains_miss": best(lambda _: [k in d for k in misses]),
            "get": best(lambda _: [d.get(k) for k in hits]),
            "setitem_present": best(lambda m: [m.__setitem__(k, value) for k in hits], copy_of),
            "setitem_new": best(lambda m: [m.__setitem__(k, value) for k in fresh], copy_of),
            "delitem": best(lambda m: [m.__delitem__(k) for k in fresh], with_fresh),
            "pop": best(lambda m: [m.pop(k) for k in fresh], with_fresh),
            "peekitem_first": best(lambda _: [d.peekitem(0) for _ in hits]),
            "peekitem_last": best(lambda _: [d.peekitem(-1) for _ in hits]),
            "popitem": best(lambda m: [m.popitem() for _ in range(min(n, OPS))], copy_of),
            "keys_at": best(lambda _: [d.keys()[i] for i in positions]),
            "index": best(lambda _: [d.index(k) for k in hits]),
            "bisect_left": best(lambda _: [d.bisect_left(k) for k in misses]),
            "list": best(lambda _: list(d)),
            "list_values": best(lambda _: list(d.values())),
            "list_items": best(lambda _: list(d.items())),
            "construct": best(lambda _: type(d)(source)),
            "update_tenth": best(lambda m: m.update(batch), copy_of),
            "pickle": best(lambda _: pickle.loads(pickle.dumps(d, pickle.HIGHEST_PROTOCOL))),
        }
        if irange is None:
            r["range_keys"] = best(lambda _: [list(d.iter_from(s, 100)) for s in starts])
            r["range_items"] = best(lambda _: [list(d.items().iter_from(s, 100)) for s in starts])
        else:
            r["range_keys"] = best(lambda _: [list(islice(d.irange(s), 100)) for s in starts])
            r["range_items"] = best(
                lambda _: [[(k, d[k]) for k in islice(d.irange(s), 100)] for s in starts])
        r["memory_per_entry"] = structure_bytes(type(d), keys) / n
        table[name] = r
    return {row: table["AVLDict"][row] / table["SortedDict"][row] for row in table["AVLDict"]}


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
    p.add_argument("--json", help="where to write the ratios")
    args = p.parse_args(argv)
    results = {}
    for kind in args.kinds:
        for n in args.sizes:
            results[f"{kind} {n}"] = rows(kind, n)
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
