"""What the module and its two classes look like from Python."""

import _imp
import gc
import importlib
import importlib.machinery
import importlib.util
import re
import sys
import types
import weakref
from pathlib import Path

import pytest

from _support import AVLTree, quorel, run_python

compiled = quorel.quorel
Iterator = compiled._AVLTreeIterator

TREE_DOC = (
    "A height-balanced ordered set of comparable Python objects.\n\n"
    "Values are ordered directly unless `key` is an attribute name or a\n"
    "callable. Equal keys are treated as duplicate set entries."
)
ITERATOR_DOC = (
    "An iterator over a snapshot of tree values.\n\n"
    "Mutating or clearing the source tree does not invalidate this iterator."
)
REDUCE_DOC = (
    "Return `(callable, args)` for pickle reconstruction.\n\n"
    "The tree is reduced to a sorted list of `(value, key)` pairs plus\n"
    "the key extractor. Reconstruction uses the fast O(n) sorted builder\n"
    "so unpickling does not perform AVL insertion or Python comparisons."
)

# Every method-table entry: (name, text signature, doc text), in table order.
MEMBERS = [
    ("insert", "($self, value)", "Insert `value` and return `True` if its key was not already present."),
    ("remove", "($self, value)", "Remove the entry matching `value`'s extracted key."),
    ("remove_key", "($self, key)", "Remove the entry matching an already-extracted key."),
    ("search", "($self, value)", "Return the entry matching `value`'s extracted key, or `None`."),
    ("get", "($self, value)", "Alias for `search`."),
    ("search_key", "($self, key)", "Return the entry matching an already-extracted key, or `None`."),
    ("contains", "($self, value)", "Return whether an entry matching `value`'s extracted key exists."),
    ("has_node", "($self, value)", "Compatibility alias for `contains`."),
    ("contains_key", "($self, key)", "Return whether an already-extracted key exists."),
    ("clear", "($self)", "Remove every value from the tree."),
    ("is_empty", "($self)", "Return whether the tree contains no values."),
    ("height", None, "The height of the tree; an empty tree has height zero."),
    ("first", "($self)", "Return the value with the smallest key, or `None` when empty."),
    ("min", "($self)", "Alias for `first`."),
    ("last", "($self)", "Return the value with the largest key, or `None` when empty."),
    ("max", "($self)", "Alias for `last`."),
    (
        "range",
        "($self, start=None, end=None, *, include_start=True, include_end=False)",
        "Return values whose extracted keys fall between optional endpoints.\n\n"
        "Endpoints are already-extracted keys. The start is inclusive and the\n"
        "end is exclusive by default. Invalid or incomparable keys raise.",
    ),
    (
        "iter_from",
        "($self, start, count)",
        "Return at most `count` values from an inclusive lower-bound key.\n"
        "`start` is an already-extracted key. If it is absent from the tree,\n"
        "iteration begins at the first greater key.",
    ),
    (
        "iter_to",
        "($self, end, count)",
        "Return at most `count` values from an inclusive upper-bound key.\n"
        "Values are returned in descending order. `end` is an already-\n"
        "extracted key; if absent, iteration begins at the first smaller key.",
    ),
    ("in_order", "($self)", "Return a snapshot iterator in ascending key order."),
    ("descending", "($self)", "Return a snapshot iterator in descending key order."),
    ("pre_order", "($self)", "Return a snapshot iterator in root-left-right order."),
    ("post_order", "($self)", "Return a snapshot iterator in left-right-root order."),
    ("level_order", "($self)", "Return a breadth-first snapshot iterator, level by level."),
    ("__reduce__", "($self)", REDUCE_DOC),
    (
        "index",
        "($self, value)",
        "Return the position, in ascending key order, of the entry matching\n"
        "`value`'s extracted key. Raise `ValueError` when there is none.",
    ),
    ("bisect_left", "($self, key)", "Return how many stored keys are less than an already-extracted key."),
    ("bisect_right", "($self, key)", "Return how many stored keys are not greater than an already-extracted key."),
    ("floor", "($self, key)", "Return the value with the greatest key not greater than `key`, or `None`."),
    ("ceiling", "($self, key)", "Return the value with the least key not less than `key`, or `None`."),
    ("lower", "($self, key)", "Return the value with the greatest key less than `key`, or `None`."),
    ("higher", "($self, key)", "Return the value with the least key greater than `key`, or `None`."),
    (
        "pop",
        "($self, index=-1)",
        "Remove and return the value at `index` in ascending key order (the last\n"
        "by default). Raise `IndexError` when the tree is empty or `index` is out\n"
        "of range.",
    ),
    ("__reversed__", "($self)", "Return a snapshot iterator in descending key order."),
    (
        "copy",
        "($self)",
        "Return a new tree with the same key rule, values and keys, built in\n"
        "O(n) time without comparisons.",
    ),
    ("__class_getitem__", "($cls, item, /)", "See PEP 585"),
    ("__copy__", "($self)", "Return a shallow copy, as `copy` does."),
    (
        "__deepcopy__",
        "($self, memo)",
        "Return a deep copy: the values and keys are copied with `copy.deepcopy`\n"
        "and `memo`, in ascending key order, after the new tree has entered\n"
        "`memo`, so values that refer back to this tree refer to the copy. The\n"
        "copy has the same shape; no keys are compared.",
    ),
]


