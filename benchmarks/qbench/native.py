"""The compiled reference: std::set<int64_t> over the same int keys.

stdset.cpp is compiled with g++ -O2 into a temporary directory once per run
and then fed each key set through a binary file.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import tempfile
from array import array
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent / "stdset.cpp"

# Which benchmark rows a std::set measurement stands for.
ROWS = {
    "insert_random": ["insert_random"],
    "insert_ascending": ["insert_ascending"],
    "find_hit": ["in_hit", "search_hit", "search_key_hit", "contains_key_hit"],
    "find_miss": ["in_miss", "search_miss", "search_key_miss", "contains_key_miss"],
    "remove": ["remove", "remove_key"],
    "iterate": ["iterate"],
}


class StdSet:
    name = "std::set"
    note = "C++ std::set<int64_t>, g++ -O2 (no interpreter)"

    def __init__(self):
        compiler = shutil.which(os.environ.get("CXX", "g++"))
        if compiler is None:
            raise RuntimeError("no C++ compiler (set CXX or install g++)")
        self._dir = tempfile.TemporaryDirectory(prefix="qbench-")
        self.exe = Path(self._dir.name) / "stdset"
        subprocess.run([compiler, "-O2", "-std=c++17", "-o", str(self.exe), str(SOURCE)],
                       check=True, capture_output=True, text=True)

    def close(self):
        self._dir.cleanup()

    def measure(self, data, settings):
        """Return {benchmark row: (CPU samples, wall-clock samples)} for one
        int key set."""
        keyfile = Path(self._dir.name) / "keys.bin"
        blocks = (data.values, data.hit_keys, data.miss_keys)
        with open(keyfile, "wb") as f:
            array("q", [len(b) for b in blocks]).tofile(f)
            for block in blocks:
                array("q", block).tofile(f)
        done = subprocess.run(
            [str(self.exe), str(keyfile), str(settings.min_ops),
             str(settings.budget_s * 1000), str(settings.min_repeats)],
            check=True, capture_output=True, text=True)
        raw = json.loads(done.stdout)
        return {row: (raw[name]["cpu"], raw[name]["wall"])
                for name, rows in ROWS.items() for row in rows}
