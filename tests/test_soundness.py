"""Soundness at the edges: text that is valid Python but not UTF-8, copies whose
values refer back to their tree, and interrupts that must not be swallowed.
(Running out of memory has tests/test_out_of_memory.py; refused iterator pickling
is with the iterator's tests.)"""

import copy
import pickle

import pytest

import quorel
from quorel import AVLTree

from _support import Key


class Named:
    """A value whose key lives under an attribute named by any str."""

    def __init__(self, name, k):
        setattr(self, name, k)
        self.k = k


def test_any_str_serves_as_attribute_name_and_text():
    name = "\udcff"  # what surrogateescape gives for a stray byte of a file name
    values = [Named(name, k) for k in (3, 1, 2)]
    tree = AVLTree(values, key=name)
    assert [v.k for v in tree] == [1, 2, 3]
    assert tree.search_key(2) is values[2] and tree.remove(values[0]) and len(tree) == 2
    _, (pairs, spec) = tree.__reduce__()
    assert type(spec) is str and spec == name
    for rebuilt in (pickle.loads(pickle.dumps(tree)), quorel.quorel._avltree_from_sorted_entries(pairs, spec)):
        assert [v.k for v in rebuilt] == [1, 2] and rebuilt.search(values[1]) is not None
    text = "file\udcffname"
    assert repr(AVLTree([text, 1], key=str)) == "AVLTree(" + repr([1, text]) + ")"


class Member:
    """A value that refers back to the tree holding it; `peek` runs while it is deep-copied."""

    def __init__(self, n, log, team):
        self.key, self.n, self.team, self.peek = Key(n, log), n, team, None

    def __deepcopy__(self, memo):
        if self.peek is not None:
            self.peek(memo)
        twin = Member.__new__(Member)
        memo[id(self)] = twin
        twin.__dict__.update(copy.deepcopy(self.__dict__, memo))
        return twin


@pytest.mark.parametrize("how", ["copy.copy", "copy-method", "copy.deepcopy"])
def test_copies_keep_shape_and_back_references_without_comparing(how):
    log = []
    team = AVLTree(key="key")
    members = [Member(n, log, team) for n in range(10)]
    for m in members:  # ascending inserts: a shape the builder would not make
        team.insert(m)
    seen = []
    members[4].peek = lambda memo: seen.append(_refusal(len, memo[id(team)]))
    log.clear()
    twin = {"copy.copy": copy.copy, "copy-method": AVLTree.copy, "copy.deepcopy": copy.deepcopy}[how](team)
    _, (pairs, spec) = twin.__reduce__()
    assert spec == "key" and [v.n for v in twin.pre_order()] == [v.n for v in team.pre_order()]
    assert twin.height == team.height and len(twin) == 10
    if how == "copy.deepcopy":
        assert seen == ["Already mutably borrowed"]  # the copy is not usable half-filled
        assert all(v.team is twin and v not in members and k is v.key for v, k in pairs)
        assert twin.first().key.log is not log and twin.first().key.log == []
    else:
        assert [v for v, _ in pairs] == members and all(k is v.key for v, k in pairs)
    assert log == [] and all(m.team is team for m in members)
    assert twin.remove_key(Key(3)) and len(team) == 10 and team.search_key(Key(3)) is members[3]
    twin.clear(), team.clear()  # the back-references make cycles


def _refusal(member, tree):
    try:
        member(tree)
    except RuntimeError as refused:
        return str(refused)


class Interrupt(BaseException):
    """Stands for KeyboardInterrupt and SystemExit."""


class Pairs(list):
    """Pairs whose reported length raises."""

    def __init__(self, items, error):
        super().__init__(items)
        self.error = error

    def __len__(self):
        raise self.error


class Meta(type):
    def __getattribute__(cls, name):
        if name in ("__module__", "__name__"):
            raise cls.error
        return super().__getattribute__(name)


@pytest.mark.parametrize("error_type", [LookupError, Interrupt], ids=["exception", "interrupt"])
def test_only_exceptions_are_ignored_where_failures_are_ignored(error_type):
    error = error_type("ignored" if issubclass(error_type, Exception) else "travels on")
    Flag = Meta("Flag", (), {"error": error})
    attempts = {
        "length of pairs": lambda: quorel.quorel._avltree_from_sorted_entries(Pairs([(1, 1)], error), None),
        "bool rule": lambda: AVLTree([1]).range(include_start=Flag()),
    }
    for name, attempt in attempts.items():
        # The same instance is raised on every run: start it afresh, without the
        # traceback and the argument note that the last run left on it.
        error.__traceback__ = None
        vars(error).pop("__notes__", None)
        if isinstance(error, Exception):  # ignored: the length reserves nothing, Flag is no bool
            try:
                assert len(attempt()) == 1, name
            except TypeError as refused:
                assert str(refused) == "'Flag' object is not an instance of 'bool'", name
        else:
            with pytest.raises(Interrupt) as info:
                attempt()
            assert info.value is error, name
