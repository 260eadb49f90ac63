"""Deeply nested trees and iterators are released without running out of
stack, and a tree that holds itself can be shown, pickled and released."""

import copy
import gc
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

from quorel import AVLTree

DEPTH = 10**6

# Each recipe wraps the previous link of the chain in a new one; the bottom
# of every chain is a weak-referenceable sentinel.
CHAINS = {
    "trees": "AVLTree([link])",
    "iterators": "iter(AVLTree([link]))",
    "half-consumed iterators": "consumed(AVLTree([0, link], key=rank).in_order())",
    "trees and iterators": "AVLTree([link]) if n % 2 else AVLTree([link]).descending()",
    "key rules": "AVLTree([0], key=functools.partial(pick, link))",
    "stored keys": "AVLTree([link], key=hold)",
}

SCRIPT = """
import functools, gc, sys, weakref
from quorel import AVLTree

class Sentinel:
    pass

def rank(value):
    return 0 if isinstance(value, int) else 1

def consumed(it):
    next(it)
    return it

def pick(link, value):
    return value

def hold(value):
    return [value]

bottom = Sentinel()
alive = weakref.ref(bottom)
link = bottom
for n in range({depth}):
    link = {recipe}
del bottom
# While the chain stands, the bottom is reachable.
assert alive() is not None
{probe}
del link
gc.collect()
assert alive() is None, "the bottom of the chain was not released"
print("released")
"""


def _run(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("chain", sorted(CHAINS))
def test_deep_chain_released(chain):
    done = _run(SCRIPT.format(depth=DEPTH, recipe=CHAINS[chain], probe=""))
    assert done.returncode == 0 and done.stdout.strip() == "released", (done.returncode, done.stderr[-3000:])


test_deep_chain_released.refleak_exempt = "runs a subprocess that builds a million objects"

# repr() and pickling of a deep chain hit the interpreter's recursion limit
# and report it; the chain is still released afterwards.
DEEP_PROBE = textwrap.dedent(
    """
    import pickle
    for attempt in (repr, pickle.dumps):
        try:
            attempt(link)
        except RecursionError:
            pass
        else:
            raise AssertionError("%s of a deep chain did not hit the recursion limit" % attempt)
    """
)


def test_deep_chain_repr_and_pickle_hit_recursion_limit():
    done = _run(SCRIPT.format(depth=100000, recipe=CHAINS["trees"], probe=DEEP_PROBE))
    assert done.returncode == 0 and done.stdout.strip() == "released", (done.returncode, done.stderr[-3000:])


test_deep_chain_repr_and_pickle_hit_recursion_limit.refleak_exempt = "runs a subprocess"


class Sentinel:
    pass


def _shown(tree, text):
    # The text form reads a tree that is being shown on the same thread as
    # "AVLTree([...])", as Python's own containers do, instead of starting again.
    assert text == "AVLTree([%s])" % ", ".join("AVLTree([...])" if v is tree else repr(v) for v in tree)


def _holds_itself(tree, copy):
    # The memo maps the tree to its copy, so the copy holds the copy.
    assert len(copy) == 3 and any(v is copy for v in copy)
    copy.clear()


@pytest.mark.parametrize(
    "attempt, shown",
    [
        (repr, _shown),
        (str, _shown),
        # The pickler reaches the tree again before it has memoized it.
        (pickle.dumps, None),
        (lambda t: pickle.dumps(t, protocol=0), None),
        (copy.deepcopy, _holds_itself),
    ],
    ids=["repr", "str", "pickle", "pickle-0", "deepcopy"],
)
def test_tree_holding_itself(attempt, shown):
    sentinel = Sentinel()
    alive = weakref.ref(sentinel)
    tree = AVLTree([sentinel, 5], key=id)
    assert tree.insert(tree)
    del sentinel
    if shown is None:
        with pytest.raises(RecursionError):
            attempt(tree)
    else:
        shown(tree, attempt(tree))
    # Lookups, walks and a shallow copy do not recurse.
    assert tree.search(tree) is tree and tree in tree
    assert tree in list(tree.in_order()) and len(copy.copy(tree)) == 3
    before = sys.getrefcount(tree)
    # The collector never breaks the cycle; clearing does.
    gc.collect()
    assert alive() is not None and sys.getrefcount(tree) == before
    tree.clear()
    assert alive() is None and sys.getrefcount(tree) == before - 1
