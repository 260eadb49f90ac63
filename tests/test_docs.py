"""The documentation's code examples run, and the API reference matches the module.

Markdown files are read block by block: ```pycon blocks run as doctests and
```python blocks are executed, all blocks of one file sharing one namespace
in the order they appear, so a page reads like one interactive session.
"""

from __future__ import annotations

import doctest
import re
import sys
from pathlib import Path

import pytest

import quorel
import quorel.quorel as compiled
from quorel import AVLTree

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def code_blocks(page: Path) -> list[tuple[str, str, int]]:
    """(language, code, line number of the first code line) per fenced block."""
    text = page.read_text(encoding="utf-8")
    return [
        (match.group(1), match.group(2), text.count("\n", 0, match.start(2)) + 1)
        for match in FENCE.finditer(text)
    ]


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_page_examples_run(page: Path) -> None:
    name = page.stem.replace("-", "_")
    namespace: dict[str, object] = {"__name__": name}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    ran = 0
    for language, code, line in code_blocks(page):
        if language == "pycon":
            test = parser.get_doctest(code, namespace, name, str(page), line - 1)
            result = runner.run(test, clear_globs=False)
            namespace.update(test.globs)  # the test ran on a copy
            assert result.failed == 0, f"{page.name}: doctest at line {line} failed (see output)"
        elif language == "python":
            exec(compile(code, f"{page}:{line}", "exec"), namespace)
        else:
            continue
        ran += 1
    assert ran > 0, f"{page.name} has no runnable example"


def reference_entries() -> list[tuple[str, str | None, str]]:
    """(name, signature or None, quoted doc string) for each reference heading.

    A heading is `` `name(parameters)` `` or `` `name` ``; the blockquote that
    follows it is the doc string, one quoted line per doc line.
    """
    text = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    pattern = re.compile(r"^#{2,3} `(\w+)(\(.*\))?`\n\n((?:>.*\n)+)", re.MULTILINE)
    entries = []
    for match in pattern.finditer(text):
        quoted = [re.sub(r"^> ?", "", line) for line in match.group(3).splitlines()]
        entries.append((match.group(1), match.group(2), "\n".join(quoted)))
    return entries


def runtime_object(name: str) -> object:
    for owner in (compiled, AVLTree):
        if name in vars(owner):
            return vars(owner)[name]
    raise AssertionError(f"docs/api.md documents {name!r}, which the module lacks")


def shown_signature(obj: object) -> str | None:
    signature = getattr(obj, "__text_signature__", None)
    if signature is None:
        return None
    return signature.replace("($self, ", "(").replace("($cls, ", "(").replace("($self)", "()")


@pytest.mark.parametrize(
    "name, signature, doc", [pytest.param(*entry, id=entry[0]) for entry in reference_entries()]
)
def test_reference_matches_runtime(name: str, signature: str | None, doc: str) -> None:
    obj = runtime_object(name)
    assert obj.__doc__ == doc
    signature_line = getattr(obj, "__text_signature__", None)
    if name in vars(AVLTree) and signature_line is not None:
        # The first parameter binds to the tree or, for a class method, its class.
        assert signature_line.startswith(("($self", "($cls"))
    shown = shown_signature(obj)
    if shown is None and isinstance(obj, type) and sys.version_info < (3, 10):
        return  # Python 3.9 drops the signature line from a heap type's doc
    assert shown == signature


def test_reference_covers_every_member() -> None:
    documented = {name for name, _, _ in reference_entries()}
    members = {
        name
        for name, obj in vars(AVLTree).items()
        if type(obj).__name__ in ("method_descriptor", "classmethod_descriptor", "getset_descriptor")
    }
    public = {"AVLTree", "_AVLTreeIterator", "_avltree_from_sorted_entries"}
    assert members | public <= documented
    assert set(quorel.__all__) - {"__version__"} <= documented
