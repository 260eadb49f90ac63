"""Every program in examples/ runs against the installed package and prints what it should."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"

# Lines each program must print; they pin results that follow from the
# tree's rules (first value of a key stays, stored keys, snapshot walks).
EXPECTED = {
    "tour.py": [
        "tree: AVLTree([3, 7, 19, 25, 42])",
        "insert 11 -> True | insert 42 again -> False",
        "range [7, 25): [7, 11, 19]",
        "3 values from 24 down: [19, 11, 7]",
        "who has 291k? Graz (Bergen came second and was dropped)",
        "after a pickle round trip: ['Turku', 'Porto', 'Graz', 'Malmo']",
        "tree: AVLTree(['Alpha', 'Bravo', 'charlie', 'delta'])",
        "original untouched: AVLTree([('cy', 70), ('ann', 88), ('bo', 95)])",
        "cleared tree: AVLTree([]) | the iterator still yields: [0, 1, 2, 3, 4]",
    ],
    "leaderboard.py": [
        "8 players",
        "  #4 bea   1010",
        "ola is ranked #6; 3 players scored over 1010",
        "scores 900 to 1010: bea, lu, ola",
        "after kai scores 1300, the leader is kai",
    ],
    "event_window.py": [
        "oldest kept: 117 s",
        "last 3 before 130 s: [129, 126, 123]",
    ],
    "scheduler.py": [
        "due in the first 3 s: ['heartbeat', 'report', 'email']",
        "cancel cleanup -> True",
        "cancel cleanup again -> False",
        "report ran at [1.0, 3.5, 6.0]",
    ],
}


def run(script: str, tmp_path: Path) -> str:
    # Run from an empty directory so that the repository's source package
    # cannot shadow the installed one.
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / script)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return done.stdout


@pytest.mark.parametrize("script", sorted(EXPECTED))
def test_example_prints_expected_results(script: str, tmp_path: Path) -> None:
    lines = run(script, tmp_path).splitlines()
    missing = [line for line in EXPECTED[script] if line not in lines]
    assert not missing, f"{script} did not print {missing}"


def test_every_example_is_checked() -> None:
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(EXPECTED)
