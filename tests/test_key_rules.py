"""The key rule a tree is made with: identity, attribute name or callable."""

import pytest

from _support import KEY_LOOKUPS, VALUE_LOOKUPS, AttrName, AVLTree, Box, Key, ascending, check_note


def test_identity_rule_orders_values_themselves():
    for tree in (AVLTree([3, 1, 2]), AVLTree([3, 1, 2], key=None)):
        assert ascending(tree) == [1, 2, 3]
        assert tree.search_key(2) == 2


def test_attribute_rule_orders_by_the_attribute():
    boxes = [Box(3, "c"), Box(1, "a"), Box(2, "b")]
    tree = AVLTree(boxes, key="k")
    assert [b.tag for b in ascending(tree)] == ["a", "b", "c"]
    assert tree.search_key(2) is boxes[2]
    assert tree.search(Box(2)) is boxes[2]


def test_attribute_lookup_is_getattr():
    class Lazy:
        def __init__(self, n):
            self.n = n

        @property
        def prop(self):
            return -self.n

        def __getattr__(self, name):
            if name == "dyn":
                return self.n * 10
            raise AttributeError(name)

    tree = AVLTree([Lazy(1), Lazy(2)], key="prop")
    assert tree.first().n == 2
    tree = AVLTree([Lazy(1), Lazy(2)], key="dyn")
    assert tree.search_key(20).n == 2


def test_callable_rule():
    tree = AVLTree(["ccc", "a", "bb", "dd"], key=len)
    assert len(tree) == 3
    assert tree.first() == "a" and tree.last() == "ccc"
    assert tree.search("xx") == "bb"


def test_str_subclass_is_an_attribute_name():
    name = AttrName("k")
    tree = AVLTree([Box(2), Box(1)], key=name)
    assert tree.first().k == 1
    spec = tree.__reduce__()[1][1]
    assert type(spec) is str and spec == "k"


def test_class_as_key_is_called_per_extraction():
    made = []

    class Counted(Key):
        def __init__(self, v):
            made.append(v)
            super().__init__(v)

    tree = AVLTree([2, 1], key=Counted)
    tree.contains(1)
    tree.remove(2)
    assert made == [2, 1, 1, 2]
    assert len(tree) == 1


@pytest.mark.parametrize("spec", [5, 1.5, b"x", ["x"], ("x",), object()], ids=lambda s: type(s).__name__)
def test_invalid_key_specifications(spec):
    with pytest.raises(TypeError) as info:
        AVLTree([1], key=spec)
    assert str(info.value) == "key must be an attribute name, a callable, or None"
    check_note(info.value, "key")


@pytest.mark.parametrize(
    "spec, exc_type",
    [("", AttributeError), ("missing", AttributeError), (lambda: 0, TypeError), (lambda a, b: 0, TypeError)],
    ids=["empty-name", "missing-name", "no-argument-callable", "two-argument-callable"],
)
def test_unusable_rules_fail_at_extraction(spec, exc_type):
    tree = AVLTree(key=spec)
    # Extraction happens before the engine is reached, even for an empty tree.
    for member in (tree.insert, tree.search, tree.remove, tree.contains, tree.__contains__):
        with pytest.raises(exc_type) as info:
            member(object())
        check_note(info.value)
    assert len(tree) == 0


KEY_CALLS = {
    **{name: 1 for name in VALUE_LOOKUPS},
    "search_key": 0,
    "contains_key": 0,
    "remove_key": 0,
    "range": 0,
    "iter_from": 0,
    "iter_to": 0,
}
KEY_MEMBERS = {
    **KEY_LOOKUPS,
    "range": lambda t, k: list(t.range(k, k + 10)),
    "iter_from": lambda t, k: list(t.iter_from(k, 3)),
    "iter_to": lambda t, k: list(t.iter_to(k, 3)),
}


@pytest.mark.parametrize("member", KEY_CALLS)
def test_key_rule_is_applied_once_per_value_and_never_to_keys(member):
    calls = []
    tree = AVLTree([Box(1), Box(3), Box(5)], key=lambda b: (calls.append(b), b.k)[1])
    calls.clear()
    if member in VALUE_LOOKUPS:
        VALUE_LOOKUPS[member](tree, Box(3))
    else:
        KEY_MEMBERS[member](tree, 3)
    assert len(calls) == KEY_CALLS[member]


def test_stored_keys_are_never_extracted_again():
    a, b = Box(1, "a"), Box(2, "b")
    tree = AVLTree([a, b], key="k")
    a.k = 5
    assert tree.search_key(5) is None
    assert tree.search_key(1) is a
    assert tree.search(Box(1)) is a
    assert tree.remove(a) is False
    assert tree.remove_key(1) is True and len(tree) == 1


def test_values_with_equal_keys_are_one_entry():
    tree = AVLTree(["a", "A"], key=str.lower)
    assert len(tree) == 1
    assert tree.search("A") == "a"
    assert tree.insert("a") is False and tree.insert("b") is True
