"""Instruction counts of the hot members, measured with callgrind.

    python benchmarks/callgrind.py            # every operation, under valgrind
    python benchmarks/callgrind.py insert     # one operation, run plainly

Each operation runs once over 10**5 keys in a shuffled order (ints, or strs or
(int, int) pairs where its name says so; python_sorted is Python's own sort of the
ints, for reference), after the same setup. The setup alone is measured too, and each figure reported is the count of
the setup and the operation less the count of the setup alone, so it is what the
operation costs, its Python loop included. With hash randomisation off, the counts
repeat exactly: compare two builds by running this against each.
"""

import os
import random
import re
import subprocess
import sys
import tempfile

from quorel import AVLTree

N = 10**5


def setup():
    keys = list(range(N))
    random.Random(1).shuffle(keys)
    full = AVLTree(keys)
    return {
        "keys": keys,
        "full": full,
        "doomed": AVLTree(keys),
        "half": AVLTree(keys[: N // 2]),
        "rest": keys[N // 2 :],
        "odd": AVLTree(range(1, 2 * N, 2)),
        "strs": [f"{k * 2654435761 % 2**64:016x}" for k in keys],
        "pairs": [(k % 1024, k * 2654435761 % 2**52) for k in keys],
    }


def insert(s):
    t = AVLTree()
    for k in s["keys"]:
        t.insert(k)


def contains(s):
    t = s["full"]
    for k in s["keys"]:
        k in t


def remove(s):
    t = s["doomed"]
    for k in s["keys"]:
        t.remove(k)


def first(s):
    t = s["full"]
    for _ in range(N):
        t.first()


def iteration(s):
    for _ in s["full"]:
        pass


def getitem(s):
    t = s["full"]
    for i in range(N):
        t[i]


def update(s):
    s["half"].update(s["rest"])


def union(s):
    s["full"] | s["odd"]


def build(s):
    AVLTree(s["keys"])


def batch(s):
    AVLTree().update(s["keys"])


def batch_str(s):
    AVLTree().update(s["strs"])


def batch_pair(s):
    AVLTree().update(s["pairs"])


def python_sorted(s):
    sorted(s["keys"])


def none(s):
    pass


OPERATIONS = [insert, contains, remove, first, iteration, getitem, update, union, build, batch,
              batch_str, batch_pair, python_sorted]


def instructions(operation):
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
             sys.executable, __file__, operation],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out) as f:
            return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))


def main():
    if len(sys.argv) > 1:
        globals()[sys.argv[1]](setup())
        return
    base = instructions("none")
    print(f"{'operation':<10} {'instructions':>14}")
    for operation in OPERATIONS:
        print(f"{operation.__name__:<10} {instructions(operation.__name__) - base:>14,}")


if __name__ == "__main__":
    main()
