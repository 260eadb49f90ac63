"""Waits for a borrow that another thread holds: a wait that would close a cycle of
threads waiting for each other fails at once in the thread that would close it, a wait
without a cycle still waits and succeeds, and a wait on the main thread ends with the
exception of a signal handler. Every thread is a daemon joined with a timeout, and a
watchdog ends the run, so a broken wait fails the test instead of hanging the suite."""

import _thread
import faulthandler
import signal
import sys
import threading

import pytest

from quorel import AVLTree

from _support import Key

DEADLOCK = "waiting for this borrow would deadlock"
TIMEOUT = 20  # seconds any one step may take before the test gives up on it

# The borrow each call takes of its tree: exclusive or shared.
CALLS = {
    "insert": lambda tree, value: tree.insert(value),
    "contains": lambda tree, value: value in tree,
}


@pytest.fixture(autouse=True)
def watchdog():
    # Ends the run, with every thread's traceback, should a test hang all the same.
    faulthandler.dump_traceback_later(6 * TIMEOUT, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


def start(target):
    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    return thread


def run_threads(*targets, meanwhile=lambda: None):
    """Runs each target in a daemon thread, and `meanwhile` in this one; returns per
    target ("ok", result) or ("error", exception)."""
    results = [None] * len(targets)

    def run(i, target):
        try:
            results[i] = ("ok", target())
        except BaseException as e:  # reported to the test
            results[i] = ("error", e)

    threads = [start(lambda i=i, t=t: run(i, t)) for i, t in enumerate(targets)]
    meanwhile()
    for t in threads:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in threads), "threads still wait for each other"
    return results


def holding(tree, call, then):
    """Runs `call` on `tree` with a key whose first comparison runs `then()`, while the
    call holds its borrow of `tree`."""
    ran = []

    def hook():
        if not ran:
            ran.append(True)
            then()

    return CALLS[call](tree, Key(0.5, hook=hook))


def values(tree):
    return sorted(getattr(v, "v", v) for v in tree)


def wait_until_calling(code, thread=None):
    """Waits until a thread (any, or the one given) runs native code called from a
    function with `code`."""
    for _ in range(20000):
        frames = sys._current_frames()
        found = [frames.get(thread.ident)] if thread is not None else frames.values()
        if any(frame is not None and frame.f_code is code for frame in found):
            return
        threading.Event().wait(0.001)
    pytest.fail("the thread never made its call")


@pytest.mark.parametrize("size", [2, 3], ids=["two_trees", "three_trees"])
@pytest.mark.parametrize(
    "outer, inner, cycle",
    [("insert", "insert", True), ("insert", "contains", True), ("contains", "insert", True),
     ("contains", "contains", False)])
def test_crossed_calls_fail_in_one_thread_when_they_close_a_cycle(size, outer, inner, cycle):
    # Thread i holds tree i and, from a comparison, calls into tree i + 1; the last
    # tree's thread calls into the first. Reads beside reads close no cycle.
    trees = [AVLTree([0]) for _ in range(size)]
    all_hold = threading.Barrier(size, timeout=TIMEOUT)

    def thread(i):
        then = lambda: (all_hold.wait(), CALLS[inner](trees[(i + 1) % size], 10 + i))
        return lambda: holding(trees[i], outer, then)

    results = run_threads(*(thread(i) for i in range(size)))
    failures = [r for kind, r in results if kind == "error"]
    assert [(type(e), str(e)) for e in failures] == [(RuntimeError, DEADLOCK)] * cycle
    # The failed call changed nothing; every other one did all its work.
    for i, tree in enumerate(trees):
        previous = (i - 1) % size
        expected = [0]
        if outer == "insert" and results[i][0] == "ok":
            expected.append(0.5)
        if inner == "insert" and results[previous][0] == "ok":
            expected.append(10 + previous)
        assert values(tree) == expected


@pytest.mark.parametrize("depth", [1, 70])
def test_cycle_through_a_borrow_taken_deep_in_nested_calls(depth):
    # One thread reads trees[0], from its comparison trees[1], and so on, and at the
    # deepest level changes `other`; the other thread holds `other` and changes the
    # last of the trees it reads.
    trees, other = [AVLTree([0]) for _ in range(depth)], AVLTree([0])
    both_hold = threading.Barrier(2, timeout=TIMEOUT)

    def nest(k):
        if k == depth:
            both_hold.wait()
            return other.insert(1)
        return holding(trees[k], "contains", lambda: nest(k + 1))

    results = run_threads(
        lambda: nest(0),
        lambda: holding(other, "insert", lambda: (both_hold.wait(), trees[-1].insert(2))))
    failures = [r for kind, r in results if kind == "error"]
    assert [(type(e), str(e)) for e in failures] == [(RuntimeError, DEADLOCK)]


