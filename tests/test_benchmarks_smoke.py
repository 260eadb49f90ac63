"""The benchmark harness (benchmarks/) on tiny data, quorel only: its data
sets mean what the tables say they mean, and every timed operation still
runs against the real AVLTree API. No peer library is needed."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))

from qbench.keys import KINDS, WINDOW, make_data  # noqa: E402
from qbench.libs import Quorel  # noqa: E402
from qbench.timing import OP_NAMES, Settings, measure  # noqa: E402

SIZE = 400
TINY = Settings(min_repeats=1, max_repeats=1, budget_s=0, min_ops=20, probes=40,
                windows=8, removals=10)


@pytest.fixture(scope="module", params=sorted(KINDS))
def data(request):
    return make_data(KINDS[request.param], SIZE, probes=TINY.probes, windows=TINY.windows)


def test_probes_hit_and_miss_and_windows_hold_window_values(data):
    stored = [data.key_of(v) for v in data.ascending]
    assert stored == sorted(stored) and len(set(map(repr, stored))) == SIZE
    tree = Quorel().build(data.kind, data.values)
    assert len(tree) == SIZE
    assert all(tree.contains_key(k) for k in data.hit_keys)
    assert all(tree.search(v) is v for v in data.hit_values)
    assert not any(tree.contains_key(k) for k in data.miss_keys)
    assert not any(v in tree for v in data.miss_values)
    for start, end in zip(data.starts, data.ends):
        assert len(list(tree.range(start, end))) == WINDOW


def test_every_operation_runs_on_quorel(data):
    # Also runs the removals, whose restoring step checks the size.
    out = measure([Quorel()], data.kind, data, TINY)["quorel"]
    assert list(out) == OP_NAMES
    for cpu, wall in out.values():
        assert len(cpu) == len(wall) == 1 and cpu[0] > 0 and wall[0] > 0
