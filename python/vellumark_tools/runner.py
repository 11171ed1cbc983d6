"""Runs one job per archive, on several processes when asked. The reader
inflates and scans without the interpreter lock, but what a job does with each
record (its fields, digests, lines) is Python and holds it: archives on threads
would take turns there, so each gets a process of its own.

A job's failure is that archive's failure, never the run's: an exception, a
MemoryError, or a worker process killed by the system (the out-of-memory
killer, say) is reported for the archive it was working on, and a new worker
takes its place; so is a worker that dies before it could take the archive.
Ctrl-C, SIGTERM and SIGHUP end the workers too (each removes its temporary
output) and leave nothing running. A run killed without warning (SIGKILL)
takes its workers along: each ends itself when the run is gone, and only the
run renames a finished output into place, so none appears after it died.
When worker processes cannot be started at all, the jobs run in this process.
"""

from __future__ import annotations

import contextlib
import dataclasses
import functools
import multiprocessing
import multiprocessing.connection
import os
import signal
import threading
import traceback
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from .errors import ArchiveError, described
from .output import clean_up_unfinished, replace_through


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
        return Outcome.failure(name, described(error, name))
    except Exception as error:  # a bug: still only this archive's failure
        detail = "".join(traceback.format_exception_only(type(error), error)).strip()
        return Outcome.failure(name, f"internal error: {detail}")


def run_jobs(jobs: Sequence[Tuple[str, Job]], workers: int, note: Callable[[str], None] = lambda text: None) -> Iterator[Outcome]:
    """The outcomes of (name, job) pairs, in the order they finish. Jobs run
    in this process when worker processes cannot be started (`note` is told why)."""
    workers = max(1, min(workers, len(jobs)))
    if workers == 1:
        for name, job in jobs:
            yield run_one(job, name)
        return
    pool = _Pool(workers, note)
    try:
        yield from pool.run(jobs)
    finally:
        pool.stop()


# ---------------------------------------------------------------------------- the worker pool


class RunEnded(BaseException):
    """The run that started this worker is gone: nothing may be put in place now."""


@dataclasses.dataclass
class _Replace:
    """A worker's request that the run put a finished output in place."""

    temporary: bytes
    target: str

    def carry_out(self) -> Optional[Tuple[int, str]]:
        """None, or the (errno, strerror) of the failure, for the worker to raise."""
        try:
            os.replace(self.temporary, self.target)
        except OSError as error:
            return error.errno or 0, error.strerror or str(error)
        return None


def _replaced_by_the_run(connection: multiprocessing.connection.Connection, temporary: bytes, target: str) -> None:
    try:
        connection.send(_Replace(temporary, target))
        failure = connection.recv()
    except (OSError, EOFError):
        raise RunEnded from None
    if failure is not None:
        raise OSError(*failure)


def _end_with_the_run(lifeline: multiprocessing.connection.Connection) -> None:
    """A run killed without warning (SIGKILL) cannot stop its workers: each
    ends itself when the run's end of `lifeline` closes, by SIGTERM, so that
    its temporary output is removed on the way out."""

    def watch() -> None:
        with contextlib.suppress(OSError, EOFError):
            lifeline.poll(None)  # the run never writes: this returns when it is gone
        os.kill(os.getpid(), signal.SIGTERM)

    threading.Thread(target=watch, name="lifeline", daemon=True).start()


def _worker_main(connection: multiprocessing.connection.Connection, lifeline: multiprocessing.connection.Connection) -> None:
    # The parent decides about Ctrl-C (the terminal sends it to every process
    # of the group) and sends SIGTERM, which removes temporary outputs here.
    # SIGTERM may come as soon as it raises Terminated, even while the
    # lifeline starts: every step is inside the try that ends quietly.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        handle_termination()
        _end_with_the_run(lifeline)
        # The run renames each finished output, so that none replaces a file once the run is gone.
        replace_through(functools.partial(_replaced_by_the_run, connection))
        while True:
            task = connection.recv()
            if task is None:
                return
            name, job = task
            connection.send(run_one(job, name))
    except BaseException as error:
        # A second signal (the lifeline's SIGTERM, as the run ends) must not interrupt the way out.
        for signum in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
        clean_up_unfinished()  # what a signal at the start of a `finally` left
        if _stopped(error):
            os._exit(128 + signal.SIGTERM)
        raise


