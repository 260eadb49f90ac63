"""A fast, exact, height-balanced ordered set: ``quorel.AVLTree``."""

from .quorel import AVLTree, _AVLTreeIterator, _avltree_from_sorted_entries, __version__

__all__ = ["AVLTree", "__version__"]
