"""Random operation sequences run against the compiled tree and the reference
model side by side; after every step both must agree on every answer, on the
shape (pre-order and level order), on height and length, and the shape must
be a balanced search tree."""

import copy
import operator
import os
import pickle

import pytest
from hypothesis import HealthCheck, Phase, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import quorel
from quorel import AVLTree
from quorel.quorel import _check_invariants

from _model import Model, first_values, set_operation, shape_from_pre_order
from _support import Item

# The ordinary suite runs this on every supported interpreter, so the default
# budget is small; a longer soak sets QUOREL_MODEL_EXAMPLES. Runs are
# derandomized so that a failure replays identically everywhere. A wrong engine
# fails nearly every example, and shrinking those long programs can take minutes
# and gigabytes, so the failure is reported as found; QUOREL_MODEL_SHRINK=1
# shrinks it when replaying by hand.
settings.register_profile(
    "quorel-model",
    max_examples=int(os.environ.get("QUOREL_MODEL_EXAMPLES", "300")),
    stateful_step_count=int(os.environ.get("QUOREL_MODEL_STEPS", "40")),
    phases=[Phase.explicit, Phase.generate]
    + ([Phase.shrink] if os.environ.get("QUOREL_MODEL_SHRINK") == "1" else []),
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=list(HealthCheck),
)

HUGE = 2**64 - 1
WALKS = ["__iter__", "__reversed__", "in_order", "descending", "pre_order", "post_order", "level_order"]

small_ints = st.integers(-25, 25) | st.sampled_from([10**20, -(10**20), 2**63])
short_strs = st.text(alphabet="aAbBcC", max_size=3)
pairs = st.tuples(st.integers(0, 5), st.integers(0, 5))
# Numbers that all order among themselves: most natively comparable, some not (huge ints,
# bools), in tuples that also nest.
numbers = st.integers(-3, 3) | st.sampled_from([2**64, -(2**70), True, 0.5, -0.0])
mixed_tuples = st.tuples(numbers, numbers) | st.tuples(numbers, numbers, st.tuples(numbers))


def _item(draw_k, tag):
    return st.builds(Item, draw_k, tag)


# Each configuration: (key argument given to the tree, the same rule in Python,
# a strategy for values).
CONFIGS = {
    "int-identity": (None, lambda v: v, small_ints),
    "int-negated": (operator.neg, operator.neg, small_ints),
    "str-lowered": (str.lower, str.lower, short_strs),
    "tuple-attribute": ("k", operator.attrgetter("k"), _item(pairs, st.integers(0, 3))),
    "str-identity": (None, lambda v: v, short_strs),
    "tuple-identity": (None, lambda v: v, mixed_tuples),
}


def _same(actual, expected):
    actual = list(actual)
    assert len(actual) == len(expected), (actual, expected)
    assert all(a is e for a, e in zip(actual, expected)), (actual, expected)


