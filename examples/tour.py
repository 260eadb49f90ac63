"""A short tour of quorel.AVLTree: build, look up, remove, walk, pickle.

Run it after installing the package:

    python -m pip install . && python examples/tour.py
"""

from __future__ import annotations

import pickle
from dataclasses import dataclass
from operator import itemgetter

import quorel
from quorel import AVLTree


@dataclass(frozen=True)
class City:
    name: str
    population: int  # thousands


CITIES = [
    City("Lyon", 522),
    City("Porto", 232),
    City("Graz", 291),
    City("Turku", 201),
    City("Bergen", 291),  # same population as Graz: a duplicate key
    City("Malmo", 357),
]


def section(title: str) -> None:
    print(f"\n== {title}")


def values_are_keys() -> None:
    section("values are their own keys")
    numbers = AVLTree([42, 7, 19, 3, 25, 7])
    print("tree:", numbers)
    print("length", len(numbers), "height", numbers.height)
    print("insert 11 ->", numbers.insert(11), "| insert 42 again ->", numbers.insert(42))
    print("search 19 ->", numbers.search(19), "| search 20 ->", numbers.search(20))
    print("first", numbers.first(), "last", numbers.last())
    print("remove 3 ->", numbers.remove(3), "| remove 3 again ->", numbers.remove(3))
    print("range [7, 25):", list(numbers.range(7, 25)))
    print("range (7, 25]:", list(numbers.range(7, 25, include_start=False, include_end=True)))
    print("2 values from 12 up:", list(numbers.iter_from(12, 2)))
    print("3 values from 24 down:", list(numbers.iter_to(24, 3)))
    print("descending:", list(numbers.descending()))
    print("level order:", list(numbers.level_order()))


def attribute_key() -> None:
    section("ordered by an attribute: key='population'")
    cities = AVLTree(CITIES, key="population")
    smallest, largest, at_291 = cities.first(), cities.last(), cities.search_key(291)
    assert smallest is not None and largest is not None and at_291 is not None
    print("smallest:", smallest.name, "| largest:", largest.name)
    print("who has 291k?", at_291.name, "(Bergen came second and was dropped)")
    print("200k to 300k:", [c.name for c in cities.range(200, 300)])
    print("a different object, same key:", cities.contains(City("Anywhere", 232)))
    print("remove_key 522 ->", cities.remove_key(522), "| now", len(cities), "cities")
    restored = pickle.loads(pickle.dumps(cities))
    print("after a pickle round trip:", [c.name for c in restored])


def callable_key() -> None:
    section("ordered by a function: key=str.casefold")
    words = AVLTree(["delta", "Alpha", "charlie", "ALPHA", "Bravo"], key=str.casefold)
    print("tree:", words)
    print("search 'BRAVO' ->", words.search("BRAVO"))
    print("'CHARLIE' in tree ->", "CHARLIE" in words)
    print("from 'b' up to but not including 'd':", list(words.range("b", "d")))

    section("ordered by an item: key=itemgetter(1)")
    scores = AVLTree([("ann", 88), ("bo", 95), ("cy", 70)], key=itemgetter(1))
    print("best:", scores.last(), "| worst:", scores.first())
    clone = pickle.loads(pickle.dumps(scores))
    clone.insert(("dee", 99))
    print("clone:", clone)
    print("original untouched:", scores)


def snapshots() -> None:
    section("iterators are snapshots")
    tree = AVLTree(range(5))
    walk = iter(tree)
    tree.clear()
    print("cleared tree:", tree, "| the iterator still yields:", list(walk))


def main() -> None:
    print("quorel", quorel.__version__)
    values_are_keys()
    attribute_key()
    callable_key()
    snapshots()


if __name__ == "__main__":
    main()
