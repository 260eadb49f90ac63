"""pytest plugin that hunts reference leaks: ``python -m pytest -p _refleak_plugin``.

It needs a debug interpreter (one with ``sys.gettotalrefcount``) and this
folder on ``sys.path``. Every test is run several times in a row, each time
with its whole set-up and tear-down: first a few warm-up runs, which fill the
caches that the first calls of anything fill, then the measured runs. After
each run the collector is run and the interpreter's total reference count
read. A test whose total grows in every measured run leaks; it fails with
the growth per run. One run that does not grow is taken as noise having
filled a cache, as CPython's own leak hunter does.

A test that cannot be repeated meaningfully (it starts a subprocess, or it
builds a million objects) carries a reason as a function attribute::

    test_x.refleak_exempt = "runs a subprocess"

and is run once, as usual, without measuring.

Knobs: QUOREL_REFLEAK_WARMUPS (default 2), QUOREL_REFLEAK_RUNS (default 3).
"""

import gc
import os
import sys
import time

import pytest
from _pytest.runner import runtestprotocol

WARMUPS = int(os.environ.get("QUOREL_REFLEAK_WARMUPS", "2"))
RUNS = int(os.environ.get("QUOREL_REFLEAK_RUNS", "3"))

# The verdict for an item, read when its reported run makes its call report.
_verdict_key = pytest.StashKey[str]()


class _Tally:
    def __init__(self):
        self.repeated = 0
        self.runs = 0
        self.exempt = {}
        self.leaking = []
        self.tree_cycles = []
        self.started = time.monotonic()


_tally = _Tally()


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("-p _refleak_plugin needs a debug interpreter (sys.gettotalrefcount)")
    if WARMUPS < 1 or RUNS < 2:
        raise pytest.UsageError("the refleak mode needs at least 1 warm-up and 2 measured runs")


def pytest_report_header(config):
    return f"refleak mode: each test run {WARMUPS} time(s) to warm up and {RUNS} times measured, then once reported"


def _settled_total():
    """The total reference count once garbage and the method cache are gone."""
    sys._clear_type_cache()
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount()


def _freeze_survivors():
    # Whatever is alive between two tests (modules, fixtures, caches) is moved
    # out of the collector's sight, so that the collections between runs only
    # walk what the current test made; with hypothesis and pytest loaded a full
    # collection would otherwise cost more than most tests.
    gc.collect()
    gc.freeze()


def pytest_collection_finish(session):
    _freeze_survivors()


def _exemption(item):
    return getattr(getattr(item, "function", None), "refleak_exempt", None)


def _run_unreported(item):
    """Runs the item once with its set-up and tear-down, unreported. Returns
    None if it passed, "skipped" if it was skipped or failed as expected, else
    the text of its failure."""
    # Tearing down to the item's parent keeps module and class fixtures for
    # the next run, as they would be for the item's next sibling.
    reports = runtestprotocol(item, log=False, nextitem=item.parent)
    # Output captured during the run is kept on the item for its report; an
    # unreported run must not pile it up.
    item._report_sections = []
    for report in reports:
        if report.failed:
            return f"{report.when}:\n{report.longreprtext}"
    return "skipped" if any(report.skipped for report in reports) else None


def _clear_trees_left_by_run(item):
    """Runs the item unreported, then clears every tree that the run left
    behind in its own garbage: the trees reachable from the objects the run
    made and the collector could not free, through those objects and the
    trees' values. Returns False if the run did not pass."""
    from quorel import AVLTree

    old = {id(obj) for obj in gc.get_objects()}
    if _run_unreported(item) is not None:
        return False
    gc.collect()
    fresh = {id(obj): obj for obj in gc.get_objects() if id(obj) not in old}
    trees, seen, todo = [], set(), list(fresh.values())
    while todo:
        obj = todo.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        if type(obj) is AVLTree:
            trees.append(obj)
            todo.extend(obj)
        else:
            # Older objects (modules, fixtures) are not followed, so a tree
            # that outlives the test is never touched.
            todo.extend(r for r in gc.get_referents(obj) if id(r) in fresh or type(r) is AVLTree)
    del fresh, todo
    for tree in trees:
        tree.clear()
    return True


def _only_tree_cycles(item):
    """Trees take no part in the cyclic collector, so a test that ends with a
    cycle through a tree grows the total in every run without anything
    leaking. True if, once the trees each run leaves in its garbage are
    cleared, the total no longer grows in every run (the first such run
    settles what the earlier uncleared runs kept)."""
    deltas = [0] * RUNS
    if not _clear_trees_left_by_run(item):
        return False
    before = _settled_total()
    for i in range(RUNS):
        if not _clear_trees_left_by_run(item):
            return False
        after = _settled_total()
        deltas[i] = after - before
        before = after
    return not all(delta >= 1 for delta in deltas)


def _repeat(item):
    """Runs the item WARMUPS + RUNS times unreported and returns the verdict:
    None if it holds no leak, else the text that fails it."""
    deltas = [0] * (WARMUPS + RUNS)
    before = after = 0
    for i in range(WARMUPS + RUNS):
        failure = _run_unreported(item)
        if failure == "skipped":
            return None  # skipped, or an expected failure: nothing to measure
        if failure is not None:
            return f"failed when run again (run {i + 1}), {failure}"
        after = _settled_total()
        deltas[i] = after - before
        before = after
    measured = deltas[WARMUPS:]
    verdict = None
    if all(delta >= 1 for delta in measured):
        if _only_tree_cycles(item):
            _tally.tree_cycles.append(item.nodeid)
        else:
            verdict = f"leaked references: the total grew by {measured} in the measured runs"
            _tally.leaking.append(item.nodeid)
    _freeze_survivors()
    _tally.repeated += 1
    _tally.runs += WARMUPS + RUNS
    return verdict


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    reason = _exemption(item)
    if reason is not None:
        _tally.exempt[item.nodeid] = reason
        return None  # the ordinary protocol runs it once
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    verdict = _repeat(item)
    if verdict is not None:
        item.stash[_verdict_key] = verdict
    # The reported run, with the real next item so that wider fixtures are
    # torn down as usual.
    runtestprotocol(item, log=True, nextitem=nextitem)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    verdict = item.stash.get(_verdict_key, None)
    if verdict is not None and call.when == "call" and report.passed:
        report.outcome = "failed"
        report.longrepr = verdict


def pytest_terminal_summary(terminalreporter):
    write = terminalreporter.write_line
    terminalreporter.section("refleak")
    for nodeid, reason in sorted(_tally.exempt.items()):
        write(f"not repeated: {nodeid}: {reason}")
    for nodeid in _tally.tree_cycles:
        write(f"grows only by cycles through trees, which the collector leaves: {nodeid}")
    for nodeid in _tally.leaking:
        write(f"LEAKING: {nodeid}")
    write(
        f"refleak: {_tally.repeated} tests repeated ({_tally.runs} runs), "
        f"{len(_tally.exempt)} exempt, {len(_tally.tree_cycles)} with cycles through trees, "
        f"{len(_tally.leaking)} leaking, "
        f"{time.monotonic() - _tally.started:.0f}s"
    )
