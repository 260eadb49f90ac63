"""Memory per entry: the bytes a structure allocates beyond its values.

Two numbers per structure, both taken as the growth while it is built from
values that already exist:

* ``memory_traced``: what tracemalloc sees. That is only memory taken through
  the interpreter's allocators, so anything a C or C++ extension takes with
  malloc or new directly is missing from it.
* ``memory``: every byte in use in the C heap. This runs in a subprocess
  started with PYTHONMALLOC=malloc, so Python objects come from the same heap
  as native allocations, and reads glibc's mallinfo2 (bytes in use in the
  heap plus mmap'ed blocks). Where mallinfo2 is missing it falls back to the
  growth of the resident set, which is coarser (whole pages).

Run as ``python -m qbench.memory KIND SIZE...``; prints JSON.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
import json
import os
import subprocess
import sys
import tracemalloc
from pathlib import Path

from .keys import KINDS, make_data
from .libs import available


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def _heap_probe():
    """Return (function giving bytes in use, description of the method)."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        page = os.sysconf("SC_PAGE_SIZE")

        def resident():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * page

        return resident, "resident-set growth"
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use, "glibc mallinfo2 with PYTHONMALLOC=malloc"


def per_entry(lib, kind, data, in_use):
    size = data.size
    lib.prepare(kind)
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    s = lib.build(kind, data.values)
    traced = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    del s
    gc.collect()
    before = in_use()
    s = lib.build(kind, data.values)
    total = in_use() - before
    del s
    return {"memory": total / size, "memory_traced": traced / size}


def main(argv):
    kind = KINDS[argv[0]]
    in_use, method = _heap_probe()
    libs, missing = available()
    if "quorel" in missing:
        sys.exit("quorel is not importable in the memory subprocess")
    out = {"method": method, "results": []}
    for size in map(int, argv[1:]):
        data = make_data(kind, size, probes=0, windows=0)
        for lib in libs:
            if lib.supports(kind):
                out["results"].append(
                    {"lib": lib.name, "size": size, **per_entry(lib, kind, data, in_use)})
        del data
        gc.collect()
    json.dump(out, sys.stdout)


def measure(kind, sizes):
    """Run the measurement in a fresh interpreter; return its JSON."""
    env = dict(os.environ, PYTHONMALLOC="malloc")
    here = str(Path(__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [here, env.get("PYTHONPATH")]))
    # Started from the benchmark directory, so that a source checkout's
    # quorel/ (without its compiled module) cannot shadow the installed one.
    done = subprocess.run([sys.executable, "-m", "qbench.memory", kind.name, *map(str, sizes)],
                          env=env, cwd=here, check=True, capture_output=True, text=True)
    return json.loads(done.stdout)


if __name__ == "__main__":
    main(sys.argv[1:])
