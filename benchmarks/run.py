#!/usr/bin/env python3
"""Benchmark quorel.AVLTree side by side with sortedcontainers, BTrees, the
built-in set, a bisect-kept list and a compiled std::set. See README.md.

    python benchmarks/run.py [--quick] [--sizes 1000,10000] [--kinds int,str]
                             [--json out.json] [--plot out.png]
"""

from __future__ import annotations

import argparse
import dataclasses
import gc
import os
import platform
import subprocess
import sys
import time
from importlib import metadata
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from qbench import memory, native, report, targets  # noqa: E402
from qbench.keys import KINDS, make_data  # noqa: E402
from qbench.libs import COLUMNS, available  # noqa: E402
from qbench.timing import OP_NAMES, Settings, measure  # noqa: E402

FULL_SIZES = [10**3, 10**4, 10**5, 10**6]
QUICK_SIZES = [10**3, 10**4]
# A million values of every kind would take well over the quarter hour the
# full run is meant to last; int and str carry the targets at that size, and
# float stands for the other cheap comparisons. The rest stop one size
# earlier (--kinds/--sizes measure them at any size).
SIZE_LIMIT = {"tuple": 10**5, "int_str": 10**5, "float_int": 10**5, "str_str": 10**5,
              "nested": 10**5, "object": 10**5, "attr": 10**5, "callable": 10**5}
FULL = Settings()
QUICK = Settings(budget_s=0.01, min_ops=5_000, probes=5_000, windows=500, removals=500)
RESULTS = HERE / "results"


def int_list(text):
    return [int(float(x)) for x in text.replace(",", " ").split()]


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true",
                   help=f"sizes {QUICK_SIZES}, shorter timing budget (about a minute)")
    p.add_argument("--sizes", type=int_list, help="comma-separated sizes, e.g. 1e3,1e5")
    p.add_argument("--kinds", type=lambda s: s.split(","), default=list(KINDS),
                   help="comma-separated kinds of key: " + ",".join(KINDS))
    p.add_argument("--libs", type=lambda s: s.split(","),
                   help="comma-separated libraries to measure besides quorel")
    p.add_argument("--ops", type=lambda s: s.split(","),
                   help="comma-separated operations (rows) to time, e.g. update_small,union")
    p.add_argument("--json", type=Path, help="where to write the JSON results")
    p.add_argument("--plot", type=Path, help="where to write the PNG plot")
    p.add_argument("--no-memory", action="store_true", help="skip memory per entry")
    p.add_argument("--no-native", action="store_true", help="skip the std::set reference")
    args = p.parse_args(argv)
    unknown = set(args.kinds) - set(KINDS)
    if unknown:
        p.error(f"unknown kinds: {', '.join(sorted(unknown))}")
    # Only the complete default run replaces the committed results.
    unknown = set(args.ops or ()) - set(OP_NAMES)
    if unknown:
        p.error(f"unknown operations: {', '.join(sorted(unknown))}")
    args.complete = not (args.quick or args.sizes or args.libs or args.ops
                         or args.kinds != list(KINDS) or args.no_memory or args.no_native)
    stem = "latest" if args.complete else "last_partial"
    args.json = args.json or RESULTS / f"{stem}.json"
    args.plot = args.plot or RESULTS / ("ratios.png" if args.complete else f"{stem}.png")
    return args


