"""The pickle reconstruction helper fed sequences that lie about themselves,
items of the wrong shape and entries out of order. Refusals carry the note
for the argument; nothing given is kept after a refusal; whatever is built
is a usable, balanced tree."""

import gc
import subprocess
import sys
import weakref
from collections import namedtuple

import pytest

from quorel import AVLTree
from quorel.quorel import _avltree_from_sorted_entries as build

from _model import Model
from _support import Key, check_note

class Lying:
    """A sequence whose reported length, iteration and items are chosen."""

    def __init__(self, items, length=None, fail_at=None, error=None):
        self.items, self.length, self.fail_at, self.error = items, length, fail_at, error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        raise AssertionError("items must be read by iteration, not by index")

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                raise self.error
            yield item


def _pairs(n):
    return [(Key(i), Key(i)) for i in range(n)]


def _check_built(tree, pairs):
    """The tree holds exactly the given entries in the given order, has the
    builder's balanced shape, and still accepts changes."""
    assert len(tree) == len(pairs)
    assert [v for v in tree] == [v for v, _ in pairs]
    expected = Model.from_sorted(pairs)
    assert [id(v) for v in tree.pre_order()] == [id(v) for v in expected.pre_order()]
    assert tree.height == expected.height


@pytest.mark.parametrize("length", [0, 1, 3, 1000, -1, ValueError("len"), OverflowError("huge")])
def test_wrong_or_failing_length_is_only_a_hint(length):
    pairs = _pairs(5)
    tree = build(Lying(pairs, length=length), None)
    _check_built(tree, pairs)
    assert tree.insert(Key(10)) and tree.remove_key(Key(2))


def test_absurd_length_reserves_little():
    # The length only reserves room; a sequence claiming about 2**62 items
    # must not make the process ask for much memory up front: with only
    # 256 MiB of address space to spare, the two real pairs still make a tree.
    # Where the address space cannot be limited (Windows, macOS), a reservation
    # of the claimed length still fails outright.
    code = (
        "import sys\n"
        "if sys.platform.startswith('linux'):\n"
        "    import resource\n"
        "    with open('/proc/self/statm') as f:\n"
        "        used = int(f.read().split()[0]) * resource.getpagesize()\n"
        "    _, hard = resource.getrlimit(resource.RLIMIT_AS)\n"
        "    resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), hard))\n"
        "from quorel.quorel import _avltree_from_sorted_entries as b\n"
        "class S:\n"
        "    def __len__(self): return 2**62\n"
        "    def __getitem__(self, i): raise IndexError\n"
        "    def __iter__(self): return iter([(1, 1), (2, 2)])\n"
        "t = b(S(), None)\n"
        "assert list(t) == [1, 2]\n"
        "print('ok')\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-2000:]


test_absurd_length_reserves_little.refleak_exempt = "runs a subprocess"


@pytest.mark.parametrize("fail_at", [0, 1, 4])
@pytest.mark.parametrize("error_type", [ZeroDivisionError, KeyboardInterrupt])
def test_iteration_failing_midway(fail_at, error_type):
    pairs = _pairs(5)
    refs = [weakref.ref(v) for v, _ in pairs]
    error = error_type("stop")
    with pytest.raises(error_type) as info:
        build(Lying(pairs, fail_at=fail_at, error=error), None)
    assert info.value is error
    check_note(info.value, "pairs")
    del pairs, info, error
    gc.collect()
    assert all(r() is None for r in refs)


def _bad_items():
    good = (Key(0), Key(0))
    return {
        "short tuple": ([good, (Key(1),)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        "long tuple": ([good, (1, 2, 3)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        "empty tuple": ([()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        "list item": ([good, [Key(1), Key(1)]], TypeError, "'list' object is not an instance of 'tuple'"),
        "None item": ([good, None], TypeError, "'None' is not an instance of 'tuple'"),
        "str item": ([good, "ab"], TypeError, "'str' object is not an instance of 'tuple'"),
    }


@pytest.mark.parametrize("container", [Lying, list], ids=["iterated", "list"])
@pytest.mark.parametrize("case", sorted(_bad_items()))
def test_badly_shaped_items_refused(case, container):
    items, error, message = _bad_items()[case]
    refs = [weakref.ref(x) for item in items if isinstance(item, (tuple, list)) for x in item if isinstance(x, Key)]
    with pytest.raises(error) as info:
        build(container(items), None)
    assert str(info.value) == message
    check_note(info.value, "pairs")
    del items, info
    gc.collect()
    assert all(r() is None for r in refs)


class NamedPair(tuple):
    pass


Entry = namedtuple("Entry", "value key")


class Name(str):
    pass


@pytest.mark.parametrize("wrap", [tuple, NamedPair, lambda p: Entry(*p)], ids=["tuple", "subclass", "namedtuple"])
def test_tuple_subclasses_accepted(wrap):
    pairs = [wrap(p) for p in _pairs(6)]
    tree = build(tuple(pairs), None)
    _check_built(tree, [tuple(p) for p in pairs])


@pytest.mark.parametrize("pairs_arg", ["ab", Name("ab")], ids=["str", "subclass"])
def test_str_and_subclass_refused_as_pairs(pairs_arg):
    with pytest.raises(TypeError) as info:
        build(pairs_arg, None)
    assert str(info.value) == "Can't extract `str` to `Vec`"


def test_str_subclass_key_spec_becomes_plain_name():
    pairs = [(Entry(i, i), i) for i in range(3)]
    tree = build(pairs, Name("value"))
    spec = tree.__reduce__()[1][1]
    assert type(spec) is str and spec == "value"
    assert tree.search(Entry(1, "other")) is pairs[1][0]


@pytest.mark.parametrize(
    "keys",
    [[3, 1, 2, 0], [5, 4, 3, 2, 1, 0], [1, 1, 1, 1], [2, 2, 0, 0, 1], list(range(20))[::-1]],
    ids=["unsorted", "descending", "all-equal", "duplicates", "descending-20"],
)
def test_unsorted_and_duplicate_entries_keep_given_order(keys):
    pairs = [(Key(k), Key(k)) for k in keys]
    tree = build(pairs, None)
    _check_built(tree, pairs)
    # Lookups follow the comparisons and may miss entries, but the tree
    # stays a balanced structure that accepts every operation.
    for k in set(keys) | {-1, 100}:
        tree.search(Key(k))
        list(tree.range(Key(k)))
        list(tree.iter_from(Key(k), 3))
        list(tree.iter_to(Key(k), 3))
    for k in keys + [7, -3]:
        tree.insert(Key(k))
        tree.remove_key(Key(k))
    tree.clear()
    assert len(tree) == 0 and tree.height == 0


def test_builder_makes_no_comparison_and_no_key_call():
    class Untouchable:
        def __eq__(self, other):
            raise AssertionError("compared")

        __lt__ = __gt__ = __eq__
        __hash__ = None

    calls = []
    pairs = [(Untouchable(), Untouchable()) for _ in range(9)]
    tree = build(pairs, calls.append)
    assert len(tree) == 9 and calls == []
    assert tree.height == 4
