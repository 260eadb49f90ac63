from .quorel import AVLDict as AVLDict, AVLTree as AVLTree, __version__ as __version__

__all__ = ["AVLTree", "__version__", "AVLDict"]
