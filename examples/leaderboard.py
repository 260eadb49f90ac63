"""A game leaderboard kept in score order, with ranks and score ranges.

Each entry is ordered by its ``standing`` attribute, ``(-score, name)``, so
the best score comes first and players with equal scores are listed by
name. Because a tree keeps the key it extracted when a value went in, a
score change is made by taking the entry out, changing it, and putting it
back. Ranks come from positions in the tree, each in O(log n).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from quorel import AVLTree

# Sorts before every (-score, name) pair: a start key for "from the top".
TOP = (-math.inf,)


@dataclass
class Entry:
    name: str
    score: int

    @property
    def standing(self) -> tuple[int, str]:
        return (-self.score, self.name)


class Leaderboard:
    def __init__(self) -> None:
        self._board: AVLTree[Entry] = AVLTree(key="standing")
        self._by_name: dict[str, Entry] = {}

    def record(self, name: str, score: int) -> None:
        """Set a player's score, keeping only their best result."""
        entry = self._by_name.get(name)
        if entry is None:
            entry = self._by_name[name] = Entry(name, score)
        elif score <= entry.score:
            return
        else:
            self._board.remove(entry)  # still filed under the old score
            entry.score = score
        self._board.insert(entry)

    def top(self, count: int) -> list[Entry]:
        return list(self._board.iter_from(TOP, count))

    def ranks(self, first: int, last: int) -> list[tuple[int, Entry]]:
        """Ranks ``first`` to ``last`` (1-based, inclusive)."""
        return list(enumerate(self._board[first - 1 : last], start=first))

    def rank(self, name: str) -> int:
        """A player's rank, 1 for the best."""
        return self._board.index(self._by_name[name]) + 1

    def beaten_by(self, score: int) -> int:
        """How many players scored more than ``score``."""
        # (-score,) sorts after every key with a higher score and before
        # every key with this score or a lower one.
        return self._board.bisect_left((-score,))

    def scoring_between(self, low: int, high: int) -> list[Entry]:
        """Players whose score lies in [low, high], best first."""
        # (-high,) sorts before every key with score high; (-low + 1,) before
        # every key with score low - 1, which bounds the range from above.
        return list(self._board.range((-high,), (-low + 1,)))

    def __len__(self) -> int:
        return len(self._board)


def main() -> None:
    board = Leaderboard()
    results = [
        ("mira", 1200), ("jon", 950), ("ada", 1200), ("kai", 700), ("lu", 1010),
        ("jon", 1100), ("zed", 880), ("kai", 650), ("bea", 1010), ("ola", 990),
    ]
    for name, score in results:
        board.record(name, score)

    print(f"{len(board)} players")
    print("top 3:")
    for entry in board.top(3):
        print(f"  {entry.name:5} {entry.score}")

    print("ranks 4 to 6:")
    for rank, entry in board.ranks(4, 6):
        print(f"  #{rank} {entry.name:5} {entry.score}")

    print(f"ola is ranked #{board.rank('ola')}; {board.beaten_by(1010)} players scored over 1010")

    print("scores 900 to 1010:", ", ".join(e.name for e in board.scoring_between(900, 1010)))

    board.record("kai", 1300)
    print("after kai scores 1300, the leader is", board.top(1)[0].name)


if __name__ == "__main__":
    main()
