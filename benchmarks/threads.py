"""Lookups per second on one tree shared by several threads, against one thread.

Each thread probes the tree with its own int objects (so that no reference
count of a probe is shared between threads) through `contains_key` and
`search_key`, and the figure is the total number of lookups per second of
wall-clock time. On a free-threaded interpreter with the GIL off, readers run
together and the throughput grows with the threads, up to the number of free
cores; with the GIL it cannot grow. The machine's other load shows in the
figures: run it on an idle machine, and compare figures of one run only. The
lookups per second of CPU time (of the whole process) do not depend on free
cores: when they stay level from one thread to several, the threads neither
wait for each other nor slow each other down (a memory word written by every
lookup would show as CPU time spent waiting for it to move between cores).

    python benchmarks/threads.py [--threads 2] [--size 100000] [--rounds 5]
"""

import argparse
import random
import statistics
import sys
import threading
import time

from quorel import AVLTree


def lookups_per_second(tree, probes, threads, method):
    barrier = threading.Barrier(threads + 1)

    def work(own):
        lookup = getattr(tree, method)
        barrier.wait()
        for key in own:
            lookup(key)

    # Fresh int objects per thread: k + 1 - 1 is equal to k but not the same object.
    workers = [threading.Thread(target=work, args=([k + 1 - 1 for k in probes],))
               for _ in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    start, cpu = time.perf_counter(), time.process_time()
    for w in workers:
        w.join()
    lookups = threads * len(probes)
    return lookups / (time.perf_counter() - start), lookups / (time.process_time() - cpu)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--size", type=int, default=100_000)
    parser.add_argument("--probes", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    rng = random.Random(1)
    keys = rng.sample(range(1 << 62), args.size)
    tree = AVLTree(keys)
    probes = [rng.choice(keys) for _ in range(args.probes)]
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print("%s, GIL %s, %d values, %d probes per thread, median of %d rounds"
          % (sys.version.split()[0], "on" if gil else "off", args.size, args.probes, args.rounds))
    for method in ("contains_key", "search_key"):
        one, many = [], []
        for _ in range(args.rounds):  # alternated, so that load changes fall on both
            one.append(lookups_per_second(tree, probes, 1, method))
            many.append(lookups_per_second(tree, probes, args.threads, method))
        for clock, i in (("wall", 0), ("CPU", 1)):
            a = statistics.median(r[i] for r in one)
            b = statistics.median(r[i] for r in many)
            print("%-13s %-4s 1 thread %6.2f M/s   %d threads %6.2f M/s   ratio %.2f"
                  % (method, clock, a / 1e6, args.threads, b / 1e6, b / a))


if __name__ == "__main__":
    main()