def _stopped(error: Optional[BaseException]) -> bool:
    """Whether an exception comes of the worker being stopped (SIGTERM, its run
    gone), even as the code it interrupted passed it on: an import wraps
    Terminated in a RuntimeError from a dataclass's __set_name__."""
    while error is not None:
        if isinstance(error, (EOFError, OSError, RunEnded, Terminated)):
            return True
        error = error.__cause__ or error.__context__
    return False


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
    def __init__(self, size: int, note: Callable[[str], None]) -> None:
        self._size = size
        self._note = note
        self._context = _context()
        self._workers: List[_Worker] = []
        self._lifeline, self._alive = self._context.Pipe(duplex=False)  # workers hold the reading end only

    def _start_workers(self, count: int) -> List[_Worker]:
        """Up to `count` new workers; fewer when the system will not start them."""
        started: List[_Worker] = []
        for _ in range(count):
            parent, child = self._context.Pipe()
            process = self._context.Process(target=_worker_main, args=(child, self._lifeline), daemon=True)
            try:
                process.start()
            except (OSError, EOFError, RuntimeError) as error:
                parent.close()
                child.close()
                self._note(f"worker processes cannot be started ({type(error).__name__}: {error}); "
                           + ("going on with those running" if self._workers or started else "working in this one process"))
                break
            child.close()
            started.append(_Worker(process, parent))
        self._workers += started
        return started

    def run(self, jobs: Sequence[Tuple[str, Job]]) -> Iterator[Outcome]:
        queue = list(jobs)[::-1]
        idle = self._start_workers(self._size)
        while queue or any(w.task is not None for w in self._workers):
            if not self._workers:
                while queue:
                    name, job = queue.pop()
                    yield run_one(job, name)
                return
            lost = 0
            for worker in idle:
                if queue:
                    failure = self._give(worker, queue.pop())
                    if failure is not None:
                        lost += 1
                        yield failure
            idle = self._start_workers(lost) if queue and lost else []
            for worker, outcome in self._finished():
                yield outcome
                if worker.process.is_alive():
                    idle.append(worker)
                elif queue:
                    idle += self._start_workers(1)

    def _give(self, worker: _Worker, task: Tuple[str, Job]) -> Optional[Outcome]:
        """Sends a task; a worker that cannot take it (it died since it last
        answered) is ended, and the task fails with what became of it."""
        name, job = task
        worker.task = task
        try:
            worker.connection.send((name, job[:2]))
            return None
        except (OSError, ValueError) as error:
            worker.process.join(timeout=5)
            ended_here = worker.process.is_alive()
            if ended_here:
                worker.process.kill()
                worker.process.join()
            why = f"the worker process could not take it ({getattr(error, 'strerror', None) or error})" if ended_here else _death(worker.process.exitcode)
            return self._lost(worker, why)

    def _finished(self) -> Iterator[Tuple[_Worker, Outcome]]:
        """The outcomes of the next jobs to end, waiting for one."""
        waitables: Dict[Any, _Worker] = {}
        for worker in self._workers:
            if worker.task is not None:
                waitables[worker.connection] = worker
                waitables[worker.process.sentinel] = worker
        if not waitables:
            return  # waiting on nothing would never end
        for ready in multiprocessing.connection.wait(list(waitables)):
            worker = waitables[ready]
            if worker.task is None:
                continue  # both its pipe and its sentinel were ready
            outcome = self._collect(worker)
            if outcome is not None:
                yield worker, outcome

    def _collect(self, worker: _Worker) -> Optional[Outcome]:
        """The worker's outcome, if it has one or has died; renames it asks for on the way."""
        assert worker.task is not None
        try:
            while worker.connection.poll():
                message = worker.connection.recv()
                if isinstance(message, _Replace):
                    worker.connection.send(message.carry_out())
                    continue
                worker.task = None
                outcome: Outcome = message
                return outcome
        except (EOFError, OSError):
            pass
        if worker.process.is_alive():
            return None
        worker.process.join()
        return self._lost(worker, _death(worker.process.exitcode))

    def _lost(self, worker: _Worker, why: str) -> Outcome:
        """The failure of the task of a worker that is gone, after its cleanup."""
        assert worker.task is not None
        name, job = worker.task
        worker.task = None
        worker.connection.close()
        self._workers.remove(worker)
        _clean_up_after(job, worker.process.pid)
        return Outcome.failure(name, why)

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
                if worker.task is not None:
                    _clean_up_after(worker.task[1], worker.process.pid)
            worker.connection.close()
        self._workers.clear()
        self._alive.close()
        self._lifeline.close()


def _clean_up_after(job: Job, pid: Optional[int]) -> None:
    """What a worker killed on a job could not remove itself (its job's cleanup)."""
    if len(job) > 2 and pid is not None:
        cleanup, args = job[2]
        with contextlib.suppress(Exception):
            cleanup(*args, pid)


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

