"""Run one extractor operation over many images, in worker processes or on a cluster.

    from functools import partial
    from lumvarde_quorle import ColorExtractor
    from lumvarde_quorle.batch import map_images

    extractor = ColorExtractor(n_colors=4)
    for result in map_images(extractor.extract_colors, ["a.jpg", "b.jpg"]):
        print(result.path, result.value if result.ok else result.error)

The operation is sent to the workers by pickling, so it must be picklable: a bound method of a
`ColorExtractor` is (the extractor pickles its settings), and so is a `functools.partial` of one or a
module-level function. Any `concurrent.futures.Executor` runs the calls; without one, a
`RecoveringPool` (one worker per core, replaced when one of its workers dies) is made for the duration
of the iteration. A `dask.distributed` cluster is used through its client's executor:
`map_images(op, paths, executor=client.get_executor())`.

Every image is held to a pixel budget read from its file's header before it is decoded (`max_pixels`):
by default Pillow's, so that a small file that decodes to billions of pixels fails on its own.
"""

from __future__ import annotations

import ctypes
import functools
import itertools
import multiprocessing
import os
import signal
import warnings
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from typing import Any, Generic, Literal, TypeVar, cast

from .budget import PILLOW, batch_limit, check_image_size, image_size, max_pixels_budget

__all__ = ["PILLOW", "BatchResult", "RecoveringPool", "map_images", "process_pool"]

T = TypeVar("T")



@dataclass(frozen=True)
class BatchResult(Generic[T]):
    """The outcome for one image: `value` when the operation returned, `error` when it raised."""

    path: str
    value: T | None = None
    error: BaseException | None = None

    @property
    def ok(self) -> bool:
        return self.error is None


