"""A fast, exact, height-balanced ordered set: ``quorel.AVLTree``."""

from .quorel import AVLTree, __version__

__all__ = ["AVLTree", "__version__"]
