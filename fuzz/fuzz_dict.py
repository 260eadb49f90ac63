#!/usr/bin/env python3
"""Fuzz target: random operation sequences on one AVLDict, checked against a dict and
its sorted keys after every step.

Each input is read as a choice of keys (ints, which the map compares natively, or keys
whose hash and comparisons run Python code and count their calls) followed by a list of
operations. An operation may be armed to fail at its n-th hash or comparison; a failed
operation must leave the map exactly as it was. Any disagreement with the model, any
exception other than the injected fault and the answers dict gives (KeyError,
IndexError, ValueError), and any crash is a finding.

    python fuzz/fuzz_dict.py fuzz/corpus/dict -max_total_time=60
"""

import bisect
import pickle
import sys

import atheris

with atheris.instrument_imports():
    from quorel import AVLDict
    from quorel.quorel import _avldict_from_sorted_items, _check_avldict

MAX_OPS = 64


class Fault(Exception):
    """The failure injected into a hash or a comparison."""


class Fuse:
    left = None

    @classmethod
    def tick(cls):
        if cls.left is not None:
            cls.left -= 1
            if cls.left <= 0:
                cls.left = None
                raise Fault("injected")


class Key:
    """A hashable, orderable key that ticks the fuse on every hash and comparison."""

    __slots__ = ("v",)

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        Fuse.tick()
        return hash(self.v)

    def __eq__(self, other):
        Fuse.tick()
        return self.v == other.v

    def __lt__(self, other):
        Fuse.tick()
        return self.v < other.v

    def __gt__(self, other):
        Fuse.tick()
        return self.v > other.v

    def __reduce__(self):
        return (Key, (self.v,))


def plain(k):
    return k.v if isinstance(k, Key) else k


def state(d):
    """The map's keys and values in order, as plain objects, read without the fuse."""
    _check_avldict(d)
    return [(plain(k), v) for k, v in d.items()]


def answer(call):
    try:
        return call()
    except (KeyError, IndexError, ValueError) as error:
        return type(error)


def step(fdp, d, model, make):
    k = make(fdp.ConsumeIntInRange(-4, 40))
    v = fdp.ConsumeIntInRange(0, 9)
    keys = sorted(model)
    op = fdp.ConsumeIntInRange(0, 11)
    if op == 0:
        return answer(lambda: d.__setitem__(k, v)), answer(lambda: model.__setitem__(plain(k), v))
    if op == 1:
        return answer(lambda: d.__delitem__(k)), answer(lambda: model.__delitem__(plain(k)))
    if op == 2:
        return answer(lambda: d.pop(k, None)), answer(lambda: model.pop(plain(k), None))
    if op == 3:
        return answer(lambda: d.setdefault(k, v)), answer(lambda: model.setdefault(plain(k), v))
    if op == 4:
        batch = [(make(fdp.ConsumeIntInRange(-4, 40)), v) for _ in range(fdp.ConsumeIntInRange(0, 5))]
        return answer(lambda: d.update(batch)), answer(lambda: model.update((plain(a), b) for a, b in batch))
    if op == 5:
        i = fdp.ConsumeIntInRange(-3, 3)
        got = answer(lambda: d.popitem(i))
        want = answer(lambda: (keys[i], model.pop(keys[i])) if model else {}[0])
        return (plain(got[0]), got[1]) if isinstance(got, tuple) else got, want
    if op == 6:
        return answer(lambda: plain(d.floor(k))), answer(
            lambda: keys[bisect.bisect_right(keys, plain(k)) - 1] if bisect.bisect_right(keys, plain(k)) else None)
    if op == 7:
        return answer(lambda: d.bisect_left(k)), bisect.bisect_left(keys, plain(k))
    if op == 8:
        n = fdp.ConsumeIntInRange(0, 5)
        return answer(lambda: list(d.values().iter_from(k, n))), [model[x] for x in keys if x >= plain(k)][:n]
    if op == 9:
        return answer(lambda: [(plain(a), b) for a, b in pickle.loads(pickle.dumps(d)).items()]), sorted(model.items())
    if op == 10:
        other = d | {k: v}
        return state(other), sorted({**model, plain(k): v}.items())
    return answer(lambda: d.get(k)), model.get(plain(k))


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    make = Key if fdp.ConsumeBool() else int
    d, model = AVLDict(), {}
    for _ in range(fdp.ConsumeIntInRange(0, MAX_OPS)):
        armed = fdp.ConsumeIntInRange(0, 12) if make is Key else 0
        before = state(d)
        Fuse.left = armed or None
        try:
            got, want = step(fdp, d, model, make)
        except Fault:
            Fuse.left = None
            if state(d) != before:
                raise AssertionError("a failed operation changed the map")
            model = dict(before)
            continue
        finally:
            Fuse.left = None
        if got != want:
            raise AssertionError(f"{got!r} != {want!r}")
        if state(d) != sorted(model.items()):
            raise AssertionError("the map and the model disagree")
    _avldict_from_sorted_items(d.__reduce__()[1][0])


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
