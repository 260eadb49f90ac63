"""Ordered queries: range, iter_from and iter_to."""

import random

import pytest
from quorel import AVLTree

from _model import Model
from _support import (
    EVENS,
    Index,
    Item,
    Key,
    Uncomparable,
    check_note,
    fake_numpy_bool,
    logged_tree,
    raises_with_note,
    values,
)

BOTH = dict(include_start=True, include_end=True)

RANGE_CASES = [
    ((4, 10), {}, [4, 6, 8]),
    ((4, 10), dict(include_start=False, include_end=True), [6, 8, 10]),
    ((4, 10), dict(include_start=False), [6, 8]),
    ((4, 4), BOTH, [4]),
    ((5, 5), BOTH, []),
    ((4, 4), {}, []),
    ((4, 4), dict(include_start=False, include_end=True), []),
    ((None, 5), {}, [0, 2, 4]),
    ((None, 18), dict(include_end=True), EVENS),
    ((15,), {}, [16, 18]),
    ((), {}, EVENS),
    ((), dict(include_start=False, include_end=True), EVENS),
    ((100,), {}, []),
    ((None, -1), {}, []),
    ((-100, 100), {}, EVENS),
    ((), dict(start=4, end=10), [4, 6, 8]),
    ((), dict(end=5), [0, 2, 4]),
]

ITER_FROM_CASES = [
    (5, 3, [6, 8, 10]),
    (4, 3, [4, 6, 8]),
    (17, 10, [18]),
    (100, 3, []),
    (-5, 2, [0, 2]),
    (18, 1, [18]),
    (-1, 2**64 - 1, EVENS),
]

ITER_TO_CASES = [
    (5, 3, [4, 2, 0]),
    (4, 2, [4, 2]),
    (-1, 3, []),
    (100, 2, [18, 16]),
    (0, 5, [0]),
    (19, 2**64 - 1, EVENS[::-1]),
]

# The same keys inserted in different orders give different shapes; every
# query must give the same answer on each of them.
ORDERS = {
    "ascending": EVENS,
    "descending": EVENS[::-1],
    "shuffled": random.Random(7).sample(EVENS, len(EVENS)),
}


@pytest.fixture(params=list(ORDERS))
def evens(request):
    return AVLTree(ORDERS[request.param])


# The reference model answers the same.
MODEL = Model()
for k in EVENS:
    MODEL.insert(k, k)


@pytest.mark.parametrize("args, kwargs, expected", RANGE_CASES)
def test_range(evens, args, kwargs, expected):
    assert list(evens.range(*args, **kwargs)) == expected
    assert MODEL.range(*args, **kwargs) == expected


@pytest.mark.parametrize("start, count, expected", ITER_FROM_CASES)
def test_iter_from(evens, start, count, expected):
    assert list(evens.iter_from(start, count)) == expected
    assert list(evens.iter_from(start=start, count=count)) == expected
    assert MODEL.iter_from(start, count) == expected


@pytest.mark.parametrize("end, count, expected", ITER_TO_CASES)
def test_iter_to(evens, end, count, expected):
    assert list(evens.iter_to(end, count)) == expected
    assert list(evens.iter_to(end=end, count=count)) == expected
    assert MODEL.iter_to(end, count) == expected


def test_endpoints_are_keys_not_values():
    tree = AVLTree([Item(k, str(k)) for k in EVENS], key="k")
    assert [v.tag for v in tree.range(3, 9)] == ["4", "6", "8"]
    assert [v.tag for v in tree.iter_from(3, 2)] == ["4", "6"]
    assert [v.tag for v in tree.iter_to(3, 2)] == ["2", "0"]


@pytest.mark.parametrize(
    "args, kwargs",
    [((10, 4), {}), ((10, 4), BOTH), ((5, 4), dict(include_start=False))],
)
@pytest.mark.parametrize("contents", [EVENS, []], ids=["evens", "empty"])
def test_range_start_above_end_is_refused(contents, args, kwargs):
    tree = AVLTree(contents)
    with pytest.raises(ValueError) as info:
        tree.range(*args, **kwargs)
    assert str(info.value) == "range start must not exceed end"
    check_note(info.value)


