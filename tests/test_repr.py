"""The text form of a tree."""

import pytest
from quorel import AVLTree

from _support import Item, refcounts


class Shown:
    """A value ordered by `k` whose __repr__ is logged and may misbehave."""

    def __init__(self, k, log, text=None, action=None):
        self.k = k
        self.log = log
        self.text = f"S{k}" if text is None else text
        self.action = action

    def __repr__(self):
        self.log.append(self.k)
        if self.action is not None:
            self.action()
        return self.text


@pytest.mark.parametrize(
    "tree, text",
    [
        (AVLTree(), "AVLTree([])"),
        (AVLTree([3, 1, 2]), "AVLTree([1, 2, 3])"),
        (AVLTree(["it's"]), "AVLTree([\"it's\"])"),
        (AVLTree([None]), "AVLTree([None])"),
        (AVLTree(["bb", "a", "ccc"], key=len), "AVLTree(['a', 'bb', 'ccc'])"),
        (AVLTree([Item(2, "x"), Item(1, "y")], key="k"), "AVLTree([Item(1, 'y'), Item(2, 'x')])"),
        (AVLTree(["\u00e9t\u00e9", "\U0001f600"]), "AVLTree(['\u00e9t\u00e9', '\U0001f600'])"),
    ],
    ids=["empty", "ints", "quoted", "none", "callable-key", "attribute-key", "non-ascii"],
)
def test_text_form(tree, text):
    assert repr(tree) == text
    assert str(tree) == text


def test_values_are_shown_in_key_order_and_keys_never():
    log = []
    tree = AVLTree([Shown(k, log) for k in (5, 3, 9)], key="k")
    assert repr(tree) == "AVLTree([S3, S5, S9])"
    assert log == [3, 5, 9]


def _failing_tree(bad_text=None, action=None):
    log = []
    shown = [Shown(k, log) for k in range(5)]
    if action is not None:
        shown[2].action = action
    else:
        shown[2].text = bad_text
    return AVLTree(shown, key="k"), shown, log


class Boom(Exception):
    pass


def _raise():
    raise Boom


@pytest.mark.parametrize(
    "bad_text, action, exc_type",
    [
        (None, _raise, Boom),
        (42, None, TypeError),
        (b"bytes", None, TypeError),
    ],
    ids=["raises", "int", "bytes"],
)
def test_failing_value_text(bad_text, action, exc_type):
    tree, shown, log = _failing_tree(bad_text, action)
    base = refcounts(shown)
    with pytest.raises(exc_type):
        repr(tree)
    assert log == [0, 1, 2]
    assert refcounts(shown) == base
    assert len(tree) == 5
    # Nothing of the failed attempt lingers: a second try fails the same way.
    with pytest.raises(exc_type):
        str(tree)


def test_value_text_may_read_but_not_mutate_the_tree():
    seen = []
    tree = AVLTree(key="k")

    def act():
        seen.append(len(tree))
        seen.append(tree.first().k)
        try:
            tree.insert(Item(99))
        except RuntimeError as exc:
            seen.append(str(exc))

    tree.insert(Shown(1, [], action=act))
    assert repr(tree) == "AVLTree([S1])"
    assert seen == [1, 1, "Already borrowed"]
    assert len(tree) == 1


def test_refused_mutation_escaping_a_value_text_fails_the_text_form():
    tree = AVLTree(key="k")
    tree.insert(Shown(1, [], action=lambda: tree.remove_key(1)))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        repr(tree)
    assert len(tree) == 1


class Holder:
    """Puts a tree's text inside its own, like a container value would."""

    def __init__(self, tree):
        self.tree = tree

    def __repr__(self):
        return f"Holder({self.tree!r})"


def test_nested_distinct_trees_render_fully():
    inner = AVLTree([1, 2])
    outer = AVLTree([inner], key=id)
    assert repr(outer) == "AVLTree([AVLTree([1, 2])])"
    assert repr(AVLTree([Holder(inner), Holder(inner)], key=id)) == (
        "AVLTree([Holder(AVLTree([1, 2])), Holder(AVLTree([1, 2]))])"
    )


def test_self_reference_renders_as_ellipsis():
    tree = AVLTree(key=id)
    tree.insert(tree)
    holder = []
    via_list = AVLTree([holder], key=id)
    holder.append(via_list)
    a, b = AVLTree(key=id), AVLTree(key=id)
    a.insert(b)
    b.insert(a)
    try:
        assert repr(tree) == "AVLTree([AVLTree([...])])"
        assert repr(via_list) == "AVLTree([[AVLTree([...])]])"
        assert repr(holder) == "[AVLTree([[...]])]"
        assert repr(a) == "AVLTree([AVLTree([AVLTree([...])])])"
        # The guard is released afterwards: the same tree renders again in full.
        assert str(tree) == "AVLTree([AVLTree([...])])"
    finally:
        # These trees form cycles that the collector cannot break.
        for t in (tree, via_list, a, b):
            t.clear()


def test_self_reference_guard_is_released_after_a_failure():
    tree = AVLTree(key=id)
    attempts = []

    def fail_once():
        attempts.append(1)
        if len(attempts) == 1:
            raise Boom

    tree.insert(Shown(0, [], text="x", action=fail_once))
    with pytest.raises(Boom):
        repr(tree)
    holder = AVLTree([tree], key=id)
    assert repr(holder) == "AVLTree([AVLTree([x])])"


def test_value_text_that_walks_every_tracked_list_sees_no_empty_slot():
    import gc

    class Prying:
        def __init__(self, k):
            self.k = k

        def __repr__(self):
            for o in gc.get_objects():
                if type(o) is list:
                    list(o)  # an unfilled slot would crash here
            return f"P{self.k}"

    assert repr(AVLTree([Prying(2), Prying(1)], key="k")) == "AVLTree([P1, P2])"