def map_images(
    operation: Callable[..., T],
    paths: Iterable[str | os.PathLike[str]],
    /,
    *args: Any,
    executor: Executor | None = None,
    max_pending: int | None = None,
    max_pixels: int | Literal["pillow"] | None = PILLOW,
    workers: int | None = None,
    **kwargs: Any,
) -> Iterator[BatchResult[T]]:
    """Calls ``operation(path, *args, **kwargs)`` for every path and yields the results in input order.

    Args:
        operation: picklable callable taking the image path first, e.g. ``extractor.extract_colors``.
        paths: image file paths; path objects are passed on as strings, the form the extractor loads.
        executor: runs the calls; by default a process pool (`process_pool`), shut down when the
            iteration ends.
        max_pending: how many calls are submitted ahead of the one being waited for (default: four
            per worker of a default pool, else 32), so that a long path list is not queued at once.
        max_pixels: the pixel budget. Each file's size is read from its header (by Pillow, without
            decoding) where the call runs, before the operation; an image above the budget fails with
            `lumvarde_quorle.budget.ImageTooLargeError` and is never decoded. The extractors' own
            loading honours it too, during the call, for files whose header Pillow cannot read (those
            are checked once decoded, before they are analysed). ``"pillow"`` (the default) follows
            Pillow's ``Image.MAX_IMAGE_PIXELS`` as it is when map_images is called: a
            ``PIL.Image.DecompressionBombWarning`` above it, refusal above twice it; with Pillow's
            default, a warning above 89,478,485 pixels and refusal above 178,956,970. A number is a
            hard limit, without the warning; 0 or None: no limit.
        workers: worker processes of the default pool (default: one per core).

    An exception raised for one image is captured in its `BatchResult` and the batch goes on; this
    includes failures of the executor itself. When a worker of the default pool dies (killed from
    outside, or by the kernel for want of memory), the image it held fails with BrokenProcessPool
    saying so, and the other images in flight are run again in a fresh pool.
    """
    if max_pending is not None and max_pending < 1:
        raise ValueError(f"max_pending must be at least 1, got {max_pending}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    budget = max_pixels_budget(max_pixels)
    # The budget's wrapper returns the value, or the value with a warning that _settle gives here.
    call = operation if budget is None else cast(Callable[..., T], functools.partial(_within_budget, budget, operation))
    if executor is not None:
        yield from _ordered(executor, call, paths, args, kwargs, max_pending or 32)
        return
    workers = workers or os.cpu_count() or 1
    with RecoveringPool(workers) as pool:
        yield from _ordered(pool, call, paths, args, kwargs, max_pending or 4 * workers)


def process_pool(workers: int) -> ProcessPoolExecutor:
    """A process pool whose workers share the cores instead of each running a full set of native
    threads (OpenMP in K-means, OpenBLAS, OpenCV): oversubscribed OpenMP workers spin-wait and run an
    order of magnitude slower."""
    return _process_pool(workers, _limit_native_threads, ())


def _process_pool(workers: int, initializer: Callable[..., None], initargs: tuple[Any, ...]) -> ProcessPoolExecutor:
    # forkserver rather than fork: a forked child of a process that has run OpenMP code can hang in
    # its first parallel region.
    context = multiprocessing.get_context("forkserver")
    threads = max(1, (os.cpu_count() or 1) // workers)
    return ProcessPoolExecutor(workers, mp_context=context, initializer=initializer, initargs=(threads, *initargs))


def _limit_native_threads(threads: int) -> None:
    # Load the libraries first: thread limits apply to the thread pools already loaded.
    import cv2
    from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]

    from . import color_extractor_cy  # noqa: F401

    threadpool_limits(threads)
    cv2.setNumThreads(threads)


# -- the pixel budget -----------------------------------------------------------------------------


@dataclass(frozen=True)
class _Warned(Generic[T]):
    """A value that comes with a warning to give where the results are read."""

    value: T
    warning: str


def _within_budget(budget: tuple[int, int | None], operation: Callable[..., T], path: str, /, *args: Any,
                   **kwargs: Any) -> T | _Warned[T]:
    """In the worker: refuses the image from its header when it is above the budget, then runs the
    operation with the budget in force for the extension's own loading."""
    limit, warn_above = budget
    warning = None
    if (size := image_size(path)) is not None:
        check_image_size(path, *size, limit)
        pixels = size[0] * size[1]
        if warn_above and pixels > warn_above:
            warning = (
                f"{path}: {size[0]} x {size[1]} = {pixels:,} pixels, more than {warn_above:,}: it could be a "
                f"decompression bomb (images above {limit:,} pixels are refused)"
            )
    with batch_limit(limit):
        value = operation(path, *args, **kwargs)
    return value if warning is None else _Warned(value, warning)


# -- running the calls in order ---------------------------------------------------------------------


def _ordered(
    executor: Executor,
    operation: Callable[..., T],
    paths: Iterable[str | os.PathLike[str]],
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    max_pending: int,
) -> Iterator[BatchResult[T]]:
    pending: deque[tuple[str, Future[T]]] = deque()
    outcome = executor.outcome if isinstance(executor, RecoveringPool) else _value
    try:
        for given in paths:
            path = os.fspath(given)
            pending.append((path, _submit(executor, operation, path, args, kwargs)))
            if len(pending) >= max_pending:
                yield _settle(*pending.popleft(), outcome)
        while pending:
            yield _settle(*pending.popleft(), outcome)
    finally:
        # The caller stopped early (break, exception): do not leave queued calls running.
        for _, future in pending:
            future.cancel()


def _submit(
    executor: Executor,
    operation: Callable[..., T],
    path: str,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
) -> Future[T]:
    try:
        return executor.submit(operation, path, *args, **kwargs)
    except Exception as error:
        # Some executors pickle the call at submission: that failure belongs to this image alone.
        failed: Future[T] = Future()
        failed.set_exception(error)
        return failed


def _value(future: Future[T]) -> T:
    return future.result()


def _settle(path: str, future: Future[T], outcome: Callable[[Future[T]], T]) -> BatchResult[T]:
    try:
        value = outcome(future)
    except Exception as error:
        return BatchResult(path, error=error)
    if isinstance(value, _Warned):
        from PIL.Image import DecompressionBombWarning

        warnings.warn(value.warning, DecompressionBombWarning, stacklevel=3)
        value = value.value
    return BatchResult(path, value=value)


# -- a pool that survives its workers --------------------------------------------------------------

# In a worker of a RecoveringPool: the shared table of (worker pid, call it runs) pairs and its row.
_held_calls: Any = None
_held_row = -1


def _start_recorded_worker(threads: int, held: Any, lock: Any) -> None:
    global _held_calls, _held_row
    _limit_native_threads(threads)
    with lock:
        _held_row = next(row for row in range(len(held) // 2) if held[2 * row] == 0)
        held[2 * _held_row] = os.getpid()
    _held_calls = held


def _recorded(call: int, operation: Callable[..., T], /, *args: Any, **kwargs: Any) -> T:
    """In the worker: runs the operation with its call number entered in the worker's row, so that the
    pool can tell which image a worker held when it died."""
    _held_calls[2 * _held_row + 1] = call
    try:
        return operation(*args, **kwargs)
    finally:
        _held_calls[2 * _held_row + 1] = 0


@dataclass
class _Call:
    number: int
    fn: Callable[..., Any]
    args: tuple[Any, ...]
    kwargs: dict[str, Any]
    breaks: int = 0  # pools that broke while it was in flight, no worker death being its own


@dataclass
class _Generation:
    pool: ProcessPoolExecutor
    held: Any  # shared int64 pairs: worker pid, call number (0: none)
    calls: dict[Future[Any], _Call] = field(default_factory=dict)


class RecoveringPool(Executor):
    """process_pool(workers), replaced by a fresh one when a worker dies, for map_images (the default
    executor) or any caller that reads its futures through map_images. The call the dead worker held
    fails with BrokenProcessPool naming how it died; the other calls in flight run again in the new
    pool. A call caught in two breaks that no worker death explains (a worker that cannot start, a
    death between calls) fails too, so that a pool that keeps breaking ends the batch's calls."""

    def __init__(self, workers: int) -> None:
        self._workers = workers
        self._numbers = itertools.count(1)
        self._replaced: dict[Future[Any], Future[Any]] = {}
        self._generation = self._start()

    def _start(self) -> _Generation:
        context = multiprocessing.get_context("forkserver")
        held = context.RawArray(ctypes.c_int64, 2 * self._workers)
        pool = _process_pool(self._workers, _start_recorded_worker, (held, context.Lock()))
        return _Generation(pool, held)

    def submit(self, fn: Callable[..., T], /, *args: Any, **kwargs: Any) -> Future[T]:
        return self._run(_Call(next(self._numbers), fn, args, kwargs))

    def _run(self, call: _Call) -> Future[Any]:
        generation = self._generation
        try:
            future = generation.pool.submit(_recorded, call.number, call.fn, *call.args, **call.kwargs)
        except BrokenProcessPool:
            # Broken before its futures were read: a failed future, replaced at the next recovery.
            future = Future()
            future.set_exception(BrokenProcessPool("the process pool broke"))
        generation.calls[future] = call
        return future

    def outcome(self, future: Future[T]) -> T:
        """The call's result, following it into fresh pools when its pool broke."""
        while True:
            future = self._replaced.pop(future, future)
            try:
                return future.result()
            except BrokenProcessPool:
                if future not in self._generation.calls:
                    raise  # the call failed for good
                self._recover()
            finally:
                self._generation.calls.pop(future, None)

    def _recover(self) -> None:
        broken = self._generation
        # The workers, to read how each ended once the pool has shut down (the pool keeps them in a
        # private table; without it no death can be told apart and the two-breaks rule applies).
        workers = list((getattr(broken.pool, "_processes", None) or {}).values())
        broken.pool.shutdown(wait=True, cancel_futures=True)
        deaths = {
            worker.pid: worker.exitcode for worker in workers
            if worker.exitcode not in (None, 0, -signal.SIGTERM)  # SIGTERM: stopped by the pool
        }
        held = {broken.held[2 * row]: broken.held[2 * row + 1] for row in range(self._workers)}
        lost = {held[pid]: code for pid, code in deaths.items() if held.get(pid)}
        self._generation = self._start()
        for future, call in broken.calls.items():
            if not future.cancelled() and not (future.done() and isinstance(future.exception(), BrokenProcessPool)):
                self._generation.calls[future] = call  # finished before the break: kept as it is
                continue
            if call.number not in lost:
                call.breaks += 1
            if call.number in lost or call.breaks >= 2:
                failed: Future[Any] = Future()
                failed.set_exception(BrokenProcessPool(_death(lost.get(call.number))))
                self._replaced[future] = failed
            else:
                self._replaced[future] = self._run(call)

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        self._generation.pool.shutdown(wait=wait, cancel_futures=cancel_futures)


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
