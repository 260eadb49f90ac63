"""A fast, exact, height-balanced ordered set: ``quorel.AVLTree``."""

from collections.abc import MutableMapping as _MutableMapping

from .quorel import AVLTree, _AVLTreeIterator, _avltree_from_sorted_entries, __version__
from .quorel import AVLDict, _avldict_from_sorted_items

_MutableMapping.register(AVLDict)

__all__ = ["AVLTree", "__version__", "AVLDict"]
