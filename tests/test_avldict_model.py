"""AVLDict against a model: a dict for the mapping protocol and its sorted keys for the
ordered members. Random operation sequences; after each step the answers agree and the
map's invariants hold. The seed is printed, so a failure can be replayed."""

import bisect
import copy
import pickle
import random

import pytest

from quorel import AVLDict
from quorel.quorel import _check_avldict

from test_threads import fast_switching, run_threads  # noqa: F401  (a fixture)


def step(rng, d, model):
    """One random operation on both; returns what each answered."""
    keys = sorted(model)
    k = rng.randrange(-5, 60)
    v = rng.random()
    op = rng.randrange(16)

    def both(real, expected):
        try:
            got = real()
        except (KeyError, IndexError, ValueError) as error:
            got = type(error)
        try:
            want = expected()
        except (KeyError, IndexError, ValueError) as error:
            want = type(error)
        return got, want

    def ceiling(inclusive):
        i = (bisect.bisect_left if inclusive else bisect.bisect_right)(keys, k)
        return keys[i] if i < len(keys) else None

    def floor(inclusive):
        i = (bisect.bisect_right if inclusive else bisect.bisect_left)(keys, k) - 1
        return keys[i] if i >= 0 else None

    if op == 0:
        return both(lambda: d.__setitem__(k, v), lambda: model.__setitem__(k, v))
    if op == 1:
        return both(lambda: d.__delitem__(k), lambda: model.__delitem__(k))
    if op == 2:
        return both(lambda: d.pop(k, None), lambda: model.pop(k, None))
    if op == 3:
        return both(lambda: d.setdefault(k, v), lambda: model.setdefault(k, v))
    if op == 4:
        batch = {rng.randrange(60): rng.random() for _ in range(rng.randrange(6))}
        return both(lambda: d.update(batch), lambda: model.update(batch))
    if op == 5:
        i = rng.randrange(-len(keys) - 2, len(keys) + 2)
        return both(lambda: d.popitem(i), lambda: (keys[i], model.pop(keys[i])) if model else {}[0])
    if op == 6:
        i = rng.randrange(-len(keys) - 2, len(keys) + 2)
        return both(lambda: d.peekitem(i), lambda: (keys[i], model[keys[i]]))
    if op == 7:
        return both(lambda: (d.get(k), k in d, d.index(k)), lambda: (model.get(k), k in model, keys.index(k)))
    if op == 8:
        return both(lambda: (d.bisect_left(k), d.bisect_right(k)),
                    lambda: (bisect.bisect_left(keys, k), bisect.bisect_right(keys, k)))
    if op == 9:
        return both(lambda: (d.floor(k), d.ceiling(k), d.lower(k), d.higher(k)),
                    lambda: (floor(True), ceiling(True), floor(False), ceiling(False)))
    if op == 10:
        end = k + rng.randrange(-3, 20)
        inc = rng.random() < 0.5
        return both(lambda: list(d.items().range(k, end, include_end=inc)),
                    lambda: [(x, model[x]) for x in keys if k <= x and (x <= end if inc else x < end)]
                    if k <= end else int("start after end"))
    if op == 11:
        n = rng.randrange(5)
        return both(lambda: (list(d.values().iter_from(k, n)), list(d.iter_to(k, n))),
                    lambda: ([model[x] for x in keys if x >= k][:n], [x for x in reversed(keys) if x <= k][:n]))
    if op == 12:
        s = slice(rng.randrange(-5, 5), rng.randrange(-5, 60), rng.choice([1, 2, -1, -3]))
        return both(lambda: (d.keys()[s], d.values()[s]), lambda: (keys[s], [model[x] for x in keys[s]]))
    if op == 13:
        other = {rng.randrange(60): 0 for _ in range(3)}
        return both(lambda: (d | other, d.keys() & other.keys(), d == dict(model)),
                    lambda: ({**model, **other}, model.keys() & other.keys(), True))
    if op == 14:
        return both(lambda: pickle.loads(pickle.dumps(d)), lambda: model)
    return both(lambda: copy.copy(d), lambda: model)


@pytest.mark.parametrize("seed", [random.randrange(2**32) for _ in range(4)] + [0, 1])
def test_random_operations_agree_with_the_model(seed):
    print(f"seed {seed}")
    rng = random.Random(seed)
    d, model = AVLDict(), {}
    for i in range(1500):
        got, want = step(rng, d, model)
        assert got == want, f"step {i}, seed {seed}"
        _check_avldict(d)
        assert list(d.items()) == sorted(model.items()) and len(d) == len(model)


# -- threads -------------------------------------------------------------------------


class SlowKey(int):
    """An int compared and hashed through Python code, so the interpreter can switch
    threads in the middle of every member."""

    def __hash__(self):
        return int.__hash__(self)

    def __eq__(self, other):
        return int.__eq__(self, other)

    def __lt__(self, other):
        return int.__lt__(self, other)

    def __gt__(self, other):
        return int.__gt__(self, other)


@pytest.mark.usefixtures("fast_switching")
def test_threads_share_one_map_without_refusal_or_loss():
    d = AVLDict()
    per_thread, threads = 300, 6

    def writer(t):
        def work():
            for i in range(per_thread):
                d[SlowKey(i * threads + t)] = t
                if i % 3 == 0:
                    assert d.pop(SlowKey(i * threads + t)) == t
        return work

    def reader():
        for _ in range(per_thread):
            keys = list(d)
            assert keys == sorted(keys)
            d.floor(SlowKey(50))
            len(d.items()[:5])

    run_threads(*[writer(t) for t in range(threads)], reader, reader)
    _check_avldict(d)
    expected = {i * threads + t: t for t in range(threads) for i in range(per_thread) if i % 3}
    assert d == expected


def test_maps_updated_from_each_other_on_two_threads_do_not_wait_forever():
    a = AVLDict({SlowKey(i): i for i in range(0, 200, 2)})
    b = AVLDict({SlowKey(i): i for i in range(1, 200, 2)})

    def cross(x, y):
        def work():
            for _ in range(30):
                x.update(y)
                x | y
                x.__ior__(y)
        return work

    run_threads(cross(a, b), cross(b, a))
    assert list(a) == list(b) == list(range(200))
