"""update and the set operations, checked against a sorted-list model by keys,
and the rules for their shapes, failures and borrows."""

import operator
import random

import pytest

from quorel import AVLTree
from quorel.quorel import _check_invariants

from _model import Model, first_values, in_key_order, set_operation
from _support import Item, Key, refcounts, tree_state

# Each rule: (key argument, the rule in Python, a value maker, a different rule
# that orders the same values). Some values share a key with others.
RULES = {
    "identity": (None, lambda v: v, lambda rng: rng.choice([rng.randrange(40), rng.randrange(40) + 0.0]), abs),
    "callable": (str.lower, str.lower, lambda rng: rng.choice("abcdefgh") + rng.choice("xX"), str.upper),
    "attribute": ("k", operator.attrgetter("k"), lambda rng: Item(rng.randrange(30), rng.randrange(3)), operator.attrgetter("k")),
}
VARIADIC = ["update", "union", "intersection", "difference", "intersection_update", "difference_update"]
SINGLE = ["symmetric_difference", "symmetric_difference_update", "issubset", "issuperset", "isdisjoint"]
OPERATORS = {"|": "union", "&": "intersection", "-": "difference", "^": "symmetric_difference"}
CALLS = {"|": operator.or_, "&": operator.and_, "-": operator.sub, "^": operator.xor,
         "|=": operator.ior, "&=": operator.iand, "-=": operator.isub, "^=": operator.ixor}
IN_PLACE = {"update": "union", "intersection_update": "intersection", "difference_update": "difference",
            "symmetric_difference_update": "symmetric_difference"}
PREDICATES = {"issubset": operator.le, "issuperset": operator.ge, "isdisjoint": lambda a, b: not (a & b)}
FORMS = ["iterable", "same-rule tree", "other-rule tree", "self", "empty"]


def _same(actual, expected):
    actual = list(actual)
    assert len(actual) == len(expected) and all(a is e for a, e in zip(actual, expected)), (actual, expected)


def _balanced_pre_order(values, key):
    return Model.from_sorted((v, key(v)) for v in values).pre_order()


@pytest.mark.parametrize("rule", sorted(RULES))
@pytest.mark.parametrize("member", VARIADIC + SINGLE + [op for op in OPERATORS] + [op + "=" for op in OPERATORS])
def test_members_match_the_model(member, rule):
    spec, key, make, other_rule = RULES[rule]
    rng = random.Random(member + rule)
    for n in (0, 9, 120):
        for form in FORMS:
            if member[0] in OPERATORS and form in ("iterable", "empty"):
                continue
            tree = AVLTree([make(rng) for _ in range(n)], key=spec)
            values = [make(rng) for _ in range(rng.randrange(25))]
            operand = {
                "iterable": values,
                "same-rule tree": AVLTree(values, key=spec),
                "other-rule tree": AVLTree(values, key=other_rule),
                "self": tree,
                "empty": [],
            }[form]
            extra = [make(rng) for _ in range(5)]
            left = first_values(tree, key)
            right = first_values(operand, key)
            before = tree_state(operand) if isinstance(operand, AVLTree) else None

            if member in PREDICATES:
                assert getattr(tree, member)(operand) is PREDICATES[member](left.keys(), right.keys())
                continue
            operands = [operand, extra] if member in VARIADIC else [operand]
            expected = [first_values(o, key) for o in operands]
            if member in CALLS:
                expected = set_operation(OPERATORS[member[0]], left, expected)
                result = CALLS[member](tree, operand)
                if member.endswith("="):
                    assert result is tree
                    result = None
            else:
                expected = set_operation(IN_PLACE.get(member, member), left, expected)
                result = getattr(tree, member)(*operands)
            expected = in_key_order(expected)
            changed = tree if result is None else result
            _same(changed, expected)
            _check_invariants(changed)
            if result is not None:
                assert result is not tree
                _same(tree, in_key_order(left))
            if before is not None and operand is not tree:
                assert tree_state(operand) == before
            if member not in ("update", "|=") or len(changed) == 0:
                _same(changed.pre_order(), _balanced_pre_order(expected, key))


@pytest.mark.parametrize("native", [True, False], ids=["native keys", "python keys"])
def test_update_shape_follows_the_batch_size(native):
    wrap, plain = ((lambda v: v), (lambda v: v)) if native else (Key, operator.attrgetter("v"))
    stored = [wrap(v) for v in range(0, 600, 2)]
    few = [wrap(v) for v in (7, 301, 7, 555)]
    many = [wrap(v) for v in range(1, 200, 2)]
    tree = AVLTree(stored)
    model = Model()
    for v in stored + few:
        model.insert(v, v)
    # A small batch of natively comparable keys is inserted one by one; other
    # batches are merged and built balanced.
    tree.update(few)
    expected = in_key_order(first_values(stored + few, plain))
    _same(tree.pre_order(), model.pre_order() if native else _balanced_pre_order(expected, plain))
    tree.update(many)
    expected = in_key_order(first_values(stored + few + many, plain))
    _same(tree.pre_order(), _balanced_pre_order(expected, plain))
    _check_invariants(tree)