def test_endpoint_check_on_empty_tree_uses_the_interpreters_comparison():
    with pytest.raises(TypeError) as info:
        AVLTree().range(1, "a")
    assert "not supported between instances of 'int' and 'str'" in str(info.value)
    # With a single endpoint there is no check and no node to compare.
    assert list(AVLTree().range(Uncomparable())) == []
    assert list(AVLTree().range(None, Uncomparable())) == []


def test_no_comparison_without_need():
    log = []
    tree = logged_tree(EVENS, log)
    assert values(tree.range()) == EVENS
    for method in (tree.iter_from, tree.iter_to):
        assert list(method(Uncomparable(), 0)) == []
        assert list(method(Uncomparable(), False)) == []
    assert log == []
    assert list(AVLTree().iter_from(Uncomparable(), 5)) == []
    assert list(AVLTree().iter_to(Uncomparable(), 5)) == []


def test_operand_order_node_key_first_endpoint_second():
    log = []
    tree = logged_tree(EVENS, log)
    assert values(tree.range(Key(5, log), Key(11, log))) == [6, 8, 10]
    # The endpoint check compares start with end, then each node compares its
    # own key with start and then with end before going below it.
    assert log[:5] == [("eq", 5, 11), ("lt", 5, 11), ("eq", 6, 5), ("lt", 6, 5), ("gt", 6, 5)]
    assert log[5:7] == [("eq", 6, 11), ("lt", 6, 11)]
    assert all(node in EVENS and bound in (5, 11) for _, node, bound in log[2:])
    for method, bound in ((tree.iter_from, 5), (tree.iter_to, 11)):
        log.clear()
        list(method(Key(bound, log), 3))
        assert log[0] == ("eq", 6, bound)
        assert all(node in EVENS and b == bound for _, node, b in log)


@pytest.mark.parametrize(
    "query, compared",
    [
        (lambda t, log: t.range(Key(15, log)), {6, 14, 16, 18}),
        (lambda t, log: t.range(None, Key(5, log)), {6, 2, 0, 4}),
        (lambda t, log: t.iter_from(Key(5, log), 100), {6, 2, 4}),
        (lambda t, log: t.iter_to(Key(13, log), 100), {6, 14, 10, 12}),
    ],
    ids=["range-start", "range-end", "iter_from", "iter_to"],
)
def test_queries_compare_only_along_boundary_paths(query, compared):
    log = []
    tree = logged_tree(EVENS, log)
    list(query(tree, log))
    assert {node for _, node, _ in log} == compared


@pytest.mark.parametrize(
    "query",
    [
        lambda t: t.iter_from("x", 2),
        lambda t: t.iter_to("x", 2),
        lambda t: t.iter_from(None, 2),
        lambda t: t.range("x"),
        lambda t: t.range(None, "x"),
    ],
)
def test_incomparable_endpoint_raises_the_comparison_error(evens, query):
    with pytest.raises(TypeError) as info:
        query(evens)
    assert "not supported between instances of" in str(info.value)
    check_note(info.value)


class AllFalse:
    def __eq__(self, other):
        return False

    __lt__ = __gt__ = __eq__
    __hash__ = None


@pytest.mark.parametrize(
    "query",
    [lambda t, k: t.iter_from(k, 1), lambda t, k: t.iter_to(k, 1), lambda t, k: t.range(k)],
)
def test_comparisons_that_all_fail(evens, query):
    with pytest.raises(TypeError) as info:
        query(evens, AllFalse())
    assert str(info.value) == "PyAny::compare(): All comparisons returned false"


def _reentrant_tree(action, log):
    tree = logged_tree(EVENS, log)
    for key in tree:
        key.hook = lambda: action(tree)
    return tree


QUERIES = {
    "range": lambda t, log: t.range(Key(3, log), Key(13, log)),
    "iter_from": lambda t, log: t.iter_from(Key(3, log), 3),
    "iter_to": lambda t, log: t.iter_to(Key(13, log), 3),
}


@pytest.mark.parametrize("query", QUERIES)
def test_comparison_may_read_but_not_mutate_the_tree(query):
    seen = []

    def action(tree):
        seen.append(len(tree))
        try:
            tree.insert(Key(99, []))
        except RuntimeError as exc:
            seen.append(str(exc))

    log = []
    tree = _reentrant_tree(action, log)
    result = values(QUERIES[query](tree, log))
    assert result == {"range": [4, 6, 8, 10, 12], "iter_from": [4, 6, 8], "iter_to": [12, 10, 8]}[query]
    assert seen and seen[:2] == [10, "Already borrowed"]
    assert set(seen) == {10, "Already borrowed"}
    assert len(tree) == 10


