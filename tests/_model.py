"""A plain-Python reference model of ``quorel.AVLTree``.

The model follows the same rules as the compiled tree: three-way comparison
in the order equality, less-than, greater-than; insertion that keeps the
first value of a key and rebalances every node on the way back up; removal
that moves the in-order successor into a two-child victim's place; single
rotations for a child of balance zero; the ordered queries with their exact
pruning; and the linear-time builder that takes the upper middle as root.

Because it makes the same comparisons in the same order, it also predicts
how many comparison calls an operation makes, which the fault-injection
tests rely on.
"""

EQUAL, LESS, GREATER = "Equal", "Less", "Greater"
ALL_FALSE = "PyAny::compare(): All comparisons returned false"

# Keys of one shape compare natively: exact ints of 64 bits, exact strs, exact floats but
# NaN, and exact non-empty tuples of those, nested at most 16 deep, of at most 21 items
# and brackets in all.
_MAX_TUPLE_DEPTH, _MAX_SHAPE = 16, 21


def key_shape(key):
    """The shape of a natively comparable key, as a string of item types and brackets;
    None for any other key."""
    def native(item, depth):
        if type(item) is int:
            return "i" if -(2**63) <= item < 2**63 else None
        if type(item) is str:
            return "s"
        if type(item) is float:
            return "f" if item == item else None
        if type(item) is tuple and item and depth <= _MAX_TUPLE_DEPTH:
            items = [native(i, depth + 1) for i in item]
            return None if None in items else "(" + "".join(items) + ")"
        return None

    shape = native(key, 0)
    return shape if shape is not None and len(shape) <= _MAX_SHAPE else None


def shared_shape(keys):
    """The shape every key has, or None."""
    shapes = {key_shape(k) for k in keys}
    return shapes.pop() if len(shapes) == 1 else None


def compare(a, b):
    if a == b:
        return EQUAL
    if a < b:
        return LESS
    if a > b:
        return GREATER
    raise TypeError(ALL_FALSE)


class Node:
    __slots__ = ("value", "key", "left", "right", "height")

    def __init__(self, value, key, left=None, right=None):
        self.value, self.key, self.left, self.right = value, key, left, right
        self.height = 1 + max(_h(left), _h(right))


def _h(node):
    return node.height if node is not None else 0


def _size(node):
    return 0 if node is None else 1 + _size(node.left) + _size(node.right)


def _fix(node):
    node.height = 1 + max(_h(node.left), _h(node.right))


def _rotate_left(x):
    y = x.right
    x.right, y.left = y.left, x
    _fix(x)
    _fix(y)
    return y


def _rotate_right(x):
    y = x.left
    x.left, y.right = y.right, x
    _fix(x)
    _fix(y)
    return y


def _rebalance(node):
    _fix(node)
    balance = _h(node.left) - _h(node.right)
    if balance > 1:
        if _h(node.left.left) - _h(node.left.right) < 0:
            node.left = _rotate_left(node.left)
        return _rotate_right(node)
    if balance >= -1:
        return node
    if _h(node.right.left) - _h(node.right.right) > 0:
        node.right = _rotate_right(node.right)
    return _rotate_left(node)