def test_namespace_and_version():
    assert compiled.__all__ == ["AVLTree", "__version__"]
    assert quorel.__all__ == ["AVLTree", "__version__"]
    assert compiled.__version__ == quorel.__version__ == "0.1.2"
    # The build takes the version from the package metadata, where it is written once.
    pyproject = (Path(__file__).resolve().parents[1] / "pyproject.toml").read_text(encoding="utf-8")
    assert re.search(r'^version = "(.*)"$', pyproject, re.MULTILINE).group(1) == compiled.__version__
    assert compiled.__doc__ == "Python bindings for `quorel`."
    namespace = {}
    exec("from quorel.quorel import *", namespace)
    namespace.pop("__builtins__")
    assert sorted(namespace) == ["AVLTree", "__version__"]
    # Internal failures use an exception type that is not part of the module.
    assert not hasattr(compiled, "PanicException")


def test_package_re_exports_the_compiled_module():
    assert any(compiled.__file__.endswith(s) for s in importlib.machinery.EXTENSION_SUFFIXES)
    assert quorel.AVLTree is compiled.AVLTree
    assert quorel.__version__ is compiled.__version__


def test_type_facts():
    for cls, name in [(AVLTree, "AVLTree"), (Iterator, "_AVLTreeIterator")]:
        assert cls.__module__ == "quorel"
        assert cls.__name__ == cls.__qualname__ == name
        assert cls.__bases__ == (object,)
    assert AVLTree.__doc__ == TREE_DOC
    # 3.9 drops the signature line when it copies a heap type's doc string.
    if sys.version_info >= (3, 10):
        assert AVLTree.__text_signature__ == "(values=None, *, key=None)"
    assert Iterator.__doc__ == ITERATOR_DOC
    assert Iterator.__text_signature__ is None


def test_module_function_facts():
    fn = compiled._avltree_from_sorted_entries
    assert fn.__name__ == "_avltree_from_sorted_entries"
    assert fn.__self__ is compiled
    assert fn.__module__ == compiled.__name__
    assert fn.__text_signature__ == "(pairs, key_spec)"


