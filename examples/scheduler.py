"""A cooperative scheduler that always runs the job that is due first.

Jobs wait in a tree ordered by ``(due time, job id)``. The loop takes the
earliest job with ``first()``, removes it, runs it, and puts repeating jobs
back under their next due time. Unlike a heap, the tree also lets a job be
cancelled or looked up by its key, and shows what is due within a window.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Optional

from quorel import AVLTree


@dataclass
class Job:
    ident: int
    name: str
    due: float
    every: Optional[float] = None  # seconds between runs, None for once
    action: Optional[Callable[[float], None]] = None

    def key(self) -> tuple[float, int]:
        return (self.due, self.ident)


class Scheduler:
    def __init__(self) -> None:
        self._queue: AVLTree[Job] = AVLTree(key=Job.key)
        self._next_id = 0
        self.now = 0.0

    def at(self, due: float, name: str, every: Optional[float] = None,
           action: Optional[Callable[[float], None]] = None) -> Job:
        job = Job(self._next_id, name, due, every, action)
        self._next_id += 1
        self._queue.insert(job)
        return job

    def cancel(self, job: Job) -> bool:
        return self._queue.remove(job)

    def due_within(self, seconds: float) -> list[str]:
        """Names of the jobs due in [now, now + seconds)."""
        return [job.name for job in self._queue.range((self.now,), (self.now + seconds,))]

    def run_until(self, end: float) -> list[str]:
        log: list[str] = []
        while True:
            job = self._queue.first()
            if job is None or job.due > end:
                return log
            self._queue.remove(job)
            self.now = job.due
            log.append(f"{self.now:5.1f} {job.name}")
            if job.action is not None:
                job.action(self.now)
            if job.every is not None:
                job.due += job.every  # safe: the job is out of the tree
                self._queue.insert(job)


def main() -> None:
    scheduler = Scheduler()
    alarms: list[float] = []
    scheduler.at(0.5, "heartbeat", every=2.0)
    scheduler.at(3.0, "backup")
    cleanup = scheduler.at(4.0, "cleanup")
    scheduler.at(1.0, "report", every=2.5, action=alarms.append)
    scheduler.at(2.5, "email")

    print("due in the first 3 s:", scheduler.due_within(3.0))
    print("cancel cleanup ->", scheduler.cancel(cleanup))
    print("cancel cleanup again ->", scheduler.cancel(cleanup))
    for line in scheduler.run_until(7.0):
        print(line)
    print("report ran at", alarms)
    print("next up:", scheduler.due_within(10.0))


if __name__ == "__main__":
    main()
