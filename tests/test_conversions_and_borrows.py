"""Which failures carry a note, and the per-tree borrow rule that refuses
re-entrant use from Python code the tree calls back."""

import pytest

from _support import AVLTree, Index, Key, check_note


def test_index_failure_is_the_same_object_with_a_note():
    error = LookupError("from __index__")
    with pytest.raises(LookupError) as info:
        AVLTree([1]).iter_from(1, Index(error))
    assert info.value is error
    check_note(error, "count")


def test_only_conversions_add_notes():
    t = AVLTree([1, 2])
    with pytest.raises(TypeError) as binding:
        t.insert()
    check_note(binding.value)

    error = KeyError("x")

    def key(value):
        raise error

    with pytest.raises(KeyError) as body:
        AVLTree(key=key).insert(1)
    assert body.value is error
    check_note(error)


# ---------------------------------------------------------------------------
# Borrows

REFUSED_SHARED = "refused: Already mutably borrowed"
REFUSED_EXCLUSIVE = "refused: Already borrowed"


class Hook:
    """Runs an armed action once, from inside whatever Python code the tree
    calls back, and records its outcome."""

    def __init__(self):
        self.action = None
        self.outcomes = []

    def __call__(self, *args):
        if self.action is not None:
            action, self.action = self.action, None
            try:
                self.outcomes.append(("ok", action()))
            except RuntimeError as e:
                assert type(e) is RuntimeError
                check_note(e)
                self.outcomes.append(f"refused: {e}")


class Mortal(Key):
    """A comparable key whose finaliser calls `on_del`."""

    def __init__(self, v, on_del=None, **kwargs):
        super().__init__(v, **kwargs)
        self.on_del = on_del

    def __del__(self):
        if self.on_del is not None:
            self.on_del()


def through_key_callable(operation):
    def run(hook):
        t = AVLTree([1, 2, 3], key=lambda v: (hook(), v)[1])
        return t, lambda: getattr(t, operation)(2)

    return run


def through_comparison(operation, sought=2):
    def run(hook):
        t = AVLTree([Key(1), Key(2), Key(3)])
        return t, lambda: getattr(t, operation)(Key(sought, hook=hook))

    return run


def through_finaliser(operation):
    def run(hook):
        t = AVLTree(Mortal(i, on_del=hook) for i in (1, 2, 3))
        return t, lambda: (t.clear() if operation == "clear" else getattr(t, operation)(2))

    return run


def through_released_key(failure):
    """The key made for an insertion is released inside `insert` when it is a
    duplicate or when its comparison fails.  (The failure comes from a truth
    test, so no traceback frame keeps the key alive.)"""

    def run(hook):
        fail = {"eq": "bool"} if failure else {}
        t = AVLTree([1, 3] if failure else [1, 2, 3], key=lambda v: Mortal(v, on_del=hook, fail=fail if v == 2 else None))

        def insert():
            try:
                t.insert(2)
            except ZeroDivisionError:
                pass

        return t, insert

    return run


EXCLUSIVE_CONTEXTS = {
    "insert/key-callable": through_key_callable("insert"),
    "remove/key-callable": through_key_callable("remove"),
    "insert/comparison": through_comparison("insert", sought=4),
    "remove/comparison": through_comparison("remove"),
    "remove_key/comparison": through_comparison("remove_key"),
    "remove/finaliser": through_finaliser("remove"),
    "remove_key/finaliser": through_finaliser("remove_key"),
    "clear/finaliser": through_finaliser("clear"),
    "insert/duplicate-key-finaliser": through_released_key(failure=False),
    "insert/failed-key-finaliser": through_released_key(failure=True),
}

SHARED_CONTEXTS = {
    f"{op}/{how}": make(op)
    for op in ["search", "get", "contains", "has_node", "__contains__"]
    for how, make in [("key-callable", through_key_callable), ("comparison", through_comparison)]
}
SHARED_CONTEXTS.update(
    {f"{op}/comparison": through_comparison(op) for op in ["search_key", "contains_key"]}
)

READS = {
    "len": len,
    "bool": bool,
    "in": lambda t: 1 in t,
    "search": lambda t: t.search(3) is not None,
    "search_key": lambda t: t.search_key(3) is not None,
    "contains_key": lambda t: t.contains_key(3),
    "first": lambda t: t.first() is not None,
    "last": lambda t: t.last() is not None,
    "height": lambda t: t.height,
    "is_empty": lambda t: t.is_empty(),
}
WRITES = {
    "insert": lambda t: t.insert(10),
    "remove": lambda t: t.remove(3),
    "remove_key": lambda t: t.remove_key(3),
    "clear": lambda t: t.clear(),
}


def probe_all(context):
    """Run every read and write from inside the context; return the outcomes."""
    outcomes = {}
    for name, probe in {**READS, **WRITES}.items():
        hook = Hook()
        tree, operation = context(hook)
        hook.action = lambda: probe(tree)
        operation()
        assert len(hook.outcomes) == 1, f"{name}: the callback did not run exactly once"
        outcomes[name] = hook.outcomes[0]
        # Every borrow was given back.
        assert tree.insert(100) is True
    return outcomes


@pytest.mark.parametrize("context", EXCLUSIVE_CONTEXTS)
def test_mutating_members_refuse_every_use_from_callbacks(context):
    outcomes = probe_all(EXCLUSIVE_CONTEXTS[context])
    expected = {name: REFUSED_SHARED for name in READS}
    expected.update({name: REFUSED_EXCLUSIVE for name in WRITES})
    assert outcomes == expected


@pytest.mark.parametrize("context", SHARED_CONTEXTS)
def test_reading_members_allow_reads_and_refuse_writes_from_callbacks(context):
    outcomes = probe_all(SHARED_CONTEXTS[context])
    assert all(outcomes[name] == REFUSED_EXCLUSIVE for name in WRITES)
    assert {name: outcomes[name] for name in READS} == {
        "len": ("ok", 3),
        "bool": ("ok", True),
        "in": ("ok", True),
        "search": ("ok", True),
        "search_key": ("ok", True),
        "contains_key": ("ok", True),
        "first": ("ok", True),
        "last": ("ok", True),
        "height": ("ok", 2),
        "is_empty": ("ok", False),
    }


def test_nested_reads_see_the_tree():
    t = AVLTree([Key(1), Key(2), Key(3)])
    seen = []
    sought = Key(3, hook=lambda: seen.append((len(t), t.search_key(1).v, t.contains(Key(2)))))
    assert t.search(sought).v == 3
    assert seen and set(seen) == {(3, 1, True)}