def test_cycle_through_a_waiting_writer_fails_instead_of_hanging():
    # Reader 1 holds A and reads B; reader 2 holds B and changes A; a writer waits for B,
    # and new reads of B wait behind it: 1 waits for the writer, which waits for 2, which
    # waits for 1. Whoever closes the cycle fails, the others finish. (Should a reader
    # come to B before the writer waits, there is no cycle and nobody fails.)
    a, b = AVLTree([0]), AVLTree([0])
    b_held = threading.Event()

    def write():
        b_held.wait(TIMEOUT)
        return b.insert(8)

    def after_the_writer(call):
        def then():
            b_held.set()
            wait_until_calling(write.__code__)
            return call()
        return then

    results = run_threads(
        lambda: holding(a, "contains", after_the_writer(lambda: 1 in b)),
        lambda: holding(b, "contains", after_the_writer(lambda: a.insert(7))),
        write)
    failures = [r for kind, r in results if kind == "error"]
    assert [(type(e), str(e)) for e in failures] in ([], [(RuntimeError, DEADLOCK)])
    assert values(b) == [0, 8] and values(a) == [0, 7][: 1 + (results[1][0] == "ok")]


@pytest.mark.parametrize("chain", [1, 2])
@pytest.mark.parametrize("call", CALLS)
def test_waits_without_a_cycle_wait_and_succeed(chain, call):
    # Thread 0 holds tree 0 until told to go; thread k holds tree k and, from a
    # comparison, changes tree k - 1; one more thread calls into the last tree. Each
    # waits for the one before it, none for itself.
    trees = [AVLTree([0]) for _ in range(chain)]
    go, held = threading.Event(), [threading.Event() for _ in range(chain)]

    def first():
        return holding(trees[0], call, lambda: (held[0].set(), go.wait(TIMEOUT)))

    def link(k):
        def then():
            held[k].set()
            return trees[k - 1].insert(10 + k)
        return lambda: (held[k - 1].wait(TIMEOUT), holding(trees[k], call, then))[1]

    last = lambda: (held[-1].wait(TIMEOUT), trees[-1].insert(99))[1]

    def let_go_once_all_wait():
        held[-1].wait(TIMEOUT)
        wait_until_calling(last.__code__)
        go.set()

    results = run_threads(first, *(link(k) for k in range(1, chain)), last,
                          meanwhile=let_go_once_all_wait)
    assert [kind for kind, _ in results] == ["ok"] * (chain + 1)
    assert 99 in trees[-1]


def interrupt_main_by_signal():
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)


@pytest.fixture
def python_sigint():
    """Python's own SIGINT handler for the test: a process started with SIGINT ignored
    (as background jobs are) would otherwise never turn the signal into an exception."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


NO_PTHREAD_KILL = pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="POSIX only")


@pytest.mark.parametrize(
    "interrupt",
    [_thread.interrupt_main, pytest.param(interrupt_main_by_signal, marks=NO_PTHREAD_KILL)],
    ids=["interrupt_main", "SIGINT"])
@pytest.mark.parametrize("held, waited", [("insert", "contains"), ("contains", "insert")])
def test_interrupt_ends_a_wait_on_the_main_thread(held, waited, interrupt, python_sigint):
    # Another thread holds the tree until told to let go (or for TIMEOUT at most); the
    # main thread's call waits for it and gets the KeyboardInterrupt at once.
    tree = AVLTree([0])
    holds, let_go = threading.Event(), threading.Event()
    holder = start(lambda: holding(tree, held, lambda: (holds.set(), let_go.wait(TIMEOUT))))
    assert holds.wait(TIMEOUT)
    main = threading.current_thread()
    interrupter = start(lambda: (wait_until_calling(CALLS[waited].__code__, main), interrupt()))
    try:
        with pytest.raises(KeyboardInterrupt):
            CALLS[waited](tree, 1)
        assert holder.is_alive() and not let_go.is_set(), "the wait ended with the holder's"
        interrupter.join(TIMEOUT)
        # The interrupted wait left nothing behind: no writer that new reads would
        # wait behind, and the tree as it was.
        if held == "contains":
            assert run_threads(lambda: len(tree)) == [("ok", 1)]
    finally:
        let_go.set()
        holder.join(TIMEOUT)
    assert values(tree) == [0, 0.5][: 1 + (held == "insert")]
    assert tree.insert(1)
