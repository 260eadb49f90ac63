#!/usr/bin/env python3
"""One timed pass over a freshly built container, quorel against SortedList.

    python benchmarks/single_pass.py [--sizes 1e5,1e6] [--walk-sizes 1e4,1e5,1e6]
                                     [--repeats 5] [--json out.json]

The first table is sortedcontainers' own SortedList benchmark workload, with
quorel added through a thin adapter; the second, `list()` of int keys on
trees with two histories. Every figure is the median of single passes, each
over a container built just before it, so none of them is warmed by an
earlier pass. See README.md ("One pass over a fresh container").
"""

from __future__ import annotations

import argparse
import gc
import json
import random
import statistics
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from qbench.keys import KINDS, make_data  # noqa: E402
from qbench.report import render_text  # noqa: E402
from qbench.timing import timed  # noqa: E402

from quorel import AVLTree  # noqa: E402
from sortedcontainers import SortedList  # noqa: E402

LIBS = {"quorel": AVLTree, "SortedList": SortedList}


def int_list(text):
    return [int(float(x)) for x in text.replace(",", " ").split()]


def fill(cls, ascending):
    """An empty container given the values by one `update` in ascending
    order (one insertion at a time where the class has no `update`)."""
    c = cls()
    if hasattr(c, "update"):
        c.update(ascending)
    else:
        insert = c.insert
        for v in ascending:
            insert(v)
    return c


# The workload: each pass gets the container and the shuffled values of
# range(n); "init" ignores the container and builds a new one.
def contains(c, shuffled):
    for x in shuffled[::100]:
        x in c


def getitem(c, shuffled):
    for x in shuffled[::100]:
        c[x]


def iterate(c, shuffled):
    list(c)


def init(c, shuffled):
    type(c)(shuffled)


WORKLOAD = {"contains": contains, "getitem": getitem, "iter": iterate, "init": init}


def churned(cls, values, rng):
    """A container built from `values`, then a random tenth of them removed
    and put back, in another random order."""
    c = cls(values)
    moved = rng.sample(values, len(values) // 10)
    for v in moved:
        c.remove(v)
    rng.shuffle(moved)
    add = getattr(c, "add", None) or c.insert  # SortedList.insert refuses
    for v in moved:
        add(v)
    return c


def one_pass(make, run, repeats):
    """Median CPU and wall-clock ns of `run(container)` over `repeats` fresh
    containers, per library; the libraries take turns."""
    samples = {name: ([], []) for name in LIBS}
    for _ in range(repeats):
        for name, cls in LIBS.items():
            gc.collect()
            c = make(cls)
            cpu, wall = timed(lambda: run(c), 1)
            del c
            samples[name][0].append(cpu)
            samples[name][1].append(wall)
    return {name: (statistics.median(cpu), statistics.median(wall))
            for name, (cpu, wall) in samples.items()}


def workload(sizes, repeats):
    rows = []
    for n in sizes:
        shuffled = list(range(n))
        random.Random(n).shuffle(shuffled)
        ascending = sorted(shuffled)
        for op, run in WORKLOAD.items():
            got = one_pass(lambda cls: fill(cls, ascending), lambda c: run(c, shuffled), repeats)
            rows.append({"table": "workload", "op": op, "size": n, "history": "update",
                         "ns": got})
    return rows


def walks(sizes, repeats):
    rows = []
    for n in sizes:
        values = make_data(KINDS["int"], n, probes=0, windows=0).values
        for history in ("built", "churned"):
            if history == "built":
                def make(cls):
                    return cls(values)
            else:
                def make(cls, rng=random.Random(n)):
                    return churned(cls, values, rng)
            # A pass over 10**4 values takes some 50 microseconds: more of them.
            got = one_pass(make, list, max(repeats, 10**5 // n))
            rows.append({"table": "list", "op": "list", "size": n, "history": history,
                         "ns": got})
    return rows


def table(rows):
    header = ["operation", "n", "history", "quorel ms", "SortedList ms", "ratio"]
    body = []
    for r in rows:
        q, s = r["ns"]["quorel"][0], r["ns"]["SortedList"][0]
        body.append([r["op"], f"{r['size']:,}", r["history"], f"{q / 1e6:.3f}",
                     f"{s / 1e6:.3f}", f"{q / s:.2f}"])
    return header, body


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", type=int_list, default=[10**5, 10**6],
                   help="sizes of the workload (default 1e5,1e6)")
    p.add_argument("--walk-sizes", type=int_list, default=[10**4, 10**5, 10**6],
                   help="sizes of the list() rows (default 1e4,1e5,1e6)")
    p.add_argument("--repeats", type=int, default=5, help="fresh containers per figure")
    p.add_argument("--json", type=Path, help="where to write the figures")
    args = p.parse_args(argv)
    gc.disable()
    try:
        rows = workload(args.sizes, args.repeats) + walks(args.walk_sizes, args.repeats)
    finally:
        gc.enable()
    print("median CPU time of one pass over a fresh container; ratio = quorel / SortedList")
    print(render_text(*table(rows)))
    if args.json:
        args.json.write_text(json.dumps(rows, indent=1) + "\n")


if __name__ == "__main__":
    main()
