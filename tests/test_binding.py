"""Binding of call arguments to parameters, and the exact messages of calls
that do not fit."""

import types

import pytest

from _support import AVLTree, quorel, shape

rebuild = quorel.quorel._avltree_from_sorted_entries

VALUE_MEMBERS = ["insert", "remove", "search", "get", "contains", "has_node", "index"]
KEY_MEMBERS = [
    "remove_key", "search_key", "contains_key", "bisect_left", "bisect_right", "floor", "ceiling", "lower", "higher"
]
ONE_PARAMETER = [(m, "value") for m in VALUE_MEMBERS] + [(m, "key") for m in KEY_MEMBERS]

# (positional args, keyword args, expected message); NAME is the member and
# PARAM its parameter.
ONE_PARAMETER_CASES = {
    "missing": ((), {}, "AVLTree.NAME() missing 1 required positional argument: 'PARAM'"),
    "two-positional": ((1, 2), {}, "AVLTree.NAME() takes 1 positional arguments but 2 were given"),
    "three-positional": ((1, 2, 3), {}, "AVLTree.NAME() takes 1 positional arguments but 3 were given"),
    "too-many-before-keywords": ((1, 2), {"val": 3}, "AVLTree.NAME() takes 1 positional arguments but 2 were given"),
    "twice": ((1,), {"PARAM": 2}, "AVLTree.NAME() got multiple values for argument 'PARAM'"),
    "unknown": ((), {"val": 1}, "AVLTree.NAME() got an unexpected keyword argument 'val'"),
    "unknown-after-known": ((), {"PARAM": 1, "val": 2}, "AVLTree.NAME() got an unexpected keyword argument 'val'"),
    "case-sensitive": ((), {"PARAM_UPPER": 1}, "AVLTree.NAME() got an unexpected keyword argument 'PARAM_UPPER'"),
}


@pytest.mark.parametrize("case", ONE_PARAMETER_CASES)
@pytest.mark.parametrize("name, param", ONE_PARAMETER, ids=[m for m, _ in ONE_PARAMETER])
def test_one_parameter_members(name, param, case):
    args, kwargs, message = ONE_PARAMETER_CASES[case]

    def fill(text):
        return text.replace("PARAM_UPPER", param.upper()).replace("PARAM", param)

    kwargs = {fill(k): v for k, v in kwargs.items()}
    tree = AVLTree([2, 1, 3])
    with pytest.raises(TypeError) as info:
        getattr(tree, name)(*args, **kwargs)
    assert str(info.value) == fill(message).replace("NAME", name)
    assert len(tree) == 3


@pytest.mark.parametrize("name, param", ONE_PARAMETER, ids=[m for m, _ in ONE_PARAMETER])
def test_one_parameter_members_take_keywords(name, param):
    tree = AVLTree([2, 1, 3])
    expected = {
        "insert": True, "remove": True, "remove_key": True, "search": 4, "get": 4,
        "search_key": 4, "contains": True, "has_node": True, "contains_key": True, "index": 3,
        "bisect_left": 3, "bisect_right": 4, "floor": 4, "ceiling": 4, "lower": 3, "higher": None,
    }
    if name != "insert":
        tree.insert(4)
    assert getattr(tree, name)(**{param: 4}) == expected[name]


