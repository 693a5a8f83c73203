"""What runs in the worker processes of the batch's pools: their start (native thread limits, the watch on
the process that made the pool) and the record of the call each runs, which a RecoveringPool reads when a
worker dies or overruns its time limit.

The record is a shared table of int64, ROW entries per worker: its pid, the call it runs (0: none), when
that call began (time.monotonic_ns, one clock for every process on the machine) and its parent's pid (the
forkserver, whose death makes its workers' exit codes meaningless).
"""

from __future__ import annotations

import ctypes
import os
import select
import signal
import sys
import threading
import time
from collections.abc import Callable
from multiprocessing.process import BaseProcess
from typing import Any, TypeVar

__all__ = ["CALL", "PARENT", "PID", "ROW", "STARTED", "lost_calls", "recorded", "start_recorded_worker", "start_worker"]

T = TypeVar("T")

ROW = 4
PID, CALL, STARTED, PARENT = range(ROW)
_PR_SET_PDEATHSIG = 1


def start_worker(threads: int, owner: int) -> None:
    """The initializer of process_pool's workers; `owner` is the pid of the process that made the pool."""
    _end_with_owner(owner)
    _limit_native_threads(threads)


def _limit_native_threads(threads: int) -> None:
    # Load the libraries first: thread limits apply to the thread pools already loaded.
    import cv2
    from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]

    from . import color_extractor_cy

    # The extension imports scikit-learn (with its OpenMP and BLAS pools) on first use: that is now.
    getattr(color_extractor_cy, "KMeans")
    threadpool_limits(threads)
    cv2.setNumThreads(threads)


# In a worker of a RecoveringPool: the shared table and this worker's row in it.
_held_calls: Any = None
_held_row = -1


def start_recorded_worker(threads: int, owner: int, held: Any, lock: Any) -> None:
    global _held_calls, _held_row
    start_worker(threads, owner)
    with lock:
        _held_row = next(row for row in range(len(held) // ROW) if held[ROW * row + PID] == 0)
        held[ROW * _held_row + PARENT] = os.getppid()
        held[ROW * _held_row + PID] = os.getpid()
    _held_calls = held


def recorded(call: int, operation: Callable[..., T], /, *args: Any, **kwargs: Any) -> T:
    """Runs the operation with its call number and start entered in the worker's row, so that the pool
    can tell which call a worker held when it died, and for how long it has held it."""
    row = ROW * _held_row
    _held_calls[row + STARTED] = time.monotonic_ns()
    _held_calls[row + CALL] = call
    try:
        return operation(*args, **kwargs)
    finally:
        _held_calls[row + CALL] = 0


def _end_with_owner(owner: int) -> None:
    """Ends this worker when the pool's owner ends (killed, say): the worker would otherwise wait on its
    call queue for ever, and keep the forkserver and the resource tracker alive with it."""
    if sys.platform.startswith("linux"):
        # The parent is the forkserver, single-threaded: once it is gone no pool can reach this worker.
        parent = os.getppid()
        ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != parent:
            os._exit(1)  # it died before the request took effect
    try:
        handle: int | None = os.pidfd_open(owner)
    except ProcessLookupError:
        os._exit(1)
    except (AttributeError, OSError):
        handle = None  # no pidfd here: poll
    threading.Thread(target=_watch, args=(owner, handle), name="owner watch", daemon=True).start()


def _watch(owner: int, handle: int | None) -> None:
    if handle is not None:
        select.select([handle], [], [])  # readable once the owner has ended
    else:
        while _alive(owner):
            time.sleep(0.25)
    os._exit(1)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


# -- read by the pool ------------------------------------------------------------------------------------


def lost_calls(held: Any, workers: list[BaseProcess]) -> dict[int, int]:
    """The calls whose worker died running them, with its exit code, from the table `held` of a pool whose
    workers were `workers` (all of them joined)."""
    rows = [held[ROW * row: ROW * (row + 1)] for row in range(len(held) // ROW)]
    if any(row[PID] and not _running(row[PARENT]) for row in rows):
        # The workers' exit codes come through the forkserver: without it every worker reads as exited with
        # status 255, and its workers end with it. No call is to blame.
        return {}
    deaths = {
        worker.pid: worker.exitcode for worker in workers
        if worker.exitcode not in (None, 0, -signal.SIGTERM)  # SIGTERM: stopped by the pool
    }
    calls = {row[PID]: row[CALL] for row in rows}
    return {calls[pid]: code for pid, code in deaths.items() if calls.get(pid)}


def _running(child: int) -> bool:
    """Whether a child process of this one has not ended, without reaping it (multiprocessing does)."""
    if not hasattr(os, "waitid"):
        return True
    try:
        return os.waitid(os.P_PID, child, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None
    except ChildProcessError:
        return False  # reaped already
