"""Run one extractor operation over many images, in worker processes or on a cluster.

    from functools import partial
    from lumvarde_quorle import ColorExtractor
    from lumvarde_quorle.batch import map_images

    extractor = ColorExtractor(n_colors=4)
    for result in map_images(extractor.extract_colors, ["a.jpg", "b.jpg"]):
        print(result.path, result.value if result.ok else result.error)

The operation is sent to the workers by pickling, so it must be picklable: a bound method of a
`ColorExtractor` is (the extractor pickles its settings), and so is a `functools.partial` of one or a
module-level function. Any `concurrent.futures.Executor` runs the calls; without one, a pool from
`process_pool` (one worker per core) is made for the duration of the iteration. A `dask.distributed`
cluster is used through its client's executor: `map_images(op, paths, executor=client.get_executor())`.
"""

from __future__ import annotations

import multiprocessing
import os
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from dataclasses import dataclass
from typing import Any, Generic, TypeVar

__all__ = ["BatchResult", "map_images", "process_pool"]

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
    **kwargs: Any,
) -> Iterator[BatchResult[T]]:
    """Calls ``operation(path, *args, **kwargs)`` for every path and yields the results in input order.

    Args:
        operation: picklable callable taking the image path first, e.g. ``extractor.extract_colors``.
        paths: image file paths; path objects are passed on as strings, the form the extractor loads.
        executor: runs the calls; by default a process pool with one worker per core, shut down when
            the iteration ends.
        max_pending: how many calls are submitted ahead of the one being waited for (default: four
            per worker of a default pool, else 32), so that a long path list is not queued at once.

    An exception raised for one image is captured in its `BatchResult` and the batch goes on; this
    includes failures of the executor itself, such as a worker process that died.
    """
    if max_pending is not None and max_pending < 1:
        raise ValueError(f"max_pending must be at least 1, got {max_pending}")
    if executor is not None:
        yield from _ordered(executor, operation, paths, args, kwargs, max_pending or 32)
        return
    workers = os.cpu_count() or 1
    with process_pool(workers) as pool:
        yield from _ordered(pool, operation, paths, args, kwargs, max_pending or 4 * workers)


def process_pool(workers: int) -> ProcessPoolExecutor:
    """A process pool whose workers share the cores instead of each running a full set of native
    threads (OpenMP in K-means, OpenBLAS, OpenCV): oversubscribed OpenMP workers spin-wait and run an
    order of magnitude slower."""
    # forkserver rather than fork: a forked child of a process that has run OpenMP code can hang in
    # its first parallel region.
    context = multiprocessing.get_context("forkserver")
    threads = max(1, (os.cpu_count() or 1) // workers)
    return ProcessPoolExecutor(workers, mp_context=context, initializer=_limit_native_threads, initargs=(threads,))


def _limit_native_threads(threads: int) -> None:
    # Load the libraries first: thread limits apply to the thread pools already loaded.
    import cv2
    from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]

    from . import color_extractor_cy  # noqa: F401

    threadpool_limits(threads)
    cv2.setNumThreads(threads)


def _ordered(
    executor: Executor,
    operation: Callable[..., T],
    paths: Iterable[str | os.PathLike[str]],
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    max_pending: int,
) -> Iterator[BatchResult[T]]:
    pending: deque[tuple[str, Future[T]]] = deque()
    try:
        for given in paths:
            path = os.fspath(given)
            pending.append((path, _submit(executor, operation, path, args, kwargs)))
            if len(pending) >= max_pending:
                yield _settle(*pending.popleft())
        while pending:
            yield _settle(*pending.popleft())
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


def _settle(path: str, future: Future[T]) -> BatchResult[T]:
    try:
        return BatchResult(path, value=future.result())
    except Exception as error:
        return BatchResult(path, error=error)