# Calls of members with two parameters, of the constructor and of the module
# function; `t` is a tree holding 1, 2, 3.
OTHER_CASES = [
    ("t.iter_from()", "AVLTree.iter_from() missing 2 required positional arguments: 'start' and 'count'"),
    ("t.iter_from(1)", "AVLTree.iter_from() missing 1 required positional argument: 'count'"),
    ("t.iter_from(count=1)", "AVLTree.iter_from() missing 1 required positional argument: 'start'"),
    ("t.iter_from(1, 2, 3)", "AVLTree.iter_from() takes 2 positional arguments but 3 were given"),
    ("t.iter_from(1, start=2)", "AVLTree.iter_from() got multiple values for argument 'start'"),
    ("t.iter_from(1, 2, count=3)", "AVLTree.iter_from() got multiple values for argument 'count'"),
    ("t.iter_from(x=1)", "AVLTree.iter_from() got an unexpected keyword argument 'x'"),
    ("t.iter_to()", "AVLTree.iter_to() missing 2 required positional arguments: 'end' and 'count'"),
    ("t.iter_to(count=2)", "AVLTree.iter_to() missing 1 required positional argument: 'end'"),
    ("t.iter_to(1, 2, 3, 4)", "AVLTree.iter_to() takes 2 positional arguments but 4 were given"),
    ("t.range(1, 2, 3)", "AVLTree.range() takes from 0 to 2 positional arguments but 3 were given"),
    ("t.range(1, 2, True)", "AVLTree.range() takes from 0 to 2 positional arguments but 3 were given"),
    ("t.range(1, 2, True, False)", "AVLTree.range() takes from 0 to 2 positional arguments but 4 were given"),
    ("t.range(1, start=2)", "AVLTree.range() got multiple values for argument 'start'"),
    ("t.range(include_start=True, step=1)", "AVLTree.range() got an unexpected keyword argument 'step'"),
    ("t.get(1, None)", "AVLTree.get() takes 1 positional arguments but 2 were given"),
    ("AVLTree([1], [2])", "AVLTree.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ("AVLTree([1], str.lower)", "AVLTree.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ("AVLTree([1], values=[2])", "AVLTree.__new__() got multiple values for argument 'values'"),
    ("AVLTree(keys=len)", "AVLTree.__new__() got an unexpected keyword argument 'keys'"),
    ("AVLTree([1], Key=None)", "AVLTree.__new__() got an unexpected keyword argument 'Key'"),
    ("rebuild()", "_avltree_from_sorted_entries() missing 2 required positional arguments: 'pairs' and 'key_spec'"),
    ("rebuild([])", "_avltree_from_sorted_entries() missing 1 required positional argument: 'key_spec'"),
    ("rebuild(key_spec=None)", "_avltree_from_sorted_entries() missing 1 required positional argument: 'pairs'"),
    ("rebuild([], None, 1)", "_avltree_from_sorted_entries() takes 2 positional arguments but 3 were given"),
    ("rebuild([], pairs=[])", "_avltree_from_sorted_entries() got multiple values for argument 'pairs'"),
    ("rebuild([], None, extra=1)", "_avltree_from_sorted_entries() got an unexpected keyword argument 'extra'"),
]


@pytest.mark.parametrize("call, message", OTHER_CASES, ids=[c for c, _ in OTHER_CASES])
def test_other_descriptions(call, message):
    t = AVLTree([2, 1, 3])
    with pytest.raises(TypeError) as info:
        eval(call, {"t": t, "AVLTree": AVLTree, "rebuild": rebuild})
    assert str(info.value) == message
    assert len(t) == 3


def test_constructor_takes_keywords_in_any_order():
    assert shape(AVLTree(values=[3, 1, 2])) == [2, 1, 3]
    assert shape(AVLTree(key=None, values=[1, 2, 3])) == [2, 1, 3]
    assert shape(AVLTree(**{"values": "ba", "key": str.upper})) == ["b", "a"]
    assert len(rebuild(key_spec=None, pairs=[])) == 0


def test_walking_members_take_keywords():
    t = AVLTree(range(1, 6))
    assert list(t.iter_from(start=2, count=2)) == [2, 3]
    assert list(t.iter_to(count=2, end=4)) == [4, 3]
    assert list(t.range(end=4, start=2, include_end=True, include_start=False)) == [3, 4]


NO_ARGUMENT = [
    "clear", "is_empty", "first", "min", "last", "max", "in_order",
    "descending", "pre_order", "post_order", "level_order", "__reduce__",
]


@pytest.mark.parametrize("name", NO_ARGUMENT)
def test_no_argument_members_refuse_arguments(name):
    t = AVLTree([2, 1, 3])
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(t, name)(1)
    with pytest.raises(TypeError):
        getattr(t, name)(x=1)
    assert len(t) == 3


def test_self_must_be_a_tree():
    with pytest.raises(TypeError):
        AVLTree.insert([], 1)
    with pytest.raises(TypeError):
        AVLTree.clear(object())
    assert AVLTree.insert(AVLTree(), 1) is True


# Each method's calling convention, as its text signature announces it: the table entry
# and the function behind it must agree, or the interpreter calls it wrongly.
SIGNED_METHODS = [
    name
    for name, member in vars(AVLTree).items()
    if isinstance(member, (types.MethodDescriptorType, types.ClassMethodDescriptorType))
]


@pytest.mark.parametrize("name", SIGNED_METHODS)
def test_calling_convention_matches_signature(name):
    signature = getattr(AVLTree, name).__text_signature__
    parameters = [p for p in signature.strip("()").split(", ") if p not in ("$self", "$cls")]
    tree = AVLTree([1])
    method = getattr(tree, name)
    if not parameters:
        with pytest.raises(TypeError, match="takes no arguments"):
            method(1)
    elif parameters[0].startswith("*") or parameters[-1] == "/":
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            method(zz=1)
    else:
        with pytest.raises(TypeError, match=rf"^AVLTree\.{name}\(\) got an unexpected keyword argument 'zz'$"):
            method(zz=1)
    assert list(tree) == [1]
