#!/usr/bin/env python3
"""Sorting a batch: Python's sorted() against the tree's batch paths, on the same
shuffled values, as same-run ratios.

    python benchmarks/batch_sort.py [--sizes 1e5,1e6] [--kinds int,str] [--repeat 5]

Rows per kind and size, each the best of --repeat runs:
  sorted       sorted(values)
  batch        AVLTree().update(values): the batch sorted, then built balanced
  build        AVLTree(values), against SortedList(values)
  update       a structure of n values updated with n values, half of them new,
               against SortedSet.update
"""

from __future__ import annotations

import argparse
import gc
import random
import sys
import time

from quorel import AVLTree

try:
    from sortedcontainers import SortedList, SortedSet
except ImportError:  # the peers are optional
    SortedList = SortedSet = None

KINDS = {
    "int": lambda r: r.randrange(-(1 << 62), 1 << 62),
    "float": lambda r: r.random(),
    "str": lambda r: f"{r.randrange(1 << 62):016x}",
    "tuple": lambda r: (r.randrange(1 << 10), r.randrange(1 << 52)),
}


def best(run, setup, repeat):
    times = []
    for _ in range(repeat):
        state = setup()
        gc.collect()
        gc.disable()
        start = time.perf_counter()
        run(state)
        times.append(time.perf_counter() - start)
        gc.enable()
        del state
    return min(times)


def rows(kind, n, repeat):
    rng = random.Random(f"{kind}/{n}")
    make = KINDS[kind]
    values = list({make(rng): None for _ in range(n)})
    stored = set(values)
    fresh = [v for v in {make(rng): None for _ in range(n)} if v not in stored]
    half = values[: n // 2] + fresh[: n - n // 2]
    rng.shuffle(half)

    def once(run):
        return best(run, lambda: None, repeat)

    out = [("sorted", once(lambda _: sorted(values)), None)]
    out.append(("batch", once(lambda _: AVLTree().update(values)), out[0][1]))
    peer = once(lambda _: SortedList(values)) if SortedList else None
    out.append(("build", once(lambda _: AVLTree(values)), peer))
    peer = (best(lambda s: s.update(half), lambda: SortedSet(values), repeat)
            if SortedSet else None)
    out.append(("update", best(lambda t: t.update(half), lambda: AVLTree(values), repeat), peer))
    return out


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", default="1e5,1e6")
    p.add_argument("--kinds", default=",".join(KINDS))
    p.add_argument("--repeat", type=int, default=5)
    args = p.parse_args(argv)
    sizes = [int(float(s)) for s in args.sizes.split(",")]
    print(f"{'kind':6} {'n':>8} {'row':7} {'quorel ms':>10} {'peer ms':>9} {'ratio':>6}")
    for kind in args.kinds.split(","):
        for n in sizes:
            for row, ours, peer in rows(kind, n, args.repeat):
                ratio = f"{ours / peer:6.2f}" if peer else ""
                peer_ms = f"{peer * 1e3:9.1f}" if peer else ""
                print(f"{kind:6} {n:8} {row:7} {ours * 1e3:10.1f} {peer_ms:>9} {ratio}")
            sys.stdout.flush()


if __name__ == "__main__":
    main(sys.argv[1:])
