"""Soundness at the edges: text that is valid Python but not UTF-8, copies whose
values refer back to their tree, iterators that must not pickle, interrupts that
must not be swallowed, and ordinary failures that must not turn into panics."""

import pickle

import quorel
from quorel import AVLTree


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
    for copy in (pickle.loads(pickle.dumps(tree)), quorel.quorel._avltree_from_sorted_entries(pairs, spec)):
        assert [v.k for v in copy] == [1, 2] and copy.search(values[1]) is not None
    text = "file\udcffname"
    assert repr(AVLTree([text, 1], key=str)) == "AVLTree(" + repr([1, text]) + ")"