class Model:
    """The tree as its rules define it, one Python object per node.

    `shape` is the key shape the tree knows its keys to share (None: not all native, or
    not all alike): every build sets it from the keys it places, an insertion of a key of
    another shape clears it, and removals leave it.
    """

    def __init__(self):
        self.root = None
        self.count = 0
        self.shape = None

    # -- construction -----------------------------------------------------
    @classmethod
    def from_sorted(cls, entries):
        """Balanced build of (value, key) pairs taken in the given order."""
        entries = list(entries)
        it = iter(entries)

        def build(n):
            if n == 0:
                return None
            half = n // 2
            left = build(half)
            value, key = next(it)
            return Node(value, key, left, build(n - 1 - half))

        model = cls()
        model.root = build(len(entries))
        model.count = len(entries)
        model.shape = shared_shape(k for _, k in entries)
        return model

    def rebuilt(self):
        """The same entries built anew, as the builders do: the shape is taken afresh."""
        self.shape = shared_shape(k for _, k in self.entries())
        return self

    def update(self, values, key, trees=False):
        """update() with a batch of values (or, with `trees`, a tree operand of the same
        key rule): inserted one by one while 8 * m < n and every key, stored and new, has
        one native shape; otherwise merged and, unless no key is new, built balanced."""
        values = list(values)
        keys = [key(v) for v in values]
        shapes = {self.shape} | {key_shape(k) for k in keys}
        if not trees and len(values) * 8 < self.count and len(shapes) == 1 and None not in shapes:
            for v, k in zip(values, keys):
                self.insert(v, k)
            return self
        kept = {}
        for v, k in self.entries() + list(zip(values, keys)):
            kept.setdefault(k, (v, k))
        if len(kept) == self.count:
            return self  # no new key: the tree stays as it is, shape included
        return Model.from_sorted(sorted(kept.values(), key=lambda entry: entry[1]))

    # -- lookups ------------------------------------------------------------
    def search(self, key):
        node = self.root
        while node is not None:
            c = compare(key, node.key)
            if c == EQUAL:
                return node.value
            node = node.right if c == GREATER else node.left
        return None

    def contains(self, key):
        node = self.root
        while node is not None:
            c = compare(key, node.key)
            if c == EQUAL:
                return True
            node = node.right if c == GREATER else node.left
        return False

    def first(self):
        node = self.root
        while node is not None and node.left is not None:
            node = node.left
        return None if node is None else node.value

    def last(self):
        node = self.root
        while node is not None and node.right is not None:
            node = node.right
        return None if node is None else node.value

    @property
    def height(self):
        return _h(self.root)

    def __len__(self):
        return self.count

    # -- mutation -----------------------------------------------------------
    def insert(self, value, key):
        def go(node):
            if node is None:
                return Node(value, key), True
            c = compare(key, node.key)
            if c == EQUAL:
                return node, False
            if c == GREATER:
                node.right, inserted = go(node.right)
            else:
                node.left, inserted = go(node.left)
            return (_rebalance(node), True) if inserted else (node, False)

        shape = key_shape(key)
        self.root, inserted = go(self.root)
        if inserted:
            self.shape = shape if self.count == 0 or shape == self.shape else None
        self.count += inserted
        return inserted

    def remove(self, key):
        return self._remove(lambda node: compare(key, node.key)) is not None

    def pop(self, index):
        """Removes the entry at a position (no comparisons) and returns its value."""
        def by_position(node):
            nonlocal index
            before = _size(node.left)
            if index == before:
                return EQUAL
            if index < before:
                return LESS
            index -= before + 1
            return GREATER

        return self._remove(by_position).value

    def _remove(self, locate):
        """Removes the node that `locate` steers to (EQUAL there, LESS to go left);
        returns it, or None."""
        def remove_min(node):
            if node.left is not None:
                node.left, smallest = remove_min(node.left)
                return _rebalance(node), smallest
            rest, node.right = node.right, None
            return rest, node

        def go(node):
            if node is None:
                return None, None
            c = locate(node)
            if c != EQUAL:
                if c == GREATER:
                    node.right, removed = go(node.right)
                else:
                    node.left, removed = go(node.left)
                return (_rebalance(node) if removed else node), removed
            if node.left is None:
                return node.right, node
            if node.right is None:
                return node.left, node
            rest, successor = remove_min(node.right)
            successor.left, successor.right = node.left, rest
            return _rebalance(successor), node

        self.root, removed = go(self.root)
        self.count -= removed is not None
        return removed

    def clear(self):
        self.root, self.count = None, 0

    # -- whole-tree walks -----------------------------------------------------
    def nodes_in_order(self):
        out, stack, node = [], [], self.root
        while stack or node is not None:
            while node is not None:
                stack.append(node)
                node = node.left
            node = stack.pop()
            out.append(node)
            node = node.right
        return out

    def in_order(self):
        return [n.value for n in self.nodes_in_order()]

    def descending(self):
        return self.in_order()[::-1]

    def entries(self):
        return [(n.value, n.key) for n in self.nodes_in_order()]

    def pre_order(self):
        out, stack = [], [self.root]
        while stack:
            node = stack.pop()
            if node is not None:
                out.append(node.value)
                stack += [node.right, node.left]
        return out

    def post_order(self):
        def go(node):
            if node is None:
                return []
            return go(node.left) + go(node.right) + [node.value]
        return go(self.root)

    def level_order(self):
        out, level = [], [self.root] if self.root is not None else []
        while level:
            out += [n.value for n in level]
            level = [c for n in level for c in (n.left, n.right) if c is not None]
        return out

    def walk(self, name):
        return getattr(self, {"__iter__": "in_order", "__reversed__": "descending"}.get(name, name))()

    # -- ordered queries ------------------------------------------------------
    def range(self, start=None, end=None, include_start=True, include_end=False):
        if start is not None and end is not None and compare(start, end) == GREATER:
            raise ValueError("range start must not exceed end")
        out = []

        def collect(node):
            if node is None:
                return
            cs = None if start is None else compare(node.key, start)
            ce = None if end is None else compare(node.key, end)
            if cs in (None, GREATER):
                collect(node.left)
            low_ok = cs in (None, GREATER) or (cs == EQUAL and include_start)
            high_ok = ce in (None, LESS) or (ce == EQUAL and include_end)
            if low_ok and high_ok:
                out.append(node.value)
            if ce in (None, LESS):
                collect(node.right)

        collect(self.root)
        return out

    def _bounded(self, bound, n, toward, away, stop):
        if n == 0:
            return []
        stack, node = [], self.root
        while node is not None:
            if compare(node.key, bound) == stop:
                node = getattr(node, away)
            else:
                stack.append(node)
                node = getattr(node, toward)
        out = []
        while len(out) < n and stack:
            node = stack.pop()
            out.append(node.value)
            node = getattr(node, away)
            while node is not None:
                stack.append(node)
                node = getattr(node, toward)
        return out

    def iter_from(self, start, n):
        return self._bounded(start, n, "left", "right", LESS)

    def iter_to(self, end, n):
        return self._bounded(end, n, "right", "left", GREATER)

    # -- positions and neighbours ----------------------------------------------
    def __getitem__(self, i):
        """A position or slice, as the sorted list of values answers it."""
        return self.in_order()[i]

    def index(self, key):
        """Position of the Equal key; compares the sought key first."""
        node, below = self.root, 0
        while node is not None:
            c = compare(key, node.key)
            if c == EQUAL:
                return below + _size(node.left)
            if c == GREATER:
                below += _size(node.left) + 1
                node = node.right
            else:
                node = node.left
        raise ValueError("%r is not in AVLTree" % (key,))

    def bisect(self, key, after):
        """Stored keys Less than `key` (with `after`, not Greater); node key first."""
        node, below = self.root, 0
        while node is not None:
            c = compare(node.key, key)
            if c == EQUAL:
                return below + _size(node.left) + after
            if c == LESS:
                below += _size(node.left) + 1
                node = node.right
            else:
                node = node.left
        return below

    def neighbour(self, key, side, inclusive):
        """The value closest to `key` on `side` (LESS: floor/lower, GREATER:
        ceiling/higher), or None; node key first, one comparison a level."""
        inward, outward = ("right", "left") if side == LESS else ("left", "right")
        node, found = self.root, None
        while node is not None:
            c = compare(node.key, key)
            if c == side or (c == EQUAL and inclusive):
                found = node.value
                if c == EQUAL:
                    break
                node = getattr(node, inward)
            else:
                node = getattr(node, outward)
        return found

    def floor(self, key):
        return self.neighbour(key, LESS, True)

    def ceiling(self, key):
        return self.neighbour(key, GREATER, True)

    def lower(self, key):
        return self.neighbour(key, LESS, False)

    def higher(self, key):
        return self.neighbour(key, GREATER, False)

    # -- structure ------------------------------------------------------------
    def check(self):
        """Assert the balance and height invariants and the stored count."""
        def go(node):
            if node is None:
                return 0, 0
            lh, lc = go(node.left)
            rh, rc = go(node.right)
            assert abs(lh - rh) <= 1 and node.height == 1 + max(lh, rh)
            return node.height, lc + rc + 1

        assert go(self.root)[1] == self.count


