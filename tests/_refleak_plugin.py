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

and is run once, as usual, without measuring. So is a test parametrized with
an iterator, which its first run uses up.

Trees take no part in the cyclic collector, so a test that ends with a
reference cycle through a tree (a key rule that closes over the tree, an
exception whose frames hold it) grows the total in every run without the
module leaking anything. Such a test is run again with those cycles broken
after each run; if its total then stops growing it passes, and the summary
names it. A tree that holds only itself cannot be found this way and still
counts as a leak.

Knobs: QUOREL_REFLEAK_WARMUPS (default 2), QUOREL_REFLEAK_RUNS (default 3).
"""

import gc
import os
import sys
import time
import types

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
    """The total reference count once garbage and the caches are gone."""
    sys._clear_type_cache()
    # hypothesis keeps the strategies it builds in a bounded cache, which
    # every run of a property test feeds with new entries until it is full.
    hypothesis_utils = sys.modules.get("hypothesis.strategies._internal.utils")
    getattr(hypothesis_utils, "clear_strategy_cache", lambda: None)()
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
    reason = getattr(getattr(item, "function", None), "refleak_exempt", None)
    if reason is None:
        params = getattr(getattr(item, "callspec", None), "params", {})
        if any(_is_one_shot(value) for value in params.values()):
            reason = "a parameter is an iterator, used up by the first run"
    return reason


def _is_one_shot(value):
    try:
        return iter(value) is value
    except TypeError:
        return False


def _drop_stale_finalizers(item):
    # A function fixture that uses a wider one (tmp_path uses the session's
    # tmp_path_factory) leaves a finalizer with its request on the wider
    # fixture, which pytest calls only when that fixture ends. Harmless once,
    # but repeated runs pile them up; those of runs already torn down are
    # dropped here.
    for fixturedefs in getattr(item, "_fixtureinfo", None).name2fixturedefs.values():
        for fixturedef in fixturedefs:
            finalizers = getattr(fixturedef, "_finalizers", None)
            if finalizers:
                finalizers[:] = [f for f in finalizers if not _finishes_for(f, item)]


def _finishes_for(finalizer, item):
    request = getattr(finalizer, "keywords", {}).get("request")
    return getattr(request, "node", None) is item


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
    _drop_stale_finalizers(item)
    for report in reports:
        if report.failed:
            return f"{report.when}:\n{report.longreprtext}"
    return "skipped" if any(report.skipped for report in reports) else None


def _tree_parts(tree):
    """The objects a tree holds: its values, their stored keys and the key
    rule, as its pickle reduction lists them."""
    try:
        _, (pairs, key_spec) = tree.__reduce__()
    except Exception:  # a tree that cannot be reduced still gives its values
        return list(tree)
    return [part for pair in pairs for part in pair] + [key_spec]


def _break_tree_cycles(fresh):
    """Breaks the cycles through trees among the objects a run left behind.

    `fresh` maps id to object for what the run made and the collector could
    not free. The trees reachable from them are found first; then, following
    only fresh objects from those trees (into frames through their locals,
    never to their callers), every tree, dictionary and dead frame is cleared
    and every cell emptied: a key rule closes a cycle through the namespace or
    the frame it was made in. Older objects (modules, fixtures) are never
    followed, so nothing that outlives the test is touched."""
    from quorel import AVLTree

    def follow(obj):
        if type(obj) is AVLTree:
            return _tree_parts(obj)
        if type(obj) is types.FrameType:
            return list(obj.f_locals.values())
        return gc.get_referents(obj)

    def reach(start, keep):
        seen, found, todo = set(), [], list(start)
        while todo:
            obj = todo.pop()
            if id(obj) in seen:
                continue
            seen.add(id(obj))
            if keep(obj):
                found.append(obj)
            for ref in follow(obj):
                if id(ref) in fresh or type(ref) is AVLTree:
                    todo.append(ref)
        return found

    trees = reach(fresh.values(), lambda obj: type(obj) is AVLTree)
    held = reach(trees, lambda obj: type(obj) in (AVLTree, types.FrameType, types.CellType, dict))
    for obj in held:
        if type(obj) in (AVLTree, dict):
            obj.clear()
        elif type(obj) is types.FrameType:
            try:
                obj.clear()
            except RuntimeError:  # still running
                pass
        else:
            try:
                del obj.cell_contents
            except ValueError:  # already empty
                pass


def _clear_trees_left_by_run(item):
    """Runs the item unreported, then breaks the cycles through trees that
    the run left behind. Returns False if the run did not pass."""
    old = {id(obj) for obj in gc.get_objects()}
    if _run_unreported(item) is not None:
        return False
    gc.collect()
    fresh = {id(obj): obj for obj in gc.get_objects() if id(obj) not in old}
    _break_tree_cycles(fresh)
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