@pytest.mark.parametrize("kind", ["int", "python key", "attribute"])
@pytest.mark.parametrize("form", ["shuffled", "ascending", "two iterables", "same-rule tree"])
def test_update_with_only_stored_keys_leaves_the_tree(kind, form):
    """A batch too large to insert one by one whose keys are all stored already leaves
    the tree's shape and values as they were, and keeps no reference to the batch."""
    spec, make = {
        "int": (None, lambda v, tag: int(str(10**6 + v))),  # equal ints, distinct objects
        "python key": (None, lambda v, tag: Key(v)),
        "attribute": ("k", lambda v, tag: Item(v, tag)),
    }[kind]
    rng = random.Random(kind + form)
    keys = list(range(300))
    rng.shuffle(keys)
    tree = AVLTree(key=spec)
    for v in keys:
        tree.insert(make(v, "stored"))  # the shape of insertion, not the builder's
    rng.shuffle(keys)
    batch = [make(v, "new") for v in (sorted(keys) if form == "ascending" else keys)]
    stored = list(tree)
    before, counts = tree_state(tree), refcounts(stored + batch)
    operands = {
        "two iterables": [batch[:100], batch[100:] + batch[:5]],
        "same-rule tree": [AVLTree(batch, key=spec)],
    }.get(form, [batch])
    tree.update(*operands)
    assert tree_state(tree) == before
    del operands
    assert refcounts(stored + batch) == counts
    _check_invariants(tree)


class Fragile(Key):
    """Raises one exception object on any comparison with the value 13."""

    __slots__ = ()
    error = ValueError("13 does not compare")

    def _cmp(self, op, other, result):
        if 13 in (self.v, other.v):
            raise self.error
        return result


def _refuse_13(value):
    if value.v == 13:
        raise Fragile.error
    return value.v


@pytest.mark.parametrize("member", VARIADIC + SINGLE + ["|=", "&", "^="])
@pytest.mark.parametrize("failure", ["comparison in a batch", "comparison with a tree", "key extraction"])
def test_failures_leave_every_operand_unchanged(member, failure):
    spec = _refuse_13 if failure == "key extraction" else None
    tree = AVLTree([Fragile(v) for v in range(0, 40, 3)], key=spec)
    values = [Fragile(5), Fragile(13), Fragile(50)]
    if failure == "comparison with a tree":
        operand = AVLTree([Fragile(13)])
    elif member in CALLS:
        operand = AVLTree(values, key="v")  # another key rule: read as values
    else:
        operand = values
    before = tree_state(tree), tree_state(operand) if isinstance(operand, AVLTree) else None
    with pytest.raises(ValueError) as raised:
        if member in CALLS:
            CALLS[member](tree, operand)
        else:
            getattr(tree, member)(operand)
    assert raised.value is Fragile.error
    Fragile.error.__traceback__ = None  # raised again by the next test
    assert (tree_state(tree), tree_state(operand) if isinstance(operand, AVLTree) else None) == before


def test_operators_take_trees_only():
    tree = AVLTree([1, 2])
    for op, call in CALLS.items():
        for a, b in [(tree, [1]), ([1], tree), (tree, {1})]:
            with pytest.raises(TypeError):
                call(a, b)
    assert tree.__or__([1]) is NotImplemented and tree.__ixor__({1}) is NotImplemented
    _same(tree, [1, 2])


class Meddling:
    """What the comparisons of the keys meddler() makes run, once `touch` is set."""

    touch = None

    def meddler(self, v):
        return Key(v, hook=lambda: self.touch and self.touch())


@pytest.fixture
def meddling():
    return Meddling()


@pytest.mark.parametrize("member, touched, touch", [
    ("update", "target", len),
    ("intersection_update", "target", list),
    ("union", "left", lambda tree: tree.insert(Key(-1))),
    ("union", "operand", lambda tree: tree.insert(Key(-1))),
    ("issubset", "operand", lambda tree: tree.remove(Key(0))),
])
def test_borrows(member, touched, touch, meddling):
    """The target of an in-place form is held exclusively; the left tree and
    tree operands are held shared, so they can be read but not changed."""
    tree = AVLTree([meddling.meddler(v) for v in range(0, 30, 2)])
    other = AVLTree([meddling.meddler(v) for v in range(0, 60, 3)])
    before = tree_state(tree), tree_state(other)
    meddling.touch = lambda: touch(tree if touched in ("target", "left") else other)
    with pytest.raises(RuntimeError):
        getattr(tree, member)(other)
    meddling.touch = None
    assert (tree_state(tree), tree_state(other)) == before
    # Reading a tree held shared is allowed.
    meddling.touch = lambda: len(other)
    assert len(tree.union(other)) == len(set(range(0, 30, 2)) | set(range(0, 60, 3)))


def test_a_tree_as_its_own_operand():
    values = list(range(10))
    for form, expected in [("|=", values), ("&=", values), ("-=", []), ("^=", [])]:
        tree = AVLTree(values)
        assert CALLS[form](tree, tree) is tree
        _same(tree, expected)
    tree = AVLTree(values)
    tree.update(tree, tree)
    _same(tree, values)
    _same(tree.union(tree), values)
    assert tree.issubset(tree) and tree.issuperset(tree) and not tree.isdisjoint(tree)
    assert AVLTree().isdisjoint(AVLTree())
