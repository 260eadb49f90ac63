"""Several threads share one tree and its iterators. Comparison methods are
Python code, so threads switch in the middle of tree operations; the only
errors allowed are the borrow refusals, a refused call changes nothing, and
at the end no entry is lost or duplicated and the tree is balanced."""

import os
import random
import sys
import threading
import time

import pytest

from quorel import AVLTree
from quorel.quorel import _check_invariants

from _support import Key

THREADS = 4
SECONDS = float(os.environ.get("QUOREL_THREAD_SECONDS", "1.0"))
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
KEYS_PER_THREAD = 64
BACKGROUND = 10**6  # keys from here on are never written by a worker


class SlowKey(Key):
    """An int key compared in Python, which gives other threads a chance to
    run in the middle of every descent."""


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def _ascending(values):
    keys = [v.v for v in values]
    return all(a < b for a, b in zip(keys, keys[1:]))


class Worker(threading.Thread):
    """Writes only keys congruent to its number modulo THREADS, so it knows
    exactly which of them the tree must hold at every moment."""

    def __init__(self, number, tree, shared_iterators, deadline):
        super().__init__(name="worker-%d" % number)
        self.number, self.tree, self.shared, self.deadline = number, tree, shared_iterators, deadline
        self.mine, self.taken = set(), [[] for _ in shared_iterators]
        self.ops = self.refused = 0
        self.failure = None

    def _owned(self, values):
        return {v.v for v in values if v.v < BACKGROUND and v.v % THREADS == self.number}

    def _own(self, rng):
        return rng.randrange(KEYS_PER_THREAD) * THREADS + self.number

    def _step(self, rng):
        tree, mine = self.tree, self.mine
        op = rng.randrange(9)
        k = self._own(rng)
        if op == 0:
            assert tree.insert(SlowKey(k)) is (k not in mine)
            mine.add(k)
        elif op == 1:
            assert tree.remove_key(SlowKey(k)) is (k in mine)
            mine.discard(k)
        elif op == 2:
            assert (tree.search_key(SlowKey(k)) is not None) is (k in mine)
        elif op == 3:
            walk = rng.choice(["in_order", "descending", "pre_order", "post_order", "level_order"])
            values = list(getattr(tree, walk)())
            assert self._owned(values) == mine and len({id(v) for v in values}) == len(values)
        elif op == 4:
            lo, hi = sorted((self._own(rng), self._own(rng)))
            values = list(tree.range(SlowKey(lo), SlowKey(hi)))
            assert _ascending(values)
            assert self._owned(values) == {m for m in mine if lo <= m < hi}
        elif op == 5:
            values = list(tree.iter_from(SlowKey(k), 5))
            assert _ascending(values) and all(v.v >= k for v in values)
        elif op == 6:
            values = list(tree.iter_to(SlowKey(k), 5))
            assert _ascending(values[::-1]) and all(v.v <= k for v in values)
        elif op == 7:
            i = rng.randrange(len(self.shared))
            for v in self.shared[i]:
                self.taken[i].append(v)
                if rng.random() < 0.5:
                    break
        else:
            assert len(tree) >= len(mine) and bool(tree) is (len(tree) > 0)

    def run(self):
        rng = random.Random(self.number)
        try:
            while time.monotonic() < self.deadline:
                try:
                    self._step(rng)
                except RuntimeError as e:
                    if str(e) not in BORROW_ERRORS:
                        raise
                    self.refused += 1
                self.ops += 1
        except BaseException as e:  # reported by the main thread
            self.failure = e


def test_threads_share_tree_and_iterators(fast_switching):
    # Entries no worker writes keep the walks busy and feed the iterators.
    background = [SlowKey(BACKGROUND + k) for k in range(200)]
    tree = AVLTree(background)
    shared = [tree.in_order(), tree.level_order()]
    expected_shared = [list(tree.in_order()), list(tree.level_order())]

    workers = [Worker(i, tree, shared, time.monotonic() + SECONDS) for i in range(THREADS)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for w in workers:
        if w.failure is not None:
            raise w.failure

    # No entry lost or duplicated, and the shape is still a balanced tree.
    held = [v.v for v in tree]
    expected = sorted(set().union(*(w.mine for w in workers)) | {v.v for v in background})
    assert held == expected and len(tree) == len(expected)
    _check_invariants(tree)

    # Every shared iterator handed each value out exactly once, in order.
    for i, it in enumerate(shared):
        rest = list(it)
        taken = [v for w in workers for v in w.taken[i]]
        assert sorted(map(id, taken + rest)) == sorted(map(id, expected_shared[i]))
        for w in workers:
            positions = [expected_shared[i].index(v) for v in w.taken[i]]
            assert positions == sorted(positions)

    ops, refused = sum(w.ops for w in workers), sum(w.refused for w in workers)
    print("\n%d threads, %.1f s: %d operations, %d refused by the borrow check" % (THREADS, SECONDS, ops, refused))
    assert ops > THREADS


def test_threads_draining_one_iterator(fast_switching):
    values = [SlowKey(v) for v in range(20000)]
    it = AVLTree(values).level_order()
    got = [[] for _ in range(THREADS)]

    def drain(out):
        for v in it:
            out.append(v)

    threads = [threading.Thread(target=drain, args=(g,)) for g in got]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(id(v) for g in got for v in g) == sorted(map(id, values))
