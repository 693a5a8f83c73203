"""The batch's process pools: `process_pool`, whose workers share the cores, and `RecoveringPool`, which
replaces its pool when a worker dies.

    from lumvarde_quorle.pool import RecoveringPool

    with RecoveringPool(2) as pool:
        futures = [pool.submit(extractor.extract_colors, path) for path in paths]
        colours = [future.result() for future in futures]   # BrokenProcessPool only for a dead worker's call
"""

from __future__ import annotations

import contextlib
import ctypes
import functools
import itertools
import multiprocessing
import os
import signal
import threading
import time
from collections.abc import Callable
from concurrent import futures
from concurrent.futures import Executor, Future, InvalidStateError, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from multiprocessing.context import BaseContext
from multiprocessing.process import BaseProcess
from typing import Any, TypeVar, cast

from .checks import finite_number, whole_number
from .guard import check_main_guarded
from .workers import CALL, PID, ROW, STARTED, lost_calls, recorded, start_recorded_worker, start_worker

__all__ = ["RecoveringPool", "process_pool"]

T = TypeVar("T")


def process_pool(workers: int) -> ProcessPoolExecutor:
    """A process pool whose workers share the cores instead of each running a full set of native
    threads (OpenMP in K-means, OpenBLAS, OpenCV): oversubscribed OpenMP workers spin-wait and run an
    order of magnitude slower. Called at the top level of a script without `if __name__ == "__main__":`, it
    raises UnguardedMainError: its workers would import the script again."""
    workers = whole_number(workers, "workers", minimum=1)
    check_main_guarded("process_pool()")
    return _process_pool(workers, start_worker, ())


