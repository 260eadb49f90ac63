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

# The method table's order, which vars(AVLTree) shows.
METHOD_ORDER = """insert remove remove_key search get search_key contains has_node contains_key
    clear is_empty first min last max range iter_from iter_to in_order descending pre_order
    post_order level_order __reduce__ index bisect_left bisect_right floor ceiling lower higher
    pop __reversed__ copy __class_getitem__ __copy__ __deepcopy__""".split()


def test_namespace_and_version():
    assert compiled.__all__ == ["AVLTree", "__version__"]
    assert quorel.__all__ == ["AVLTree", "__version__", "AVLDict"]
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


@pytest.mark.parametrize(
    "name, make", [("AVLTree", lambda: AVLTree([1, 2])), ("_AVLTreeIterator", lambda: iter(AVLTree([1])))]
)
def test_type_facts(name, make):
    # The doc strings and signatures are checked against the API reference (test_docs).
    cls = getattr(compiled, name)
    assert cls.__module__ == "quorel"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    # Plain objects: untracked by the collector, no weak references, no attributes.
    instance = make()
    assert type(instance) is cls and not gc.is_tracked(instance)
    with pytest.raises(TypeError):
        weakref.ref(instance)
    with pytest.raises(AttributeError):
        instance.anything = 1


def test_module_function_facts():
    fn = compiled._avltree_from_sorted_entries
    assert fn.__name__ == "_avltree_from_sorted_entries"
    assert fn.__self__ is compiled
    assert fn.__module__ == compiled.__name__


def test_member_table_order():
    assert [name for name in vars(AVLTree) if name in METHOD_ORDER] == METHOD_ORDER


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
        "AVLTree", "_AVLTreeIterator", "_avltree_from_sorted_entries", "_check_invariants",
        "AVLDict", "_avldict_from_sorted_items", "_check_avldict", "__version__", "__all__",
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


def test_importing_leaves_the_gil_as_it_was(monkeypatch):
    # A free-threaded interpreter turns its GIL on, with a warning, when it imports a
    # module that does not declare that it runs without one.
    monkeypatch.delenv("PYTHON_GIL", raising=False)
    result = run_python("""
        import sys, warnings
        warnings.simplefilter("error")
        gil_enabled = getattr(sys, "_is_gil_enabled", lambda: True)
        before = gil_enabled()
        import quorel
        print(before, gil_enabled())
    """)
    assert result.returncode == 0, result.stderr
    before, after = result.stdout.split()
    assert after == before