def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f
                       if line.startswith("model name"))
    except (OSError, StopIteration):
        cpu = platform.processor() or cpu
    try:
        cxx = subprocess.run([os.environ.get("CXX", "g++"), "--version"], capture_output=True,
                             text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        cxx = "none"
    try:
        commit = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True).stdout.strip() or None
    except OSError:
        commit = None
    versions = {}
    for dist in ("quorel", "sortedcontainers", "BTrees"):
        try:
            versions[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            versions[dist] = None
    return {
        "nproc": os.cpu_count(),
        "cpu": cpu,
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "compiler": cxx,
        "versions": versions,
        "commit": commit,  # of the checkout the benchmark ran from
    }


def choose_libs(wanted):
    libs, missing = available()
    if "quorel" in missing:
        sys.exit("quorel is not importable: build it first, e.g. "
                 "`python -m pip install .` from the repository root")
    if missing:
        print(f"not installed, left out: {', '.join(missing)} "
              "(python -m pip install -r benchmarks/requirements.txt)", file=sys.stderr)
    if wanted:
        libs = [lib for lib in libs if lib.name == "quorel" or lib.name in wanted]
    return libs


def run(args):
    settings = dataclasses.replace(QUICK if args.quick else FULL, ops=args.ops)
    sizes = args.sizes or (QUICK_SIZES if args.quick else FULL_SIZES)
    libs = choose_libs(args.libs)
    stdset = None
    if not args.no_native and (not args.libs or "std::set" in args.libs):
        try:
            stdset = native.StdSet()
        except (RuntimeError, subprocess.CalledProcessError) as exc:
            print(f"std::set reference left out: {exc}", file=sys.stderr)

    results = report.Results(COLUMNS)
    notes = {lib.name: lib.note for lib in libs}
    if stdset:
        notes[stdset.name] = stdset.note
    memory_method = None
    load = [os.getloadavg()[0]]
    began = time.perf_counter()
    gc.disable()  # no collector passes inside timed sections
    try:
        for kind in (KINDS[k] for k in args.kinds):
            limit = 10**9 if not args.complete else SIZE_LIMIT.get(kind.name, 10**9)
            for size in (n for n in sizes if n <= limit):
                data = make_data(kind, size, probes=min(size, settings.probes),
                                 windows=settings.windows)
                for lib, ops in measure(libs, kind, data, settings).items():
                    for op, samples in ops.items():
                        results.add_timed(kind.name, size, op, lib, samples)
                if stdset and kind.int64:
                    for op, samples in stdset.measure(data, settings).items():
                        results.add_timed(kind.name, size, op, stdset.name, samples)
                del data
                gc.collect()
                if not args.no_memory:
                    mem = memory.measure(kind, [size])
                    memory_method = mem["method"]
                    for row in mem["results"]:
                        if row["lib"] in notes:
                            for op in report.MEMORY_OPS:
                                results.add(kind.name, size, op, row["lib"], row[op])
                print(f"\n{report.group_title(kind.name, size, kind.description)}   "
                      f"[{time.perf_counter() - began:.0f} s; waited for a core "
                      f"{results.waiting(kind.name, size):.0%} of the time]")
                print(report.render_text(*report.group_table(results, kind.name, size)),
                      flush=True)
    finally:
        gc.enable()
        if stdset:
            stdset.close()
    load.append(os.getloadavg()[0])
    return results, notes, settings, sizes, memory_method, time.perf_counter() - began, load


def main(argv=None):
    args = parse_args(argv)
    info = machine()  # before the run: the checkout may move on while it lasts
    results, notes, settings, sizes, memory_method, elapsed, load = run(args)
    checked = targets.check(results.ratio)
    shown = [t for t in checked if t["status"] != "not measured"]
    print("\ntargets (ratio = quorel / peer, same run)")
    print(report.render_text(*report.targets_table(shown)) if shown else "none measured")
    if len(shown) < len(checked):
        print(f"({len(checked) - len(shown)} targets need sizes or kinds this run left out)")

    info["load_average"] = {"start": load[0], "end": load[1]}

    report.write_json(args.json, {
        "machine": info,
        "mode": "quick" if args.quick else "full",
        "sizes": sizes,
        "kinds": {k: KINDS[k].description for k in args.kinds},
        "settings": vars(settings),
        "libraries": notes,
        "memory_method": memory_method,
        "elapsed_s": round(elapsed, 1),
        "results": results.to_json(),
        "targets": checked,
    })
    tables = markdown(results, checked, info, memory_method, elapsed, full=True)
    args.json.with_suffix(".md").write_text(tables)
    try:
        report.plot(results, args.plot, checked)
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
    if args.complete:
        report.update_readme(HERE / "README.md",
                             markdown(results, checked, info, memory_method, elapsed, full=False))
    print(f"\nwrote {args.json}, {args.json.with_suffix('.md')} and {args.plot}"
          f" in {elapsed:.0f} s")


def markdown(results, checked, info, memory_method, elapsed, full):
    """The results as Markdown: every table when `full`, else the README's
    selection (targets, the target sizes, and a ratio summary)."""
    v = info["versions"]
    out = [
        f"Measured on {info['nproc']} x {info['cpu']}, {info['implementation']} "
        f"{info['python']}, {info['platform']}; quorel {v['quorel']}, sortedcontainers "
        f"{v['sortedcontainers']}, BTrees {v['BTrees']}, {info['compiler']}; "
        f"repository at {info['commit']}. "
        f"The run took {elapsed / 60:.1f} minutes. Memory: {memory_method}.",
        "",
        "### Targets",
        "",
        f"{sum(t['status'] == 'met' for t in checked)} of {len(checked)} met"
        + ("." if full else "; the others:"),
        "",
        report.render_markdown(*report.targets_table(
            checked if full else [t for t in checked if t["status"] != "met"])),
        "",
        f"### quorel / {report.REFERENCE}, largest size of each kind",
        "",
        report.render_markdown(*report.summary_table(results)),
    ]
    # The README shows the groups of the headline targets: int and str keys.
    shown = results.groups() if full else [
        g for g in ((t["kind"], t["size"]) for t in checked)
        if g in results.groups() and g[0] in ("int", "str")]
    for kind, size in dict.fromkeys(shown):
        out += ["", f"### {report.group_title(kind, size, KINDS[kind].description)}", "",
                "ns per operation (bytes per entry for memory); "
                "in brackets quorel / that library.", "",
                report.render_markdown(*report.group_table(results, kind, size))]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    main()