def shape_from_pre_order(keys):
    """Rebuild (key, left, right) nesting from a pre-order list of distinct,
    ordered keys; returns the shape and its height, and asserts balance."""
    def build(lo, hi):
        if lo == hi:
            return None, 0
        root = keys[lo]
        split = lo + 1
        while split < hi and compare(keys[split], root) == LESS:
            split += 1
        left, lh = build(lo + 1, split)
        right, rh = build(split, hi)
        assert abs(lh - rh) <= 1, "unbalanced at key %r: %d vs %d" % (root, lh, rh)
        return (root, left, right), 1 + max(lh, rh)

    return build(0, len(keys))


# -- bulk updates and set operations ------------------------------------------
# A sorted-list model by keys: a dict from key to the first value seen for it.


def first_values(values, key):
    """Key to value, the first value of each key in iteration order."""
    kept = {}
    for v in values:
        kept.setdefault(key(v), v)
    return kept


def set_operation(name, left, others):
    """The key-to-value dict that `left.<name>(*others)` holds, on such dicts;
    the left value wins for a key in both."""
    for other in others:
        if name == "union":
            left = {**other, **left}
        elif name == "intersection":
            left = {k: v for k, v in left.items() if k in other}
        elif name == "difference":
            left = {k: v for k, v in left.items() if k not in other}
        else:
            left = {
                **{k: v for k, v in left.items() if k not in other},
                **{k: v for k, v in other.items() if k not in left},
            }
    return left


def in_key_order(kept):
    return [v for _, v in sorted(kept.items(), key=lambda item: item[0])]


def sorted_first(entries):
    """(value, key) pairs in key order by `compare`, the first of equal keys only,
    for keys that cannot be hashed."""
    out = []
    for value, key in entries:
        lo, hi = 0, len(out)
        while lo < hi:
            mid = (lo + hi) // 2
            c = compare(key, out[mid][1])
            if c == EQUAL:
                break
            lo, hi = (mid + 1, hi) if c == GREATER else (lo, mid)
        else:
            out.insert(lo, (value, key))
    return out


def merged(name, left, right):
    """Two results of sorted_first combined as the set operation `name` does,
    comparing with `compare`; the left entry for a key in both."""
    keep_left, keep_right, keep_both = {
        "union": (True, True, True),
        "intersection": (False, False, True),
        "difference": (True, False, False),
        "symmetric_difference": (True, True, False),
    }[name]
    out, i, j = [], 0, 0
    while i < len(left) and j < len(right):
        c = compare(left[i][1], right[j][1])
        if c == LESS:
            out += [left[i]] if keep_left else []
            i += 1
        elif c == GREATER:
            out += [right[j]] if keep_right else []
            j += 1
        else:
            out += [left[i]] if keep_both else []
            i, j = i + 1, j + 1
    return out + (left[i:] if keep_left else []) + (right[j:] if keep_right else [])
