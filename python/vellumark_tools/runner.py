"""Runs one job per archive, on several processes when asked (the module holds
the interpreter lock for a whole call, so threads would take turns).

A job's failure is that archive's failure, never the run's: an exception, a
MemoryError, or a worker process killed by the system (the out-of-memory
killer, say) is reported for the archive it was working on, and a new worker
takes its place. Ctrl-C, SIGTERM and SIGHUP end the workers too (each removes
its temporary output) and leave nothing running.
"""

from __future__ import annotations

import contextlib
import dataclasses
import multiprocessing
import multiprocessing.connection
import os
import signal
import traceback
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from .errors import ArchiveError, shown


class Terminated(BaseException):
    """SIGTERM or SIGHUP, raised where the process is, like KeyboardInterrupt for
    SIGINT, so that every `finally` (temporary outputs) runs on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_terminated(signum: int, frame: Any) -> None:
    raise Terminated(signum)


def handle_termination() -> None:
    """SIGTERM and SIGHUP raise Terminated from now on."""
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _raise_terminated)


@dataclasses.dataclass
class Outcome:
    """What a job reports: its line, and data for the summary."""

    name: str
    ok: bool = True
    line: str = ""
    data: Any = None
    warnings: List[str] = dataclasses.field(default_factory=list)
    error: str = ""  # what failed, without the name

    @classmethod
    def failure(cls, name: str, error: str) -> "Outcome":
        return cls(name, False, f"{name}: {error}", error=error)


# (function, arguments), and optionally a cleanup (function, arguments) that
# the run calls with the process ID of a worker that died while on the job,
# for what that worker could not remove itself.
Job = Tuple[Any, ...]


def run_one(job: Job, name: str) -> Outcome:
    """A job, with every failure of its own turned into its outcome."""
    function, args = job[0], job[1]
    try:
        outcome: Outcome = function(*args)
        return outcome
    except ArchiveError as error:
        return Outcome.failure(name, str(error))
    except MemoryError:
        return Outcome.failure(name, "out of memory")
    except OSError as error:
        where = f"{_shown_path(error.filename)}: " if error.filename is not None and _shown_path(error.filename) != name else ""
        return Outcome.failure(name, f"{where}{error.strerror or error}")
    except Exception as error:  # a bug: still only this archive's failure
        detail = "".join(traceback.format_exception_only(type(error), error)).strip()
        return Outcome.failure(name, f"internal error: {detail}")


def _shown_path(path: Any) -> str:
    return shown(path) if isinstance(path, (str, bytes, os.PathLike)) else str(path)


def run_jobs(jobs: Sequence[Tuple[str, Job]], workers: int) -> Iterator[Outcome]:
    """The outcomes of (name, job) pairs, in the order they finish."""
    workers = max(1, min(workers, len(jobs)))
    if workers == 1:
        for name, job in jobs:
            yield run_one(job, name)
        return
    pool = _Pool(workers)
    try:
        yield from pool.run(jobs)
    finally:
        pool.stop()


# ---------------------------------------------------------------------------- the worker pool


def _worker_main(connection: multiprocessing.connection.Connection) -> None:
    # The parent decides about Ctrl-C (the terminal sends it to every process
    # of the group) and sends SIGTERM, which removes temporary outputs here.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    handle_termination()
    try:
        while True:
            try:
                task = connection.recv()
            except EOFError:
                return
            if task is None:
                return
            name, job = task
            connection.send(run_one(job, name))
    except Terminated:
        os._exit(128 + signal.SIGTERM)


@dataclasses.dataclass
class _Worker:
    process: Any
    connection: multiprocessing.connection.Connection
    task: Optional[Tuple[str, Job]] = None  # (name, job) it runs


def _context() -> Any:
    # forkserver: workers start from a clean process, not a copy of one that
    # may hold threads (a progress bar's) or open outputs.
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


class _Pool:
    def __init__(self, size: int) -> None:
        self._size = size
        self._context = _context()
        self._workers: List[_Worker] = []

    def _start_worker(self) -> _Worker:
        parent, child = self._context.Pipe()
        process = self._context.Process(target=_worker_main, args=(child,), daemon=True)
        process.start()
        child.close()
        worker = _Worker(process, parent)
        self._workers.append(worker)
        return worker

    def run(self, jobs: Sequence[Tuple[str, Job]]) -> Iterator[Outcome]:
        queue = list(enumerate(jobs))[::-1]
        idle = [self._start_worker() for _ in range(self._size)]
        while queue or any(w.task is not None for w in self._workers):
            for worker in idle:
                if queue:
                    _, (name, job) = queue.pop()
                    worker.task = (name, job)
                    worker.connection.send((name, job[:2]))
            idle = []
            busy = [w for w in self._workers if w.task is not None]
            waitables: Dict[Any, _Worker] = {}
            for worker in busy:
                waitables[worker.connection] = worker
                waitables[worker.process.sentinel] = worker
            for ready in multiprocessing.connection.wait(list(waitables)):
                worker = waitables[ready]
                if worker.task is None:
                    continue  # both its pipe and its sentinel were ready
                outcome = self._collect(worker)
                if outcome is None:
                    continue
                yield outcome
                if worker.process.is_alive():
                    idle.append(worker)
                elif queue:
                    idle.append(self._start_worker())

    def _collect(self, worker: _Worker) -> Optional[Outcome]:
        assert worker.task is not None
        name, job = worker.task
        try:
            if worker.connection.poll():
                outcome: Outcome = worker.connection.recv()
                worker.task = None
                return outcome
        except (EOFError, OSError):
            pass
        if worker.process.is_alive():
            return None
        worker.process.join()
        worker.task = None
        self._workers.remove(worker)
        if len(job) > 2:
            cleanup, args = job[2]
            with contextlib.suppress(Exception):
                cleanup(*args, worker.process.pid)
        return Outcome.failure(name, _death(worker.process.exitcode))

    def stop(self) -> None:
        """Ends every worker: the idle ones by their pipe, the busy ones by
        SIGTERM (which removes their temporary outputs), then SIGKILL."""
        for worker in self._workers:
            with contextlib.suppress(OSError, ValueError):
                if worker.task is None:
                    worker.connection.send(None)
                else:
                    worker.process.terminate()
        for worker in self._workers:
            worker.process.join(timeout=10)
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join()
                if worker.task is not None and len(worker.task[1]) > 2:
                    cleanup, args = worker.task[1][2]
                    with contextlib.suppress(Exception):
                        cleanup(*args, worker.process.pid)
            worker.connection.close()
        self._workers.clear()


def _death(exitcode: Optional[int]) -> str:
    if exitcode is not None and exitcode < 0:
        signum = -exitcode
        name = signal.Signals(signum).name if signum in signal.Signals._value2member_map_ else str(signum)
        likely = " (likely the system's out-of-memory killer)" if signum == signal.SIGKILL else ""
        return f"the worker process was killed by {name}{likely}"
    return f"the worker process ended unexpectedly (exit status {exitcode})"


def default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every system
        return os.cpu_count() or 1