def _process_pool(workers: int, initializer: Callable[..., None], initargs: tuple[Any, ...],
                  context: BaseContext | None = None) -> ProcessPoolExecutor:
    # forkserver rather than fork: a forked child of a process that has run OpenMP code can hang in
    # its first parallel region.
    context = context or multiprocessing.get_context("forkserver")
    threads = max(1, (os.cpu_count() or 1) // workers)
    return ProcessPoolExecutor(
        workers, mp_context=context, initializer=initializer, initargs=(threads, os.getpid(), *initargs)
    )


# -- a pool that survives its workers --------------------------------------------------------------


class _WorkerContext:
    """The forkserver context, keeping every worker process that a pool starts, so that how each ended can
    be read from it after a break."""

    def __init__(self) -> None:
        self._forkserver = multiprocessing.get_context("forkserver")
        self.workers: list[BaseProcess] = []

    def Process(self, *args: Any, **kwargs: Any) -> BaseProcess:  # noqa: N802 - a context's own name
        worker = self._forkserver.Process(*args, **kwargs)
        self.workers.append(worker)
        return worker

    def __getattr__(self, name: str) -> Any:
        # Queues, locks and the start method: the forkserver context's own.
        return getattr(self._forkserver, name)


@dataclass(eq=False)
class _Generation:
    pool: ProcessPoolExecutor
    workers: list[BaseProcess]  # every worker the pool started
    held: Any  # shared int64 rows of workers.ROW: worker pid, call number (0: none), its start, forkserver pid
    broken: bool = False  # its recovery has begun
    overran: set[int] = field(default_factory=set)  # calls whose worker was killed for overrunning the time limit


@dataclass(eq=False)
class _Call:
    number: int
    fn: Callable[..., Any]
    args: tuple[Any, ...]
    kwargs: dict[str, Any]
    future: _CallFuture[Any] = field(repr=False)
    generation: _Generation | None = None  # the pool it was given to; None once withdrawn
    run: Future[Any] | None = None  # its future in that pool; None when the pool broke before taking it
    breaks: int = 0  # pools that broke while it was in flight, no worker death being its own


class _CallFuture(Future[T]):
    """What RecoveringPool.submit returns: it completes only with the call's final outcome, and cancelling
    it cancels the call where it waits."""

    def __init__(self, lock: threading.RLock) -> None:
        super().__init__()
        self._lock = lock
        self._call: _Call | None = None

    def cancel(self) -> bool:
        with self._lock:
            call = self._call
            if call is not None and call.run is not None and not call.run.cancel():
                return False  # running, or finished and about to be handed over
            if self.done():
                return self.cancelled()
            if call is not None:
                call.generation = None  # no recovery runs it again
        if not super().cancel():
            return False
        try:
            self.set_running_or_notify_cancel()  # wakes wait() and as_completed() waiting on it
        except RuntimeError:
            pass  # a concurrent cancel woke them
        return True


class RecoveringPool(Executor):
    """process_pool(workers), replaced by a fresh one when a worker dies. The call the dead worker held
    fails with BrokenProcessPool naming how it died; the other calls in flight run again in the new pool,
    and their futures complete with their outcome there. A call caught in two breaks that no worker death
    explains (a worker that cannot start, a death between calls) fails too, so that a pool that keeps
    breaking ends its calls. A break that cannot be recovered (no thread to be had for it, say) fails the
    calls in flight with BrokenProcessPool saying why, and the next call tries again. Made at the top level
    of a script without `if __name__ == "__main__":`, it raises UnguardedMainError: its workers would import
    the script again.

    With `timeout` (seconds), a call that runs longer in its worker (hung, or its worker stopped) has its
    worker killed and fails with TimeoutError; the other calls go on as after any worker's death. Every
    worker ends when the process that made the pool ends, and when the forkserver that started it does
    (the calls in flight then run again, as no call is to blame)."""

    def __init__(self, workers: int, *, timeout: float | None = None, what: str = "RecoveringPool()") -> None:
        self._workers = whole_number(workers, "workers", minimum=1)
        check_main_guarded(what)
        self._timeout = None if timeout is None else finite_number(timeout, "timeout", minimum=0)
        if self._timeout == 0:
            raise ValueError("timeout must be more than 0 seconds, or None for no limit")
        self._numbers = itertools.count(1)
        # Held while calls are given to a pool (and the generation replaced), so never taken by a callback
        # of a pool's futures: the pool runs those holding its own lock, which its submit takes. Reentrant:
        # cancelling a call's run runs that run's callbacks.
        self._lock = threading.RLock()
        self._table = threading.Lock()  # self._calls alone
        self._calls: dict[int, _Call] = {}  # submitted, not finished
        self._recovery_lock = threading.Lock()  # generation.broken and self._recoveries
        self._recoveries: list[threading.Thread] = []
        self._closed = False
        self._unattended = False  # shut down without waiting: a fresh pool is shut down as soon as it is made
        self._generation = self._start()
        self._stopping = threading.Event()
        self._watchdog = threading.Thread(target=self._watch_times, name="RecoveringPool time limit", daemon=True)
        if self._timeout is not None:
            self._watchdog.start()

    def _watch_times(self) -> None:
        """Kills the worker of a call that has run longer than the time limit; its pool breaks and the
        recovery fails that call alone."""
        assert self._timeout is not None
        limit = int(self._timeout * 1e9)
        while not self._stopping.wait(min(0.25, self._timeout / 4)):
            generation = self._generation
            held = generation.held
            for row in range(0, len(held), ROW):
                pid, call, started = held[row + PID], held[row + CALL], held[row + STARTED]
                # (pid 0 would signal this whole process group)
                if not (pid and call) or time.monotonic_ns() - started <= limit or generation.broken:
                    continue
                generation.overran.add(call)
                if held[row + CALL] == call:  # it has not moved on meanwhile
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(pid, signal.SIGKILL)

    def _start(self) -> _Generation:
        context = _WorkerContext()
        held = context.RawArray(ctypes.c_int64, ROW * self._workers)
        initargs = (held, context.Lock())
        pool = _process_pool(self._workers, start_recorded_worker, initargs, cast(BaseContext, context))
        return _Generation(pool, context.workers, held)

    def submit(self, fn: Callable[..., T], /, *args: Any, **kwargs: Any) -> Future[T]:
        future: _CallFuture[T] = _CallFuture(self._lock)
        with self._lock:
            if self._closed:
                raise RuntimeError("cannot schedule new futures after shutdown")
            call = _Call(next(self._numbers), fn, args, kwargs, future)
            future._call = call
            generation = self._generation
            run = self._give(call, generation)
            with self._table:
                self._calls[call.number] = call
        future.add_done_callback(functools.partial(self._forget, call.number))
        self._follow(call, generation, run)
        return future

    def _give(self, call: _Call, generation: _Generation) -> Future[Any] | None:
        """Under self._lock: submits the call to the generation's pool; None when that pool has broken."""
        call.generation, call.run = generation, None
        try:
            call.run = generation.pool.submit(recorded, call.number, call.fn, *call.args, **call.kwargs)
        except BrokenProcessPool:
            pass  # it waits for the fresh pool
        except RuntimeError:
            if not generation.broken:
                raise
            # Its recovery has shut it down: the same.
        return call.run

    def _follow(self, call: _Call, generation: _Generation, run: Future[Any] | None) -> None:
        if run is None:
            self._broke(generation)
        else:
            run.add_done_callback(functools.partial(self._landed, call, generation))

    def _forget(self, number: int, _: Future[Any]) -> None:
        with self._table:
            self._calls.pop(number, None)

    def _landed(self, call: _Call, generation: _Generation, run: Future[Any]) -> None:
        # Mostly on the pool's management thread: nothing here may wait for that pool or for self._lock.
        if run.cancelled():
            return  # cancelled through the call's future, which cancels itself; or by a recovery
        if _broken_run(run):
            self._broke(generation)
        else:
            _hand_over(run, call.future)

    def _broke(self, generation: _Generation) -> None:
        """Starts the recovery of a broken generation on a thread of its own, once."""
        with self._recovery_lock:
            if generation.broken:
                return
            generation.broken = True
            recovery = threading.Thread(target=self._recover, args=(generation,), name="RecoveringPool recovery")
            self._recoveries = [thread for thread in self._recoveries if thread.is_alive()]
            try:
                recovery.start()
                self._recoveries.append(recovery)
                return
            except RuntimeError as error:  # no thread to be had: out of them, or the interpreter is exiting
                failure = error
        # Mostly on the pool's management thread, which only logs an exception: the calls would wait for ever.
        self._abandon(generation, failure)

    def _abandon(self, broken: _Generation, error: BaseException) -> None:
        """Fails the calls of a broken generation that cannot be recovered; a later break of it tries again."""
        with self._table:
            calls = [call for call in self._calls.values() if call.generation is broken and not _ran_through(call)]
        for call in calls:
            call.generation = None
        with self._recovery_lock:
            if broken is self._generation:  # a replaced generation stays broken: no pool to recover
                broken.broken = False
        for call in calls:
            failure = BrokenProcessPool(f"the worker process pool broke and could not be replaced: {error}")
            failure.__cause__ = error
            _settle(call.future, exception=failure)

    def _recover(self, broken: _Generation) -> None:
        try:
            self._replace(broken)
        except BaseException as error:  # noqa: BLE001 - whatever it is, the calls learn it rather than wait
            self._abandon(broken, error)

    def _replace(self, broken: _Generation) -> None:
        # Shutting the broken pool down joins its workers: their exit codes can be read after it.
        broken.pool.shutdown(wait=True, cancel_futures=True)
        lost = lost_calls(broken.held, broken.workers)
        given: list[tuple[_Call, Future[Any] | None]] = []
        with self._lock:
            with self._table:
                calls = [call for call in self._calls.values() if call.generation is broken]
            try:
                fresh = self._start()
            except Exception as error:  # out of file descriptors, say: its calls fail, a later submit tries again
                failed: list[tuple[_Call, BaseException]] = [(call, error) for call in calls]
                with self._recovery_lock:
                    broken.broken = False
            else:
                self._generation = fresh
                failed, given = self._carry_over(calls, broken, lost, fresh)
                if self._unattended:
                    fresh.pool.shutdown(wait=False)
            for call, _ in failed:
                call.generation = None
        broken.workers.clear()  # their pipes to the forkserver close with them
        for call, failure in failed:
            _settle(call.future, exception=failure)
        for call, run in given:
            self._follow(call, fresh, run)

    def _carry_over(self, calls: list[_Call], broken: _Generation, lost: dict[int, int], fresh: _Generation) -> tuple[
            list[tuple[_Call, BaseException]], list[tuple[_Call, Future[Any] | None]]]:
        """Under self._lock: the calls of a broken generation that fail, and those given to the fresh one."""
        failed: list[tuple[_Call, BaseException]] = []
        given: list[tuple[_Call, Future[Any] | None]] = []
        for call in calls:
            if _ran_through(call):
                continue  # finished before the break: its callback hands the outcome over
            run = call.run
            overran = call.number in broken.overran
            if run is not None and not run.cancelled() and call.number not in lost and not overran:
                call.breaks += 1
            if overran:
                failed.append((call, TimeoutError(_overran(self._timeout))))
                continue
            if call.number in lost or call.breaks >= 2:
                failed.append((call, BrokenProcessPool(_death(lost.get(call.number)))))
                continue
            try:
                given.append((call, self._give(call, fresh)))
            except RuntimeError as refused:  # the interpreter is exiting
                failed.append((call, refused))
        return failed, given

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Takes no more calls; with `wait`, returns once every call has finished (through the recoveries
        it needs) and the pool's threads and worker processes have ended."""
        with self._lock:
            self._closed = True
            self._unattended = self._unattended or not wait
            with self._table:
                calls = list(self._calls.values())
        if cancel_futures:
            # Through the calls' futures: a run cancelled in the pool alone would leave its future waiting.
            for call in calls:
                call.future.cancel()
        if not wait:
            self._stopping.set()
            with self._lock:
                self._generation.pool.shutdown(wait=False)
            return
        # A break may yet need a fresh pool to finish the calls in flight.
        futures.wait([call.future for call in calls])
        with self._recovery_lock:
            recoveries = list(self._recoveries)
        for recovery in recoveries:
            recovery.join()
        self._stopping.set()  # the time limit held until the last call ended
        if self._watchdog.is_alive():
            self._watchdog.join()
        self._generation.pool.shutdown(wait=True)


def _broken_run(run: Future[Any]) -> bool:
    return isinstance(run.exception(), BrokenProcessPool)


def _ran_through(call: _Call) -> bool:
    """Whether the call's run finished before its pool broke: its callback hands the outcome over."""
    run = call.run
    return run is not None and run.done() and not run.cancelled() and not _broken_run(run)


def _hand_over(run: Future[Any], future: Future[Any]) -> None:
    error = run.exception()
    if error is None:
        _settle(future, result=run.result())
    else:
        _settle(future, exception=error)


def _settle(future: Future[Any], result: Any = None, exception: BaseException | None = None) -> None:
    try:
        if exception is None:
            future.set_result(result)
        else:
            future.set_exception(exception)
    except InvalidStateError:
        pass  # cancelled meanwhile: the outcome is not wanted


def _overran(timeout: float | None) -> str:
    ran_on = "the other images ran on in a new worker process"
    return f"no result after {timeout:g} s: its worker process was killed, and {ran_on}"


def _death(exitcode: int | None) -> str:
    if exitcode is None:
        return "the worker process pool broke twice while this image was in flight"
    if exitcode < 0:
        try:
            how = f"was killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            how = f"was killed by signal {-exitcode}"
    else:
        how = f"exited with status {exitcode}"
    return f"the worker process that held this image {how}; the other images ran on in a new worker process"