@pytest.mark.parametrize("cls", [AVLTree, Iterator], ids=["AVLTree", "_AVLTreeIterator"])
def test_types_are_final(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


def test_iterator_cannot_be_instantiated():
    # The same refusal on every interpreter, 3.9 included.
    with pytest.raises(TypeError) as info:
        Iterator()
    assert str(info.value) == "cannot create 'quorel._AVLTreeIterator' instances"


def test_instances_are_plain_untracked_objects():
    tree = AVLTree([1, 2])
    assert not gc.is_tracked(tree)
    with pytest.raises(TypeError):
        weakref.ref(tree)
    with pytest.raises(AttributeError):
        tree.anything = 1
    assert not gc.is_tracked(tree.in_order())


@pytest.mark.parametrize("name, signature, doc", MEMBERS, ids=[m[0] for m in MEMBERS])
def test_member_documentation(name, signature, doc):
    member = getattr(AVLTree, name)
    assert member.__doc__ == doc
    if signature is not None:
        assert member.__text_signature__ == signature


def test_member_table_order():
    methods = [m[0] for m in MEMBERS if m[0] != "height"]
    present = [name for name in vars(AVLTree) if name in methods]
    assert present == [m for m in methods if m in present]


@pytest.mark.parametrize(
    "slot, model",
    [("__len__", list), ("__contains__", list), ("__repr__", list), ("__bool__", int), ("__iter__", list)],
)
def test_slots_carry_generic_docs(slot, model):
    assert slot in vars(AVLTree)
    assert getattr(AVLTree, slot).__doc__ == getattr(model, slot).__doc__


def test_height_has_no_setter():
    tree = AVLTree([1])
    with pytest.raises(AttributeError):
        tree.height = 3
    with pytest.raises(AttributeError):
        del tree.height
    assert tree.height == 1


class RaisingAll(types.ModuleType):
    @property
    def __all__(self):
        raise LookupError("no __all__ here")


@pytest.mark.parametrize("preset", ["list", "list-subclass", "tuple", "raising"])
def test_execution_step_fills_the_namespace_in_order(preset):
    # A fresh, not yet executed module object from the same definition.
    module = _imp.create_dynamic(importlib.util.find_spec("quorel.quorel"))
    first = {"list": [], "list-subclass": type("L", (list,), {})(), "tuple": ("x",)}.get(preset)
    if preset == "raising":
        module.__class__ = RaisingAll
    else:
        module.__all__ = first
    if preset in ("tuple", "raising"):
        with pytest.raises((TypeError, LookupError)) as info:
            _imp.exec_dynamic(module)
        expected = "'tuple' object is not an instance of 'list'" if preset == "tuple" else "no __all__ here"
        assert str(info.value) == expected
        assert not hasattr(module, "AVLTree")
        return
    _imp.exec_dynamic(module)
    # Every name was appended to the list found first; the final __all__ is
    # a new list of the two public names.
    assert first == [
        "AVLTree", "_AVLTreeIterator", "_avltree_from_sorted_entries", "_check_invariants", "__version__", "__all__"
    ]
    assert module.__all__ == ["AVLTree", "__version__"] and type(module.__all__) is list
    assert module.AVLTree is AVLTree and module._AVLTreeIterator is Iterator


def test_reimport_keeps_the_type_objects():
    saved = {name: sys.modules.pop(name) for name in ("quorel", "quorel.quorel")}
    try:
        fresh = importlib.import_module("quorel.quorel")
        assert fresh is not compiled
        assert fresh.AVLTree is AVLTree
        assert fresh._AVLTreeIterator is Iterator
        assert fresh._avltree_from_sorted_entries is not compiled._avltree_from_sorted_entries
        assert fresh.__all__ == ["AVLTree", "__version__"]
        assert len(fresh.AVLTree([2, 1, 2])) == 2
    finally:
        sys.modules.update(saved)


# Tries to import a module in a sub-interpreter and prints the outcome.
# argv[1] says whether the main interpreter imports quorel first.
SUBINTERPRETER_IMPORT = r"""
import os, tempfile
report = os.path.join(tempfile.mkdtemp(), "report")
PROBE = "\n".join([
    "import sys",
    "sys.path.insert(0, HOME)",
    "try:",
    "    import MODULE",
    "except ImportError:",
    "    outcome = 'ImportError'",
    "except BaseException as e:",
    "    outcome = 'other ' + type(e).__name__ + ': ' + str(e)",
    "else:",
    "    outcome = 'imported'",
    "with open(REPORT, 'w') as f:",
    "    f.write(outcome)",
])


def in_subinterpreter(module):
    code = (PROBE.replace("HOME", repr(sys.path[0]))
            .replace("REPORT", repr(report)).replace("MODULE", module))
    try:
        from _testcapi import run_in_subinterp
    except ImportError:
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
    else:
        run_in_subinterp(code)
    with open(report) as f:
        return f.read()


if sys.argv[1] == "True":
    import quorel
for module in ("quorel", "quorel.quorel"):
    print(module, in_subinterpreter(module))
import quorel
print("main", len(quorel.AVLTree([3, 1, 2])))
"""


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "subinterpreter-first"])
def test_subinterpreter_import_is_refused(main_first):
    ways = ("_testcapi", "_interpreters", "_xxsubinterpreters")
    if not any(importlib.util.find_spec(m) for m in ways):
        pytest.skip("this interpreter offers no way to start a sub-interpreter")
    result = run_python(SUBINTERPRETER_IMPORT, main_first)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "quorel ImportError",
        "quorel.quorel ImportError",
        "main 3",
    ], result.stderr
