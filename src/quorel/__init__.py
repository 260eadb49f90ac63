"""A fast, exact, height-balanced ordered set: ``quorel.AVLTree``."""

from collections import abc as _abc

from .quorel import AVLTree, _AVLTreeIterator, _avltree_from_sorted_entries, __version__
from .quorel import AVLDict, _avldict_from_sorted_items

_abc.MutableMapping.register(AVLDict)
_abc.KeysView.register(type(AVLDict().keys()))
_abc.ValuesView.register(type(AVLDict().values()))
_abc.ItemsView.register(type(AVLDict().items()))

__all__ = ["AVLTree", "__version__", "AVLDict"]
