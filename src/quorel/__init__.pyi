from .quorel import AVLTree as AVLTree, __version__ as __version__

__all__ = ["AVLTree", "__version__"]
