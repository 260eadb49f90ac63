"""Threads sharing one tree or iterator: calls from other threads wait for
each other, so nothing is refused, lost or stored twice. A Barrier starts the
threads together; keys compared or extracted by Python code let the
interpreter switch threads in the middle of every call."""

import random
import sys
import sysconfig
import threading
import time

import pytest

from quorel import AVLTree
from quorel.quorel import _check_invariants

from _support import MEMBERS, OWNERS, HashedKey, Key, Subject, member_ids, run_python

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

THREADS = 8
PER_THREAD = 300


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(*targets):
    """Runs each target in its own thread, all released by one Barrier, and
    returns their results; the first exception a thread raised is raised."""
    barrier = threading.Barrier(len(targets))
    results, errors = [None] * len(targets), []

    def run(i, target):
        barrier.wait()
        try:
            results[i] = target()
        except BaseException as e:  # re-raised by the main thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i, t)) for i, t in enumerate(targets)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


# How a tree orders its values: natively, through Python comparison methods,
# or through a Python key function.
KINDS = {
    "native": (lambda k: k, lambda: AVLTree(), lambda v: v),
    "python_compare": (Key, lambda: AVLTree(), lambda v: v.v),
    "python_key": (lambda k: [k], lambda: AVLTree(key=lambda v: v[0]), lambda v: v[0]),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("contended", [False, True], ids=["disjoint", "contended"])
def test_inserts_and_removals(kind, contended):
    make, new_tree, key_of = KINDS[kind]
    tree = new_tree()
    if contended:  # every thread inserts every key, then removes the even ones
        plans = [random.Random(i).sample(range(PER_THREAD), PER_THREAD) for i in range(THREADS)]
    else:  # each thread its own keys
        plans = [[i + THREADS * j for j in range(PER_THREAD)] for i in range(THREADS)]

    removals = threading.Barrier(THREADS)  # all inserts end before any removal

    def worker(plan):
        def work():
            inserted = sum(tree.insert(make(k)) for k in plan)
            removals.wait()
            removed = sum(tree.remove(make(k)) for k in plan if k % 2 == 0)
            return inserted, removed
        return work

    counts = run_threads(*(worker(p) for p in plans))
    keys = sorted(set().union(*plans))
    # Each key went in exactly once and came out exactly once, whichever thread did it.
    assert sum(c[0] for c in counts) == len(keys)
    assert sum(c[1] for c in counts) == len([k for k in keys if k % 2 == 0])
    assert [key_of(v) for v in tree] == [k for k in keys if k % 2]
    _check_invariants(tree)


@pytest.mark.parametrize("kind", ["native", "python_compare"])
def test_readers_see_consistent_snapshots_while_writers_run(kind):
    make, new_tree, key_of = KINDS[kind]
    tree = new_tree()
    for k in range(0, 4000, 7):
        tree.insert(make(k))
    stop = threading.Event()

    def writer(i):
        def work():
            rng = random.Random(i)
            for _ in range(PER_THREAD):
                k = make(rng.randrange(4000))
                tree.insert(k) if rng.random() < 0.5 else tree.remove(k)
            stop.set()
        return work

    def reader(i):
        def work():
            rng = random.Random(100 + i)
            snapshots = 0
            while not stop.is_set() or snapshots < 3:
                lo = rng.randrange(4000)
                for values in (list(tree), list(tree.range(make(lo), make(lo + 500))),
                               list(tree.descending())[::-1], tree[:]):
                    keys = [key_of(v) for v in values]
                    assert keys == sorted(set(keys))
                assert 0 <= len(tree) <= 4000
                snapshots += 1
        return work

    run_threads(*(writer(i) for i in range(THREADS // 2)), *(reader(i) for i in range(THREADS // 2)))
    _check_invariants(tree)


def test_threads_share_one_iterator():
    values = [Key(v) for v in range(20000)]
    it = AVLTree(values).in_order()
    taken = run_threads(*[lambda: list(it)] * THREADS)
    # Every value was handed out once, and each thread got its share in order.
    assert sorted(id(v) for part in taken for v in part) == sorted(map(id, values))
    for part in taken:
        assert [v.v for v in part] == sorted(v.v for v in part)


def test_clear_copy_and_pop_race_with_inserts():
    tree = AVLTree(Key(k) for k in range(2000))
    inserted = [Key(k) for k in range(2000, 6000)]

    def insert(i):
        return lambda: [tree.insert(v) for v in inserted[i::3]]

    def pop():
        got = []
        for _ in range(1500):
            try:
                got.append(tree.pop(0 if len(got) % 2 else -1))
            except IndexError:  # emptied by clear() meanwhile
                pass
        return got

    def copy():
        copies = [tree.copy() for _ in range(20)]
        for c in copies:
            _check_invariants(c)
            keys = [v.v for v in c]
            assert keys == sorted(set(keys))
        return []

    popped = run_threads(insert(0), insert(1), insert(2), pop, pop, copy, copy, tree.clear)[3:5]
    popped = [v for part in popped for v in part]
    # Nothing popped twice, and nothing popped is still stored.
    assert len({id(v) for v in popped}) == len(popped)
    assert not {id(v) for v in popped} & {id(v) for v in tree}
    _check_invariants(tree)


def test_nested_read_passes_a_waiting_writer():
    # A comparison run by search() reads the same tree again while another
    # thread waits to insert: the nested read is granted at once, the insert
    # goes ahead after the search.
    tree = AVLTree(Key(k) for k in range(100))
    writer_started = threading.Event()
    lengths = []

    class Probe(Key):
        def __eq__(self, other):
            if not lengths:
                writer_started.set()
                writer.join(0.05)  # gives the writer time to start waiting
                lengths.append(len(tree))
            return Key.__eq__(self, other)

    writer = threading.Thread(target=lambda: (writer_started.wait(), tree.insert(Key(500))))
    writer.start()
    assert tree.search(Probe(50)).v == 50
    writer.join()
    assert lengths == [100] and len(tree) == 101


def test_callback_refused_as_reentry_while_another_thread_reads():
    # Both threads are inside a read of the tree when their comparisons try to
    # change it: each is refused at once as re-entry, none waits for itself.
    tree = AVLTree(Key(k) for k in range(100))
    both_reading = threading.Barrier(2)

    class Meddler(Key):
        def __eq__(self, other):
            if not hasattr(self, "refusal"):
                both_reading.wait()
                with pytest.raises(RuntimeError) as info:
                    tree.insert(Key(1000))
                self.refusal = str(info.value)
            return Key.__eq__(self, other)

    def search():
        probe = Meddler(50)
        return tree.search(probe).v, probe.refusal

    assert run_threads(search, search) == [(50, "Already borrowed")] * 2
    assert len(tree) == 100


class Shared(Subject):
    """A tree of Keys for several threads; their Python-level comparisons let the
    interpreter switch threads in the middle of a call."""

    contents = range(0, 120, 2)

    def value(self, i):
        return (HashedKey if OWNERS[self.owner].maps else Key)(i)

    key = value


@pytest.mark.parametrize("member", MEMBERS, ids=member_ids)
def test_every_member_waits_for_other_threads(member):
    # Two threads call the member while two others insert and remove keys of their own:
    # nothing is refused, and the tree stays sound.
    subject = Shared(member.owner)
    owner = OWNERS[member.owner]
    subject.iterator  # made before the threads start

    def caller():
        for _ in range(10):
            member.call(subject)

    def writer(i):
        def work():
            for j in range(10):
                k = subject.value(1000 + 100 * i + j)
                assert owner.add(subject.tree, k)
                # A member that keeps only some keys (&=, clear, pop) may take k out
                # in between, so the answer is not checked; a refusal still raises.
                owner.discard(subject.tree, k)
        return work

    run_threads(caller, caller, writer(0), writer(1))
    owner.check(subject.tree)


def test_new_reader_waits_behind_a_waiting_writer():
    # While a search holds its read open, one thread asks to insert and waits; a reader
    # that comes after it waits behind it, so the writer cannot be starved, and sees the
    # insertion.
    tree = AVLTree(Key(k) for k in range(100))
    calling = threading.Event()
    seen = []

    def insert():
        def profile(frame, event, arg):
            if event == "c_call" and getattr(arg, "__name__", None) == "insert":
                calling.set()

        sys.setprofile(profile)
        tree.insert(Key(500))

    def read():
        seen.append(len(tree))

    writer, reader = threading.Thread(target=insert), threading.Thread(target=read)
    first = [True]

    class Probe(Key):
        def __eq__(self, other):
            if first.pop() if first else False:
                writer.start()
                assert calling.wait(10)
                time.sleep(0.05)  # the writer is now waiting for the borrow
                reader.start()
                reader.join(0.2)  # gives a reader let in at once the time to read
            return Key.__eq__(self, other)

    assert tree.search(Probe(50)).v == 50
    writer.join()
    reader.join()
    assert seen == [101] and len(tree) == 101


CROSSED_UPDATES = """
    import os, sys, threading, time
    from quorel import AVLTree

    seconds = float(sys.argv[1])
    a, b = AVLTree(range(0, 40, 2)), AVLTree(range(1, 40, 2))
    pairs = [(a, b), (b, a)] * 2
    start = threading.Barrier(len(pairs))
    errors = []

    def cross(left, right):
        start.wait()
        end = time.monotonic() + seconds
        try:
            while time.monotonic() < end:
                left.update(right)
        except BaseException as e:
            errors.append(repr(e))

    threads = [threading.Thread(target=cross, args=pair, daemon=True) for pair in pairs]
    for t in threads:
        t.start()
    deadline = time.monotonic() + seconds + 30
    for t in threads:
        t.join(max(0, deadline - time.monotonic()))
    if any(t.is_alive() for t in threads):
        print("deadlocked", flush=True)
        os._exit(1)
    assert not errors, errors
    assert list(a) == list(b) == list(range(40))
    print("done")
"""


def test_crossed_bulk_members_never_wait_for_each_other():
    # a.update(b) and b.update(a) at once in several threads: each holds one tree
    # exclusively and the other shared, taken in one order for both, so none waits for
    # another in a cycle. Threads run in parallel only on a free-threaded interpreter.
    result = run_python(CROSSED_UPDATES, 3 if FREE_THREADED else 0.3, timeout=120)
    assert result.returncode == 0 and result.stdout.split() == ["done"], (
        result.stdout, result.stderr[-2000:])


test_crossed_bulk_members_never_wait_for_each_other.refleak_exempt = "runs a subprocess"
