"""Typed use of quorel, checked with ``mypy --strict`` and also run.

Every ``assert_type`` states what a type checker must infer from the
package's stubs, and the program asserts the same facts at run time.
``rejected_by_the_type_checker`` is never called: each of its lines is
a mistake that the stubs must catch. Strict mode reports an unused
``type: ignore``, so a stub that stopped catching one fails the check.
"""

from __future__ import annotations

import pickle
from dataclasses import dataclass
from operator import attrgetter

from typing_extensions import assert_type

from quorel import AVLDict, AVLTree


@dataclass(frozen=True)
class Job:
    name: str
    due: int


def by_value() -> None:
    tree = AVLTree([5, 1, 3])
    assert_type(tree, "AVLTree[int]")
    assert_type(tree.insert(4), bool)
    assert_type(tree.search(3), "int | None")
    assert_type(tree.first(), "int | None")
    assert_type(tree.height, int)
    assert_type(len(tree), int)
    ascending = list(tree)
    assert_type(ascending, "list[int]")
    assert ascending == [1, 3, 4, 5]
    window = tree.range(2, 5, include_end=True)
    assert_type(next(window), int)
    assert list(tree.iter_to(4, 2)) == [4, 3]


def by_attribute_and_callable() -> None:
    jobs = [Job("build", 30), Job("test", 10), Job("ship", 20)]
    by_due: AVLTree[Job] = AVLTree(jobs, key="due")
    assert_type(by_due.search_key(10), "Job | None")
    assert by_due.contains_key(20)
    earliest = by_due.first()
    assert earliest is not None and earliest.name == "test"

    by_name = AVLTree(jobs, key=attrgetter("name"))
    assert [job.name for job in by_name] == ["build", "ship", "test"]

    by_length = AVLTree(["ccc", "a", "bb"], key=len)
    assert_type(by_length, "AVLTree[str]")
    assert by_length.remove_key(2)
    assert list(by_length.descending()) == ["ccc", "a"]


def positions() -> None:
    tree: AVLTree[int] = AVLTree([50, 10, 40, 20, 30])
    assert_type(tree[0], int)
    assert_type(tree[1:3], "list[int]")
    assert (tree[-1], tree[::2]) == (50, [10, 30, 50])
    assert_type(tree.index(40), int)
    assert (tree.bisect_left(35), tree.bisect_right(30)) == (3, 3)
    assert_type(tree.floor(35), "int | None")
    assert (tree.ceiling(35), tree.lower(10), tree.higher(50)) == (40, None, None)
    assert_type(tree.pop(), int)
    assert (tree.pop(0), list(reversed(tree))) == (10, [40, 30, 20])


def round_trip() -> None:
    tree = AVLTree(range(10), key=None)
    copy = pickle.loads(pickle.dumps(tree))
    assert list(copy) == list(range(10))
    rebuild, (pairs, key_spec) = tree.__reduce__()
    assert key_spec is None
    assert_type(rebuild(pairs, key_spec), "AVLTree[int]")


def set_operations() -> None:
    tree = AVLTree([1, 2, 3])
    tree.update([4], (5, 6))
    other = AVLTree([3, 4, 9])
    assert_type(tree | other, "AVLTree[int]")
    assert_type(tree.intersection([3], other), "AVLTree[int]")
    tree -= other
    assert list(tree) == [1, 2, 5, 6]
    assert tree.isdisjoint(other) and tree.issubset(range(10))
    tree.symmetric_difference_update([1, 7])
    assert list(tree) == [2, 5, 6, 7]


def rejected_by_the_type_checker(tree: AVLTree[int]) -> None:
    tree.insert("seven")  # type: ignore[arg-type]
    tree.height = 3  # type: ignore[misc]
    tree.range(1, 5, True)  # type: ignore[call-arg]
    tree.iter_from(1, 2.5)  # type: ignore[arg-type]
    tree.get(1, None)  # type: ignore[call-arg]
    AVLTree([1, 2], str)  # type: ignore[call-overload]
    AVLTree([1, 2], key=5)  # type: ignore[call-overload]
    AVLTree([object()])  # type: ignore[type-var]
    AVLTree([Job("a", 1)], key=len)  # type: ignore[arg-type]
    tree["1"]  # type: ignore[call-overload]
    tree.pop(1.0)  # type: ignore[arg-type]
    tree.update(["x"])  # type: ignore[list-item]
    tree | [1]  # type: ignore[operator]


def mapping() -> None:
    book: AVLDict[float, str] = AVLDict({101.5: "ask", 99.0: "bid"})
    assert_type(book, "AVLDict[float, str]")
    book[100.0] = "mid"
    assert_type(book[100.0], str)
    assert_type(book.get(7.0), "str | None")
    assert_type(book.peekitem(0), "tuple[float, str]")
    assert_type(book.floor(100.5), "float | None")
    assert_type(book.items().ceiling(100.5), "tuple[float, str] | None")
    assert_type(list(book.values().range(99.0, 101.0)), "list[str]")
    assert_type(book.keys()[0], float)
    assert_type(book.index(100.0), int)
    assert_type(book | {1.0: "low"}, "AVLDict[float, str]")
    assert book.peekitem(0) == (99.0, "bid") and book.floor(100.5) == 100.0
    assert list(book.values().range(99.0, 101.0)) == ["bid", "mid"]
    counts = AVLDict(a=1, b=2)
    assert_type(counts, "AVLDict[str, int]")
    assert_type(AVLDict.fromkeys([3, 1], 0), "AVLDict[int, int]")
    assert pickle.loads(pickle.dumps(counts)) == {"a": 1, "b": 2}
    assert AVLDict[str, int]() == {}


def rejected_mapping() -> None:
    book: AVLDict[float, str] = AVLDict()
    book["x"] = "y"  # type: ignore[index]
    book[1.0] = 2  # type: ignore[assignment]
    book.peekitem("0")  # type: ignore[arg-type]


if __name__ == "__main__":
    mapping()
    by_value()
    by_attribute_and_callable()
    positions()
    round_trip()
    set_operations()
    print("typed example: ok")