class TreeAgainstModel(RuleBasedStateMachine):
    @initialize(config=st.sampled_from(sorted(CONFIGS)), data=st.data())
    def start(self, config, data):
        self.spec, self.key_of, self.values = CONFIGS[config]
        # Some trees start large enough for a batch to be small against them.
        sizes = st.lists(self.values, max_size=12) | st.lists(self.values, min_size=20, max_size=48)
        initial = data.draw(sizes, label="initial")
        self.tree = AVLTree(initial, key=self.spec)
        self.model = Model()
        for v in initial:
            self.model.insert(v, self.key_of(v))
        self.iterators = []

    def _value(self, data):
        return data.draw(self.values, label="value")

    def _key(self, data):
        return self.key_of(self._value(data))

    # -- mutation -------------------------------------------------------------
    @rule(data=st.data())
    def insert(self, data):
        v = self._value(data)
        assert self.tree.insert(v) == self.model.insert(v, self.key_of(v))

    @rule(data=st.data(), by_key=st.booleans())
    def remove(self, data, by_key):
        v = self._value(data)
        k = self.key_of(v)
        got = self.tree.remove_key(k) if by_key else self.tree.remove(v)
        assert got == self.model.remove(k)

    @rule(data=st.data())
    def remove_stored(self, data):
        if self.model.count:
            v = data.draw(st.sampled_from(self.model.in_order()), label="stored")
            assert self.tree.remove(v) and self.model.remove(self.key_of(v))

    @rule()
    def clear(self):
        assert self.tree.clear() is None
        self.model.clear()

    # -- lookups ----------------------------------------------------------------
    @rule(data=st.data())
    def lookups(self, data):
        v = self._value(data)
        k = self.key_of(v)
        expected = self.model.search(k)
        for got in (self.tree.search(v), self.tree.get(v), self.tree.search_key(k)):
            assert got is expected
        present = expected is not None or self.model.contains(k)
        for got in (self.tree.contains(v), self.tree.has_node(v), self.tree.contains_key(k), v in self.tree):
            assert got is present

    @rule()
    def ends(self):
        assert self.tree.first() is self.tree.min() is self.model.first()
        assert self.tree.last() is self.tree.max() is self.model.last()

    # -- walks and queries ----------------------------------------------------------
    @rule(name=st.sampled_from(WALKS))
    def walk(self, name):
        _same(getattr(self.tree, name)(), self.model.walk(name))

    @rule(data=st.data(), flags=st.tuples(st.booleans(), st.booleans()), sides=st.tuples(st.booleans(), st.booleans()))
    def range(self, data, flags, sides):
        start = self._key(data) if sides[0] else None
        end = self._key(data) if sides[1] else None
        kwargs = dict(include_start=flags[0], include_end=flags[1])
        try:
            expected = self.model.range(start, end, *flags)
        except ValueError as e:
            with pytest.raises(ValueError, match=str(e)):
                self.tree.range(start, end, **kwargs)
        else:
            _same(self.tree.range(start, end, **kwargs), expected)

    @rule(data=st.data(), count=st.integers(0, 6) | st.just(HUGE), upward=st.booleans())
    def bounded(self, data, count, upward):
        k = self._key(data)
        if upward:
            _same(self.tree.iter_from(k, count), self.model.iter_from(k, count))
        else:
            _same(self.tree.iter_to(k, count), self.model.iter_to(k, count))

    # -- positions and neighbours -------------------------------------------------------
    @rule(data=st.data())
    def positions(self, data):
        n = self.model.count
        i = data.draw(st.integers(-n - 2, n + 1) | st.sampled_from([2**32, -(2**64)]), label="position")
        if -n <= i < n:
            assert self.tree[i] is self.model[i]
        else:
            with pytest.raises(IndexError, match="^AVLTree index out of range$"):
                self.tree[i]
        part = data.draw(st.slices(n + 2), label="slice")
        _same(self.tree[part], self.model[part])

    @rule(data=st.data())
    def ranks_and_neighbours(self, data):
        v = self._value(data)
        k = self.key_of(v)
        assert self.tree.bisect_left(k) == self.model.bisect(k, False)
        assert self.tree.bisect_right(k) == self.model.bisect(k, True)
        for name in ("floor", "ceiling", "lower", "higher"):
            assert getattr(self.tree, name)(k) is getattr(self.model, name)(k)
        try:
            expected = self.model.index(k)
        except ValueError:
            with pytest.raises(ValueError) as info:
                self.tree.index(v)
            assert str(info.value) == "%r is not in AVLTree" % (v,)
        else:
            assert self.tree.index(v) == expected

    @rule(data=st.data())
    def pop(self, data):
        n = self.model.count
        i = data.draw(st.none() | st.integers(-n - 1, n), label="index")
        if n == 0:
            with pytest.raises(IndexError, match="^pop from empty AVLTree$"):
                self.tree.pop(i) if i is not None else self.tree.pop()
        elif i is None:
            assert self.tree.pop() is self.model.pop(n - 1)
        elif -n <= i < n:
            assert self.tree.pop(i) is self.model.pop(i % n)
        else:
            with pytest.raises(IndexError, match="^pop index out of range$"):
                self.tree.pop(index=i)

    # -- snapshots that outlive later changes -----------------------------------------
    @rule(name=st.sampled_from(WALKS + ["range", "iter_from"]), data=st.data())
    def take_iterator(self, name, data):
        if name == "range":
            it, expected = self.tree.range(), self.model.range()
        elif name == "iter_from":
            k = self._key(data)
            it, expected = self.tree.iter_from(k, 4), self.model.iter_from(k, 4)
        else:
            it, expected = getattr(self.tree, name)(), self.model.walk(name)
        self.iterators.append((it, list(expected)))

    @precondition(lambda self: self.iterators)
    @rule(data=st.data(), steps=st.integers(1, 3))
    def advance_iterator(self, data, steps):
        it, remaining = data.draw(st.sampled_from(self.iterators), label="iterator")
        for _ in range(steps):
            if remaining:
                assert next(it) is remaining.pop(0)
            else:
                with pytest.raises(StopIteration):
                    next(it)

    # -- copies ---------------------------------------------------------------------------
    @rule(how=st.sampled_from(["copy", "copy-method", "deepcopy"]))
    def copy(self, how):
        # Copies keep the shape; a deep copy of the tree and the model together
        # maps each value to the same copy in both.
        if how == "deepcopy":
            self.tree, self.model = copy.deepcopy((self.tree, self.model))
        else:
            new = copy.copy(self.tree) if how == "copy" else self.tree.copy()
            _same(new.pre_order(), self.model.pre_order())
            self.tree = new
        self.model.rebuilt()

    @rule(how=st.sampled_from(["pickle", "rebuild"]))
    def round_trip(self, how):
        entries = self.model.entries()
        if how == "pickle":
            new = pickle.loads(pickle.dumps(self.tree, protocol=pickle.HIGHEST_PROTOCOL))
        else:
            new = quorel.quorel._avltree_from_sorted_entries(entries, self.spec)
        values = list(new)
        assert values == [v for v, _ in entries]
        if how == "rebuild":
            _same(values, [v for v, _ in entries])
        # The rebuilt tree has the builder's shape whatever the old shape was;
        # the model follows it, keeping the stored keys.
        self.model = Model.from_sorted(zip(values, [k for _, k in entries]))
        self.tree = new

    # -- bulk updates and set operations --------------------------------------------
    def _operand(self, data, form):
        if form == "self":
            return self.tree, list(self.tree)
        # A batch small against the tree now and then: fewer than an eighth of its values.
        small = st.lists(self.values, min_size=1, max_size=max(1, (self.model.count - 1) // 8))
        batch = data.draw(st.lists(self.values, max_size=8) | small, label="batch")
        return (AVLTree(batch, key=self.spec) if form == "tree" else batch), batch

    def _combined(self, name, batch):
        """The balanced build of the model combined with the batch by keys."""
        left = {k: (v, k) for v, k in self.model.entries()}
        other = {k: (v, k) for k, v in first_values(batch, self.key_of).items()}
        kept = set_operation(name, left, [other]).values()
        return Model.from_sorted(sorted(kept, key=lambda entry: entry[1]))

    @rule(data=st.data(), form=st.sampled_from(["list", "tree", "self"]))
    def update(self, data, form):
        # The tree's own values add nothing; another tree is always merged.
        other, batch = self._operand(data, form)
        self.tree.update(other)
        self.model = self.model.update([] if form == "self" else batch, self.key_of, trees=form == "tree")

    @rule(data=st.data(), form=st.sampled_from(["list", "tree", "self"]), in_place=st.booleans(),
          name=st.sampled_from(["union", "intersection", "difference", "symmetric_difference"]))
    def set_operation(self, data, form, in_place, name):
        other, batch = self._operand(data, form)
        expected = self._combined(name, batch)
        if in_place and name != "union":
            assert getattr(self.tree, name + "_update")(other) is None
            self.model = expected
        else:
            result = getattr(self.tree, name)(other)
            _check_invariants(result)
            _same(result.pre_order(), expected.pre_order())

    @rule(data=st.data(), form=st.sampled_from(["list", "tree", "self"]))
    def subsets(self, data, form):
        other, batch = self._operand(data, form)
        mine = {k for _, k in self.model.entries()}
        theirs = set(first_values(batch, self.key_of))
        assert self.tree.issubset(other) is (mine <= theirs)
        assert self.tree.issuperset(other) is (mine >= theirs)
        assert self.tree.isdisjoint(other) is not (mine & theirs)

    # -- after every step -------------------------------------------------------------
    @invariant()
    def agrees(self):
        if not hasattr(self, "tree"):
            return
        _check_invariants(self.tree)
        _same(self.tree.in_order(), self.model.in_order())
        _same(self.tree.pre_order(), self.model.pre_order())
        _same(self.tree.level_order(), self.model.level_order())
        assert len(self.tree) == self.model.count
        assert bool(self.tree) is (self.model.count > 0) is (not self.tree.is_empty())
        assert self.tree.height == self.model.height
        self.model.check()
        _, height = shape_from_pre_order([self.key_of(v) for v in self.tree.pre_order()])
        assert height == self.tree.height

    def teardown(self):
        for it, remaining in getattr(self, "iterators", []):
            _same(it, remaining)


TestTreeAgainstModel = TreeAgainstModel.TestCase
TestTreeAgainstModel.settings = settings.get_profile("quorel-model")