@pytest.mark.parametrize("query", QUERIES)
def test_refused_mutation_escaping_a_comparison_fails_the_query(query):
    log = []
    tree = _reentrant_tree(lambda t: t.clear(), log)
    with pytest.raises(RuntimeError, match="^Already borrowed$") as info:
        QUERIES[query](tree, log)
    check_note(info.value)
    assert len(tree) == 10


@pytest.mark.parametrize(
    "count, expected",
    [(2**64 - 1, 10), (True, 1), (False, 0), (Index(2), 2), (0, 0), (3, 3)],
)
def test_count_conversion_accepts(evens, count, expected):
    assert list(evens.iter_from(-1, count)) == EVENS[:expected]
    assert list(evens.iter_to(100, count)) == EVENS[::-1][:expected]


@pytest.mark.parametrize(
    "count, exc_type",
    [
        (-1, OverflowError),
        (2**64, OverflowError),
        (-(2**70), OverflowError),
        (2.5, TypeError),
        (1.0, TypeError),
        ("3", TypeError),
        (None, TypeError),
        (Index(-1), OverflowError),
    ],
)
@pytest.mark.parametrize("contents", [EVENS, []], ids=["evens", "empty"])
def test_count_conversion_refuses(contents, count, exc_type):
    tree = AVLTree(contents)
    for method in (tree.iter_from, tree.iter_to):
        raises_with_note(exc_type, None, "count", method, 4, count)
        raises_with_note(exc_type, None, "count", method, Uncomparable(), count)
    # The borrow taken before converting was given back.
    assert tree.insert(1) is True


def test_count_index_runs_under_the_shared_borrow():
    seen = []
    tree = AVLTree(EVENS)

    def read_and_try_to_clear():
        seen.append(len(tree))
        try:
            tree.clear()
        except RuntimeError as exc:
            seen.append(str(exc))

    assert list(tree.iter_from(0, Index(2, read_and_try_to_clear))) == [0, 2]
    assert seen == [10, "Already borrowed"]
    raises_with_note(
        RuntimeError, "Already borrowed", "count",
        tree.iter_to, 0, Index(2, tree.clear),
    )
    assert len(tree) == 10


BAD_FLAGS = [
    (1, "'int' object is not an instance of 'bool'"),
    (0, "'int' object is not an instance of 'bool'"),
    (None, "'None' is not an instance of 'bool'"),
    ("yes", "'str' object is not an instance of 'bool'"),
    (1.0, "'float' object is not an instance of 'bool'"),
]


@pytest.mark.parametrize("flag", ["include_start", "include_end"])
@pytest.mark.parametrize("value, message", BAD_FLAGS)
@pytest.mark.parametrize("contents", [EVENS, []], ids=["evens", "empty"])
def test_flags_must_be_exact_bools(contents, flag, value, message):
    tree = AVLTree(contents)
    raises_with_note(TypeError, message, flag, tree.range, **{flag: value})
    # Flags are converted before the endpoints are compared.
    raises_with_note(TypeError, message, flag, tree.range, 10, 4, **{flag: value})
    assert tree.insert(1) is True


def test_include_start_is_converted_before_include_end():
    raises_with_note(
        TypeError, "'int' object is not an instance of 'bool'", "include_start",
        AVLTree(EVENS).range, include_start=1, include_end=None,
    )


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_numpy_bool_flags(evens, name):
    start, end = fake_numpy_bool(name, False), fake_numpy_bool(name, True)
    assert list(evens.range(4, 10, include_start=start, include_end=end)) == [6, 8, 10]
    bad = fake_numpy_bool(name, 1)
    with pytest.raises(TypeError, match="is not an instance of 'bool'") as info:
        evens.range(include_end=bad)
    check_note(info.value, "include_end")


def test_numpy_bool_without_bool_method():
    fake = fake_numpy_bool("bool_")
    raises_with_note(
        TypeError,
        "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
        "include_start",
        AVLTree(EVENS).range, include_start=fake,
    )
