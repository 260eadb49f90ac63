"""A time-window index of events: range queries by time, expiry of old events.

Events are ordered by ``(time, sequence number)``: the sequence number keeps
two events of the same second apart, since a tree holds one value per key.
Range endpoints are keys, so ``(t,)`` stands for "the start of second t":
it sorts before every ``(t, n)``.
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field
from itertools import count
from operator import attrgetter

from quorel import AVLTree

_sequence = count()


@dataclass(frozen=True)
class Event:
    time: int  # seconds
    source: str
    message: str
    seq: int = field(default_factory=lambda: next(_sequence))


class EventWindow:
    """Keeps the events of the last ``span`` seconds."""

    def __init__(self, span: int) -> None:
        self.span = span
        self._events: AVLTree[Event] = AVLTree(key=attrgetter("time", "seq"))

    def add(self, event: Event) -> None:
        self._events.insert(event)
        self.expire(now=event.time)

    def expire(self, now: int) -> int:
        """Drop events older than ``now - span``; return how many went."""
        stale = list(self._events.range(None, (now - self.span,)))
        for event in stale:
            self._events.remove_key((event.time, event.seq))
        return len(stale)

    def between(self, start: int, end: int) -> list[Event]:
        """Events with start <= time < end."""
        return list(self._events.range((start,), (end,)))

    def latest(self, count: int, before: int) -> list[Event]:
        """The ``count`` most recent events with time < before, newest first."""
        return list(self._events.iter_to((before,), count))

    def __len__(self) -> int:
        return len(self._events)


def main() -> None:
    rng = random.Random(7)
    window = EventWindow(span=60)
    sources = ["web", "db", "cache"]
    for second in range(0, 180, 3):
        event = Event(second, rng.choice(sources), f"tick {second}")
        window.add(event)
        if rng.random() < 0.3:  # a second event in the same second
            window.add(Event(second, "web", f"retry {second}"))

    print("events kept:", len(window), "(window of 60 s ending at 177 s)")
    print("oldest kept:", window.between(0, 200)[0].time, "s")
    recent = window.between(150, 160)
    print("150 s to 160 s:", ", ".join(f"{e.time}:{e.message}" for e in recent))
    print("last 3 before 130 s:", [e.time for e in window.latest(3, before=130)])
    dropped = window.expire(now=200)
    print("at 200 s,", dropped, "more expired;", len(window), "left")


if __name__ == "__main__":
    main()
